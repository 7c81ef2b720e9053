// The restore command's backup-file reader on any text. Whatever it accepts must be a set of
// Eelite blocks it could write back: numbers unique and in range, each block's data as long
// as its size.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "update/backup_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<velmora::MapBlock> blocks;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
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
