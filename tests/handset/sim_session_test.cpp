// The session and the block-store commands end to end against the simulated handset,
// through the link library and the in-process serial device, under the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "handset/service_commands.h"
#include "handset/session.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"
#include "support/scripted_device.h"
#include "support/sim_opener.h"

namespace velmora {
namespace {

using sim::SimState;

using testing::SimOpener;

sim::SimProfile Profile(SimState start, const std::vector<std::string>& faults = {}) {
  sim::SimProfile p = sim::SimProfile::Default();
  p.startState = start;
  for (const std::string& f : faults) {
    std::string error;
    EXPECT_TRUE(sim::ParseSimFault(f, &p.faults, &error)) << f << ": " << error;
  }
  return p;
}

struct Rig {
  explicit Rig(const sim::SimProfile& p) : handset(p) {}
  VirtualClock clock;
  sim::SimHandset handset;
  SimOpener opener{handset, clock};
  testing::RecordingUi ui;
  Link link{clock, opener, ui};
  LinkSettings settings;
  HandsetSession session{link, ui, settings};
  ServiceCommands store{link};
};

TEST(SimSessionTest, ConnectFromEveryStateThenWorkTheStore) {
  for (SimState start : {SimState::ServiceMode, SimState::RunningNormally, SimState::SwitchedOff}) {
    SCOPED_TRACE(sim::SimStateName(start));
    Rig rig(Profile(start));
    ASSERT_TRUE(rig.session.Connect());
    EXPECT_TRUE(rig.ui.boxes.empty());
    EXPECT_EQ(rig.handset.state(), SimState::ServiceMode);
    const LinkHandle h = rig.session.handle();

    char imei[16];
    ASSERT_EQ(rig.session.ReadImei(h, imei), 1);
    EXPECT_STREQ(imei, "351234567890128");
    uint16_t product = 0;
    ASSERT_EQ(rig.session.ReadProductId(h, &product), 1);
    EXPECT_EQ(product, 72);

    // A whole block in three pieces, and back.
    std::vector<uint8_t> data(45);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(rig.store.WriteBlock(h, StoreArea::Eelite, 100, 45, 3, data.data()), 1);
    uint8_t back[45] = {};
    uint16_t size = 0;
    uint8_t version = 0;
    ASSERT_EQ(rig.store.ReadBlock(h, StoreArea::Eelite, 100, &size, &version, back, sizeof back),
              1);
    EXPECT_EQ(size, 45);
    EXPECT_EQ(version, 3);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 45), data);

    // The version record: one byte overwritten in place and read back.
    const uint8_t v = 0x42;
    EXPECT_EQ(rig.store.WriteBlockPart(h, StoreArea::Eefull, 5005, 14, 1, &v), 1);
    uint8_t got = 0;
    EXPECT_EQ(rig.store.ReadBlockPart(h, StoreArea::Eefull, 5005, 14, 1, &got), 1);
    EXPECT_EQ(got, 0x42);

    uint16_t highest = 0;
    EXPECT_EQ(rig.store.GetMaxLogicalBlock(h, &highest), 1);
    EXPECT_EQ(highest, 300);
    uint32_t freeSpace = 0, second = 0;
    EXPECT_EQ(rig.store.GetMaxSpaceValues(h, &freeSpace, &second), 1);
    EXPECT_EQ(freeSpace, rig.handset.area(sim::SimArea::Eelite).Free());

    EXPECT_EQ(rig.store.DeleteBlock(h, StoreArea::Eelite, 100), 1);
    EXPECT_EQ(rig.store.BlockExists(h, StoreArea::Eelite, 100, &size, &version), 0);
    EXPECT_EQ(rig.store.LastBlockStoreStatus(), kStatusNoBlock);

    rig.session.CloseSession(h);
    EXPECT_EQ(rig.handset.state(), SimState::SwitchedOff);
    EXPECT_FALSE(rig.handset.PortOpen());
  }
}

TEST(SimSessionTest, ConnectFailuresShowTheirBoxAndFreeThePort) {
  struct Case {
    const char* name;
    SimState start;
    std::vector<std::string> faults;
    const char* text;
  };
  const Case cases[] = {
      {"port held", SimState::RunningNormally, {"port_busy"},
       "Can't open seriell interface!\nIt might be used by an other program!"},
      {"switch-off ignored", SimState::RunningNormally, {"no_switch_off"},
       "Error switching off mobile!"},
      {"switch-off acknowledged, not obeyed", SimState::RunningNormally, {"no_switch_off ack"},
       "Error switching off mobile!"},
      {"boot ROM silent", SimState::SwitchedOff, {"boot_silent"},
       "Error switching service mode!\nYou have to use a boot adapter (boot configuration)!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(Profile(c.start, c.faults));
    const int64_t start = rig.clock.NowUs();
    EXPECT_FALSE(rig.session.Connect());
    ASSERT_EQ(rig.ui.boxes.size(), 1u);
    EXPECT_EQ(rig.ui.boxes[0].first, c.text);
    EXPECT_EQ(rig.ui.boxes[0].second, MessageIcon::Error);
    EXPECT_FALSE(rig.handset.PortOpen());
    EXPECT_EQ(rig.session.handle(), kNoLink);
    if (std::string(c.name) == "port held") {
      EXPECT_EQ(rig.opener.attempts, 120);
      EXPECT_EQ(rig.clock.NowUs() - start, 119 * 500 * 1000);
    }
  }
}

TEST(SimSessionTest, StoreFaultsEndToEnd) {
  Rig rig(Profile(SimState::ServiceMode,
                  {"pending 0x01 3 once", "status 0x02 3 once", "pending 0x11 1000 always"}));
  ASSERT_TRUE(rig.session.Connect());
  const LinkHandle h = rig.session.handle();
  std::vector<uint8_t> data(45, 0x5A);

  // Three "P" before the create is answered; then the first piece is refused: the block is
  // closed but not reported as written.
  EXPECT_EQ(rig.store.WriteBlock(h, StoreArea::Eelite, 100, 45, 1, data.data()), 0);
  EXPECT_EQ(rig.store.LastBlockStoreStatus(), kStatusIdNotLocked);
  EXPECT_EQ(rig.handset.CommandCount(0x02), 1);
  EXPECT_EQ(rig.handset.CommandCount(0x03), 1);
  uint32_t timeout = 0;
  EXPECT_EQ(rig.link.GetTimeOut(h, &timeout), 1);
  EXPECT_EQ(timeout, 250u);

  // Written again, it goes through.
  EXPECT_EQ(rig.store.WriteBlock(h, StoreArea::Eelite, 100, 45, 1, data.data()), 1);

  // A handset that never stops being busy is given up on.
  EXPECT_EQ(rig.store.CreateBlock(h, StoreArea::Eefull, 5100, 8, 1), 0);
  EXPECT_EQ(rig.store.LastBlockStoreStatus(), kStatusUnknown);
  EXPECT_EQ(rig.link.GetTimeOut(h, &timeout), 1);
  EXPECT_EQ(timeout, 250u);
  rig.session.CloseSession(h);
}

TEST(SimSessionTest, ImeiFromControlRequestWhenAtIsNotAnswered) {
  Rig rig(Profile(SimState::ServiceMode, {"no_imei_at"}));
  ASSERT_TRUE(rig.session.Connect());
  char imei[16];
  ASSERT_EQ(rig.session.ReadImei(rig.session.handle(), imei), 1);
  EXPECT_STREQ(imei, "351234567890128");
  rig.session.CloseSession(rig.session.handle());
}

}  // namespace
}  // namespace velmora
