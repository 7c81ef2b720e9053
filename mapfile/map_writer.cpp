#include "mapfile/map_writer.h"

#include <algorithm>
#include <cstdio>

namespace velmora {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kBytesPerLine = 16;

uint32_t Pattern(int32_t value) { return static_cast<uint32_t>(value); }

void AppendLine(std::string* out, const char* key, const char* value) {
  out->append(key);
  out->push_back('=');
  out->append(value);
  out->append("\r\n");
}

void AppendDecimal(std::string* out, const char* key, long long value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld", value);
  AppendLine(out, key, buffer);
}

void AppendHexByteField(std::string* out, const char* key, int32_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%02X", Pattern(value));
  AppendLine(out, key, buffer);
}

// Time and date are shown with six digits, so they are written that way too.
void AppendSixDigits(std::string* out, const char* key, int32_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, value >= 0 ? "%06d" : "%d", value);
  AppendLine(out, key, buffer);
}

size_t EstimateLength(const std::vector<MapBlock>& blocks) {
  size_t length = 256;
  for (const MapBlock& block : blocks) {
    const size_t size = block.size > 0 ? static_cast<size_t>(block.size) : 0;
    length += 128 + size * 5 + (size / kBytesPerLine + 1) * 2;
  }
  return length;
}

}  // namespace

uint32_t ComputeMapChecksum(const MapInfo& info, const MapBlock* blocks, int count) {
  uint32_t sum = Pattern(info.product) ^ Pattern(info.provider) ^ Pattern(info.mapVersion) ^
                 Pattern(info.swVersion) ^ Pattern(info.time) ^ Pattern(info.date);
  if (blocks == nullptr) return sum;
  for (int i = 0; i < count; ++i) {
    const MapBlock& block = blocks[i];
    sum ^= Pattern(block.number) ^ Pattern(block.extra) ^ block.area ^ block.attribute ^
           block.operation ^ block.version ^ Pattern(block.size);
    // Only the bytes the record really holds: a record whose size claims more must not make the
    // checksum read past its buffer.
    const size_t size = block.size > 0 ? static_cast<size_t>(block.size) : 0;
    const size_t present = std::min(size, block.data.size());
    uint8_t bytes = 0;
    for (size_t j = 0; j < present; ++j) bytes ^= block.data[j];
    sum ^= bytes;
  }
  return sum;
}

std::string FormatMapText(MapInfo info, const std::vector<MapBlock>& blocks) {
  info.blockCount = static_cast<int32_t>(blocks.size());
  const uint32_t checkSum = ComputeMapChecksum(info, blocks.data(), info.blockCount);

  std::string out;
  out.reserve(EstimateLength(blocks));
  out.append("[MapFileInfo]\r\n");
  AppendDecimal(&out, "Product", info.product);
  AppendHexByteField(&out, "Provider", info.provider);
  AppendHexByteField(&out, "MapVersion", info.mapVersion);
  AppendDecimal(&out, "SWVersion", info.swVersion);
  AppendSixDigits(&out, "Time", info.time);
  AppendSixDigits(&out, "Date", info.date);

  for (const MapBlock& block : blocks) {
    char opener[32];
    std::snprintf(opener, sizeof opener, "\r\n[%d]\r\n", block.number);
    out.append(opener);
    AppendDecimal(&out, "Extra", block.extra);
    AppendDecimal(&out, "Area", block.area);
    AppendDecimal(&out, "Attribute", block.attribute);
    AppendDecimal(&out, "Operation", block.operation);
    AppendDecimal(&out, "Version", block.version);
    AppendDecimal(&out, "Size", block.size);
    out.append("{\r\n");
    const size_t size = block.size > 0 ? static_cast<size_t>(block.size) : 0;
    for (size_t j = 0; j < size; ++j) {
      const uint8_t byte = j < block.data.size() ? block.data[j] : 0;
      const char text[4] = {'0', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
      out.append(text, sizeof text);
      const bool lineEnd = (j + 1) % kBytesPerLine == 0 || j + 1 == size;
      out.append(lineEnd ? "\r\n" : " ");
    }
    out.append("}\r\n");
  }

  char sum[64];
  std::snprintf(sum, sizeof sum, "\r\n[CheckSum]\r\nCheckSum=%u:0x%X\r\n", checkSum, checkSum);
  out.append(sum);
  return out;
}

}  // namespace velmora
