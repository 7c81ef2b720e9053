// Port slots, the open configuration, time-outs, baud rate and parity changes, DTR,
// and the identification texts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link_fixture.h"

namespace velmora::testing {
namespace {

using Kind = ScriptedDevice::Kind;

// The record the handset link runs on, field by field.
SerialConfig HandsetRecord(uint32_t baud) {
  SerialConfig c;
  c.baudRate = baud;
  c.byteSize = 8;
  c.parity = kParityNone;
  c.stopBits = kOneStopBit;
  c.binary = true;
  c.parityCheck = true;
  c.outxCtsFlow = false;
  c.outxDsrFlow = false;
  c.dtrControl = kDtrControlDisable;
  c.dsrSensitivity = false;
  c.txContinueOnXoff = true;
  c.outX = false;
  c.inX = false;
  c.errorCharReplace = false;
  c.nullStrip = false;
  c.rtsControl = kRtsControlEnable;
  c.abortOnError = false;
  c.xonLimit = 0;
  c.xoffLimit = 0;
  c.xonChar = 'n';
  c.xoffChar = 'f';
  c.errorChar = 'r';
  c.eofChar = 0;
  c.evtChar = 'v';
  return c;
}

using PortTest = LinkFixture;

TEST_F(PortTest, OpenAppliesTheHandsetRecordThenTimeOutThenRtsThenPauses) {
  const LinkHandle handle = link.Open(0, 57600);
  ASSERT_NE(handle, kNoLink);
  EXPECT_GT(handle, 0);
  EXPECT_EQ(opener.names, std::vector<std::string>{"COM1"});

  EXPECT_EQ(device.config, HandsetRecord(57600));
  EXPECT_EQ(device.timeouts, (SerialTimeouts{0, 0, 250, 0, 250}));
  EXPECT_TRUE(device.rts);
  EXPECT_FALSE(device.dtr);
  ASSERT_EQ(device.events.size(), 3u);
  EXPECT_EQ(device.events[0].kind, Kind::SetConfig);
  EXPECT_EQ(device.events[1].kind, Kind::SetTimeouts);
  EXPECT_EQ(device.events[2].kind, Kind::SetRts);
  EXPECT_EQ(device.events[2].value, 1u);
  // Nothing happens on the port during the settling pause.
  EXPECT_EQ(device.events[2].timeUs, 0);
  EXPECT_EQ(clock.NowUs(), 100'000);

  uint32_t ms = 0;
  EXPECT_EQ(link.GetTimeOut(handle, &ms), 1);
  EXPECT_EQ(ms, 250u);
}

TEST_F(PortTest, PortIndexNamesTheDevice) {
  const struct {
    int index;
    const char* name;
  } cases[] = {{0, "COM1"}, {1, "COM2"}, {3, "COM4"}, {8, "COM9"}, {9, "COM:"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice d(clock);
    FakeOpener o;
    o.Add(c.name, &d);
    Link l(clock, o, ui);
    const LinkHandle handle = l.Open(c.index, 9600);
    EXPECT_NE(handle, kNoLink);
    EXPECT_EQ(o.names, std::vector<std::string>{c.name});
    EXPECT_EQ(d.config.baudRate, 9600u);
  }
}

TEST_F(PortTest, IndexOutsideTheTenSlotsIsRefusedWithoutOpening) {
  for (int index : {-1, 10, 255, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(link.Open(index, 57600), kNoLink);
  }
  EXPECT_EQ(opener.attempts, 0);
  EXPECT_EQ(clock.NowUs(), 0);
  // The real slots are untouched.
  EXPECT_NE(link.Open(0, 57600), kNoLink);
}

TEST_F(PortTest, SecondOpenOfTheSameSlotFailsAndTheFirstHandleStaysUsable) {
  OpenCom1();
  EXPECT_EQ(link.Open(0, 19200), kNoLink);
  EXPECT_EQ(opener.attempts, 1);
  EXPECT_TRUE(device.events.empty());  // the open port was not touched
  EXPECT_EQ(TimeOut(), 250u);
  EXPECT_EQ(link.PutByte(h, 0x42), 1);
  EXPECT_EQ(device.Written(), Bytes{0x42});
}

TEST_F(PortTest, CloseFreesTheSlotForAReopenAndRetiresTheOldHandle) {
  OpenCom1();
  const LinkHandle old = h;
  EXPECT_EQ(link.Close(old), 1);
  EXPECT_EQ(link.Close(old), 0);
  EXPECT_EQ(link.PutByte(old, 0x55), 0);

  const LinkHandle again = link.Open(0, 57600);
  ASSERT_NE(again, kNoLink);
  EXPECT_NE(again, old);
  // The handle of the closed port does not reach the port opened after it.
  uint32_t ms = 0;
  EXPECT_EQ(link.GetTimeOut(old, &ms), 0);
  EXPECT_EQ(link.PutByte(old, 0x55), 0);
  EXPECT_EQ(link.PutByte(again, 0x55), 1);
}

TEST_F(PortTest, OpenStartsFromTheSameRecordAfterEarlierChanges) {
  OpenCom1();
  EXPECT_EQ(link.Configure(h, 19200), 1);
  EXPECT_EQ(link.SetParity(h, kParityEven), 1);
  EXPECT_EQ(link.SetTimeOut(h, 5000), 1);
  EXPECT_EQ(link.Close(h), 1);

  h = link.Open(0, 115200);
  ASSERT_NE(h, kNoLink);
  EXPECT_EQ(device.config, HandsetRecord(115200));
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(PortTest, FailedOpenStepsCloseThePortAndFreeTheSlot) {
  const struct {
    const char* what;
    std::function<void(ScriptedDevice&, FakeOpener&, bool)> fail;
  } cases[] = {
      {"device missing", [](ScriptedDevice&, FakeOpener& o, bool on) { o.failOpens = on ? -1 : 0; }},
      {"record refused", [](ScriptedDevice& d, FakeOpener&, bool on) { d.failSetConfig = on; }},
      {"time-outs refused", [](ScriptedDevice& d, FakeOpener&, bool on) { d.failSetTimeouts = on; }},
      {"RTS refused", [](ScriptedDevice& d, FakeOpener&, bool on) { d.failRts = on; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedDevice d(clock);
    FakeOpener o;
    o.Add("COM2", &d);
    Link l(clock, o, ui);
    c.fail(d, o, true);
    EXPECT_EQ(l.Open(1, 57600), kNoLink);
    c.fail(d, o, false);
    EXPECT_NE(l.Open(1, 57600), kNoLink);  // the slot was freed
  }
}

TEST_F(PortTest, HandlesAreDistinctPositiveAndNeverTheFreeOrFailedMark) {
  ScriptedDevice second(clock);
  opener.Add("COM2", &second);
  const LinkHandle a = link.Open(0, 57600);
  const LinkHandle b = link.Open(1, 57600);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(link.PutByte(b, 0x11), 1);
  EXPECT_EQ(second.Written(), Bytes{0x11});
  EXPECT_TRUE(device.Written().empty());
}

TEST_F(PortTest, UnknownHandlesFailEveryOperationAndTouchNoPort) {
  OpenCom1();
  uint32_t value = 77;
  uint8_t byte = 0;
  uint8_t t = 0, n = 0, data[32] = {};
  char text[20] = "unchanged";
  const uint8_t one = 0x21;
  const std::vector<std::pair<const char*, std::function<int(LinkHandle)>>> ops = {
      {"Close", [&](LinkHandle x) { return link.Close(x); }},
      {"SetTimeOut", [&](LinkHandle x) { return link.SetTimeOut(x, 1000); }},
      {"GetTimeOut", [&](LinkHandle x) { return link.GetTimeOut(x, &value); }},
      {"Configure", [&](LinkHandle x) { return link.Configure(x, 19200); }},
      {"GetConfiguration", [&](LinkHandle x) { return link.GetConfiguration(x, &value); }},
      {"SetParity", [&](LinkHandle x) { return link.SetParity(x, kParityEven); }},
      {"SetDtr", [&](LinkHandle x) { return link.SetDtr(x); }},
      {"ClearDtr", [&](LinkHandle x) { return link.ClearDtr(x); }},
      {"Purge", [&](LinkHandle x) { return link.Purge(x); }},
      {"ClearErrors", [&](LinkHandle x) { return link.ClearErrors(x); }},
      {"WriteFrame", [&](LinkHandle x) { return link.WriteFrame(x, 5, 1, &one); }},
      {"ReadFrame", [&](LinkHandle x) { return link.ReadFrame(x, &t, &n, data); }},
      {"AwaitFrame", [&](LinkHandle x) { return link.AwaitFrame(x, 0, 0, &t, &n, data); }},
      {"PutByte", [&](LinkHandle x) { return link.PutByte(x, 0x55); }},
      {"GetByte", [&](LinkHandle x) { return link.GetByte(x, &byte); }},
      {"GetByteTimed", [&](LinkHandle x) { return link.GetByteTimed(x, &byte, 45); }},
      {"WriteRaw", [&](LinkHandle x) { return link.WriteRaw(x, 1, &one); }},
      {"ReadReply", [&](LinkHandle x) { return link.ReadReply(x, 20, text); }},
      {"SendAtCommand", [&](LinkHandle x) { return link.SendAtCommand(x, "AT\r"); }},
      {"RequestPing", [&](LinkHandle x) { return link.RequestPing(x); }},
      {"BootSync", [&](LinkHandle x) { return link.BootSync(x); }},
      {"SendBootBlock", [&](LinkHandle x) { return link.SendBootBlock(x, 1, &one); }},
      {"SendBootString", [&](LinkHandle x) { return link.SendBootString(x, 7, 0x80, 1); }},
      {"LeaveBootMode", [&](LinkHandle x) { return link.LeaveBootMode(x, 57600); }},
  };
  // 0 is what a free slot holds, -1 what a failed open returns.
  for (LinkHandle bogus : {0, -1, h + 1, 12345}) {
    for (const auto& [name, op] : ops) {
      SCOPED_TRACE(std::string(name) + " with handle " + std::to_string(bogus));
      EXPECT_EQ(op(bogus), 0);
    }
  }
  EXPECT_TRUE(device.events.empty());
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(TimeOut(), 250u);
  EXPECT_EQ(device.config, HandsetRecord(57600));
}

TEST_F(PortTest, SetTimeOutWritesTheRecordAndKeepsItWhenThePortRefuses) {
  OpenCom1();
  EXPECT_EQ(link.SetTimeOut(h, 1000), 1);
  EXPECT_EQ(device.timeouts, (SerialTimeouts{0, 0, 1000, 0, 1000}));
  EXPECT_EQ(TimeOut(), 1000u);

  device.failSetTimeouts = true;
  EXPECT_EQ(link.SetTimeOut(h, 5000), 0);
  EXPECT_EQ(TimeOut(), 5000u);                      // the record holds what was asked for
  EXPECT_EQ(device.timeouts.readConstant, 1000u);  // the port kept its own
}

TEST_F(PortTest, TimeOutScopeRestoresTheCallersTimeOutOnEveryPath) {
  OpenCom1();
  link.SetTimeOut(h, 1000);
  {
    LinkTimeOutScope scope(link, h, 5000);
    EXPECT_TRUE(scope.saved());
    EXPECT_TRUE(scope.set());
    EXPECT_EQ(scope.previousMs(), 1000u);
    EXPECT_EQ(device.timeouts.readConstant, 5000u);
    scope.Restore();
    EXPECT_EQ(device.timeouts.readConstant, 1000u);
    link.SetTimeOut(h, 2000);  // a restore happens once: the end of the scope keeps this
  }
  EXPECT_EQ(TimeOut(), 2000u);

  // A port that refuses the new time-out: the record had taken it, the scope puts it back.
  device.failSetTimeouts = true;
  {
    LinkTimeOutScope scope(link, h, 5000);
    EXPECT_TRUE(scope.saved());
    EXPECT_FALSE(scope.set());
    EXPECT_EQ(TimeOut(), 5000u);
  }
  EXPECT_EQ(TimeOut(), 2000u);
  device.failSetTimeouts = false;

  // Without the old value nothing is changed at all.
  const size_t before = EventsOf(Kind::SetTimeouts).size();
  {
    LinkTimeOutScope scope(link, h + 1, 5000);
    EXPECT_FALSE(scope.saved());
    EXPECT_FALSE(scope.set());
  }
  EXPECT_EQ(EventsOf(Kind::SetTimeouts).size(), before);
  EXPECT_EQ(TimeOut(), 2000u);
}

TEST_F(PortTest, ConfigureChangesOnlyTheBaudRateRaisesRtsAndPauses102Ms) {
  OpenCom1();
  EXPECT_EQ(link.Configure(h, 19200), 1);
  EXPECT_EQ(device.config, HandsetRecord(19200));
  EXPECT_EQ(device.Count(Kind::SetRts), 1);
  EXPECT_TRUE(device.rts);
  EXPECT_EQ(ElapsedUs(), 102'000);
}

TEST_F(PortTest, ParityAndBaudRateChangesBuildOnEachOther) {
  OpenCom1();
  ASSERT_EQ(link.Configure(h, 19200), 1);
  start = clock.NowUs();
  ASSERT_EQ(link.SetParity(h, kParityEven), 1);
  EXPECT_EQ(ElapsedUs(), 10'000);
  EXPECT_EQ(device.config.baudRate, 19200u);
  EXPECT_EQ(device.config.parity, kParityEven);
  EXPECT_TRUE(device.config.parityCheck);
  EXPECT_EQ(device.Count(Kind::SetRts), 2);

  ASSERT_EQ(link.Configure(h, 57600), 1);
  EXPECT_EQ(device.config.baudRate, 57600u);
  EXPECT_EQ(device.config.parity, kParityEven);
}

TEST_F(PortTest, RefusedChangesFailButTheSlotRecordKeepsTheNewValue) {
  OpenCom1();
  device.failSetConfig = true;
  EXPECT_EQ(link.Configure(h, 19200), 0);
  EXPECT_EQ(link.SetParity(h, kParityEven), 0);
  EXPECT_EQ(device.config.baudRate, 57600u);
  EXPECT_EQ(ElapsedUs(), 0);  // no settling pause after a refusal

  // The next accepted change carries both refused values along.
  device.failSetConfig = false;
  ASSERT_EQ(link.SetParity(h, kParityEven), 1);
  EXPECT_EQ(device.config.baudRate, 19200u);

  device.failRts = true;
  EXPECT_EQ(link.Configure(h, 38400), 0);
  EXPECT_EQ(link.SetParity(h, kParityNone), 0);
}

TEST_F(PortTest, GetConfigurationAsksThePortNotTheSlot) {
  OpenCom1();
  device.config.baudRate = 38400;  // changed behind the library's back
  uint32_t baud = 0;
  EXPECT_EQ(link.GetConfiguration(h, &baud), 1);
  EXPECT_EQ(baud, 38400u);
  device.failGetConfig = true;
  EXPECT_EQ(link.GetConfiguration(h, &baud), 0);
}

TEST_F(PortTest, DtrPurgeAndClearErrorsReachThePort) {
  OpenCom1();
  EXPECT_EQ(link.SetDtr(h), 1);
  EXPECT_TRUE(device.dtr);
  EXPECT_EQ(link.ClearDtr(h), 1);
  EXPECT_FALSE(device.dtr);
  device.failDtr = true;
  EXPECT_EQ(link.SetDtr(h), 0);
  EXPECT_EQ(link.ClearDtr(h), 0);

  device.Feed({1, 2, 3});
  EXPECT_EQ(link.Purge(h), 1);
  EXPECT_EQ(device.Pending(), 0u);
  EXPECT_EQ(link.ClearErrors(h), 1);
  EXPECT_EQ(device.Count(Kind::ClearErrors), 1);
}

TEST(LinkIdentification, TextsFillExactlyEightyCharacters) {
  const struct {
    char* (*copy)(char*);
    const char* text;
  } cases[] = {
      {LinkLibraryName, "QSB 95 Library V3.76 Pallas"},
      {LinkLibraryDate, "Sep  9 2002"},
      {LinkLibraryTime, "14:24:23"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char buffer[81];
    std::memset(buffer, '?', sizeof buffer);
    EXPECT_EQ(c.copy(buffer), buffer);
    EXPECT_STREQ(buffer, c.text);
    for (size_t i = std::strlen(c.text); i < 80; ++i) EXPECT_EQ(buffer[i], '\0') << i;
    EXPECT_EQ(buffer[80], '?');
  }
}

}  // namespace
}  // namespace velmora::testing
