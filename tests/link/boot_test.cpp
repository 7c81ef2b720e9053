// Boot-mode handshake, boot blocks, the boot string and leaving boot mode.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "link_fixture.h"

namespace velmora::testing {
namespace {

using Kind = ScriptedDevice::Kind;

// The boot program as it is sent with the parameters 7, 0x80 and 1 (at 50, 70, 78 and 86).
const Bytes kBootString780 = {
    0xA5, 0x5A, 0xA5, 0xA5, 0xE6, 0x89, 0x46, 0x14, 0xD1, 0x90, 0xFF, 0x9A, 0xFE, 0x9B, 0xE6, 0x0C,
    0x09, 0x00, 0xE6, 0x8A, 0xBF, 0x04, 0xD1, 0x90, 0xE6, 0x0A, 0xF0, 0x0E, 0xE6, 0x8A, 0xAF, 0x04,
    0xB5, 0x4A, 0xB5, 0xB5, 0xE6, 0x00, 0x40, 0x00, 0xE7, 0xF0, 0x00, 0x00, 0xF7, 0xF0, 0x00, 0x02,
    0xE7, 0xF0, 0x07, 0x00, 0xF7, 0xF0, 0x01, 0x02, 0xE6, 0x03, 0x03, 0x00, 0xE7, 0xF0, 0x00, 0x00,
    0xF7, 0xF0, 0x00, 0xF6, 0xE7, 0xF0, 0x07, 0x00, 0xF7, 0xF0, 0x01, 0xF6, 0xE7, 0xF0, 0x80, 0x00,
    0xF7, 0xF0, 0x02, 0xF6, 0xE7, 0xF0, 0x01, 0x00, 0xF7, 0xF0, 0x03, 0xF6, 0xE6, 0xF0, 0x80, 0x00,
    0x74, 0xF0, 0xE0, 0xEF, 0xB7, 0x48, 0xB7, 0xB7};

class BootTest : public LinkFixture {
 protected:
  void SetUp() override {
    OpenCom1();
    ASSERT_EQ(link.Configure(h, 19200), 1);
    ASSERT_EQ(link.SetParity(h, kParityEven), 1);
    // Exact timings: writes take no line time here.
    device.chargeWireTime = false;
    device.events.clear();
    start = clock.NowUs();
  }

  // Answers the n-th probe (counted from 1) with answer(n); no byte when it returns -1.
  void AnswerProbes(std::function<int(int)> answer) {
    device.onWrite = [this, answer](ScriptedDevice& d, const Bytes& bytes) {
      if (bytes != Bytes{0x55}) return;
      const int reply = answer(++probes);
      if (reply >= 0) d.Feed({static_cast<uint8_t>(reply)});
    };
  }
  std::vector<uint32_t> DtrLevels() const {
    std::vector<uint32_t> levels;
    for (const auto& e : EventsOf(Kind::SetDtr)) levels.push_back(e.value);
    return levels;
  }

