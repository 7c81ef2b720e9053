// Block selection and the product check.
#include <gtest/gtest.h>

#include <vector>

#include "update/engine.h"
#include "update/engine_fakes.h"

namespace velmora {
namespace {

using testing::FakeBlockStore;
using testing::RecordingReporting;

TEST(SelectBlocks, SetsFlagsOfEveryOperationButNoneAndLeavesTheRest) {
  std::vector<MapBlock> blocks(6);
  const uint8_t ops[] = {kOpNone, kOpWrite, 1, kOpNone, kOpDeleteCreate, 255};
  for (size_t i = 0; i < blocks.size(); ++i) blocks[i].operation = ops[i];
  MapInfo info;
  info.blockCount = 6;
  // A flag already set stays set: selection only ever adds.
  std::vector<uint32_t> flags = {0, 0, 0, 7, 0, 0};
  SelectBlocks(flags.data(), blocks.data(), info);
  EXPECT_EQ(flags, (std::vector<uint32_t>{0, 1, 1, 7, 1, 1}));
}

TEST(SelectBlocks, AllOperationsNoneSelectsNothing) {
  std::vector<MapBlock> blocks(3);
  MapInfo info;
  info.blockCount = 3;
  std::vector<uint32_t> flags(3, 0);
  SelectBlocks(flags.data(), blocks.data(), info);
  EXPECT_EQ(flags, (std::vector<uint32_t>{0, 0, 0}));
}

TEST(ProductFits, FamilyTable) {
  struct Case {
    int32_t hardware;
    int32_t mapping;
    bool fits;
  };
  const Case cases[] = {
      {67, 66, true},   {67, 67, true},  {67, 72, true},   {67, 68, false}, {67, 73, false},
      {66, 67, false},  {74, 72, true},  {72, 66, true},   {68, 74, false},
      {71, 69, true},   {77, 75, true},  {70, 71, false},  {66, 69, false},
      {83, 82, true},   {83, 84, true},  {83, 200, true},  {83, 81, false}, {84, 100000, true},
      {82, 66, false},
      {85, 85, true},   {85, 84, false}, {85, 86, false},  {81, 82, false},
      // Signed comparisons: a negative mapping product is below 82, a huge one above it.
      {83, -1, false},  {83, INT32_MIN, false}, {83, INT32_MAX, true}, {-5, -5, true},
      {0, 0, true},     {0, 66, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "H=" << c.hardware << " M=" << c.mapping);
    EXPECT_EQ(ProductFits(c.hardware, c.mapping), c.fits);
  }
}

class CheckProductTest : public ::testing::Test {
 protected:
  FakeBlockStore store;
  RecordingReporting reporting;
  int reads = 0;
  int answer = 1;
  uint16_t product = 0;
  LinkHandle seenHandle = kNoLink;
  UpdateEngine engine{store, reporting, [this](LinkHandle h, uint16_t* p) {
                        ++reads;
                        seenHandle = h;
                        *p = product;
                        return answer;
                      }};
};

TEST_F(CheckProductTest, ReadsTheProductOnTheGivenLinkAndKeepsIt) {
  EXPECT_EQ(engine.HardwareProduct(), 0);
  product = 67;
  MapInfo info;
  info.product = 72;
  EXPECT_TRUE(engine.CheckProduct(0x101, info));
  EXPECT_EQ(seenHandle, 0x101);
  EXPECT_EQ(engine.HardwareProduct(), 67);
  EXPECT_TRUE(reporting.log.empty());
}

TEST_F(CheckProductTest, FailedReadFailsAndKeepsThePreviousNumber) {
  MapInfo info;
  info.product = 83;
  product = 83;
  ASSERT_TRUE(engine.CheckProduct(1, info));

  // The reader scribbles into its output before failing; the engine must not take it.
  product = 99;
  answer = 0;
  EXPECT_FALSE(engine.CheckProduct(1, info));
  EXPECT_EQ(engine.HardwareProduct(), 83);
  EXPECT_EQ(reads, 2);
}

TEST_F(CheckProductTest, NeverReadStaysZeroAndMismatchWritesNoMessage) {
  answer = 0;
  MapInfo info;
  info.product = 0;  // would match a hardware number of 0, but the read failed
  EXPECT_FALSE(engine.CheckProduct(1, info));
  EXPECT_EQ(engine.HardwareProduct(), 0);

  answer = 1;
  product = 66;
  info.product = 67;
  EXPECT_FALSE(engine.CheckProduct(1, info));
  EXPECT_EQ(engine.HardwareProduct(), 66);
  EXPECT_TRUE(reporting.buffer.empty());
  EXPECT_TRUE(reporting.log.empty());
}

TEST_F(CheckProductTest, ProductAboveSignedSixteenBitsComparesAsUnsignedNumber) {
  product = 0xFFFF;  // an unsigned 16-bit value, not -1
  MapInfo info;
  info.product = 65535;
  EXPECT_TRUE(engine.CheckProduct(1, info));
  info.product = -1;
  EXPECT_FALSE(engine.CheckProduct(1, info));
}

}  // namespace
}  // namespace velmora
