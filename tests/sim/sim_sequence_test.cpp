// A production line on one port: the operator takes each switched-off handset away and, after a
// pause in which the port is silent, connects the next, a new handset of the profile.
#include <gtest/gtest.h>

#include "sim_test_host.h"

namespace velmora::sim::testing {
namespace {

// What the boot ROM's probe (19200 8E1, DTR high) gets back.
Bytes Probe(Host& host) {
  host.Configure(19200, kParityEven);
  host.Dtr(true);
  const Bytes answer = host.Exchange({0x55}, 45);
  host.Dtr(false);
  host.Configure(57600, kParityNone);
  return answer;
}

Bytes Ping(Host& host) { return host.Exchange(Hex("02 01 03 14"), 20); }

// The IMEI the service program gives (the type-14 request 0x0A), "" without an answer.
std::string Imei(Host& host) {
  const Bytes r = host.Exchange(Hex("0E 01 0F 0A"));
  return r.size() > 5 ? std::string(r.begin() + 5, r.end()) : "";
}

void SwitchOff(Host& host) { EXPECT_EQ(ToHex(host.Exchange(Hex("0E 01 0F 04"))), "0E 01 0F 04"); }

SimProfile OperatorProfile(SimState start, uint32_t handsets, uint32_t nextAfterMs) {
  SimProfile p = ProfileIn(start);
  p.handsets = handsets;
  p.nextAfterMs = nextAfterMs;
  return p;
}

TEST(SimHandsetSequence, NextHandsetComesNextAfterMsAfterTheSwitchOff) {
  for (SimState start : {SimState::SwitchedOff, SimState::ServiceMode}) {
    SCOPED_TRACE(SimStateName(start));
    Host host(OperatorProfile(start, 3, 1000));
    const std::string freshStore = host.handset.Dump();
    if (start == SimState::SwitchedOff) {
      ASSERT_TRUE(host.Boot());
      host.clock.SleepUs(60'000);
    }
    EXPECT_EQ(Imei(host), "351234567890128");
    EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 07 07") << "block 1 deleted";
    const int64_t offUs = host.clock.NowUs();
    SwitchOff(host);
    EXPECT_EQ(host.handset.HandsetOnLine(), -1);
    ASSERT_EQ(host.handset.takenAway().size(), 1u);
    EXPECT_EQ(host.handset.takenAway()[0].find("\nEelite 1 "), std::string::npos) << host.handset.takenAway()[0];
    EXPECT_NE(host.handset.takenAway()[0].find("\nEelite 2 "), std::string::npos) << host.handset.takenAway()[0];
    const uint64_t changes = host.handset.storeChanges();

    // Neither the switched-off handset's boot ROM nor the next handset answers before its time.
    while (host.clock.NowUs() < offUs + 920'000) {
      EXPECT_EQ(ToHex(Probe(host)), "");
      EXPECT_EQ(ToHex(Ping(host)), "");
    }
    EXPECT_EQ(host.handset.HandsetOnLine(), -1);
    host.clock.SleepUs(offUs + 1'010'000 - host.clock.NowUs());

    if (start == SimState::SwitchedOff) {
      ASSERT_TRUE(host.Boot());
      host.clock.SleepUs(60'000);
    }
    EXPECT_EQ(ToHex(Ping(host)), "02 02 00 14 AA");
    EXPECT_EQ(host.handset.HandsetOnLine(), 1);
    EXPECT_EQ(Imei(host), "351234567890132");
    EXPECT_EQ(host.handset.Dump(), freshStore) << "a new handset of the profile";
    EXPECT_GT(host.handset.storeChanges(), changes) << "a keeper of the store saves the new one";
    EXPECT_EQ(host.handset.takenAway().size(), 1u);
  }
}

// The times a benchmark sets against the host's: when each handset went, when the next was put
// there (not when the host first looked), and when each first heard a service request.
TEST(SimHandsetSequence, TellsWhenHandsetsComeGoAndFirstHearAServiceRequest) {
  Host host(OperatorProfile(SimState::ServiceMode, 2, 300));
  EXPECT_EQ(host.handset.onLineSinceUs(), INT64_MIN) << "the first is there from the start";
  EXPECT_EQ(Imei(host), "351234567890128");
  EXPECT_EQ(host.handset.firstServiceUs(), INT64_MIN) << "a control request is no service request";

  const int64_t sentUs = host.clock.NowUs();
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 07 07");
  const int64_t firstUs = host.handset.firstServiceUs();
  // Six bytes at 57600 baud: the request is complete about a millisecond after it was sent.
  EXPECT_GT(firstUs, sentUs);
  EXPECT_LT(firstUs, sentUs + 5'000);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x02, 0x00}))), "14 02 16 07 07");
  EXPECT_EQ(host.handset.firstServiceUs(), firstUs) << "only the first counts";

  const int64_t offUs = host.clock.NowUs();
  SwitchOff(host);
  ASSERT_EQ(host.handset.takenAwayUs().size(), 1u);
  const int64_t goneUs = host.handset.takenAwayUs()[0];
  EXPECT_GT(goneUs, offUs);
  EXPECT_LE(goneUs, host.clock.NowUs());
  EXPECT_EQ(host.handset.firstServiceUs(), firstUs) << "the handset just taken away keeps its";

  // The host looks again long after the next handset was put there.
  host.clock.SleepUs(2'000'000);
  EXPECT_EQ(Imei(host), "351234567890132");
  EXPECT_EQ(host.handset.onLineSinceUs(), goneUs + 300'000);
  EXPECT_EQ(host.handset.firstServiceUs(), INT64_MIN) << "a new handset has heard none";
  const int64_t againUs = host.clock.NowUs();
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 07 07");
  EXPECT_GT(host.handset.firstServiceUs(), againUs);
  EXPECT_LT(host.handset.firstServiceUs(), againUs + 5'000);
  SwitchOff(host);
  ASSERT_EQ(host.handset.takenAwayUs().size(), 2u);
  EXPECT_GT(host.handset.takenAwayUs()[1], againUs);
}

TEST(SimHandsetSequence, AfterTheLastHandsetThePortStaysSilent) {
  const std::vector<SimBlock> kept = {{SimArea::Eelite, 7, 3, Hex("0A0B0C")}};
  Host host(OperatorProfile(SimState::ServiceMode, 2, 100), &kept);
  EXPECT_EQ(Imei(host), "351234567890128");
  SwitchOff(host);
  host.clock.SleepUs(200'000);
  EXPECT_EQ(Imei(host), "351234567890132");
  EXPECT_EQ(host.handset.HandsetOnLine(), 1);
  SwitchOff(host);
  EXPECT_EQ(host.handset.HandsetOnLine(), -1);

  host.clock.SleepUs(60'000'000);
  EXPECT_EQ(ToHex(Probe(host)), "");
  EXPECT_EQ(ToHex(Ping(host)), "");
  EXPECT_EQ(host.handset.HandsetOnLine(), -1);
  ASSERT_EQ(host.handset.takenAway().size(), 2u);
  // The first handset held the kept store, the second the profile's.
  EXPECT_EQ(host.handset.takenAway()[0].find("\nEelite 1 "), std::string::npos);
  EXPECT_NE(host.handset.takenAway()[0].find("\nEelite 7 3 3 0a0b0c\n"), std::string::npos);
  EXPECT_EQ(host.handset.takenAway()[1], SimHandset(SimProfile::Default()).Dump());

  const std::string all = host.handset.DumpAll();
  const size_t first = all.find("# handset 1 of 2 (IMEI 351234567890128): taken away\n");
  const size_t second = all.find("# handset 2 of 2 (IMEI 351234567890132): taken away\n");
  EXPECT_EQ(first, 0u) << all;
  EXPECT_NE(second, std::string::npos) << all;
  EXPECT_EQ(all.find("on the line"), std::string::npos) << all;
}

// A handset stays on the line when there is no operator to take it (one handset), when it did
// not go off, and when the host switched it off only to boot it (it was running normally).
TEST(SimHandsetSequence, HandsetThatStaysOnTheLine) {
  const struct {
    const char* what;
    uint32_t handsets;
    SimState start;
    SwitchOffFault fault;
    const char* probe;  // what the boot ROM answers after the switch-off
    const char* ping;
  } cases[] = {
      {"one handset", 1, SimState::ServiceMode, SwitchOffFault::Obey, "A0", ""},
      {"acknowledged but stays on", 3, SimState::ServiceMode, SwitchOffFault::AckButStayOn, "", "02 02 00 14 AA"},
      {"running normally, off to boot", 3, SimState::RunningNormally, SwitchOffFault::Obey, "A0", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimProfile p = OperatorProfile(c.start, c.handsets, 0);
    p.faults.switchOff = c.fault;
    Host host(p);
    if (c.start == SimState::RunningNormally) {
      host.Send("at^sqwe=1\r");
      ASSERT_EQ(host.ReceiveText(500), "OK\r\n");
    } else {
      EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 07 07");
    }
    const std::string store = host.handset.Dump();
    SwitchOff(host);
    host.clock.SleepUs(100'000);
    EXPECT_EQ(ToHex(Ping(host)), c.ping);
    EXPECT_EQ(ToHex(Probe(host)), c.probe);
    EXPECT_EQ(host.handset.HandsetOnLine(), 0);
    EXPECT_TRUE(host.handset.takenAway().empty());
    EXPECT_EQ(host.handset.Dump(), store);
    const std::string named = "# handset 1 of 3 (IMEI 351234567890128): on the line\n";
    EXPECT_EQ(host.handset.DumpAll(), c.handsets == 1 ? store : named + store);
  }
}

}  // namespace
}  // namespace velmora::sim::testing
