// The backup file of the garbage collection, read by the separate restore tool: each saved
// block as a small header and its data bytes in hexadecimal, ten to a line.
#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/text_file.h"
#include "update/engine.h"

namespace velmora {
namespace {

constexpr size_t kBytesPerLine = 10;

bool WriteText(TextModeFile& file, const char* text, int length) {
  return length > 0 && file.Write(text, static_cast<size_t>(length));
}

// One block in the restore tool's format. The "\r\n" texts reach the disk as CR CR LF through
// the text-mode file, which is what the restore tool has always been given.
void WriteBackupRecord(TextModeFile& file, const MapBlock& block) {
  char line[64];
  WriteText(file, line, std::snprintf(line, sizeof line, "\r\nBLOCK_NUMBER = %d\r\n", block.number));
  WriteText(file, line, std::snprintf(line, sizeof line, "BLOCK_SIZE   = %d\r\n", block.size));
  WriteText(file, line,
            std::snprintf(line, sizeof line, "BLOCK_VERSION = %d\r\n", static_cast<int>(block.version)));
  WriteText(file, line, std::snprintf(line, sizeof line, "DATA_BYTES   = \r\n"));
  // Never more bytes than the record holds, whatever its size field says.
  const size_t count =
      block.size <= 0 ? 0 : std::min(static_cast<size_t>(block.size), block.data.size());
  for (size_t i = 0; i < count; ++i) {
    if (i % kBytesPerLine == 0) file.Write("\r\n", 2);
    WriteText(file, line,
              std::snprintf(line, sizeof line, "0x%.2X ", static_cast<unsigned>(block.data[i])));
  }
  file.Write("\r\n\r\n", 4);
}

}  // namespace

bool WriteBackupFile(TextModeFile& file, const MapBlock* blocks, int32_t count) {
  if (count <= 0 || blocks == nullptr) return false;

  // The range runs over the Eelite records below the limit; each number in it is saved once,
  // from the first record that carries it.
  bool any = false;
  int32_t lowest = 0;
  int32_t highest = 0;
  for (int32_t i = 0; i < count; ++i) {
    const MapBlock& block = blocks[i];
    if (block.area != kAreaEelite || block.number >= kBackupNumberLimit) continue;
    if (!any || block.number < lowest) lowest = block.number;
    if (!any || block.number > highest) highest = block.number;
    any = true;
  }
  if (!any) return false;

  // Visiting only the numbers that occur, in ascending order, gives the same file as walking
  // every number of the range, without walking a range of up to 2^32 numbers.
  std::map<int32_t, const MapBlock*> firstOfNumber;
  for (int32_t i = 0; i < count; ++i) {
    const MapBlock& block = blocks[i];
    if (block.number < lowest || block.number > highest) continue;
    firstOfNumber.emplace(block.number, &block);
  }
  for (const auto& [number, block] : firstOfNumber) WriteBackupRecord(file, *block);
  return true;
}

}  // namespace velmora
