// Map text reader: a marker scanner over one zero-terminated text. It looks only for the
// section openers and for '=', ':', '{', 'x' and '}', and reads the number after each. Every
// search stops at the terminating zero, so a broken or truncated text ends a step with false
// instead of a read past its end. Each scan moves forward only: the whole text is read once.
#include "mapfile/mapfile.h"

#include <cstring>
#include <new>

#include "mapfile/map_writer.h"

namespace velmora {
namespace {

constexpr char kInfoOpener[] = "[MapFileInfo]";
constexpr char kCheckSumOpener[] = "[CheckSum]";
constexpr size_t kCheckSumOpenerLength = sizeof(kCheckSumOpener) - 1;  // 10
constexpr char kCheckSumName[] = "CheckSum";
constexpr size_t kCheckSumNameLength = sizeof(kCheckSumName) - 1;  // 8

// Value of a hexadecimal digit, -1 for any other character.
constexpr int HexDigitSlow(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The same as a table: data bytes are random, and a chain of range tests on them is
// mispredicted often enough to halve the reader's speed.
struct HexTable {
  int8_t value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) value[c] = static_cast<int8_t>(HexDigitSlow(static_cast<char>(c)));
  }
};
constexpr HexTable kHex;

inline int HexDigit(char c) { return kHex.value[static_cast<unsigned char>(c)]; }
// A digit's value, 0 for any other character: what a place adds in HexToInt.
inline uint32_t PlaceValue(char c) {
  const int d = HexDigit(c);
  return static_cast<uint32_t>(d & ~(d >> 8));
}

constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Next occurrence of c at or after p, or null at the terminating zero.
inline const char* Find(const char* p, char c) { return std::strchr(p, c); }

// Decimal value after p: blanks and line breaks skipped, optional sign, digits; no digits read
// as 0. The value wraps modulo 2^32, so "4294967295" and "-1" give the same pattern.
uint32_t ReadDecimal(const char* p) {
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  return negative ? 0u - value : value;
}

// Hexadecimal value after p: blanks skipped, optional sign, optional "0x"/"0X", hex digits of
// either case; no digit reads as 0. Wraps modulo 2^32 like the decimal values.
uint32_t ReadHex(const char* p) {
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Only skip the prefix when a digit follows it, so that "0x" alone still reads as 0 and the
  // 'x' is never taken for a digit.
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigit(p[2]) >= 0) p += 2;
  uint32_t value = 0;
  for (int d = HexDigit(*p); d >= 0; d = HexDigit(*++p)) {
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return negative ? 0u - value : value;
}

int32_t AsSigned(uint32_t pattern) { return static_cast<int32_t>(pattern); }
uint8_t LowByte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }

// The byte after a data byte's 'x': the (up to) two characters that follow it, taken as
// HexToInt takes them. Never looks past the terminating zero.
uint8_t ReadDataByte(const char* x) {
  const char first = x[1];
  if (first == '\0') return 0;
  const char second = x[2];
  if (second == '\0') return LowByte(PlaceValue(first));
  return LowByte((PlaceValue(first) << 4) + PlaceValue(second));
}

// Reads one block section whose '[' is at open. On success *next is just after its '}'.
bool ReadOneBlock(const char* open, const char* end, MapBlock* block, const char** next) {
  block->number = AsSigned(ReadDecimal(open + 1));

  const char* p = open;
  uint32_t values[6];
  for (uint32_t& value : values) {
    p = Find(p + 1, '=');
    if (p == nullptr) return false;
    value = ReadDecimal(p + 1);
  }
  block->extra = AsSigned(values[0]);
  block->area = LowByte(values[1]);
  block->attribute = LowByte(values[2]);
  block->operation = LowByte(values[3]);
  block->version = LowByte(values[4]);
  block->size = AsSigned(values[5]);

  // A negative size is an allocation that can never succeed. A size larger than the rest of the
  // text cannot be filled either (every byte needs its own 'x'), so it is refused before a
  // buffer of that size is ever requested.
  if (block->size < 0) return false;
  const size_t size = static_cast<size_t>(block->size);
  if (size > static_cast<size_t>(end - p)) return false;
  try {
    block->data.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }

  const char* brace = Find(p + 1, '{');
  if (brace == nullptr) return false;
  if (size > static_cast<size_t>(end - brace)) return false;

  const char* q = brace;  // the last marker passed; the next search starts after it
  uint8_t* out = block->data.data();
  for (size_t i = 0; i < size; ++i) {
    const char* x = q + 1;
    while (*x != 'x') {
      if (*x == '\0') return false;
      ++x;
    }
    out[i] = ReadDataByte(x);
    q = x;
  }

  const char* close = Find(q + 1, '}');
  if (close == nullptr) return false;
  *next = close + 1;
  return true;
}

}  // namespace

