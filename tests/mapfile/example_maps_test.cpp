// The sample maps shipped in examples/ go through the whole Open File and read path: text-mode
// reading, header, blocks and checksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapfile/mapfile.h"
#include "platform/text_file.h"

namespace velmora::testing {
namespace {

struct Example {
  const char* file;
  int32_t provider;
  int32_t mapVersion;
  int32_t blockCount;
};

std::vector<MapBlock> ReadExample(const Example& e, MapInfo* info) {
  std::string text;
  EXPECT_EQ(ReadMapFileText(std::string(VELMORA_EXAMPLES_DIR) + "/" + e.file, &text),
            TextReadResult::Ok);
  EXPECT_EQ(text.find('\r'), std::string::npos);  // CR LF became LF
  EXPECT_TRUE(ReadMapInfo(text.c_str(), info));
  std::vector<MapBlock> blocks(static_cast<size_t>(info->blockCount > 0 ? info->blockCount : 0));
  EXPECT_TRUE(ReadMapBlocks(text.c_str(), blocks.data(), *info));
  EXPECT_TRUE(VerifyMapChecksum(blocks.data(), *info));
  return blocks;
}

TEST(ExampleMaps, ReadWithTheirChecksums) {
  const Example examples[] = {
      {"Velmora_K72_1_Standard_11_0001.map", 0, 0x01, 25},
      {"Velmora_K72_2_BRD-Handel_11_0046.map", 0x01, 0x46, 5},
      {"Velmora_K72_1_Large_11_0002.map", 0, 0x02, 40},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.file);
    MapInfo info;
    ReadExample(e, &info);
    EXPECT_EQ(info.product, 72);
    EXPECT_EQ(info.swVersion, 11);
    EXPECT_EQ(info.provider, e.provider);
    EXPECT_EQ(info.mapVersion, e.mapVersion);
    EXPECT_EQ(info.blockCount, e.blockCount);
  }
}

TEST(ExampleMaps, StandardMapFitsTheDefaultHandsetWithoutCompaction) {
  MapInfo info;
  const std::vector<MapBlock> blocks =
      ReadExample({"Velmora_K72_1_Standard_11_0001.map", 0, 1, 25}, &info);
  // The default simulated handset has 3952 bytes free in Eelite; every written or created
  // block takes its size plus 12, and a write needs more than that free.
  uint32_t free = 3952;
  for (const MapBlock& b : blocks) {
    if (b.area != kAreaEelite || !(b.operation == kOpWrite || b.operation == kOpCreate ||
                                   b.operation == kOpDeleteCreate)) {
      continue;
    }
    ASSERT_GT(free, static_cast<uint32_t>(b.size) + 12) << b.number;
    free -= static_cast<uint32_t>(b.size) + 12;
  }
}

TEST(ExampleMaps, LargeMapWrites40BlocksOf120Bytes) {
  MapInfo info;
  const std::vector<MapBlock> blocks =
      ReadExample({"Velmora_K72_1_Large_11_0002.map", 0, 2, 40}, &info);
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].number, static_cast<int32_t>(i + 1));
    EXPECT_EQ(blocks[i].area, kAreaEelite);
    EXPECT_EQ(blocks[i].operation, kOpWrite);
    EXPECT_EQ(blocks[i].size, 120);
  }
}

}  // namespace
}  // namespace velmora::testing
