// Profile text: what a user writes in a profile file or passes to velmora-sim.
#include <gtest/gtest.h>

#include "sim/sim_profile.h"

namespace velmora::sim {
namespace {

TEST(SimProfileText, AppliesSettingsOnTopOfTheDefault) {
  SimProfile p = SimProfile::Default();
  std::string error;
  ASSERT_TRUE(ParseSimProfile(R"(# a handset found switched off
product = 0x51
imei = 490154203237518
state = off
default_blocks = no
eelite_capacity = 1024
block = eelite 3 2 A0B1c2
block = eefull 5005 1 *32
block = eelite 4 1 -
fault = status 0x11 5 always
fault = pending 0x1A 3
fault = writeback 2 3
fault = no_switch_off ack
fault = corrupt 7
adapter_latency_ms = 16
imei_text = \r\n+CGSN: 490154203237518\r\n   # trailing comment
)",
                              &p, &error))
      << error;
  EXPECT_EQ(p.productNumber, 0x51);
  EXPECT_EQ(p.startState, SimState::SwitchedOff);
  EXPECT_EQ(p.eeliteCapacity, 1024u);
  EXPECT_EQ(p.garbage, 0u);
  ASSERT_EQ(p.blocks.size(), 3u);
  EXPECT_EQ(p.blocks[0].data, (std::vector<uint8_t>{0xA0, 0xB1, 0xC2}));
  EXPECT_EQ(p.blocks[1].data, SimPattern(5005, 32));
  EXPECT_TRUE(p.blocks[2].data.empty());
  ASSERT_EQ(p.faults.replies.size(), 2u);
  EXPECT_EQ(p.faults.replies[0].status, '5');
  EXPECT_EQ(p.faults.replies[0].times, -1);
  EXPECT_EQ(p.faults.replies[1].pending, 3);
  EXPECT_EQ(p.faults.writebackFailAt, 2);
  EXPECT_EQ(p.faults.writebackStatus, '3');
  EXPECT_EQ(p.faults.switchOff, SwitchOffFault::AckButStayOn);
  EXPECT_EQ(p.faults.corruptChunkAt, 7);
  EXPECT_EQ(p.faults.corruptChunkCount, 1);
  EXPECT_EQ(p.adapterLatencyMs, 16u);
  EXPECT_EQ(p.ImeiAnswer(), "\r\n+CGSN: 490154203237518\r\n");
}

TEST(SimProfileText, CorruptFaultCountsChunksFromItsIndex) {
  const struct {
    const char* line;
    int at;
    int count;
  } cases[] = {
      {"fault = corrupt 5", 5, 1},
      {"fault = corrupt 5 3", 5, 3},
      {"fault = corrupt 5 ALWAYS", 5, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SimProfile p = SimProfile::Default();
    std::string error;
    ASSERT_TRUE(ParseSimProfile(c.line, &p, &error)) << error;
    EXPECT_EQ(p.faults.corruptChunkAt, c.at);
    EXPECT_EQ(p.faults.corruptChunkCount, c.count);
  }
}

TEST(SimProfileText, RejectsWhatCannotBeMeant) {
  const char* bad[] = {
      "product = 70000",
      "imei = 35123456789012X",
      "imei = 3512345678901289",
      "state = sleeping",
      "normal_mode = 7",
      "baud = 0",
      "block = eelite 3 1 ABC",
      "block = eelite 3 1",
      "block = flash 3 1 AA",
      "fault = status 0x01",
      "fault = pending 0x01",
      "fault = lose 0x01 sometimes",
      "fault = explode",
      "fault = corrupt 0",
      "fault = corrupt",
      "fault = corrupt 3 never",
      "fault = corrupt 3 2 once",
      "adapter_latency_ms = 256",
      "imei_text = 0123456789012345678901234567890123",  // more than a frame holds
      "imei_text = bad escape \\q",
      "colour = blue",
      "just words",
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    SimProfile p = SimProfile::Default();
    std::string error;
    EXPECT_FALSE(ParseSimProfile(line, &p, &error));
    EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace velmora::sim
