// The writer's texts read back exactly, and the checksum behaves as an XOR over every field.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mapfile/map_writer.h"
#include "mapfile/mapfile.h"
#include "tools/mapgen/map_generator.h"

namespace velmora::testing {
namespace {

MapBlock Block(int32_t number, uint8_t area, uint8_t operation, std::vector<uint8_t> data,
               int32_t extra = 0, uint8_t attribute = 0, uint8_t version = 1) {
  MapBlock b = MakeMapBlock(number, area, operation, version, std::move(data));
  b.extra = extra;
  b.attribute = attribute;
  return b;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 37);
  return v;
}

MapInfo Header(int32_t provider = 0) {
  MapInfo info;
  info.product = 72;
  info.provider = provider;
  info.mapVersion = 0x46;
  info.swVersion = 11;
  info.time = 143012;
  info.date = 20926;
  return info;
}

TEST(MapWriter, RoundTripKeepsEveryField) {
  const std::vector<MapBlock> source = {
      Block(1, kAreaEelite, kOpWrite, Bytes(33, 1)),
      Block(18, kAreaEelite, kOpDelete, {}),
      Block(5001, kAreaEefull, kOpWrite, Bytes(16, 0xF0), -3, 255, 254),
      Block(-7, 77, kOpDeleteCreate, Bytes(1, 0)),
      Block(70000, kAreaEelite, kOpNone, Bytes(17, 9), 2147483647),
  };
  for (const int32_t provider : {0, 1, -1}) {
    SCOPED_TRACE(provider);
    const MapInfo header = Header(provider);
    const std::string text = FormatMapText(header, source);
    MapInfo info;
    ASSERT_TRUE(ReadMapInfo(text.c_str(), &info));
    EXPECT_EQ(info.product, header.product);
    EXPECT_EQ(info.provider, header.provider);
    EXPECT_EQ(info.mapVersion, header.mapVersion);
    EXPECT_EQ(info.swVersion, header.swVersion);
    EXPECT_EQ(info.time, header.time);
    EXPECT_EQ(info.date, header.date);
    ASSERT_EQ(info.blockCount, static_cast<int32_t>(source.size()));
    EXPECT_EQ(static_cast<uint32_t>(info.checkSum),
              ComputeMapChecksum(header, source.data(), static_cast<int>(source.size())));

    std::vector<MapBlock> blocks(source.size());
    ASSERT_TRUE(ReadMapBlocks(text.c_str(), blocks.data(), info));
    EXPECT_TRUE(VerifyMapChecksum(blocks.data(), info));
    for (size_t i = 0; i < source.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(blocks[i].number, source[i].number);
      EXPECT_EQ(blocks[i].extra, source[i].extra);
      EXPECT_EQ(blocks[i].area, source[i].area);
      EXPECT_EQ(blocks[i].attribute, source[i].attribute);
      EXPECT_EQ(blocks[i].operation, source[i].operation);
      EXPECT_EQ(blocks[i].version, source[i].version);
      EXPECT_EQ(blocks[i].size, source[i].size);
      EXPECT_EQ(blocks[i].data, source[i].data);
    }
    FreeMapBlocks(blocks.data(), info);
  }
}

TEST(MapWriter, TextLayout) {
  const std::string text = FormatMapText(Header(), {Block(3, kAreaEelite, kOpWrite, Bytes(17, 0xAB))});
  EXPECT_EQ(text.rfind("[MapFileInfo]\r\nProduct=72\r\nProvider=0x00\r\nMapVersion=0x46\r\n"
                       "SWVersion=11\r\nTime=143012\r\nDate=020926\r\n",
                       0),
            0u);
  EXPECT_NE(text.find("[3]\r\nExtra=0\r\nArea=2\r\nAttribute=0\r\nOperation=2\r\nVersion=1\r\n"
                      "Size=17\r\n{\r\n0xAB 0xD0 "),
            std::string::npos);
  // Sixteen bytes to a line, blank-separated; the seventeenth alone on the next line.
  const size_t data = text.find("{\r\n") + 3;
  const size_t firstLineEnd = text.find("\r\n", data);
  EXPECT_EQ(firstLineEnd - data, 16u * 5 - 1);
  char last[16];
  std::snprintf(last, sizeof last, "0x%02X\r\n}\r\n", Bytes(17, 0xAB)[16]);
  EXPECT_EQ(text.substr(firstLineEnd + 2, 9), last);
  // No bare LF anywhere.
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_EQ(text[i - 1], '\r') << i;
    }
  }
  MapInfo info;
  ASSERT_TRUE(ReadMapInfo(text.c_str(), &info));
  char tail[64];
  std::snprintf(tail, sizeof tail, "[CheckSum]\r\nCheckSum=%u:0x%X\r\n",
                static_cast<uint32_t>(info.checkSum), static_cast<uint32_t>(info.checkSum));
  EXPECT_EQ(text.substr(text.size() - std::strlen(tail)), tail);
}

