// The plan of an update: per block what the run would do against what the handset holds, where
// a garbage collection is likely, and the blocks the handset would refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/plan_run.h"

namespace velmora {
namespace {

MapBlock Block(int32_t number, uint8_t area, uint8_t operation, int32_t size, uint8_t version = 1) {
  return MakeMapBlock(number, area, operation, version,
                      std::vector<uint8_t>(static_cast<size_t>(size), 0x11));
}

Plan PlanOf(const std::vector<MapBlock>& blocks, const HandsetSurvey& survey,
            std::vector<uint32_t> flags = {}) {
  if (flags.empty()) flags.assign(blocks.size(), 1);
  MapInfo info;
  info.blockCount = static_cast<int32_t>(blocks.size());
  return PlanBlocks(blocks.data(), info, flags.data(), survey);
}

HandsetSurvey Survey(uint32_t freeSpace, uint32_t compacted) {
  HandsetSurvey s;
  s.freeSpace = freeSpace;
  s.compactedSpace = compacted;
  s.highestBlock = 300;
  s.existing[{kAreaEelite, 1}] = {100, 1};
  s.existing[{kAreaEelite, 2}] = {40, 3};
  s.existing[{kAreaEefull, 5001}] = {8, 1};
  return s;
}

TEST(Plan, EachBlockSaysWhatWouldBeDoneAndHowItsSizeChanges) {
  const std::vector<MapBlock> blocks = {
      Block(1, kAreaEelite, kOpWrite, 120),        Block(2, kAreaEelite, kOpWrite, 40, 3),
      Block(3, kAreaEelite, kOpWrite, 10),         Block(5001, kAreaEefull, kOpCreate, 8, 2),
      Block(2, kAreaEelite, kOpDelete, 0),         Block(1, kAreaEelite, kOpDeleteCreate, 50),
      Block(9, kAreaEelite, kOpNone, 5),           Block(10, kAreaEelite, 3, 5),
  };
  std::vector<uint32_t> flags(blocks.size(), 1);
  flags[6] = 0;
  const Plan plan = PlanOf(blocks, Survey(100000, 100000), flags);
  const std::vector<std::string> expected = {
      "Block 1 Eelite: write, 100 -> 120 bytes",
      "Block 2 Eelite: write, 40 bytes, as before",
      "Block 3 Eelite: write, new block, 10 bytes",
      "Block 5001 Eefull: create, 8 bytes, as before, version 1 -> 2",
      "Block 2 Eelite: delete, 40 bytes",
      // Block 1 as the first record of the plan left it.
      "Block 1 Eelite: delete and create, 120 -> 50 bytes",
      "Block 9 Eelite: nothing",
      "Block 10 Eelite: nothing (operation 3 has no action)",
  };
  ASSERT_EQ(plan.blocks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(plan.blocks[i].line, expected[i]);
  EXPECT_EQ(plan.collections, 0);
  EXPECT_FALSE(plan.anyFailure);
}

TEST(Plan, GarbageCollectionIsLikelyWhereTheFreeSpaceRunsOut) {
  struct Case {
    const char* name;
    uint32_t freeSpace;
    uint32_t compacted;
    std::vector<bool> collectBefore;
    bool fails;
  };
  // Three 88-byte writes cost 100 bytes each; the area must hold more than the cost.
  const Case cases[] = {
      {"room for all", 301, 1000, {false, false, false}, false},
      {"exactly the cost is too little", 300, 1000, {false, false, true}, false},
      {"full at once", 100, 1000, {true, false, false}, false},
      // The compacted area has no more room than the free space now.
      {"compaction does not help", 100, 100, {true, true, true}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Plan plan = PlanOf({Block(3, kAreaEelite, kOpWrite, 88), Block(4, kAreaEelite, kOpWrite, 88),
                              Block(5, kAreaEelite, kOpWrite, 88)},
                             Survey(c.freeSpace, c.compacted));
    ASSERT_EQ(plan.blocks.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(plan.blocks[i].collectBefore, c.collectBefore[i]) << i;
    EXPECT_EQ(plan.anyFailure, c.fails);
  }
}

TEST(Plan, CompactionGivesBackWhatRewrittenAndDeletedBlocksLeftDead) {
  // 250 free, 250 when compacted. Rewriting block 1 (100 live bytes + 12) with 100 bytes costs
  // 112 now but nothing once compacted; deleting block 2 frees 52 bytes at the compaction.
  const Plan plan = PlanOf({Block(1, kAreaEelite, kOpWrite, 100), Block(2, kAreaEelite, kOpDelete, 0),
                            Block(7, kAreaEelite, kOpWrite, 100), Block(8, kAreaEelite, kOpWrite, 150)},
                           Survey(250, 250));
  EXPECT_FALSE(plan.blocks[2].collectBefore);
  // Left: 250 - 112 - 112 = 26; compacted: 250 + 52 - 112 = 190 > 162.
  EXPECT_TRUE(plan.blocks[3].collectBefore);
  EXPECT_FALSE(plan.anyFailure);
  EXPECT_EQ(plan.collections, 1);
}

TEST(Plan, BlocksTheHandsetWouldRefuseAreNamed) {
  HandsetSurvey survey = Survey(100000, 100000);
  survey.unknown[{kAreaEelite, 12}] = kStatusErrorMobToPc;
  const Plan plan = PlanOf({Block(7, kAreaEelite, kOpDelete, 0), Block(8, kAreaEefull, kOpDeleteCreate, 4),
                            Block(301, kAreaEelite, kOpWrite, 4), Block(6, 5, kOpWrite, 4),
                            Block(12, kAreaEelite, kOpWrite, 4), Block(5002, kAreaEefull, kOpWrite, 4)},
                           survey);
  const std::vector<std::string> expected = {
      "Block 7 Eelite: delete; would fail: no such block to delete",
      "Block 8 Eefull: delete and create, new block, 4 bytes; would fail: no such block to delete",
      "Block 301 Eelite: write, new block, 4 bytes; would fail: above the highest logical block 300",
      "Block 6 none: write, new block, 4 bytes; would fail: area code 5 names no area",
      "Block 12 Eelite: write, new block, 4 bytes (not known whether it exists: Transmission-Error Mob -> PC)",
      "Block 5002 Eefull: write, new block, 4 bytes",
  };
  ASSERT_EQ(plan.blocks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(plan.blocks[i].line, expected[i]);
  EXPECT_TRUE(plan.anyFailure);

  // A create tests no room and compacts nothing: without the room the handset refuses it.
  const Plan tight = PlanOf({Block(9, kAreaEelite, kOpCreate, 100)}, Survey(100, 100000));
  EXPECT_EQ(tight.blocks[0].line,
            "Block 9 Eelite: create, new block, 100 bytes; would fail: no room for it (a create "
            "does not compact the area)");
}

}  // namespace
}  // namespace velmora