int32_t HexToInt(const char* text) {
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  uint32_t value = 0;
  unsigned shift = 0;
  // From the last character to the first; every character takes its place, but only
  // hexadecimal digits add to the value. Places beyond 32 bits add nothing.
  for (size_t i = length; i > 0; --i, shift += 4) {
    if (shift < 32) value += PlaceValue(text[i - 1]) << shift;
  }
  return AsSigned(value);
}

bool CountMapBlocks(const char* text, MapInfo* info) {
  if (info == nullptr || text == nullptr || *text == '\0') return false;
  int64_t count = 0;
  const char* last = text;
  for (const char* p = Find(text, '['); p != nullptr; p = Find(p + 1, '[')) {
    if (std::strncmp(p, kCheckSumOpener, kCheckSumOpenerLength) == 0) break;
    ++count;
    last = p;
  }
  if (count == 0) return false;
  // Only a text of more than 2 GB could hold this many openers; its count would not fit.
  if (count - 1 > INT32_MAX) return false;
  int64_t records = count - 1;
  // Every record ReadMapBlocks fills takes nine characters of its own, in this order: its '[',
  // six '=', '{' and '}'; the next record's '[' is searched for after that '}'. A text of n
  // characters therefore fills at most (n - 1) / 9 records after the info opener, and the
  // reading ends (with success at "[CheckSum" or with failure) by the record after those.
  // Records beyond that bound would stay all zero: they add nothing to the checksum, are never
  // selected and write nothing, so they are not counted, and a text of '[' characters cannot
  // make the run allocate forty bytes of records for each of its bytes.
  const int64_t seen = last - text + 1;  // the text is at least this long
  if (records > (seen - 1) / 9 + 1) {
    const int64_t length = static_cast<int64_t>(std::strlen(text));
    const int64_t fillable = (length - 1) / 9;
    if (records > fillable + 1) records = fillable + 1;
  }
  info->blockCount = static_cast<int32_t>(records);
  return true;
}

bool ReadMapInfo(const char* text, MapInfo* info) {
  if (info == nullptr) return false;
  if (text == nullptr) text = "";

  const char* p = std::strstr(text, kInfoOpener);
  if (p == nullptr) return false;

  uint32_t values[6];
  for (int i = 0; i < 6; ++i) {
    p = Find(p + (i == 0 ? 0 : 1), '=');
    if (p == nullptr) return false;
    // Provider and map version are hexadecimal, the others decimal.
    values[i] = (i == 1 || i == 2) ? ReadHex(p + 1) : ReadDecimal(p + 1);
  }
  info->product = AsSigned(values[0]);
  info->provider = AsSigned(values[1]);
  info->mapVersion = AsSigned(values[2]);
  info->swVersion = AsSigned(values[3]);
  info->time = AsSigned(values[4]);
  info->date = AsSigned(values[5]);

  const char* sum = std::strstr(text, kCheckSumOpener);
  if (sum == nullptr) return false;
  const char* equals = Find(sum, '=');
  if (equals == nullptr) return false;
  info->checkSum = AsSigned(ReadDecimal(equals + 1));
  const char* colon = Find(equals + 1, ':');
  if (colon == nullptr) return false;
  const uint32_t checkByte = ReadHex(colon + 1);

  const bool counted = CountMapBlocks(text, info);
  return counted && LowByte(checkByte) == LowByte(static_cast<uint32_t>(info->checkSum));
}

bool ReadMapBlocks(const char* text, MapBlock* blocks, const MapInfo& info) {
  if (info.blockCount <= 0) return true;
  if (text == nullptr || blocks == nullptr) return false;

  // One length measurement for the whole read: it bounds every block's size.
  const char* end = text + std::strlen(text);
  const char* first = Find(text, '[');
  if (first == nullptr) return false;
  const char* scan = first + 1;

  for (int32_t i = 0; i < info.blockCount; ++i) {
    const char* open = Find(scan, '[');
    if (open == nullptr) return false;
    if (std::strncmp(open + 1, kCheckSumName, kCheckSumNameLength) == 0) return true;
    if (!ReadOneBlock(open, end, &blocks[i], &scan)) return false;
  }
  return true;
}

bool FreeMapBlocks(MapBlock* blocks, const MapInfo& info) {
  if (blocks == nullptr) return true;
  for (int32_t i = 0; i < info.blockCount; ++i) std::vector<uint8_t>().swap(blocks[i].data);
  return true;
}

bool VerifyMapChecksum(const MapBlock* blocks, const MapInfo& info) {
  const int count = info.blockCount > 0 ? info.blockCount : 0;
  if (count > 0 && blocks == nullptr) return false;
  return ComputeMapChecksum(info, blocks, count) == static_cast<uint32_t>(info.checkSum);
}

}  // namespace velmora
