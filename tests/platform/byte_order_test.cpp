// Numbers in a fixed byte order, whatever the machine's.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/byte_order.h"

namespace velmora {
namespace {

TEST(ByteOrder, LoadsAndStoresInEitherOrder) {
  const uint8_t bytes[4] = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(LoadLe16(bytes), 0x5678);
  EXPECT_EQ(LoadLe32(bytes), 0x12345678u);
  EXPECT_EQ(LoadBe32(bytes), 0x78563412u);
  // The top bit of every byte survives: no sign extension on the way up.
  const uint8_t high[4] = {0xFF, 0xFE, 0x80, 0x81};
  EXPECT_EQ(LoadLe16(high), 0xFEFF);
  EXPECT_EQ(LoadLe32(high), 0x8180FEFFu);
  EXPECT_EQ(LoadBe32(high), 0xFFFE8081u);

  uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  StoreLe16(out, 0x1234);
  EXPECT_EQ(out[0], 0x34);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[2], 0xAA);  // nothing past the two bytes
  StoreLe32(out, 0x8180FEFFu);
  EXPECT_EQ(LoadLe32(out), 0x8180FEFFu);
  EXPECT_EQ(out[0], 0xFF);
  StoreBe32(out, 0x12345678u);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[3], 0x78);
  EXPECT_EQ(LoadBe32(out), 0x12345678u);
}

}  // namespace
}  // namespace velmora
