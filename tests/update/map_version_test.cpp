// The map-version record in bytes 14..17 of Eefull block 5005.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/engine_fakes.h"
#include "update/engine.h"

namespace velmora {
namespace {

using testing::FakeBlockStore;
using testing::RecordingReporting;
using Op = FakeBlockStore::Op;

constexpr LinkHandle kLink = 3;
constexpr const char* kDeltaWarning =
    "Not the same Delta-Mapping-Version as Standard-Mapping in Mobile!\r\n";

MapInfo Info(int32_t provider, int32_t mapVersion, int32_t swVersion) {
  MapInfo info;
  info.provider = provider;
  info.mapVersion = mapVersion;
  info.swVersion = swVersion;
  return info;
}

class MapVersionTest : public ::testing::Test {
 protected:
  // A record block of `size` bytes, each byte 0xEE so that untouched bytes show.
  void PutRecord(size_t size) { store.Put(StoreArea::Eefull, 5005, std::vector<uint8_t>(size, 0xEE)); }
  std::vector<uint8_t>& Record() { return store.area(StoreArea::Eefull)[5005].data; }
  // The (offset, byte) of every one-byte write, in order.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() const {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const auto& c : store.journal) {
      if (c.op != Op::WritePart) continue;
      EXPECT_EQ(c.area, StoreArea::Eefull);
      EXPECT_EQ(c.number, 5005);
      EXPECT_EQ(c.size, 1);
      writes.emplace_back(c.offset, c.bytes.at(0));
    }
    return writes;
  }

  FakeBlockStore store;
  RecordingReporting reporting;
  UpdateEngine engine{store, reporting, nullptr};
};

TEST_F(MapVersionTest, MissingOrShortRecordBlockFailsWithoutWriting) {
  EXPECT_FALSE(engine.WriteMapVersion(kLink, Info(0, 1, 2)));
  // Block 5005 of the other area does not count.
  store.Put(StoreArea::Eelite, 5005, std::vector<uint8_t>(40, 0));
  EXPECT_FALSE(engine.WriteMapVersion(kLink, Info(0, 1, 2)));
  PutRecord(17);
  EXPECT_FALSE(engine.WriteMapVersion(kLink, Info(0, 1, 2)));
  EXPECT_FALSE(engine.WriteMapVersion(kLink, Info(1, 1, 2)));
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(store.Count(Op::ReadPart), 0);
}

TEST_F(MapVersionTest, StandardMappingWritesItsFourBytesInOrderAsLowEightBits) {
  PutRecord(18);
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(0, 0x1A5, 267)));
  EXPECT_EQ(Writes(), (std::vector<std::pair<uint16_t, uint8_t>>{
                          {14, 11}, {15, 0xA5}, {16, 0}, {17, 0xA5}}));
  std::vector<uint8_t> expected(18, 0xEE);
  expected[14] = 11;
  expected[15] = 0xA5;
  expected[16] = 0;
  expected[17] = 0xA5;
  EXPECT_EQ(Record(), expected);
  EXPECT_TRUE(reporting.log.empty());
}

TEST_F(MapVersionTest, StandardMappingStopsAtTheFirstFailedWrite) {
  PutRecord(18);
  store.FailNth(Op::WritePart, 2, kStatusErrorMobToPc);
  EXPECT_FALSE(engine.WriteMapVersion(kLink, Info(0, 5, 6)));
  EXPECT_EQ(store.Count(Op::WritePart), 2);
  EXPECT_EQ(Record()[14], 6);  // what went before stays written
}

TEST_F(MapVersionTest, DeltaMappingWithSameSoftwareWritesOnlyProviderAndVersion) {
  PutRecord(30);
  Record()[14] = 11;
  Record()[15] = 0x42;
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(0x107, 0x46, 267)));
  EXPECT_EQ(Writes(), (std::vector<std::pair<uint16_t, uint8_t>>{{16, 0x07}, {17, 0x46}}));
  EXPECT_EQ(Record()[14], 11);
  EXPECT_EQ(Record()[15], 0x42);
  EXPECT_TRUE(reporting.warnings.empty());
  ASSERT_EQ(store.Count(Op::ReadPart), 1);
  for (const auto& c : store.journal) {
    if (c.op == Op::ReadPart) {
      EXPECT_EQ(c.offset, 14);
      EXPECT_EQ(c.size, 1);
    }
  }
}

TEST_F(MapVersionTest, DeltaMappingWithOtherSoftwareWarnsOnceAndStillWrites) {
  PutRecord(18);
  Record()[14] = 12;
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(1, 0x46, 11)));
  EXPECT_EQ(reporting.warnings, std::vector<std::string>{kDeltaWarning});
  EXPECT_EQ(Writes(), (std::vector<std::pair<uint16_t, uint8_t>>{{16, 1}, {17, 0x46}}));
}

TEST_F(MapVersionTest, DeltaMappingFailures) {
  struct Case {
    const char* name;
    Op op;
    int ordinal;
    size_t writes;
  };
  const Case cases[] = {
      {"reading byte 14", Op::ReadPart, 1, 0},
      {"writing byte 16", Op::WritePart, 1, 1},
      {"writing byte 17", Op::WritePart, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBlockStore s;
    s.Put(StoreArea::Eefull, 5005, std::vector<uint8_t>(18, 0));
    s.FailNth(c.op, c.ordinal, kStatusErrorMobToPc);
    RecordingReporting rep;
    UpdateEngine eng{s, rep, nullptr};
    EXPECT_FALSE(eng.WriteMapVersion(kLink, Info(2, 1, 0)));
    EXPECT_EQ(static_cast<size_t>(s.Count(Op::WritePart)), c.writes);
  }
}

TEST_F(MapVersionTest, StandardAfterDeltaSetsProviderBackToZero) {
  PutRecord(18);
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(0, 3, 20)));
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(9, 4, 20)));
  EXPECT_EQ(Record()[16], 9);
  ASSERT_TRUE(engine.WriteMapVersion(kLink, Info(0, 5, 20)));
  EXPECT_EQ(std::vector<uint8_t>(Record().begin() + 14, Record().end()),
            (std::vector<uint8_t>{20, 5, 0, 5}));
  EXPECT_TRUE(reporting.warnings.empty());
}

}  // namespace
}  // namespace velmora
