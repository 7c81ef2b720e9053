// The RFC 2217 side of velmora-sim without sockets: option negotiation, the server's
// acknowledgements, 0xFF escaping, and the pacing of host bytes at the line's rate.
#include <gtest/gtest.h>

#include "sim/rfc2217_session.h"
#include "sim_test_host.h"

namespace velmora::sim::testing {
namespace {

std::string Take(Rfc2217Session& s) {
  const std::string out = s.TakeNetworkOutput();
  return ToHex(Bytes(out.begin(), out.end()));
}

void Feed(Rfc2217Session& s, const std::string& hex, int64_t now = 0) {
  const Bytes b = Hex(hex);
  s.OnNetworkBytes(b.data(), b.size(), now);
}

TEST(Rfc2217Session, NegotiatesOnlyWhatItSupportsAndNeverLoops) {
  SimHandset handset(ProfileIn(SimState::ServiceMode));
  ASSERT_TRUE(handset.AcquirePort());
  Rfc2217Session s(handset, 0);
  EXPECT_EQ(Take(s), "FF FB 00 FF FD 00 FF FB 03") << "WILL BINARY, DO BINARY, WILL SGA";
  struct {
    const char* client;
    const char* server;
  } steps[] = {
      {"FF FB 00", ""},          // their WILL BINARY answers our DO
      {"FF FD 00", ""},          // their DO BINARY answers our WILL
      {"FF FD 03", ""},          // DO SGA answers our WILL SGA
      {"FF FB 03", "FF FD 03"},  // WILL SGA, new: agreed
      {"FF FB 2C", "FF FD 2C"},  // WILL COM-PORT-OPTION
      {"FF FD 2C", "FF FB 2C"},  // DO COM-PORT-OPTION
      {"FF FB 2C", ""},          // already on: no answer, no loop
      {"FF FD 01", "FF FC 01"},  // DO ECHO: we won't
      {"FF FB 18", "FF FE 18"},  // WILL TERMINAL-TYPE: don't
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.client);
    Feed(s, st.client);
    EXPECT_EQ(Take(s), st.server);
  }
}

TEST(Rfc2217Session, AcknowledgesComPortCommands) {
  SimHandset handset(ProfileIn(SimState::ServiceMode));
  ASSERT_TRUE(handset.AcquirePort());
  Rfc2217Session s(handset, 0);
  Take(s);
  struct {
    const char* what;
    const char* client;
    const char* server;
  } steps[] = {
      {"baud 57600", "FF FA 2C 01 00 00 E1 00 FF F0", "FF FA 2C 65 00 00 E1 00 FF F0"},
      {"baud query", "FF FA 2C 01 00 00 00 00 FF F0", "FF FA 2C 65 00 00 E1 00 FF F0"},
      {"baud with 0xFF bytes, escaped both ways", "FF FA 2C 01 00 00 FF FF FF FF FF F0",
       "FF FA 2C 65 00 00 FF FF FF FF FF F0"},
      {"data size 9 refused: the current size", "FF FA 2C 02 09 FF F0", "FF FA 2C 66 08 FF F0"},
      {"parity even", "FF FA 2C 03 03 FF F0", "FF FA 2C 67 03 FF F0"},
      {"parity query", "FF FA 2C 03 00 FF F0", "FF FA 2C 67 03 FF F0"},
      {"two stop bits", "FF FA 2C 04 02 FF F0", "FF FA 2C 68 02 FF F0"},
      {"no flow control", "FF FA 2C 05 01 FF F0", "FF FA 2C 69 01 FF F0"},
      {"DTR on", "FF FA 2C 05 08 FF F0", "FF FA 2C 69 08 FF F0"},
      {"DTR query", "FF FA 2C 05 07 FF F0", "FF FA 2C 69 08 FF F0"},
      {"RTS off", "FF FA 2C 05 0C FF F0", "FF FA 2C 69 0C FF F0"},
      {"hardware flow control is not offered", "FF FA 2C 05 03 FF F0", "FF FA 2C 69 01 FF F0"},
      {"purge both", "FF FA 2C 0C 03 FF F0", "FF FA 2C 70 03 FF F0"},
      {"modem state mask", "FF FA 2C 0B FF FF FF F0", "FF FA 2C 6F FF FF FF F0"},
      {"a subnegotiation of another option", "FF FA 18 01 FF F0", ""},
  };
  for (const auto& st : steps) {
    SCOPED_TRACE(st.what);
    Feed(s, st.client);
    EXPECT_EQ(Take(s), st.server);
  }
  s.Pump(1'000'000);
  EXPECT_EQ(s.line().format.baudRate, 0xFFFFu);
  EXPECT_EQ(s.line().format.parity, kParityEven);
  EXPECT_TRUE(s.line().dtr);
  EXPECT_FALSE(s.line().rts);
}

TEST(Rfc2217Session, HostBytesReachTheHandsetAtTheirWireTime) {
  SimHandset handset(ProfileIn(SimState::ServiceMode));
  ASSERT_TRUE(handset.AcquirePort());
  Rfc2217Session s(handset, 0);
  Feed(s, "FF FA 2C 01 00 00 E1 00 FF F0");
  // A ping; the 0x14 of its data is preceded by an escaped 0xFF that the handset skips.
  Feed(s, "FF FF 02 01 03 14", 0);
  s.Pump(0);
  const int64_t byteUs = 174;  // 57600 8N1
  s.Pump(5 * byteUs - 1);
  EXPECT_EQ(handset.framesReceived(), 0u) << "the last byte is still on the line";
  s.Pump(5 * byteUs);
  EXPECT_EQ(handset.framesReceived(), 1u);
  EXPECT_EQ(s.NextDueUs(), 5 * byteUs + 2000 + byteUs) << "the first reply byte";
  s.Pump(5 * byteUs + 2000 + 5 * byteUs);
  Take(s);  // the baud rate acknowledgement came first
  EXPECT_EQ(s.NextDueUs(), INT64_MAX);
}

TEST(Rfc2217Session, RepliesAreEscapedAndSentNoFasterThanTheLine) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.blocks.push_back({SimArea::Eelite, 9, 1, Hex("FF 01")});
  SimHandset handset(p);
  ASSERT_TRUE(handset.AcquirePort());
  Rfc2217Session s(handset, 0);
  Feed(s, "FF FA 2C 01 00 00 E1 00 FF F0");
  s.Pump(0);
  Take(s);
  const Bytes read = Service({0x04, 0x09, 0x00, 0x00, 0x00, 0x02, 0x00});
  s.OnNetworkBytes(read.data(), read.size(), 0);
  const int64_t requestEnd = static_cast<int64_t>(read.size()) * 174;
  s.Pump(requestEnd + 2000 + 3 * 174);
  EXPECT_EQ(Take(s), "14 04 10") << "only the header is through";
  s.Pump(requestEnd + 2000 + 7 * 174);
  EXPECT_EQ(Take(s), "04 FF FF 01 FA");
}

