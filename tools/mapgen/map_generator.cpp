#include "tools/mapgen/map_generator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "mapfile/map_writer.h"

namespace velmora {
namespace {

// A block section's fixed characters: "\r\n[" "]\r\n", the six keys with '=' and CR LF,
// "{\r\n" and "}\r\n". The info and checksum sections take at least kInfoOverhead.
constexpr uint64_t kBlockOverhead = 3 + 3 + 8 + 7 + 12 + 12 + 10 + 7 + 3 + 3;
constexpr uint64_t kInfoOverhead = 120;

bool ParseInt(const std::string& text, long long low, long long high, long long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool ParseRange(const std::string& text, long long low, long long high, int32_t* first,
                int32_t* last) {
  // A leading '-' is a sign, so the range separator is searched from the second character.
  const size_t dash = text.find('-', 1);
  long long a = 0;
  long long b = 0;
  if (dash == std::string::npos) {
    if (!ParseInt(text, low, high, &a)) return false;
    b = a;
  } else if (!ParseInt(text.substr(0, dash), low, high, &a) ||
             !ParseInt(text.substr(dash + 1), low, high, &b) || b < a) {
    return false;
  }
  *first = static_cast<int32_t>(a);
  *last = static_cast<int32_t>(b);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  // Uniform enough for test data, and the same on every standard library (the distributions
  // of <random> are not).
  int32_t Between(int32_t low, int32_t high) {
    if (high <= low) return low;
    const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(high) - low) + 1;
    return static_cast<int32_t>(low + static_cast<int64_t>(engine_() % span));
  }
  void Fill(std::vector<uint8_t>* data) {
    for (uint8_t& byte : *data) byte = static_cast<uint8_t>(engine_() >> 24);
  }

 private:
  std::mt19937 engine_;
};

MapBlock MakeBlock(Random* random, int32_t number, uint8_t area, uint8_t operation,
                   int32_t size, uint8_t version) {
  std::vector<uint8_t> data(static_cast<size_t>(size));
  random->Fill(&data);
  return MakeMapBlock(number, area, operation, version, std::move(data));
}

uint64_t Digits(long long value) {
  return static_cast<uint64_t>(std::snprintf(nullptr, 0, "%lld", value));
}

// Length of a block section as the writer lays it out, so a target size is met closely.
uint64_t TextLength(const MapBlock& block) {
  const uint64_t size = block.size > 0 ? static_cast<uint64_t>(block.size) : 0;
  const uint64_t lines = (size + 15) / 16;
  return kBlockOverhead + Digits(block.number) + Digits(block.extra) + Digits(block.area) +
         Digits(block.attribute) + Digits(block.operation) + Digits(block.version) +
         Digits(block.size) + size * 5 + lines;
}

}  // namespace

bool ParseArea(const std::string& text, uint8_t* area) {
  long long value = 0;
  if (text == "eelite") {
    *area = kAreaEelite;
  } else if (text == "eefull") {
    *area = kAreaEefull;
  } else if (ParseInt(text, 0, 255, &value)) {
    *area = static_cast<uint8_t>(value);
  } else {
    return false;
  }
  return true;
}

bool ParseOperation(const std::string& text, uint8_t* operation) {
  long long value = 0;
  if (text == "none") {
    *operation = kOpNone;
  } else if (text == "write") {
    *operation = kOpWrite;
  } else if (text == "create") {
    *operation = kOpCreate;
  } else if (text == "delete") {
    *operation = kOpDelete;
  } else if (text == "delete-create") {
    *operation = kOpDeleteCreate;
  } else if (ParseInt(text, 0, 255, &value)) {
    *operation = static_cast<uint8_t>(value);
  } else {
    return false;
  }
  return true;
}

bool ParseBlockRange(const std::string& text, BlockRange* range, std::string* reason) {
  std::string ignored;
  std::string* error = reason != nullptr ? reason : &ignored;
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 4 || parts.size() > 5) {
    *error = "expected FIRST[-LAST]:AREA:OPERATION:SIZE[-MAXSIZE][:VERSION], got '" + text + "'";
    return false;
  }
  BlockRange parsed;
  if (!ParseRange(parts[0], INT32_MIN, INT32_MAX, &parsed.first, &parsed.last)) {
    *error = "bad block number or range '" + parts[0] + "'";
    return false;
  }
  if (!ParseArea(parts[1], &parsed.area)) {
    *error = "bad area '" + parts[1] + "' (eelite, eefull or 0..255)";
    return false;
  }
  if (!ParseOperation(parts[2], &parsed.operation)) {
    *error = "bad operation '" + parts[2] + "' (none, write, create, delete, delete-create or 0..255)";
    return false;
  }
  if (!ParseRange(parts[3], 0, 65535, &parsed.minSize, &parsed.maxSize)) {
    *error = "bad size or size range '" + parts[3] + "' (0..65535)";
    return false;
  }
  long long version = 1;
  if (parts.size() == 5 && !ParseInt(parts[4], 0, 255, &version)) {
    *error = "bad version '" + parts[4] + "' (0..255)";
    return false;
  }
  parsed.version = static_cast<uint8_t>(version);
  *range = parsed;
  return true;
}

std::vector<MapBlock> GenerateBlocks(const GeneratorOptions& options) {
  Random random(options.seed);
  std::vector<MapBlock> blocks;
  uint64_t length = kInfoOverhead;
  for (const BlockRange& range : options.ranges) {
    for (int64_t n = range.first; n <= range.last; ++n) {
      const int32_t size = random.Between(range.minSize, range.maxSize);
      blocks.push_back(MakeBlock(&random, static_cast<int32_t>(n), range.area, range.operation,
                                 size, range.version));
      length += TextLength(blocks.back());
    }
  }
  int32_t number = options.firstNumber;
  for (int32_t i = 0; i < options.randomBlocks || length < options.targetBytes; ++i) {
    const int32_t size = random.Between(options.minSize, options.maxSize);
    const bool eefull = random.Between(0, 99) < options.eefullPercent;
    blocks.push_back(MakeBlock(&random, number++, eefull ? static_cast<uint8_t>(kAreaEefull) : options.area,
                               options.operation, size, options.version));
    length += TextLength(blocks.back());
  }
  return blocks;
}

std::string GenerateMapText(const GeneratorOptions& options) {
  return FormatMapText(options.info, GenerateBlocks(options));
}

}  // namespace velmora
