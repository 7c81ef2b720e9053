// The handset session against a scripted handset under the virtual clock: connecting from
// every state the handset can be found in, the connect failures, and the request parsers.
#include "handset/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "handset/handset_fakes.h"
#include "support/scripted_device.h"

namespace velmora {
namespace {

using testing::Bytes;
using testing::Frame;
using testing::MiniHandset;
using testing::ScriptedDevice;
using testing::Text;
using testing::operator+;

constexpr int64_t kMs = 1000;
constexpr char kOpenFailed[] =
    "Can't open seriell interface!\nIt might be used by an other program!";
constexpr char kSwitchOffFailed[] = "Error switching off mobile!";
constexpr char kServiceModeFailed[] =
    "Error switching service mode!\nYou have to use a boot adapter (boot configuration)!";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { opener.Add("COM1", &dev); }

  bool PortClosed(LinkHandle h) {
    uint32_t t = 0;
    return h == kNoLink || link.GetTimeOut(h, &t) == 0;
  }
  // Frame requests written, by type and first data byte.
  int Requests(uint8_t type, uint8_t first) const {
    int n = 0;
    for (const Bytes& w : dev.Writes()) {
      auto f = testing::ParseFrame(w);
      n += f && f->type == type && !f->data.empty() && f->data[0] == first;
    }
    return n;
  }
  int RawWrites(const std::string& text) const {
    int n = 0;
    for (const Bytes& w : dev.Writes()) n += w == Text(text);
    return n;
  }
  void ExpectOneBox(const char* text) {
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].first, text);
    EXPECT_EQ(ui.boxes[0].second, MessageIcon::Error);
  }

  VirtualClock clock;
  ScriptedDevice dev{clock};
  testing::FakeOpener opener;
  testing::RecordingUi ui;
  Link link{clock, opener, ui};
  LinkSettings settings;  // COM1, 57600
  HandsetSession session{link, ui, settings};
};

// --- Connect from each state ---

TEST_F(SessionTest, AlreadyInServiceModeNeedsNoBootMode) {
  MiniHandset phone(MiniHandset::State::Service);
  phone.serviceStartUs = 0;
  phone.Attach(dev, clock);
  ASSERT_TRUE(session.Connect());
  EXPECT_NE(session.handle(), kNoLink);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(phone.pings, 0);
  EXPECT_EQ(phone.switchOffs, 0);
  EXPECT_EQ(phone.bootProbes, 0);
  EXPECT_EQ(Requests(5, 0x3F), 1);
  // The AT switch was tried at all four rates and the port left as it was.
  EXPECT_EQ(RawWrites("at^sqwe=1\r"), 4);
  EXPECT_EQ(dev.config.baudRate, 57600u);
  EXPECT_EQ(dev.config.parity, kParityNone);
}

TEST_F(SessionTest, ModeSevenWithExtraByteIsNotServiceMode) {
  // Not taken as service mode: the handset answers the ping, so it is switched off and booted.
  MiniHandset phone(MiniHandset::State::Service);
  phone.serviceStartUs = 0;
  phone.modeReply = {0x3F, 0x07, 0x00, 0x00};
  phone.Attach(dev, clock);
  ASSERT_TRUE(session.Connect());
  EXPECT_EQ(phone.switchOffs, 1);
  EXPECT_EQ(phone.bootStrings, 1);
}

TEST_F(SessionTest, RunningHandsetIsSwitchedOffAndBooted) {
  MiniHandset phone(MiniHandset::State::Normal);
  phone.Attach(dev, clock);
  ASSERT_TRUE(session.Connect());
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(phone.atSwitches, 1);
  EXPECT_EQ(phone.switchOffs, 1);
  EXPECT_EQ(phone.bootStrings, 1);
  EXPECT_EQ(phone.state, MiniHandset::State::Service);
  // 19200 had no answer, 115200 did: the later rates are not tried.
  EXPECT_EQ(RawWrites("at^sqwe=1\r"), 2);
  // Pinged until it went quiet, then until the service program answered.
  EXPECT_GT(phone.pings, 2);
  EXPECT_EQ(dev.config.baudRate, 57600u);
  EXPECT_EQ(dev.config.parity, kParityNone);
  EXPECT_FALSE(dev.dtr);
}