TEST(Rfc2217Session, GarbledSubnegotiationIsBounded) {
  SimHandset handset(ProfileIn(SimState::ServiceMode));
  ASSERT_TRUE(handset.AcquirePort());
  Rfc2217Session s(handset, 0);
  Take(s);
  Bytes junk = Hex("FF FA 2C 01");
  junk.resize(junk.size() + 100000, 0x41);
  s.OnNetworkBytes(junk.data(), junk.size(), 0);
  Feed(s, "FF F0 FF FA 2C 03 03 FF F0");
  EXPECT_EQ(Take(s), "FF FA 2C 67 03 FF F0") << "the overlong one is dropped, the next one answered";
}

}  // namespace
}  // namespace velmora::sim::testing

namespace velmora::sim::testing {
namespace {

// Garbage from the network and on the line, in every state: nothing may crash, overrun or
// make the session hoard without bound.
TEST(SimRobustness, RandomBytesInEveryState) {
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<uint8_t>(seed >> 16);
  };
  for (SimState start : {SimState::SwitchedOff, SimState::RunningNormally, SimState::ServiceMode}) {
    SimHandset handset(ProfileIn(start));
    ASSERT_TRUE(handset.AcquirePort());
    Rfc2217Session s(handset, 0);
    Feed(s, "FF FA 2C 01 00 00 E1 00 FF F0 FF FA 2C 05 08 FF F0");
    int64_t now = 0;
    size_t out = 0;
    for (int round = 0; round < 2000; ++round) {
      Bytes b(1 + next() % 40);
      for (uint8_t& x : b) x = next() % 4 == 0 ? 0x14 : next();  // frame-ish bytes now and then
      s.OnNetworkBytes(b.data(), b.size(), now);
      now += 1000 + next() * 50;
      s.Pump(now);
      out += s.TakeNetworkOutput().size();
    }
    s.Pump(now + 60'000'000);
    out += s.TakeNetworkOutput().size();
    EXPECT_LT(out, 2000u * 40u * 4u);
  }
}

}  // namespace
}  // namespace velmora::sim::testing
