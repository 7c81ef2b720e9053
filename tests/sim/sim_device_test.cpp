// The in-process device: the time every byte costs on the virtual clock, the exclusive port
// and the handset that outlives it, and what the host's own UART makes of the handset's bytes.
#include <gtest/gtest.h>

#include "sim_test_host.h"

namespace velmora::sim::testing {
namespace {

// 57600 baud, 8N1: ten bits, 173.6 us, rounded.
constexpr int64_t kByteUs57600 = 174;

TEST(SimDevice, WritesAndReadsCostTheirWireTime) {
  Host host(ProfileIn(SimState::ServiceMode));
  const int64_t t0 = host.clock.NowUs();
  host.Send(Hex("02 01 03 14"));
  EXPECT_EQ(host.clock.NowUs() - t0, 4 * kByteUs57600);

  // The reply (5 bytes) starts after the handset's 2 ms and ends 5 byte times later; a read
  // of exactly those 5 bytes returns then, not at the end of its window.
  const int64_t sent = host.clock.NowUs();
  EXPECT_EQ(ToHex(host.Receive(250, 5)), "02 02 00 14 AA");
  EXPECT_EQ(host.clock.NowUs() - sent, 2000 + 5 * kByteUs57600);

  // Nothing to come: the read takes its whole time-out.
  const int64_t idle = host.clock.NowUs();
  EXPECT_TRUE(host.Receive(250, 1).empty());
  EXPECT_EQ(host.clock.NowUs() - idle, 250'000);
}

TEST(SimDevice, ReadMultiplierCountsPerByte) {
  Host host(ProfileIn(SimState::ServiceMode));
  SerialTimeouts t;
  t.readMultiplier = 10;
  t.readConstant = 5;
  host.device->SetTimeouts(t);
  uint8_t b[3];
  const int64_t t0 = host.clock.NowUs();
  EXPECT_EQ(host.device->Read(b, 3), 0);
  EXPECT_EQ(host.clock.NowUs() - t0, 35'000);
}

TEST(SimDevice, PortIsExclusiveAndTheHandsetOutlivesIt) {
  VirtualClock clock;
  SimHandset handset(ProfileIn(SimState::ServiceMode));
  auto first = OpenSimDevice(handset, clock);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(OpenSimDevice(handset, clock), nullptr) << "already open";
  first.reset();
  auto second = OpenSimDevice(handset, clock);
  ASSERT_NE(second, nullptr) << "closed ports can be opened again";
  second.reset();

  handset.faults().portBusy = true;
  EXPECT_EQ(OpenSimDevice(handset, clock), nullptr);
}

TEST(SimDevice, StoreSurvivesReopening) {
  Host host(ProfileIn(SimState::ServiceMode));
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 07 07");
  host.device.reset();
  host.device = OpenSimDevice(host.handset, host.clock);
  ASSERT_NE(host.device, nullptr);
  host.Configure(57600, kParityNone);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x01, 0x00}))), "14 02 16 32 32") << "still deleted";
}

TEST(SimDevice, HostAtTheWrongRateHearsNoise) {
  Host host(ProfileIn(SimState::ServiceMode));
  host.Send(Hex("02 01 03 14"));
  host.Configure(19200, kParityNone);  // changes while the reply is on its way
  EXPECT_TRUE(host.Receive().empty());
  auto* device = static_cast<SimDevice*>(host.device.get());
  EXPECT_EQ(device->noiseBytes(), 5u);
}

TEST(SimDevice, PurgeDropsWhatArrivedButNotWhatIsStillComing) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.faults.replies.push_back({FaultKind::Pending, 0x01, 0, 1, 1});
  Host host(p);
  host.Send(Service({0x01, 0x64, 0x00, 0x05, 0x00, 0x01}));
  host.clock.SleepUs(50'000);  // the "P" is in, the answer 200 ms away
  EXPECT_TRUE(host.device->Purge());
  EXPECT_EQ(ToHex(host.Receive(300)), "14 02 16 01 01");
}

TEST(SimDevice, ClosingDropsDtr) {
  Host host(ProfileIn(SimState::SwitchedOff));
  host.Configure(19200, kParityEven);
  host.Dtr(true);
  host.device.reset();
  host.device = OpenSimDevice(host.handset, host.clock);
  host.Configure(19200, kParityEven);
  EXPECT_TRUE(host.Exchange({0x55}, 45).empty()) << "a fresh port has DTR low";
  host.Dtr(true);
  EXPECT_EQ(host.Exchange({0x55}, 45), Bytes{0xA0});
}

}  // namespace
}  // namespace velmora::sim::testing
