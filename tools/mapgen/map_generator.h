// Map generation for velmora-mapgen and the map benchmark: explicit block ranges and random
// blocks up to a count or a text size, with data bytes from a seeded generator, so the same
// options always give the same map text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora {

// A range of blocks written as "FIRST[-LAST]:AREA:OPERATION:SIZE[-MAXSIZE][:VERSION]".
struct BlockRange {
  int32_t first = 1;
  int32_t last = 1;
  uint8_t area = kAreaEelite;
  uint8_t operation = kOpWrite;
  int32_t minSize = 0;
  int32_t maxSize = 0;
  uint8_t version = 1;
};

struct GeneratorOptions {
  MapInfo info;                  // header; checkSum and blockCount are computed
  std::vector<BlockRange> ranges;  // explicit blocks, written first and in this order
  // Random blocks after the explicit ones: numbered upwards from firstNumber.
  int32_t randomBlocks = 0;
  uint64_t targetBytes = 0;  // add random blocks until the text is at least this long
  int32_t firstNumber = 1;
  int32_t minSize = 16;
  int32_t maxSize = 256;
  uint8_t area = kAreaEelite;
  int eefullPercent = 0;  // share of random blocks that go to Eefull instead of area
  uint8_t operation = kOpWrite;
  uint8_t version = 1;
  uint32_t seed = 1;
};

// Parses a block range; on failure returns false with a reason in *reason (may be null).
bool ParseBlockRange(const std::string& text, BlockRange* range, std::string* reason);
// Parses an area ("eelite", "eefull" or a number) or an operation ("none", "write", "create",
// "delete", "delete-create" or a number).
bool ParseArea(const std::string& text, uint8_t* area);
bool ParseOperation(const std::string& text, uint8_t* operation);

std::vector<MapBlock> GenerateBlocks(const GeneratorOptions& options);
std::string GenerateMapText(const GeneratorOptions& options);

}  // namespace velmora