  int probes = 0;
};

TEST_F(BootTest, SyncSucceedsOnTheFirstAnswerAndDropsDtr) {
  AnswerProbes([](int) { return 0xA0; });
  EXPECT_EQ(link.BootSync(h), 1);
  EXPECT_EQ(probes, 1);
  EXPECT_FALSE(device.dtr);
  EXPECT_EQ(DtrLevels(), (std::vector<uint32_t>{1, 0}));
  const auto writes = EventsOf(Kind::Write);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].timeUs - start, 55'000);  // the boot ROM's start-up after DTR rises
  EXPECT_EQ(ElapsedUs(), 55'000);
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(BootTest, SilentHandsetGetsSixteenProbesInTwoAttempts) {
  AnswerProbes([](int) { return -1; });
  EXPECT_EQ(link.BootSync(h), 0);
  EXPECT_EQ(probes, 16);
  EXPECT_FALSE(device.dtr);
  EXPECT_EQ(DtrLevels(), (std::vector<uint32_t>{1, 0, 1, 0}));
  EXPECT_EQ(device.Count(Kind::ClearErrors), 16);

  // Each probe waits 45 ms for its answer; DTR stays low 550 ms between attempts.
  const auto writes = EventsOf(Kind::Write);
  ASSERT_EQ(writes.size(), 16u);
  for (size_t i = 1; i < writes.size(); ++i) {
    if (i == 8) continue;
    EXPECT_EQ(writes[i].timeUs - writes[i - 1].timeUs, 45'000) << i;
  }
  const auto dtr = EventsOf(Kind::SetDtr);
  EXPECT_EQ(dtr[2].timeUs - dtr[1].timeUs, 550'000);
  EXPECT_EQ(ElapsedUs(), 2 * (55'000 + 8 * 45'000 + 550'000));
  for (const auto& e : EventsOf(Kind::Read)) EXPECT_EQ(e.timeoutMs, 45u);
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(BootTest, WrongAnswersCostAPauseEachAndStillCountAsTries) {
  const struct {
    const char* what;
    std::function<int(int)> answer;
    int result;
    int probes;
    int64_t elapsedUs;
  } cases[] = {
      {"three wrong bytes, then the answer", [](int n) { return n < 4 ? 0x00 : 0xA0; }, 1, 4,
       55'000 + 3 * 45'000},
      {"answer only in the second attempt", [](int n) { return n < 9 ? -1 : 0xA0; }, 1, 9,
       55'000 + 8 * 45'000 + 550'000 + 55'000},
      {"never the right byte", [](int) { return 0x5A; }, 0, 16,
       2 * (55'000 + 8 * 45'000 + 550'000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    probes = 0;
    device.events.clear();
    start = clock.NowUs();
    AnswerProbes(c.answer);
    EXPECT_EQ(link.BootSync(h), c.result);
    EXPECT_EQ(probes, c.probes);
    EXPECT_EQ(ElapsedUs(), c.elapsedUs);
    EXPECT_FALSE(device.dtr);
  }
}

TEST_F(BootTest, SyncDropsDtrOnEveryFailure) {
  // A probe that cannot be sent ends the handshake at once.
  device.failWrites = 1;
  EXPECT_EQ(link.BootSync(h), 0);
  EXPECT_EQ(DtrLevels(), (std::vector<uint32_t>{1, 0}));
  EXPECT_FALSE(device.dtr);

  // DTR that cannot be raised is still asked to drop.
  device.events.clear();
  device.failDtr = true;
  EXPECT_EQ(link.BootSync(h), 0);
  EXPECT_EQ(DtrLevels(), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(device.Count(Kind::Write), 0);
}

TEST_F(BootTest, SyncReportsADtrThatWillNotDropAfterTheAnswer) {
  device.onWrite = [](ScriptedDevice& d, const Bytes&) {
    d.Feed({0xA0});
    d.failDtr = true;
  };
  EXPECT_EQ(link.BootSync(h), 0);
}

TEST_F(BootTest, BootBlockIsLengthBytesAndXorEachAsOneByte) {
  device.onWrite = [](ScriptedDevice& d, const Bytes& bytes) {
    if (bytes == Bytes{0x03}) d.Feed({0xA5});
  };
  const uint8_t block[2] = {0x01, 0x02};
  EXPECT_EQ(link.SendBootBlock(h, 2, block), 1);
  EXPECT_EQ(device.Writes(), (std::vector<Bytes>{{0x02}, {0x01}, {0x02}, {0x03}}));
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(BootTest, BootBlockWaitsThreeTwentyMsWindowsForTheAcknowledgement) {
  const uint8_t block[2] = {0x01, 0x02};
  const struct {
    const char* what;
    Bytes replies;
    int result;
    int reads;
    int64_t elapsedUs;
  } cases[] = {
      {"no reply", {}, 0, 3, 60'000},
      {"acknowledged in the third window", {0x00, 0x00, 0xA5}, 1, 3, 0},
      {"acknowledgement after three other bytes", {0x00, 0x00, 0x00, 0xA5}, 0, 3, 0},
      {"refused", {0x5A}, 0, 3, 40'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device.Purge();
    device.events.clear();
    start = clock.NowUs();
    device.onWrite = [&c](ScriptedDevice& d, const Bytes& bytes) {
      if (bytes == Bytes{0x03}) d.Feed(c.replies);
    };
    EXPECT_EQ(link.SendBootBlock(h, 2, block), c.result);
    const auto reads = EventsOf(Kind::Read);
    EXPECT_EQ(static_cast<int>(reads.size()), c.reads);
    for (const auto& e : reads) EXPECT_EQ(e.timeoutMs, 20u);
    EXPECT_EQ(ElapsedUs(), c.elapsedUs);
  }
}

TEST_F(BootTest, EmptyBootBlockSendsLengthAndXorZero) {
  EXPECT_EQ(link.SendBootBlock(h, 0, nullptr), 0);
  EXPECT_EQ(device.Written(), (Bytes{0x00, 0x00}));
}

TEST_F(BootTest, BootBlockStopsAtTheFirstFailedByte) {
  const uint8_t block[3] = {0x10, 0x20, 0x30};
  device.onWrite = [](ScriptedDevice& d, const Bytes& bytes) {
    if (bytes == Bytes{0x10}) d.failWrites = 1;
  };
  EXPECT_EQ(link.SendBootBlock(h, 3, block), 0);
  EXPECT_EQ(device.Writes(), (std::vector<Bytes>{{0x03}, {0x10}, {0x20}}));
  EXPECT_EQ(device.Count(Kind::Read), 0);
}

TEST_F(BootTest, FailedCopyAllocationShowsTheOneMessageAndSendsNothing) {
  link.SetBootCopyAllocator([](size_t) { return std::unique_ptr<uint8_t[]>(); });
  const uint8_t block[2] = {0x01, 0x02};
  EXPECT_EQ(link.SendBootBlock(h, 2, block), 0);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].first, "GlobalAlloc failed!");
  EXPECT_EQ(ui.boxes[0].second, MessageIcon::None);
  EXPECT_TRUE(device.Writes().empty());
}

TEST_F(BootTest, BootStringCarriesItsParametersAndXor) {
  uint8_t xorOfString = 0;
  for (uint8_t b : kBootString780) xorOfString = static_cast<uint8_t>(xorOfString ^ b);
  ASSERT_EQ(kBootString780.size(), 104u);
  ASSERT_EQ(xorOfString, 0xFE);

  Bytes expected = {0x68};
  expected.insert(expected.end(), kBootString780.begin(), kBootString780.end());
  expected.push_back(0xFE);

  // The handset acknowledges after the 106th byte (0xFE also occurs inside the program).
  device.onWrite = [](ScriptedDevice& d, const Bytes&) {
    if (d.Count(Kind::Write) == 106) d.Feed({0xA5});
  };
  EXPECT_EQ(link.SendBootString(h, 7, 0x80, 1), 1);
  EXPECT_EQ(device.Written(), expected);
  EXPECT_EQ(device.Count(Kind::Write), 106);

  // Other parameters land in the same four places, and the earlier ones leave no trace.
  device.events.clear();
  device.onWrite = nullptr;
  EXPECT_EQ(link.SendBootString(h, 0x11, 0x22, 0x33), 0);
  Bytes other = device.Written();
  ASSERT_EQ(other.size(), 106u);
  EXPECT_EQ(other[1 + 50], 0x11);
  EXPECT_EQ(other[1 + 70], 0x11);
  EXPECT_EQ(other[1 + 78], 0x22);
  EXPECT_EQ(other[1 + 86], 0x33);
  other[1 + 50] = other[1 + 70] = 0x07;
  other[1 + 78] = 0x80;
  other[1 + 86] = 0x01;
  other[105] = 0xFE;
  EXPECT_EQ(other, expected);

  device.events.clear();
  EXPECT_EQ(link.SendBootString(h, 7, 0x80, 1), 0);
  EXPECT_EQ(device.Written(), expected);
}

TEST_F(BootTest, LeavingBootModeDropsDtrClearsParityAndRestoresTheBaudRate) {
  ASSERT_EQ(link.SetDtr(h), 1);
  start = clock.NowUs();
  EXPECT_EQ(link.LeaveBootMode(h, 57600), 1);
  EXPECT_FALSE(device.dtr);
  EXPECT_EQ(device.config.parity, kParityNone);
  EXPECT_TRUE(device.config.parityCheck);
  EXPECT_EQ(device.config.baudRate, 57600u);
  EXPECT_EQ(ElapsedUs(), 10'000 + 102'000);
}

TEST_F(BootTest, LeavingBootModeStopsAtTheFirstFailure) {
  device.failDtr = true;
  EXPECT_EQ(link.LeaveBootMode(h, 57600), 0);
  EXPECT_EQ(device.config.parity, kParityEven);
  EXPECT_EQ(device.Count(Kind::SetConfig), 0);

  device.failDtr = false;
  device.failSetConfig = true;
  EXPECT_EQ(link.LeaveBootMode(h, 57600), 0);
  EXPECT_EQ(device.Count(Kind::SetConfig), 1);  // the baud rate was not tried
  EXPECT_EQ(device.config.baudRate, 19200u);
}

}  // namespace
}  // namespace velmora::testing