TEST_F(SessionTest, SwitchedOffHandsetGoesStraightToBootMode) {
  MiniHandset phone(MiniHandset::State::Off);
  phone.Attach(dev, clock);
  ASSERT_TRUE(session.Connect());
  EXPECT_EQ(Requests(14, 0x04), 0);
  EXPECT_EQ(phone.bootStrings, 1);
  EXPECT_EQ(dev.Pending(), 0u);  // the boot program's leftovers were drained
}

TEST_F(SessionTest, BootRomAnsweringOnlyOnFourthAttemptStillConnects) {
  MiniHandset phone(MiniHandset::State::Off);
  phone.silentBootAttempts = 6;  // three service-mode attempts of two handshakes each
  phone.Attach(dev, clock);
  ASSERT_TRUE(session.Connect());
  EXPECT_EQ(phone.bootStrings, 1);
  EXPECT_EQ(phone.bootProbes, 3 * 16 + 1);
}

TEST_F(SessionTest, ServiceModeEntryDrainsAtMostSixteenBytes) {
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  for (size_t chatter : {3u, 40u}) {
    SCOPED_TRACE(chatter);
    MiniHandset phone(MiniHandset::State::Off);
    phone.bootChatter = Bytes(chatter, 0x11);
    phone.Attach(dev, clock);
    EXPECT_EQ(session.WInitServiceMode(h), 1);
    EXPECT_EQ(phone.bootStrings, 1);
    EXPECT_EQ(dev.Pending(), chatter > 16 ? chatter - 16 : 0u);
    EXPECT_EQ(dev.config.baudRate, 57600u);
    EXPECT_EQ(dev.config.parity, kParityNone);
    EXPECT_FALSE(dev.dtr);
    dev.Purge();
  }
}

// --- Connect failures: the box, and the port closed ---

TEST_F(SessionTest, PortHeldByAnotherProgram) {
  opener.failOpens = -1;
  const int64_t start = clock.NowUs();
  EXPECT_FALSE(session.Connect());
  EXPECT_EQ(opener.attempts, 120);
  EXPECT_EQ(clock.NowUs() - start, 119 * 500 * kMs);
  EXPECT_EQ(session.handle(), kNoLink);
  ExpectOneBox(kOpenFailed);
  EXPECT_TRUE(dev.events.empty());
}

// A port that will never open is reported at once, with the device and the reason on the line
// after the box's text and in the log; one that another program holds is waited for.
TEST_F(SessionTest, OpenFailuresAreRetriedOnlyWhileThePortIsHeld) {
  const struct {
    const char* what;
    OpenError failure;
    int attempts;
    int64_t waitedUs;
    std::string box;
  } cases[] = {
      {"missing device", {OpenFailure::Permanent, "/dev/ttyUSB7: No such file or directory"}, 1, 0,
       std::string(kOpenFailed) + "\n/dev/ttyUSB7: No such file or directory"},
      {"refused server", {OpenFailure::Permanent, "rfc2217://127.0.0.1:9: Connection refused"}, 1, 0,
       std::string(kOpenFailed) + "\nrfc2217://127.0.0.1:9: Connection refused"},
      {"held by another program", {OpenFailure::Busy, "/dev/ttyS0: Device or resource busy"}, 120,
       119 * 500 * kMs, std::string(kOpenFailed) + "\n/dev/ttyS0: Device or resource busy"},
      {"no reason known", {OpenFailure::Busy, ""}, 120, 119 * 500 * kMs, kOpenFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::FakeOpener o;
    o.failOpens = -1;
    o.failure = c.failure;
    testing::RecordingUi boxes;
    Link l{clock, o, boxes};
    HandsetSession s{l, boxes, settings};
    std::vector<std::string> logged;
    s.SetLog([&logged](const std::string& line) { logged.push_back(line); });
    const int64_t start = clock.NowUs();
    EXPECT_FALSE(s.Connect());
    EXPECT_EQ(o.attempts, c.attempts);
    EXPECT_EQ(clock.NowUs() - start, c.waitedUs);
    EXPECT_EQ(s.handle(), kNoLink);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].first, c.box);
    EXPECT_EQ(s.openFailure(), c.failure.text);
    EXPECT_EQ(logged, c.failure.text.empty() ? std::vector<std::string>{}
                                             : std::vector<std::string>{c.failure.text + "\r\n"});
  }
}

