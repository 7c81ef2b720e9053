// The engine on a real handset session: the link, the service commands and the simulated
// handset under the virtual clock, driven through HandsetUpdateOperations.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "update/engine_fakes.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "link/link.h"
#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "update/handset_operations.h"
#include "support/sim_opener.h"
#include "support/map_blocks.h"

namespace velmora {
namespace {

using sim::SimArea;
using sim::SimHandset;
using sim::SimProfile;
using testing::RecordingReporting;

using testing::SimOpener;

class BoxRecorder : public UserInteraction {
 public:
  int ShowMessageBox(const std::string& text, MessageIcon) override {
    boxes.push_back(text);
    return 1;
  }
  std::vector<std::string> boxes;
};

// Default handset: Eelite holds blocks 1..20 of 100 bytes and 2000 bytes of garbage in 8192,
// so 3952 bytes are free; a block of 3950 bytes needs the garbage collection.
class EngineOnSimTest : public ::testing::Test {
 protected:
  explicit EngineOnSimTest(const SimProfile& profile = SimProfile::Default()) : handset(profile) {}

  MapBlock Block(int32_t number, uint8_t area, int32_t size) {
    return MakeMapBlock(number, area, kOpWrite, 7,
                        testing::CountingBytes(static_cast<size_t>(size), static_cast<uint8_t>(number), 7));
  }

  bool WriteAll(std::vector<MapBlock>& blocks, MapInfo& info) {
    info.blockCount = static_cast<int32_t>(blocks.size());
    std::vector<uint32_t> flags(blocks.size(), 0);
    ops.SelectBlocks(flags.data(), blocks.data(), info);
    return ops.WriteMapBlocks(blocks.data(), info, flags.data(), &failure);
  }

  BlockFailure failure;
  VirtualClock clock;
  SimHandset handset;
  SimOpener opener{handset, clock};
  BoxRecorder ui;
  LinkSettings settings;
  Link link{clock, opener, ui};
  HandsetSession session{link, ui, settings};
  ServiceCommands store{link};
  RecordingReporting reporting;
  HandsetUpdateOperations ops{session, store, reporting};
};

TEST_F(EngineOnSimTest, WholeUpdateWithGarbageCollection) {
  ASSERT_TRUE(ops.Connect()) << (ui.boxes.empty() ? "" : ui.boxes[0]);
  char imei[100];
  ASSERT_TRUE(ops.ReadImei(imei));
  EXPECT_STREQ(imei, "351234567890128");

  MapInfo info;
  info.product = 66;  // same family as the handset's 72
  info.provider = 0;
  info.mapVersion = 0x21;
  info.swVersion = 11;
  ASSERT_TRUE(ops.CheckProduct(info));
  EXPECT_EQ(ops.HardwareProduct(), 72);

  const auto before = handset.area(SimArea::Eelite).blocks;
  std::vector<MapBlock> blocks = {Block(5001, kAreaEefull, 8), Block(21, kAreaEelite, 3950)};
  ASSERT_TRUE(WriteAll(blocks, info)) << "block " << failure.number << " status " << failure.status;

  // The old blocks came back unchanged, the new one is in, and the garbage is gone.
  const auto& lite = handset.area(SimArea::Eelite);
  for (const auto& [number, block] : before) {
    SCOPED_TRACE(number);
    ASSERT_TRUE(lite.blocks.count(number));
    EXPECT_EQ(lite.blocks.at(number).data, block.data);
    EXPECT_EQ(lite.blocks.at(number).version, block.version);
  }
  ASSERT_TRUE(lite.blocks.count(21));
  EXPECT_EQ(lite.blocks.at(21).data, blocks[1].data);
  EXPECT_EQ(lite.Garbage(), 0u);
  EXPECT_EQ(handset.area(SimArea::Eefull).blocks.at(5001).data, blocks[0].data);
  EXPECT_NE(reporting.log.find("Garbage Collection\r\nReading out max. 300 Blocks \r\n"),
            std::string::npos);
  EXPECT_TRUE(reporting.log.ends_with("Writing back Blocks\r\nBlock 21 written\r\n"));
  EXPECT_TRUE(reporting.warnings.empty());

  ASSERT_TRUE(ops.WriteMapVersion(info));
  const auto& record = handset.area(SimArea::Eefull).blocks.at(5005).data;
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 14, record.begin() + 18),
            (std::vector<uint8_t>{11, 0x21, 0, 0x21}));

  ops.CloseSession();
  EXPECT_FALSE(handset.PortOpen());
}

TEST_F(EngineOnSimTest, WriteBackFailureIsRetriedAfterTheWarning) {
  handset.faults().writebackFailAt = 3;
  const auto before = handset.area(SimArea::Eelite).blocks;
  ASSERT_TRUE(ops.Connect());
  MapInfo info;
  std::vector<MapBlock> blocks = {Block(22, kAreaEelite, 3950)};
  ASSERT_TRUE(WriteAll(blocks, info)) << "block " << failure.number << " status " << failure.status;
  EXPECT_EQ(reporting.warnings,
            std::vector<std::string>{
                "ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n"});
  const auto& lite = handset.area(SimArea::Eelite).blocks;
  EXPECT_EQ(lite.size(), 21u);
  for (const auto& [number, block] : before) EXPECT_EQ(lite.at(number).data, block.data) << number;
  ops.CloseSession();
}

}  // namespace
}  // namespace velmora
