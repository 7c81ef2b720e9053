// Read-back after writing (--verify) and the run record the engine keeps: a block the handset
// acknowledged but holds otherwise fails the block and stops the writing; without read-back the
// same handset passes. The record names every block handled, its outcome and status.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "update/engine.h"
#include "update/engine_fakes.h"
#include "update/update_run.h"

namespace velmora {
namespace {

using testing::FakeBlockStore;
using testing::MakeBlock;
using testing::RecordingReporting;
using Op = FakeBlockStore::Op;

constexpr LinkHandle kLink = 0x105;

// A store that acknowledges every write and create but then holds something else.
class TamperingStore : public FakeBlockStore {
 public:
  std::function<void(Block&)> tamper;

  int WriteBlock(LinkHandle h, StoreArea a, uint16_t number, uint16_t size, uint8_t version,
                 const uint8_t* data) override {
    const int ok = FakeBlockStore::WriteBlock(h, a, number, size, version, data);
    if (ok != 0 && tamper) tamper(area(a)[number]);
    return ok;
  }
  int CreateBlock(LinkHandle h, StoreArea a, uint16_t number, uint16_t size,
                  uint8_t version) override {
    const int ok = FakeBlockStore::CreateBlock(h, a, number, size, version);
    if (ok != 0 && tamper) tamper(area(a)[number]);
    return ok;
  }
};

class VerifyTest : public ::testing::Test {
 protected:
  bool Run(const std::vector<MapBlock>& blocks) {
    std::vector<uint32_t> flags(blocks.size(), 1);
    MapInfo info;
    info.blockCount = static_cast<int32_t>(blocks.size());
    engine.SetRecord(&record);
    return engine.WriteMapBlocks(kLink, blocks.data(), info, flags.data(), &failure);
  }
  std::string FailureLine() const {
    MessageBuffer line;
    FormatBlockFailure(failure, &line);
    return line.c_str();
  }

