// Map text reader and checksum: pure functions over a zero-terminated map text.
// Every operation returns true on success and false on failure and writes no message;
// the update run turns failures into the user's messages.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace velmora {

// Header of a mapping.
struct MapInfo {
  int32_t product = 0;     // decimal
  int32_t provider = 0;    // hexadecimal; 0 marks a standard mapping
  int32_t mapVersion = 0;  // hexadecimal
  int32_t swVersion = 0;   // decimal
  int32_t time = 0;        // decimal, shown with six digits
  int32_t date = 0;        // decimal, shown with six digits
  int32_t checkSum = 0;    // decimal, from the checksum section
  int32_t blockCount = 0;  // number of block sections
};

// Block-store area codes and block operations of a MapBlock.
enum : uint8_t { kAreaEelite = 2, kAreaEefull = 8 };
enum : uint8_t { kOpNone = 0, kOpWrite = 2, kOpCreate = 4, kOpDelete = 8, kOpDeleteCreate = 16 };

// One data block of a mapping, fields in the order of a block section.
struct MapBlock {
  int32_t number = 0;
  int32_t extra = 0;
  uint8_t area = 0;
  uint8_t attribute = 0;
  uint8_t operation = 0;
  uint8_t version = 0;
  int32_t size = 0;
  std::vector<uint8_t> data;  // owned; empty until read
};

// A block holding data (its size taken from it), as generators and tests build them.
inline MapBlock MakeMapBlock(int32_t number, uint8_t area, uint8_t operation, uint8_t version,
                             std::vector<uint8_t> data) {
  MapBlock b;
  b.number = number;
  b.area = area;
  b.operation = operation;
  b.version = version;
  b.size = static_cast<int32_t>(data.size());
  b.data = std::move(data);
  return b;
}

// Reads the info and checksum sections, checks the check byte and counts the blocks.
// A null text reads as an empty one.
bool ReadMapInfo(const char* text, MapInfo* info);
// Sets info->blockCount: the section openers before the checksum section, less the info
// opener, but never more records than the text could fill plus one (nine characters each), so
// that the records array stays in proportion to the text. False when no section opener
// precedes the checksum section.
bool CountMapBlocks(const char* text, MapInfo* info);
// Fills info.blockCount records (allocated by the caller, all fields zero) in section order.
bool ReadMapBlocks(const char* text, MapBlock* blocks, const MapInfo& info);
// Releases the data of all info.blockCount records; a null array is fine. Always true.
bool FreeMapBlocks(MapBlock* blocks, const MapInfo& info);
// Value of a short zero-terminated text of hexadecimal digits (see the reader's rules).
int32_t HexToInt(const char* text);
// True when the XOR checksum over header and records equals info.checkSum.
bool VerifyMapChecksum(const MapBlock* blocks, const MapInfo& info);

}  // namespace velmora
