// Link frames, the wait for a reply frame, raw bytes and texts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link_fixture.h"
#include "platform/byte_order.h"

namespace velmora::testing {
namespace {

using Kind = ScriptedDevice::Kind;

class FrameTest : public LinkFixture {
 protected:
  void SetUp() override { OpenCom1(); }

  struct Frame {
    int result = 0;
    uint8_t type = 0;
    uint8_t length = 0;
    Bytes data;
  };
  Frame Read() {
    Frame f;
    uint8_t buffer[32];
    f.result = link.ReadFrame(h, &f.type, &f.length, buffer);
    if (f.result) f.data.assign(buffer, buffer + f.length);
    return f;
  }
  Frame Await(uint8_t type, uint8_t first) {
    Frame f;
    uint8_t buffer[32];
    std::memset(buffer, 0xEE, sizeof buffer);
    f.result = link.AwaitFrame(h, type, first, &f.type, &f.length, buffer);
    if (f.result) {
      f.data.assign(buffer, buffer + f.length);
    } else {
      for (uint8_t b : buffer) EXPECT_EQ(b, 0xEE);  // a miss leaves the caller's buffer alone
    }
    return f;
  }
  int Reads() const { return device.Count(Kind::Read); }
};

TEST_F(FrameTest, FixedRequestsAreOneWriteOfHeaderAndData) {
  const uint8_t one = 0x21;
  const struct {
    const char* what;
    std::function<int()> send;
    Bytes wire;
  } cases[] = {
      {"WriteFrame 5/0x21", [&] { return link.WriteFrame(h, 5, 1, &one); }, {0x05, 0x01, 0x04, 0x21}},
      {"product id", [&] { return link.RequestProductId(h); }, {0x05, 0x01, 0x04, 0x21}},
      {"mode", [&] { return link.RequestMode(h); }, {0x05, 0x01, 0x04, 0x3F}},
      {"ping", [&] { return link.RequestPing(h); }, {0x02, 0x01, 0x03, 0x14}},
      {"switch-off", [&] { return link.RequestSwitchOff(h); }, {0x0E, 0x01, 0x0F, 0x04}},
      {"AT+CGSN",
       [&] { return link.SendAtCommand(h, "AT+CGSN\r"); },
       {0x06, 0x09, 0x0F, 0xF0, 0x41, 0x54, 0x2B, 0x43, 0x47, 0x53, 0x4E, 0x0D}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device.events.clear();
    EXPECT_EQ(c.send(), 1);
    EXPECT_EQ(device.Writes(), std::vector<Bytes>{c.wire});
  }
}

TEST_F(FrameTest, OversizedFramesAndTextsAreRefusedUnwritten) {
  uint8_t data[40];
  for (int i = 0; i < 40; ++i) data[i] = static_cast<uint8_t>(i);

  EXPECT_EQ(link.WriteFrame(h, 0x14, 32, data), 1);
  ASSERT_EQ(device.Written().size(), 35u);
  EXPECT_EQ(device.Written()[2], 0x14 ^ 32);
  EXPECT_EQ(device.Written()[34], 31);

  device.events.clear();
  EXPECT_EQ(link.WriteFrame(h, 0x14, 33, data), 0);
  EXPECT_EQ(link.WriteFrame(h, 0x14, 255, data), 0);

  const std::string thirty(30, 'A');
  EXPECT_EQ(link.SendAtCommand(h, (thirty + "B").c_str()), 0);
  EXPECT_EQ(link.SendAtCommand(h, (thirty + thirty + thirty).c_str()), 0);
  EXPECT_TRUE(device.Writes().empty());

  EXPECT_EQ(link.SendAtCommand(h, thirty.c_str()), 1);
  const Bytes wire = device.Written();
  ASSERT_EQ(wire.size(), 34u);
  EXPECT_EQ(wire[1], 31);
  EXPECT_EQ(wire[3], 0xF0);
  EXPECT_EQ(wire[33], 'A');
}

TEST_F(FrameTest, WriteFailuresAreReported) {
  const uint8_t two[2] = {1, 2};
  device.failWrites = 5;
  EXPECT_EQ(link.WriteFrame(h, 5, 1, two), 0);
  EXPECT_EQ(link.SendAtCommand(h, "AT\r"), 0);
  EXPECT_EQ(link.PutByte(h, 0x55), 0);
  EXPECT_EQ(link.WriteRaw(h, 2, two), 0);
  EXPECT_EQ(link.RequestPing(h), 0);

  EXPECT_EQ(link.WriteRaw(h, 2, two), 1);
  EXPECT_EQ(device.Writes().back(), (Bytes{1, 2}));
}

TEST_F(FrameTest, ReadTakesFramesAndResynchronisesAfterStrayBytes) {
  const Bytes frame = {0x05, 0x01, 0x04, 0x21};
  // Built by appending byte by byte: GCC 12 at -O3 warns falsely about a range insert here.
  auto onesThenFrame = [&frame](size_t ones) {
    Bytes line(ones, 0x01);  // 01 01 never forms a header: 01 ^ 01 is 00
    for (uint8_t b : frame) line.push_back(b);
    return line;
  };
  const Bytes atLimit = onesThenFrame(100);    // the header completes on the 100th byte after the first three
  const Bytes pastLimit = onesThenFrame(101);  // one byte more pushes the same header past the limit

  const struct {
    const char* what;
    Bytes line;
    int result;
    Bytes data;
    size_t left;  // bytes still waiting on the line afterwards
  } cases[] = {
      {"plain", frame, 1, {0x21}, 0},
      {"one stray byte", {0xAA, 0x05, 0x01, 0x04, 0x21}, 1, {0x21}, 0},
      {"two stray bytes", {0xAA, 0xBB, 0x05, 0x01, 0x04, 0x21}, 1, {0x21}, 0},
      {"32 data bytes", [] { Bytes b = {0x14, 0x20, 0x34}; b.resize(35, 0x7E); return b; }(), 1,
       Bytes(32, 0x7E), 0},
      {"header found on the 100th further byte", atLimit, 1, {0x21}, 0},
      {"no header within 100 further bytes", pastLimit, 0, {}, 2},
      {"103 bytes without a header", Bytes(110, 0x01), 0, {}, 7},
      {"length 0", {0x05, 0x00, 0x05, 0x21}, 0, {}, 1},
      {"length 33", {0x05, 0x21, 0x24, 0x21, 0x22}, 0, {}, 2},
      {"short data", {0x05, 0x04, 0x01, 0xAA, 0xBB}, 0, {}, 0},
      {"two header bytes only", {0x05, 0x01}, 0, {}, 0},
      {"silence", {}, 0, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device.Purge();
    device.Feed(c.line);
    const Frame f = Read();
    EXPECT_EQ(f.result, c.result);
    if (c.result) {
      EXPECT_EQ(f.type, c.line[c.line.size() - c.data.size() - 3]);
      EXPECT_EQ(f.length, c.data.size());
      EXPECT_EQ(f.data, c.data);
    }
    EXPECT_EQ(device.Pending(), c.left);
  }
}

TEST_F(FrameTest, ReadCompletesAHeaderThatTricklesIn) {
  // The first read gets one byte within its time-out; the rest arrive for the single reads.
  device.Feed({0x05});
  device.Feed({0x03}, 260'000);
  device.Feed({0x06, 0x3F, 0x07, 0x00}, 400'000);
  const Frame f = Read();
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.type, 5);
  EXPECT_EQ(f.data, (Bytes{0x3F, 0x07, 0x00}));
  const auto reads = EventsOf(Kind::Read);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0].value, 3u);
  EXPECT_EQ(reads[1].value, 1u);
  EXPECT_EQ(reads[2].value, 1u);
  EXPECT_EQ(reads[3].value, 3u);  // the data in one call
}

TEST_F(FrameTest, ReadFailsWhenTheDeviceFails) {
  device.Feed({0x05, 0x01, 0x04, 0x21});
  device.failRead = true;
  EXPECT_EQ(Read().result, 0);
}

TEST_F(FrameTest, AwaitSkipsFramesOfOtherTypesOrSubCommands) {
  device.Feed({0x02, 0x01, 0x03, 0x14});
  device.Feed({0x07, 0x02, 0x05, 0x01, 0x02}, 20'000);
  Frame f = Await(7, 0);
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.type, 7);
  EXPECT_EQ(f.data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(device.Pending(), 0u);  // the type-2 frame is gone

  device.Feed({0x05, 0x01, 0x04, 0x3F, 0x05, 0x03, 0x06, 0x21, 0x34, 0x12});
  f = Await(5, 0x21);
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.data, (Bytes{0x21, 0x34, 0x12}));
  EXPECT_EQ(LoadLe16(f.data.data() + 1), 0x1234);

  device.Feed({0x09, 0x01, 0x08, 0x33});
  f = Await(0, 0);
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.type, 9);
  EXPECT_EQ(TimeOut(), 250u);
  EXPECT_EQ(device.timeouts.readConstant, 250u);
}

TEST_F(FrameTest, AwaitTakesAReplyWithoutWaitingOutItsWindow) {
  device.Feed({0x02, 0x02, 0x00, 0x14, 0xAA}, 12'000);
  EXPECT_EQ(Await(2, 0x14).result, 1);
  EXPECT_EQ(ElapsedUs(), 12'000);
}

TEST_F(FrameTest, AwaitMakesOneReadPerFiftyMsOfTheTimeOutAndRestoresIt) {
  const struct {
    uint32_t timeOut;
    int reads;
  } cases[] = {{0, 1}, {50, 1}, {51, 2}, {250, 5}, {1000, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeOut);
    ASSERT_EQ(link.SetTimeOut(h, c.timeOut), 1);
    device.events.clear();
    start = clock.NowUs();
    EXPECT_EQ(Await(7, 0).result, 0);
    EXPECT_EQ(Reads(), c.reads);
    for (const auto& e : EventsOf(Kind::Read)) EXPECT_EQ(e.timeoutMs, 50u);
    EXPECT_EQ(ElapsedUs(), c.reads * 50'000);
    EXPECT_EQ(TimeOut(), c.timeOut);
    EXPECT_EQ(device.timeouts.readConstant, c.timeOut);
  }
}

TEST_F(FrameTest, AwaitWithAPortThatRefusesTimeOutsStillEndsAndKeepsTheRecord) {
  device.failSetTimeouts = true;
  EXPECT_EQ(Await(7, 0).result, 0);
  EXPECT_EQ(Reads(), 5);
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(FrameTest, ByteTimedUsesItsOwnWindowAndRestoresTheTimeOut) {
  uint8_t b = 0;
  EXPECT_EQ(link.GetByteTimed(h, &b, 45), 0);
  EXPECT_EQ(ElapsedUs(), 45'000);
  EXPECT_EQ(TimeOut(), 250u);
  EXPECT_EQ(device.timeouts.readConstant, 250u);

  device.Feed({0xA0}, 30'000);
  EXPECT_EQ(link.GetByteTimed(h, &b, 45), 1);
  EXPECT_EQ(b, 0xA0);
  EXPECT_EQ(TimeOut(), 250u);

  // A refused setting gives up at once and puts the record back.
  device.Feed({0x11});
  device.failSetTimeouts = true;
  EXPECT_EQ(link.GetByteTimed(h, &b, 45), 0);
  EXPECT_EQ(device.Pending(), 1u);
  EXPECT_EQ(TimeOut(), 250u);
}

TEST_F(FrameTest, GetWaitsThePortTimeOut) {
  uint8_t b = 0;
  EXPECT_EQ(link.GetByte(h, &b), 0);
  EXPECT_EQ(ElapsedUs(), 250'000);
  device.Feed({0x42}, 100'000);
  EXPECT_EQ(link.GetByte(h, &b), 1);
  EXPECT_EQ(b, 0x42);
}

TEST_F(FrameTest, ReadReplyStopsAtTheBufferAndReportsOnlyEndedReplies) {
  const struct {
    const char* what;
    std::string line;
    int result;
    std::string text;
    size_t left;
  } cases[] = {
      {"short reply", "OK\r\n", 1, "OK\r\n", 0},
      {"18 bytes", std::string(18, 'x'), 1, std::string(18, 'x'), 0},
      {"19 bytes fill the buffer", std::string(19, 'y'), 0, std::string(19, 'y'), 0},
      {"a reply that keeps coming", std::string(25, 'z'), 0, std::string(19, 'z'), 6},
      {"nothing", "", 0, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    device.Purge();
    device.Feed(Bytes(c.line.begin(), c.line.end()));
    char text[24];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(link.ReadReply(h, 20, text), c.result);
    EXPECT_EQ(std::string(text), c.text);
    for (size_t i = 20; i < sizeof text; ++i) EXPECT_EQ(text[i], '#');
    EXPECT_EQ(device.Pending(), c.left);
  }
}

TEST_F(FrameTest, ReadReplyWithoutRoomForTextReadsNothing) {
  device.Feed({'O', 'K'});
  char text[2] = {'#', '#'};
  EXPECT_EQ(link.ReadReply(h, 0, text), 0);
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(link.ReadReply(h, 1, text), 0);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], '#');
  EXPECT_EQ(device.Pending(), 2u);
}

}  // namespace
}  // namespace velmora::testing