  TamperingStore store;
  RecordingReporting reporting;
  UpdateEngine engine{store, reporting, nullptr};
  RunRecord record;
  BlockFailure failure;
};

TEST_F(VerifyTest, AcknowledgedButDifferentBlockFailsWithWhereItDiffers) {
  struct Case {
    const char* name;
    uint8_t operation;
    std::function<void(FakeBlockStore::Block&)> tamper;
    std::string line;
    int32_t verifyByte;
  };
  const Case cases[] = {
      {"one data byte", kOpWrite, [](auto& b) { b.data[5] ^= 0x40; },
       "Block 1 verify failed at byte 5\r\n", 5},
      {"the first byte", kOpWrite, [](auto& b) { b.data[0] = 0; },
       "Block 1 verify failed at byte 0\r\n", 0},
      {"shorter", kOpWrite, [](auto& b) { b.data.resize(4); },
       "Block 1 verify failed at byte 4: 4 bytes read back\r\n", 4},
      {"longer", kOpWrite, [](auto& b) { b.data.push_back(0); },
       "Block 1 verify failed at byte 8: 9 bytes read back\r\n", 8},
      {"version", kOpWrite, [](auto& b) { b.version = 9; },
       "Block 1 verify failed: version 9 read back\r\n", 0},
      {"created, wrong size", kOpCreate, [](auto& b) { b.data.resize(2); },
       "Block 1 verify failed at byte 2: 2 bytes read back\r\n", 2},
      {"re-created, wrong version", kOpDeleteCreate, [](auto& b) { b.version = 0; },
       "Block 1 verify failed: version 0 read back\r\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TamperingStore fresh;
    fresh.Put(StoreArea::Eelite, 1, {7});  // for the delete of delete-create
    fresh.tamper = c.tamper;
    RecordingReporting rep;
    UpdateEngine eng{fresh, rep, nullptr};
    eng.SetVerify(true);
    RunRecord rec;
    eng.SetRecord(&rec);
    std::vector<MapBlock> blocks = {MakeBlock(1, kAreaEelite, c.operation, 8),
                                    MakeBlock(2, kAreaEefull, kOpWrite, 3)};
    std::vector<uint32_t> flags(2, 1);
    MapInfo info;
    info.blockCount = 2;
    BlockFailure f;
    EXPECT_FALSE(eng.WriteMapBlocks(kLink, blocks.data(), info, flags.data(), &f));
    MessageBuffer line;
    FormatBlockFailure(f, &line);
    EXPECT_EQ(line.c_str(), c.line);
    // The failing block stops the writing: block 2 is never sent, no line claims block 1.
    EXPECT_EQ(fresh.area(StoreArea::Eefull).count(2), 0u);
    EXPECT_EQ(rep.log, "");
    ASSERT_EQ(rec.blocks.size(), 1u);
    EXPECT_EQ(rec.blocks[0].outcome, BlockOutcome::VerifyFailed);
    EXPECT_EQ(rec.blocks[0].verifyByte, c.verifyByte);
  }
}

TEST_F(VerifyTest, BlockThatCannotBeReadBackFailsWithTheReadStatus) {
  engine.SetVerify(true);
  store.FailAll(Op::Read, kStatusNotInitialised);
  EXPECT_FALSE(Run({MakeBlock(4, kAreaEefull, kOpWrite, 3)}));
  EXPECT_EQ(FailureLine(),
            "Block 4 verify failed: cannot read it back\r\nError:Eelite/Eefull not initialised\r\n");
  EXPECT_EQ(record.blocks.at(0).status, kStatusNotInitialised);
}

TEST_F(VerifyTest, GoodBlocksPassAndOnlyWrittenOrCreatedOnesAreReadBack) {
  engine.SetVerify(true);
  store.Put(StoreArea::Eefull, 9, {1});
  // A created block holds the handset's fill, not the map's bytes, and still passes.
  EXPECT_TRUE(Run({MakeBlock(1, kAreaEelite, kOpWrite, 30), MakeBlock(2, kAreaEelite, kOpCreate, 5),
                   MakeBlock(9, kAreaEefull, kOpDelete, 0), MakeBlock(3, kAreaEefull, kOpWrite, 0)}));
  EXPECT_EQ(store.Count(Op::Read), 3);
  EXPECT_EQ(reporting.log,
            "Block 1 written\r\nBlock 2 written\r\nBlock 9 written\r\nBlock 3 written\r\n");
}

TEST_F(VerifyTest, WithoutReadBackTheSameHandsetPassesAndNothingIsRead) {
  store.tamper = [](auto& b) { b.data[0] ^= 1; };
  EXPECT_TRUE(Run({MakeBlock(1, kAreaEelite, kOpWrite, 8), MakeBlock(2, kAreaEefull, kOpWrite, 8)}));
  EXPECT_EQ(store.Count(Op::Read), 0);
}

TEST_F(VerifyTest, RecordNamesEveryBlockHandledWithItsOutcomeAndStatus) {
  store.FailNth(Op::Write, 2, kStatusNoSpace);
  EXPECT_FALSE(Run({MakeBlock(1, kAreaEefull, kOpWrite, 2), MakeBlock(6, kAreaEelite, kOpCreate, 2),
                    MakeBlock(2, kAreaEelite, kOpWrite, 2), MakeBlock(3, kAreaEefull, kOpWrite, 2)}));
  ASSERT_EQ(record.blocks.size(), 3u);
  EXPECT_EQ(record.blocks[0].outcome, BlockOutcome::Done);
  EXPECT_EQ(record.blocks[1].operation, kOpCreate);
  EXPECT_EQ(record.blocks[2].number, 2);
  EXPECT_EQ(record.blocks[2].area, kAreaEelite);
  EXPECT_EQ(record.blocks[2].outcome, BlockOutcome::Failed);
  EXPECT_EQ(record.blocks[2].status, kStatusNoSpace);
  EXPECT_EQ(record.garbageCollections, 0);
}

TEST_F(VerifyTest, RecordCountsGarbageCollections) {
  store.maxLogical = 3;
  store.Put(StoreArea::Eelite, 2, {1, 2});
  store.freeSpace = 10;  // too little for any block: one collection
  UpdateEngine::BackupPlaces places;
  places.primaryPath = ::testing::TempDir() + "/verify-test-mapsave.eel";
  places.privateDirectory = ::testing::TempDir();
  engine.SetBackupPlaces(places);
  EXPECT_TRUE(Run({MakeBlock(1, kAreaEelite, kOpWrite, 4)}));
  EXPECT_EQ(record.garbageCollections, 1);
  EXPECT_TRUE(record.savedFiles.empty());
}

}  // namespace
}  // namespace velmora