TEST(MapChecksum, XorOverAllFields) {
  MapInfo info;
  info.product = 1;
  info.mapVersion = 2;
  info.swVersion = 3;
  info.checkSum = 12345;   // neither of these two enters
  info.blockCount = 99;
  EXPECT_EQ(ComputeMapChecksum(info, nullptr, 0), 0u);
  const MapBlock worked = Block(5, kAreaEelite, kOpWrite, {16, 32});
  EXPECT_EQ(ComputeMapChecksum(info, &worked, 1), 54u);

  // Exchanging two data bytes or two blocks leaves the sum alone; changing one bit does not.
  std::vector<MapBlock> blocks = {Block(1, 2, 2, {1, 2, 3}), Block(2, 8, 4, {9, 8})};
  const uint32_t base = ComputeMapChecksum(info, blocks.data(), 2);
  std::swap(blocks[0].data[0], blocks[0].data[2]);
  EXPECT_EQ(ComputeMapChecksum(info, blocks.data(), 2), base);
  std::swap(blocks[0], blocks[1]);
  EXPECT_EQ(ComputeMapChecksum(info, blocks.data(), 2), base);
  blocks[1].attribute ^= 0x40;
  EXPECT_EQ(ComputeMapChecksum(info, blocks.data(), 2), base ^ 0x40u);

  // Only the first `size` bytes count, and never more than the record holds.
  MapBlock partial = Block(0, 0, 0, {0x0F, 0xF0}, 0, 0, 0);
  partial.size = 1;
  EXPECT_EQ(ComputeMapChecksum(MapInfo{}, &partial, 1), 1u ^ 0x0Fu);
  partial.size = 1000;
  EXPECT_EQ(ComputeMapChecksum(MapInfo{}, &partial, 1), 1000u ^ 0xFFu);
  partial.size = -1;
  EXPECT_EQ(ComputeMapChecksum(MapInfo{}, &partial, 1), 0xFFFFFFFFu);
}

TEST(MapChecksum, VerifyComparesAll32Bits) {
  MapInfo info = Header();
  const std::vector<MapBlock> blocks = {Block(5, kAreaEelite, kOpWrite, {16, 32})};
  const uint32_t sum = ComputeMapChecksum(info, blocks.data(), 1);
  info.blockCount = 1;
  info.checkSum = static_cast<int32_t>(sum);
  EXPECT_TRUE(VerifyMapChecksum(blocks.data(), info));
  info.checkSum = static_cast<int32_t>(sum ^ 0x10000u);  // same check byte, other high bits
  EXPECT_FALSE(VerifyMapChecksum(blocks.data(), info));
  EXPECT_FALSE(VerifyMapChecksum(nullptr, info));  // records promised but absent
}

TEST(MapChecksum, AlteredDataByteInTheTextIsCaught) {
  const std::vector<MapBlock> source = {Block(1, kAreaEelite, kOpWrite, Bytes(40, 3))};
  std::string text = FormatMapText(Header(), source);
  const size_t at = text.find("0x", text.find('{'));
  text[at + 3] = text[at + 3] == '0' ? '1' : '0';
  MapInfo info;
  ASSERT_TRUE(ReadMapInfo(text.c_str(), &info));
  std::vector<MapBlock> blocks(1);
  ASSERT_TRUE(ReadMapBlocks(text.c_str(), blocks.data(), info));
  EXPECT_FALSE(VerifyMapChecksum(blocks.data(), info));
}

TEST(MapGenerator, BlockSpecs) {
  const struct {
    const char* text;
    bool ok;
    int32_t first, last;
    uint8_t area, operation;
    int32_t minSize, maxSize;
    uint8_t version;
  } cases[] = {
      {"1-15:eelite:write:20-90", true, 1, 15, 2, 2, 20, 90, 1},
      {"18:eelite:delete:0", true, 18, 18, 2, 8, 0, 0, 1},
      {"5001:eefull:delete-create:24:3", true, 5001, 5001, 8, 16, 24, 24, 3},
      {"-4:7:1:5", true, -4, -4, 7, 1, 5, 5, 1},
      {"9-3:eelite:write:5", false, 0, 0, 0, 0, 0, 0, 0},
      {"1:somewhere:write:5", false, 0, 0, 0, 0, 0, 0, 0},
      {"1:eelite:poke:5", false, 0, 0, 0, 0, 0, 0, 0},
      {"1:eelite:write:70000", false, 0, 0, 0, 0, 0, 0, 0},
      {"1:eelite:write", false, 0, 0, 0, 0, 0, 0, 0},
      {"1:eelite:write:5:256", false, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    BlockRange range;
    std::string error;
    ASSERT_EQ(ParseBlockRange(c.text, &range, &error), c.ok);
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(range.first, c.first);
    EXPECT_EQ(range.last, c.last);
    EXPECT_EQ(range.area, c.area);
    EXPECT_EQ(range.operation, c.operation);
    EXPECT_EQ(range.minSize, c.minSize);
    EXPECT_EQ(range.maxSize, c.maxSize);
    EXPECT_EQ(range.version, c.version);
  }
}

TEST(MapGenerator, SameSeedSameTextAndTargetSizeIsReached) {
  GeneratorOptions options;
  options.info = Header();
  BlockRange range;
  ASSERT_TRUE(ParseBlockRange("1-5:eelite:write:10-20", &range, nullptr));
  options.ranges.push_back(range);
  options.targetBytes = 64 * 1024;
  options.eefullPercent = 30;
  const std::string a = GenerateMapText(options);
  EXPECT_EQ(a, GenerateMapText(options));
  EXPECT_GE(a.size(), options.targetBytes);
  EXPECT_LT(a.size(), options.targetBytes + 2000);  // at most one block more
  const std::vector<MapBlock> blocks = GenerateBlocks(options);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(blocks[i].number, i + 1);
    EXPECT_GE(blocks[i].size, 10);
    EXPECT_LE(blocks[i].size, 20);
  }
  MapInfo info;
  ASSERT_TRUE(ReadMapInfo(a.c_str(), &info));
  EXPECT_EQ(info.blockCount, static_cast<int32_t>(blocks.size()));
  options.seed = 2;
  EXPECT_NE(a, GenerateMapText(options));
}

}  // namespace
}  // namespace velmora::testing
