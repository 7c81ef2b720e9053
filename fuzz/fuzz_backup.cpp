// The restore command's two readers on any text: mapsave.eel's format and the handset backup.
// Whatever either accepts must be a set of blocks it could write back: numbers unique and in
// range, each block's data as long as its size; a handset backup it accepts formats back to
// the very same bytes (its digest vouches for every byte).
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "update/backup_file.h"
#include "update/handset_backup.h"

namespace {

void CheckHandsetBackup(std::string_view text) {
  velmora::HandsetBackup backup;
  std::string error;
  if (!velmora::ParseHandsetBackup(text, &backup, &error)) {
    if (error.empty()) __builtin_trap();
    return;
  }
  std::set<std::pair<uint8_t, int32_t>> seen;
  for (const velmora::MapBlock& b : backup.blocks) {
    if (b.number < 1 || b.number > 65535 || !seen.insert({b.area, b.number}).second) __builtin_trap();
    if (b.data.size() != static_cast<size_t>(b.size)) __builtin_trap();
  }
  if (velmora::FormatHandsetBackup(backup) != text) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<velmora::MapBlock> blocks;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckHandsetBackup(text);
  if (!velmora::ParseBackupFile(text, &blocks, &error)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  if (blocks.empty()) __builtin_trap();
  std::set<int32_t> numbers;
  size_t bytes = 0;
  for (const velmora::MapBlock& b : blocks) {
    if (b.number < 1 || b.number > 65535 || !numbers.insert(b.number).second) __builtin_trap();
    if (b.size < 0 || b.size > 65535 || b.data.size() != static_cast<size_t>(b.size)) __builtin_trap();
    if (b.area != velmora::kAreaEelite) __builtin_trap();
    bytes += b.data.size();
  }
  // Every data byte is written as at least "0xHH" in the text.
  if (bytes * 4 > size) __builtin_trap();
  return 0;
}
