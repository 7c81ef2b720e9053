// Block writing: operations, the Eelite free-space test, progress and log lines, failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/engine.h"
#include "update/update_run.h"
#include "update/engine_fakes.h"

namespace velmora {
namespace {

using testing::FakeBlockStore;
using testing::MakeBlock;
using testing::RecordingReporting;
using Op = FakeBlockStore::Op;
using Progress = RecordingReporting::Progress;

constexpr LinkHandle kLink = 0x105;

class BlockWritingTest : public ::testing::Test {
 protected:
  bool Run(const std::vector<MapBlock>& blocks, std::vector<uint32_t> flags = {}) {
    if (flags.empty()) flags.assign(blocks.size(), 1);
    MapInfo info;
    info.blockCount = static_cast<int32_t>(blocks.size());
    return engine.WriteMapBlocks(kLink, blocks.data(), info, flags.data(), &failure);
  }
  // The line the run logs for the block that failed.
  std::string FailureLine() const { return Line(failure); }
  static std::string Line(const BlockFailure& f) {
    MessageBuffer line;
    FormatBlockFailure(f, &line);
    return line.c_str();
  }

  BlockFailure failure;

  FakeBlockStore store;
  RecordingReporting reporting;
  UpdateEngine engine{store, reporting, nullptr};
};

TEST_F(BlockWritingTest, EeliteFreeSpaceMustExceedSizePlusTwelve) {
  struct Case {
    const char* name;
    uint32_t freeSpace;
    bool collects;
  };
  const Case cases[] = {
      {"size + 13 writes at once", 40 + 13, false},
      {"exactly size + 12 collects first", 40 + 12, true},
      {"size + 11 collects first", 40 + 11, true},
      {"no space at all", 0, true},
      // Compared unsigned: a free space with the top bit set is plenty, not negative.
      {"top bit set", 0x80000000u, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store.journal.clear();
    store.freeSpace = c.freeSpace;
    store.maxLogical = 0;
    ASSERT_TRUE(engine.WriteOneBlock(kLink, MakeBlock(9, kAreaEelite, kOpWrite, 40)));
    const std::vector<Op> expected =
        c.collects ? std::vector<Op>{Op::MaxSpace, Op::MaxLogical, Op::DeleteAll, Op::Write}
                   : std::vector<Op>{Op::MaxSpace, Op::Write};
    EXPECT_EQ(store.Ops(), expected);
    EXPECT_EQ(store.journal.back().area, StoreArea::Eelite);
  }
}

TEST_F(BlockWritingTest, EefullIsWrittenWithoutFreeSpaceTest) {
  store.freeSpace = 0;
  ASSERT_TRUE(engine.WriteOneBlock(kLink, MakeBlock(5005, kAreaEefull, kOpWrite, 25, 9)));
  ASSERT_EQ(store.Ops(), std::vector<Op>{Op::Write});
  const auto& call = store.journal[0];
  EXPECT_EQ(call.area, StoreArea::Eefull);
  EXPECT_EQ(call.number, 5005);
  EXPECT_EQ(call.size, 25);
  EXPECT_EQ(call.version, 9);
  EXPECT_EQ(call.bytes, MakeBlock(0, 0, 0, 25).data);
}

TEST_F(BlockWritingTest, NumbersAndSizesReachTheHandsetAsLow16Bits) {
  MapBlock big = MakeBlock(70000, kAreaEefull, kOpWrite, 65536 + 5);
  store.Put(StoreArea::Eelite, 7, {});
  ASSERT_TRUE(Run({big, MakeBlock(65536 + 7, kAreaEelite, kOpDelete, 0),
                   MakeBlock(-1, kAreaEefull, kOpCreate, 65536 + 300)}));
  ASSERT_EQ(store.journal.size(), 3u);
  EXPECT_EQ(store.journal[0].number, 70000 - 65536);
  EXPECT_EQ(store.journal[0].size, 5);
  EXPECT_EQ(store.journal[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(store.journal[1].number, 7);
  EXPECT_EQ(store.journal[2].number, 0xFFFF);
  EXPECT_EQ(store.journal[2].size, 300);
  // The log names the record's own number.
  EXPECT_EQ(reporting.log, "Block 70000 written\r\nBlock 65543 written\r\nBlock -1 written\r\n");
}

TEST_F(BlockWritingTest, OperationsSendTheirCommands) {
  struct Case {
    uint8_t operation;
    uint8_t area;
    std::vector<Op> ops;
    StoreArea storeArea;
  };
  const Case cases[] = {
      {kOpCreate, kAreaEelite, {Op::Create}, StoreArea::Eelite},
      {kOpCreate, kAreaEefull, {Op::Create}, StoreArea::Eefull},
      {kOpDelete, kAreaEefull, {Op::Delete}, StoreArea::Eefull},
      {kOpDeleteCreate, kAreaEelite, {Op::Delete, Op::Create}, StoreArea::Eelite},
      {kOpDeleteCreate, kAreaEefull, {Op::Delete, Op::Create}, StoreArea::Eefull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "operation " << int{c.operation} << " area "
                                      << int{c.area});
    store.journal.clear();
    store.Put(c.storeArea, 42, {1, 2});
    ASSERT_TRUE(Run({MakeBlock(42, c.area, c.operation, 30, 6)}));
    ASSERT_EQ(store.Ops(), c.ops);
    for (const auto& call : store.journal) {
      EXPECT_EQ(call.area, c.storeArea);
      EXPECT_EQ(call.number, 42);
      if (call.op == Op::Create) {
        EXPECT_EQ(call.size, 30);
        EXPECT_EQ(call.version, 6);
      }
    }
  }
}

TEST_F(BlockWritingTest, UnselectedAndActionlessRecordsKeepTheirIndexForProgress) {
  std::vector<MapBlock> blocks = {
      MakeBlock(10, kAreaEefull, kOpWrite, 4),
      MakeBlock(11, kAreaEefull, kOpWrite, 4),  // not selected
      MakeBlock(12, kAreaEelite, 1, 4),         // no action: nothing sent
      MakeBlock(13, 5, 3, 4),                   // no action, even in no area
  };
  ASSERT_TRUE(Run(blocks, {1, 0, 1, 1}));
  EXPECT_EQ(store.Ops(), std::vector<Op>{Op::Write});
  EXPECT_EQ(store.journal[0].number, 10);
  EXPECT_EQ(reporting.log, "Block 10 written\r\nBlock 12 written\r\nBlock 13 written\r\n");
  EXPECT_EQ(reporting.progress, (std::vector<Progress>{{"Writing blocks", 0, 3, 0},
                                                       {"Writing blocks", 0, 3, 2},
                                                       {"Writing blocks", 0, 3, 3}}));
  EXPECT_TRUE(reporting.buffer.empty());
}

TEST_F(BlockWritingTest, NothingSelectedWritesNothingAndSucceeds) {
  std::vector<MapBlock> blocks = {MakeBlock(1, kAreaEelite, kOpNone, 2),
                                  MakeBlock(2, kAreaEelite, kOpNone, 2)};
  std::vector<uint32_t> flags(2, 0);
  MapInfo info;
  info.blockCount = 2;
  SelectBlocks(flags.data(), blocks.data(), info);
  EXPECT_TRUE(engine.WriteMapBlocks(kLink, blocks.data(), info, flags.data()));
  info.blockCount = 0;
  EXPECT_TRUE(engine.WriteMapBlocks(kLink, nullptr, info, nullptr));
  EXPECT_TRUE(store.journal.empty());
  EXPECT_TRUE(reporting.log.empty());
  EXPECT_TRUE(reporting.progress.empty());
}

TEST_F(BlockWritingTest, FirstFailureStopsAndNamesTheBlockAndItsStatus) {
  store.FailNth(Op::Write, 2, kStatusBlockInUse);
  std::vector<MapBlock> blocks = {MakeBlock(1, kAreaEefull, kOpWrite, 2),
                                  MakeBlock(2, kAreaEefull, kOpWrite, 2),
                                  MakeBlock(3, kAreaEefull, kOpWrite, 2)};
  EXPECT_FALSE(Run(blocks));
  EXPECT_EQ(store.Count(Op::Write), 2);
  EXPECT_EQ(reporting.log, "Block 1 written\r\n");
  EXPECT_EQ(FailureLine(), "Block 2 not written\r\nError:Block is in Use\r\n");
  EXPECT_EQ(reporting.progress.size(), 1u);
}

TEST_F(BlockWritingTest, DeleteAndCreateFailsWhenTheDeleteFailsEvenIfTheCreateSucceeds) {
  // Block 7 is not in the store, so the delete is answered "no block".
  EXPECT_FALSE(Run({MakeBlock(7, kAreaEelite, kOpDeleteCreate, 8)}));
  EXPECT_EQ(store.Ops(), (std::vector<Op>{Op::Delete, Op::Create}));
  EXPECT_TRUE(store.area(StoreArea::Eelite).count(7));
  EXPECT_EQ(FailureLine(), "Block 7 not written\r\nError:Data-Block doesnt exist\r\n");
  EXPECT_TRUE(reporting.log.empty());
}

TEST_F(BlockWritingTest, UnknownAreaFailsWithoutCommandAndNamesTheLastStatus) {
  for (uint8_t op : {kOpWrite, kOpCreate, kOpDelete, kOpDeleteCreate}) {
    SCOPED_TRACE(int{op});
    FakeBlockStore fresh;
    RecordingReporting rep;
    UpdateEngine eng{fresh, rep, nullptr};
    MapBlock block = MakeBlock(31, 4, op, 2);
    MapInfo info;
    info.blockCount = 1;
    const uint32_t flag = 1;
    BlockFailure f;
    // Nothing has failed since start: status 0's text.
    EXPECT_FALSE(eng.WriteMapBlocks(kLink, &block, info, &flag, &f));
    EXPECT_TRUE(fresh.journal.empty());
    EXPECT_EQ(Line(f), "Block 31 not written\r\nError:Everything Ok ?\r\n");

    // After an earlier failure, that status is named.
    fresh.lastStatus = kStatusNoSpace;
    EXPECT_FALSE(eng.WriteMapBlocks(kLink, &block, info, &flag, &f));
    EXPECT_TRUE(fresh.journal.empty());
    EXPECT_EQ(Line(f), "Block 31 not written\r\nError:No Space in Data Area\r\n");
  }
}

TEST_F(BlockWritingTest, FreeSpaceQueryFailureFailsWithoutWriting) {
  store.FailAll(Op::MaxSpace, kStatusErrorMobToPc);
  EXPECT_FALSE(Run({MakeBlock(4, kAreaEelite, kOpWrite, 2)}));
  EXPECT_EQ(store.Ops(), std::vector<Op>{Op::MaxSpace});
  EXPECT_EQ(FailureLine(),
            "Block 4 not written\r\nError:Transmission-Error Mob -> PC\r\n");
}

TEST_F(BlockWritingTest, FailedGarbageCollectionLogsItsLineBeforeTheBlockLine) {
  store.freeSpace = 0;
  store.FailAll(Op::MaxLogical, kStatusErrorPcToMob);
  EXPECT_FALSE(Run({MakeBlock(1, kAreaEefull, kOpWrite, 1), MakeBlock(4, kAreaEelite, kOpWrite, 2)}));
  EXPECT_EQ(store.Count(Op::Write), 1);  // only the Eefull block; block 4 never went out
  EXPECT_EQ(reporting.log, "Block 1 written\r\n\r\nERROR: Cant do garbage collection\r\n");
  EXPECT_EQ(FailureLine(),
            "Block 4 not written\r\nError:Transmission-Error PC -> Mob\r\n");
}

TEST_F(BlockWritingTest, RecordWithLessDataThanItsSizeIsRefusedUnsent) {
  MapBlock block = MakeBlock(8, kAreaEefull, kOpWrite, 10);
  block.data.resize(4);
  EXPECT_FALSE(engine.WriteOneBlock(kLink, block));
  EXPECT_TRUE(store.journal.empty());
}

}  // namespace
}  // namespace velmora