TEST_F(SessionTest, PortThatNoSlotHoldsIsNotRetried) {
  settings.portIndex = 255;  // "ComPort"=hex:00, or no port chosen in the dialog
  const int64_t start = clock.NowUs();
  EXPECT_FALSE(session.Connect());
  EXPECT_EQ(opener.attempts, 0);
  EXPECT_EQ(clock.NowUs(), start);
  ExpectOneBox((std::string(kOpenFailed) + "\nno serial port chosen").c_str());
}

TEST_F(SessionTest, PortFreedWhileWaitingIsTaken) {
  MiniHandset phone(MiniHandset::State::Service);
  phone.serviceStartUs = 0;
  phone.Attach(dev, clock);
  opener.failOpens = 7;
  const int64_t start = clock.NowUs();
  ASSERT_TRUE(session.Connect());
  EXPECT_EQ(opener.attempts, 8);
  EXPECT_GE(clock.NowUs() - start, 7 * 500 * kMs);
}

TEST_F(SessionTest, HandsetThatWillNotSwitchOff) {
  struct Case {
    const char* name;
    bool acks;
    bool staysOn;
    int switchOffPings;  // pings after the switch-off
  };
  const Case cases[] = {{"switch-off not acknowledged", false, false, 0},
                        {"acknowledged but keeps running", true, true, 300}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice d(clock);
    testing::FakeOpener o;
    o.Add("COM1", &d);
    testing::RecordingUi u;
    Link l(clock, o, u);
    HandsetSession s(l, u, settings);
    MiniHandset phone(MiniHandset::State::Normal);
    phone.acksSwitchOff = c.acks;
    phone.staysOnAfterSwitchOff = c.staysOn;
    phone.Attach(d, clock);
    const int64_t start = clock.NowUs();
    EXPECT_FALSE(s.Connect());
    ASSERT_EQ(u.boxes.size(), 1u);
    EXPECT_EQ(u.boxes[0].first, kSwitchOffFailed);
    EXPECT_EQ(u.boxes[0].second, MessageIcon::Error);
    EXPECT_EQ(phone.pings, 1 + c.switchOffPings);
    EXPECT_EQ(phone.bootProbes, 0);
    EXPECT_EQ(s.handle(), kNoLink);
    EXPECT_EQ(l.Open(0, 57600) != kNoLink, true) << "the port was closed";
    if (c.switchOffPings > 0) {
      EXPECT_GE(clock.NowUs() - start, 299 * 100 * kMs);
    }
  }
}

TEST_F(SessionTest, BootRomThatNeverAnswers) {
  MiniHandset phone(MiniHandset::State::Off);
  phone.silentBootAttempts = -1;
  phone.Attach(dev, clock);
  EXPECT_FALSE(session.Connect());
  ExpectOneBox(kServiceModeFailed);
  EXPECT_EQ(phone.bootProbes, 4 * 16);  // four attempts of two handshakes of eight probes
  EXPECT_EQ(Requests(2, 0x14), 1);      // only the ping that found it switched off
  EXPECT_EQ(session.handle(), kNoLink);
  EXPECT_EQ(link.Open(0, 57600) != kNoLink, true) << "the port was closed";
  EXPECT_FALSE(dev.dtr);
  EXPECT_EQ(dev.config.parity, kParityNone);
  EXPECT_EQ(dev.config.baudRate, 57600u);
}

TEST_F(SessionTest, ServiceProgramThatNeverAnswersPings) {
  MiniHandset phone(MiniHandset::State::Off);
  phone.serviceStartUs = INT64_MAX / 2;
  phone.Attach(dev, clock);
  EXPECT_FALSE(session.Connect());
  ExpectOneBox(kServiceModeFailed);
  EXPECT_EQ(phone.bootStrings, 1);
  EXPECT_EQ(Requests(2, 0x14), 1 + 200);
  EXPECT_EQ(link.Open(0, 57600) != kNoLink, true) << "the port was closed";
}

// --- the AT switch ---

TEST_F(SessionTest, SelectServiceProtocolOnSilentLine) {
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  dev.events.clear();
  EXPECT_EQ(session.SelectServiceProtocol(h), 0);
  std::vector<uint32_t> rates;
  for (const auto& e : dev.events)
    if (e.kind == ScriptedDevice::Kind::SetConfig) rates.push_back(e.value);
  EXPECT_EQ(rates, (std::vector<uint32_t>{19200, 115200, 57600, 38400, 19200, 57600}));
  EXPECT_EQ(dev.Count(ScriptedDevice::Kind::Purge), 4);
  const std::vector<Bytes> want = {Text("at^sqwe=1\r"), Text("at^sqwe=1\r"), Text("at^sqwe=1\r"),
                                   Text("at^sqwe=1\r"), Text("at^sqs")};
  EXPECT_EQ(dev.Writes(), want);  // no "b=1\r" without an answer to the first part
  EXPECT_EQ(dev.config.baudRate, 57600u);
}

TEST_F(SessionTest, SelectServiceProtocolTwoPartFallback) {
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  dev.onWrite = [](ScriptedDevice& d, const Bytes& w) {
    if (w == Text("at^sqs")) d.Feed(Text("at^sqs"), 5 * kMs);   // echo
    if (w == Text("b=1\r")) d.Feed(Text("b=1\r\r\nOK\r\n"), 5 * kMs);
  };
  EXPECT_EQ(session.SelectServiceProtocol(h), 1);
  EXPECT_EQ(dev.Writes().back(), Text("b=1\r"));
  EXPECT_EQ(dev.config.baudRate, 57600u);
}

// --- single requests ---

TEST_F(SessionTest, PingAndModeAcceptOnlyTheExactReply) {
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  Bytes reply;
  dev.onWrite = [&](ScriptedDevice& d, const Bytes&) { d.Feed(reply, 2 * kMs); };
  struct Case {
    Bytes reply;
    int ping;
  };
  const Case pings[] = {{Frame(2, {0x14, 0xAA}), 1},
                        {Frame(2, {0x14, 0xAB}), 0},
                        {Frame(2, {0x14, 0xAA, 0x00}), 0},
                        {Frame(5, {0x14, 0xAA}), 0},
                        {{}, 0}};
  for (const Case& c : pings) {
    reply = c.reply;
    EXPECT_EQ(session.Ping(h), c.ping) << ::testing::PrintToString(c.reply);
  }

  struct ModeCase {
    Bytes reply;
    int result;
    uint16_t flag;
  };
  const ModeCase modes[] = {{{0x05, 0x03, 0x06, 0x3F, 0x07, 0x00}, 1, 0},
                            {Frame(5, {0x3F, 0x01, 0x00}), 1, 1},
                            {Frame(5, {0x3F, 0x07, 0x01}), 1, 1},
                            {Frame(5, {0x3F, 0x07, 0x00, 0x00}), 0, 0xEEEE},
                            {Frame(5, {0x3F, 0x07}), 0, 0xEEEE}};
  for (const ModeCase& c : modes) {
    reply = c.reply;
    uint16_t flag = 0xEEEE;
    EXPECT_EQ(session.QueryMode(h, &flag), c.result) << ::testing::PrintToString(c.reply);
    EXPECT_EQ(flag, c.flag);
  }

  uint16_t product = 0;
  reply = Frame(5, {0x21, 0x34, 0x12});
  EXPECT_EQ(session.ReadProductId(h, &product), 1);
  EXPECT_EQ(product, 0x1234);
  reply = Frame(5, {0x21, 0x34});
  EXPECT_EQ(session.ReadProductId(h, &product), 0);
}

TEST_F(SessionTest, ReadImeiAnswerForms) {
  const std::string digits = "351234567890123";
  struct Case {
    const char* name;
    Bytes text;  // after the first data byte
    std::string imei;
  };
  const Case cases[] = {
      {"tag and blank", Text("\r\n+CGSN: " + digits + "\r\n"), digits},
      {"quoted, 25 characters", Text("+CGSN: \"" + digits + "\"\r"), digits},
      {"bare digits", Text("\r\n" + digits + "\r\n"), digits},
      {"nothing after the tag", Text("+CGSN:"), ""},
      {"one character", Text("7"), ""},
      {"empty", Text(""), ""},
      {"30 characters and more", Text("\r\n" + digits + digits), digits},
      // In a full frame the text ends after data byte 30, so this tag is not seen.
      {"tag in the 31st character", Text("\r\n" + digits + "        +CGSN:"), digits},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice d(clock);
    testing::FakeOpener o;
    o.Add("COM1", &d);
    Link l(clock, o, ui);
    HandsetSession s(l, ui, settings);
    const LinkHandle h = l.Open(0, 57600);
    ASSERT_NE(h, kNoLink);
    Bytes data{0xF0};
    data.insert(data.end(), c.text.begin(), c.text.end());
    if (data.size() > 32) data.resize(32);
    d.onWrite = [&](ScriptedDevice& dev6, const Bytes& w) {
      if (w == Bytes{0x06, 0x09, 0x0F, 0xF0, 'A', 'T', '+', 'C', 'G', 'S', 'N', '\r'}) {
        dev6.Feed(Frame(6, data), 5 * kMs);
        dev6.Feed(Frame(6, {0xF0, '\r', '\n', 'O', 'K', '\r', '\n'}), 10 * kMs);
      }
    };
    char imei[17];
    std::memset(imei, 'x', sizeof imei);
    EXPECT_EQ(s.ReadImei(h, imei), 1);
    EXPECT_EQ(std::string(imei), c.imei);
    EXPECT_EQ(imei[15], '\0');
    EXPECT_EQ(imei[16], 'x') << "nothing written past the 16 characters";
    EXPECT_EQ(d.Pending(), 0u) << "the OK frame after the IMEI was drained";
  }
}

TEST_F(SessionTest, ReadImeiFallsBackToControlRequest) {
  // No type-6 answer at all: the IMEI comes from the control request, from data byte 2 on.
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  Bytes fallback;
  dev.onWrite = [&](ScriptedDevice& d, const Bytes& w) {
    if (w == Frame(14, {0x0A}) && !fallback.empty()) d.Feed(Frame(14, fallback), 2 * kMs);
  };
  struct Case {
    Bytes reply;  // empty: no answer
    int result;
    std::string imei;
  };
  const Case cases[] = {
      {Bytes{0x0A, 0x00, '3', '5', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2',
             '3', '9', '9'},
       1, "351234567890123"},
      {Bytes{0x0A, 0x01, '1', '2', '3'}, 1, "123"},
      {Bytes{0x0A}, 1, ""},
      {Bytes{}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reply));
    fallback = c.reply;
    dev.events.clear();
    char imei[17];
    std::memset(imei, 'x', sizeof imei);
    EXPECT_EQ(session.ReadImei(h, imei), c.result);
    EXPECT_EQ(std::string(imei, imei + std::strlen(imei)), c.imei);
    EXPECT_EQ(imei[16], 'x');
    EXPECT_EQ(dev.Writes().size(), 2u);  // AT+CGSN, then the control request
  }
}

TEST_F(SessionTest, ReadImeiDrainIsBounded) {
  // A handset that keeps sending answer frames does not hold the session forever.
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  dev.onWrite = [](ScriptedDevice& d, const Bytes&) {
    d.Feed(Frame(6, Bytes{0xF0} + Text("\r\n351234567890123\r\n")), 2 * kMs);
    for (int i = 1; i <= 1000; ++i) d.Feed(Frame(6, {0xF0, 'x'}), 2 * kMs + i * 20 * kMs);
  };
  char imei[16];
  EXPECT_EQ(session.ReadImei(h, imei), 1);
  EXPECT_STREQ(imei, "351234567890123");
  EXPECT_GT(dev.Pending(), 900u);
}

TEST_F(SessionTest, CloseSessionClosesEvenWithoutAcknowledge) {
  const LinkHandle h = link.Open(0, 57600);
  ASSERT_NE(h, kNoLink);
  session.CloseSession(h);
  EXPECT_EQ(Requests(14, 0x04), 1);
  EXPECT_TRUE(PortClosed(h));
}

}  // namespace
}  // namespace velmora
