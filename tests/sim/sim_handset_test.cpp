// The simulated handset as a peer on the line: byte-exact answers, the line-state rules of
// the boot ROM, the boot block, the two running states and the block store.
#include <gtest/gtest.h>

#include "sim_test_host.h"

namespace velmora::sim::testing {
namespace {

struct Step {
  const char* what;
  const char* request;  // hex bytes on the line
  const char* reply;    // hex bytes expected back, "" for silence
};

SimProfile ByteExactProfile() {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.blocks.push_back({SimArea::Eelite, 5005, 1, Bytes(4, 0)});
  p.blocks.push_back({SimArea::Eelite, 7, 1, Hex("112233")});
  p.blocks.push_back({SimArea::Eefull, 100, 2, Bytes(30, 0)});
  return p;
}

// One conversation, in order: each step relies on the store the earlier ones left.
TEST(SimHandsetWire, AnswersServiceRequestsByteForByte) {
  const Step steps[] = {
      {"DeleteBlock Eelite 5005", "14 04 10 07 8D 13 99", "14 02 16 07 07"},
      {"DeleteBlock of a missing block", "14 04 10 07 8D 13 99", "14 02 16 32 32"},
      {"BlockExists Eefull 100 (30 bytes, v2)", "14 04 10 15 64 00 71", "14 05 11 15 1E 00 02 09"},
      {"GetMaxLogicalBlock", "14 02 16 06 06", "14 04 10 06 2C 01 2B"},
      {"ReadBlockChunk Eelite 7, 0, 3", "14 08 1C 04 07 00 00 00 03 00 00", "14 05 11 04 11 22 33 04"},
      {"CreateBlock Eelite 100, 30, v2", "14 07 13 01 64 00 1E 00 02 79", "14 02 16 01 01"},
      {"WriteBlockChunk Eelite 100 @0 AA BB CC", "14 09 1D 02 64 00 00 00 AA BB CC BB", "14 02 16 02 02"},
      {"ReadBlockChunk Eelite 100, 20, 10 (erased bytes)", "14 08 1C 04 64 00 14 00 0A 00 7E",
       "14 0C 18 04 FF FF FF FF FF FF FF FF FF FF 04"},
      {"ReadBlockChunk Eelite 100, 0, 3", "14 08 1C 04 64 00 00 00 03 00 63", "14 05 11 04 AA BB CC D9"},
      {"CloseBlock Eelite 100", "14 04 10 03 64 00 67", "14 02 16 03 03"},
      {"WriteBlockPart Eefull 5005 @14 05", "14 07 13 1A 8D 13 0E 00 05 8F", "14 02 16 1A 1A"},
      {"CloseBlock Eefull 5005, never opened", "14 04 10 13 8D 13 8D", "14 02 16 33 33"},
      {"QueryMode in service mode", "05 01 04 3F", "05 03 06 3F 07 00"},
      {"ProductId", "05 01 04 21", "05 03 06 21 48 00"},
      {"Ping", "02 01 03 14", "02 02 00 14 AA"},
      {"Service message with a wrong check byte", "14 04 10 07 8D 13 98", "14 02 16 20 20"},
      {"Service message too short for its command", "14 03 17 07 8D 8A", "14 02 16 20 20"},
      {"Frame header damaged: not even recognised", "14 04 11 07 8D 13 99", ""},
      {"Unknown command", "14 02 16 0B 0B", "14 02 16 3F 3F"},
      {"Stray byte before a frame is skipped", "AA 02 01 03 14", "02 02 00 14 AA"},
  };
  Host host(ByteExactProfile());
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(ToHex(host.Exchange(Hex(s.request))), ToHex(Hex(s.reply)));
  }
  EXPECT_EQ(host.handset.area(SimArea::Eefull).blocks.at(5005).data[14], 0x05);
}

TEST(SimHandsetWire, DeleteAllBlocksAnswersAfterTheErase) {
  Host host(ProfileIn(SimState::ServiceMode));
  host.Send(Hex("14 02 16 09 09"));
  EXPECT_TRUE(host.Receive(250).empty()) << "the erase takes its time";
  EXPECT_EQ(ToHex(host.Receive(250)), "14 02 16 09 09");
  EXPECT_TRUE(host.handset.area(SimArea::Eelite).blocks.empty());
  EXPECT_EQ(host.handset.area(SimArea::Eefull).blocks.size(), 5u) << "Eefull is not touched";
}

TEST(SimHandsetWire, ImeiAnswersAndFallback) {
  Host host(ProfileIn(SimState::ServiceMode));
  // AT+CGSN in a type-6 frame: the answer text, then "OK", each behind data byte 0xF0.
  const Bytes got = host.Exchange(Hex("06 09 0F F0 41 54 2B 43 47 53 4E 0D"));
  const std::string text = "\r\n+CGSN: 351234567890128\r\n";
  Bytes first{0xF0};
  first.insert(first.end(), text.begin(), text.end());
  Bytes expected = Frame(6, first);
  const std::string ok = "\r\nOK\r\n";
  Bytes second{0xF0};
  second.insert(second.end(), ok.begin(), ok.end());
  const Bytes okFrame = Frame(6, second);
  expected.insert(expected.end(), okFrame.begin(), okFrame.end());
  EXPECT_EQ(ToHex(got), ToHex(expected));

  // The type-14 request 0x0A carries the IMEI from data byte 2 on.
  const std::string imei = "351234567890128";
  Bytes fallback{0x0A, 15};
  fallback.insert(fallback.end(), imei.begin(), imei.end());
  EXPECT_EQ(ToHex(host.Exchange(Hex("0E 01 0F 0A"))), ToHex(Frame(14, fallback)));
}

TEST(SimHandsetWire, ImeiTextAndSilenceComeFromTheProfile) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  std::string error;
  ASSERT_TRUE(ApplySimSetting(&p, "imei_text", "+CGSN: \"490154203237518\"\\r", &error)) << error;
  Host host(p);
  const Bytes got = host.Exchange(Hex("06 09 0F F0 41 54 2B 43 47 53 4E 0D"));
  ASSERT_GE(got.size(), 29u);
  EXPECT_EQ(got[1], 26) << "0xF0 and the 25-character text";
  EXPECT_EQ(std::string(got.begin() + 4, got.begin() + 29), "+CGSN: \"490154203237518\"\r");

  host.handset.faults().noImeiAt = true;
  EXPECT_TRUE(host.Exchange(Hex("06 09 0F F0 41 54 2B 43 47 53 4E 0D")).empty());
  EXPECT_FALSE(host.Exchange(Hex("0E 01 0F 0A")).empty()) << "the fallback still answers";
}

// --- boot ROM and boot block -------------------------------------------------------------

struct LineCase {
  const char* what;
  uint32_t baud;
  uint8_t parity;
  bool dtr;
  bool answers;
};

TEST(SimHandsetBoot, RomAnswersTheProbeOnlyOnItsOwnLine) {
  const LineCase cases[] = {
      {"19200 8E1 with DTR", 19200, kParityEven, true, true},
      {"57600", 57600, kParityEven, true, false},
      {"no DTR", 19200, kParityEven, false, false},
      {"parity none", 19200, kParityNone, true, false},
      {"parity odd", 19200, kParityOdd, true, false},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    Host host(ProfileIn(SimState::SwitchedOff));
    host.Configure(c.baud, c.parity);
    host.Dtr(c.dtr);
    EXPECT_EQ(host.Exchange({0x55}, 45), c.answers ? Bytes{0xA0} : Bytes{});
  }
}

TEST(SimHandsetBoot, BootStringStartsTheServiceProgram) {
  EXPECT_EQ(ExpectedBootProgram().size(), 104u);
  uint8_t x = 0;
  for (uint8_t b : ExpectedBootProgram()) x ^= b;
  EXPECT_EQ(x, 0xFE);

  Host host(ProfileIn(SimState::SwitchedOff));
  ASSERT_TRUE(host.Boot());
  // The service program needs its start-up time before it listens.
  EXPECT_TRUE(host.Exchange(Hex("02 01 03 14"), 20).empty());
  host.clock.SleepUs(50'000);
  EXPECT_EQ(ToHex(host.Exchange(Hex("02 01 03 14"))), "02 02 00 14 AA");
  EXPECT_EQ(ToHex(host.Exchange(Hex("05 01 04 3F"))), "05 03 06 3F 07 00");
  EXPECT_EQ(host.handset.state(), SimState::ServiceMode);
}

TEST(SimHandsetBoot, RefusesAnyOtherBlockAndListensAgain) {
  Bytes oneByteChanged = ExpectedBootProgram();
  oneByteChanged[3] ^= 0x10;
  Bytes otherParameters = ExpectedBootProgram();
  otherParameters[86] = 2;
  const Bytes truncated(ExpectedBootProgram().begin(), ExpectedBootProgram().end() - 1);
  for (const Bytes* wrong : std::initializer_list<const Bytes*>{&oneByteChanged, &otherParameters, &truncated}) {
    Host host(ProfileIn(SimState::SwitchedOff));
    EXPECT_FALSE(host.Boot(*wrong));
    host.clock.SleepUs(600'000);
    EXPECT_TRUE(host.Exchange(Hex("02 01 03 14")).empty()) << "no service program";
    EXPECT_TRUE(host.Boot()) << "the ROM takes a new handshake";
  }
}

TEST(SimHandsetBoot, DamagedCheckByteGetsNoAcknowledgement) {
  Host host(ProfileIn(SimState::SwitchedOff));
  host.Configure(19200, kParityEven);
  host.Dtr(true);
  ASSERT_EQ(host.Exchange({0x55}, 45), Bytes{0xA0});
  host.Dtr(false);
  Bytes block{104};
  block.insert(block.end(), ExpectedBootProgram().begin(), ExpectedBootProgram().end());
  block.push_back(0xFF);  // the right one is 0xFE
  EXPECT_TRUE(host.Exchange(block, 60).empty());
}

TEST(SimHandsetBoot, SilentRomFault) {
  SimProfile p = ProfileIn(SimState::SwitchedOff);
  p.faults.bootSilent = true;
  Host host(p);
  EXPECT_FALSE(host.Boot());
}

// --- running normally --------------------------------------------------------------------

TEST(SimHandsetNormal, AtCommandThenFramesThenSwitchOff) {
  Host host;  // default profile: switched on, 57600
  EXPECT_TRUE(host.Exchange(Hex("02 01 03 14")).empty()) << "frames only after the AT switch";
  host.Configure(19200, kParityNone);
  host.Send("at^sqwe=1\r");
  EXPECT_EQ(host.ReceiveText(500), "") << "at the wrong baud rate it is noise";
  host.Configure(57600, kParityNone);
  host.Send("at^sqwe=1\r");
  EXPECT_EQ(host.ReceiveText(500), "OK\r\n");
  EXPECT_EQ(ToHex(host.Exchange(Hex("05 01 04 3F"))), "05 03 06 3F 01 00") << "not mode 7";
  EXPECT_EQ(ToHex(host.Exchange(Hex("02 01 03 14"))), "02 02 00 14 AA");
  EXPECT_TRUE(host.Exchange(Hex("05 01 04 21")).empty()) << "no product number outside service mode";
  EXPECT_EQ(ToHex(host.Exchange(Hex("0E 01 0F 04"))), "0E 01 0F 04");
  EXPECT_EQ(host.handset.state(), SimState::SwitchedOff);
  EXPECT_TRUE(host.Exchange(Hex("02 01 03 14")).empty());
}

// The short requests a host sends before it trusts the line, in the two states that speak
// frames: a running handset knows only ping, its mode and switch-off; the service program
// also gives its product number and IMEI, and takes AT and service frames.
TEST(SimHandsetNormal, ShortRequestsAreAnsweredAsTheStateKnowsThem) {
  const std::string imei = "351234567890128";
  Bytes imeiAnswer{0x0A, 15};
  imeiAnswer.insert(imeiAnswer.end(), imei.begin(), imei.end());
  const Bytes atImei = Hex("06 09 0F F0 41 54 2B 43 47 53 4E 0D");
  auto atFrames = [](std::initializer_list<std::string> texts) {
    Bytes frames;
    for (const std::string& text : texts) {
      Bytes data{0xF0};
      data.insert(data.end(), text.begin(), text.end());
      const Bytes f = Frame(6, data);
      frames.insert(frames.end(), f.begin(), f.end());
    }
    return ToHex(frames);
  };
  const struct {
    const char* what;
    Bytes request;
    std::string normal;   // the answer of a handset running normally, frames on
    std::string service;  // the answer in service mode
  } cases[] = {
      {"ping", Hex("02 01 03 14"), "02 02 00 14 AA", "02 02 00 14 AA"},
      {"ping with a second byte", Frame(2, {0x14, 0x00}), "", ""},
      {"ping of another kind", Frame(2, {0x15}), "", ""},
      {"mode", Hex("05 01 04 3F"), "05 03 06 3F 01 00", "05 03 06 3F 07 00"},
      {"product number", Hex("05 01 04 21"), "", "05 03 06 21 48 00"},
      {"product number as a control", Frame(14, {0x21}), "", ""},
      {"IMEI", Hex("0E 01 0F 0A"), "", ToHex(Frame(14, imeiAnswer))},
      {"AT+CGSN in a frame", atImei, "", atFrames({"\r\n+CGSN: " + imei + "\r\n", "\r\nOK\r\n"})},
      {"AT frame with a one-byte body", Frame(6, {0xF0}), "", atFrames({"\r\nERROR\r\n"})},
      {"AT frame on another channel", Frame(6, {0xF1, 'A', 'T'}), "", ""},
      {"service message", Service({0x07, 0x01, 0x00}), "", "14 02 16 07 07"},
      {"unknown frame type", Frame(9, {0x3F}), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Host normal;
    normal.Send("at^sqwe=1\r");
    ASSERT_EQ(normal.ReceiveText(500), "OK\r\n");
    EXPECT_EQ(ToHex(normal.Exchange(c.request)), c.normal);
    EXPECT_EQ(normal.handset.state(), SimState::RunningNormally);

    Host service(ProfileIn(SimState::ServiceMode));
    EXPECT_EQ(ToHex(service.Exchange(c.request)), c.service);
    EXPECT_EQ(service.handset.state(), SimState::ServiceMode);
  }
}

TEST(SimHandsetNormal, SqsbInTwoWritesWithEcho) {
  SimProfile p;
  p = SimProfile::Default();
  p.atEcho = true;
  p.baudRate = 19200;
  Host host(p);
  host.Configure(19200, kParityNone);
  host.Send("at^sqs");
  EXPECT_EQ(host.ReceiveText(500), "at^sqs");
  host.Send("b=1\r");
  EXPECT_EQ(host.ReceiveText(500), "b=1\rOK\r\n");
  EXPECT_EQ(ToHex(host.Exchange(Hex("02 01 03 14"))), "02 02 00 14 AA");
}

TEST(SimHandsetNormal, SwitchOffFaults) {
  struct Case {
    SwitchOffFault fault;
    const char* ack;
  } cases[] = {{SwitchOffFault::Ignore, ""}, {SwitchOffFault::AckButStayOn, "0E 01 0F 04"}};
  for (const Case& c : cases) {
    SimProfile p = ProfileIn(SimState::ServiceMode);
    p.faults.switchOff = c.fault;
    Host host(p);
    EXPECT_EQ(ToHex(host.Exchange(Hex("0E 01 0F 04"))), ToHex(Hex(c.ack)));
    EXPECT_EQ(ToHex(host.Exchange(Hex("02 01 03 14"))), "02 02 00 14 AA") << "still running";
  }
}

// --- faults on service commands ----------------------------------------------------------

TEST(SimHandsetFaults, ReplyFaults) {
  const Bytes deleteBlock1 = Service({0x07, 0x01, 0x00});
  const Bytes deleteBlock2 = Service({0x07, 0x02, 0x00});
  struct Case {
    const char* faultText;
    const char* first;   // reply to DeleteBlock 1
    const char* second;  // reply to DeleteBlock 2
    bool firstExecuted;
  } cases[] = {
      {"status 0x07 7 once", "14 02 16 37 37", "14 02 16 07 07", false},
      {"status 7 0x20 always", "14 02 16 20 20", "14 02 16 20 20", false},
      {"lose 7", "", "14 02 16 07 07", true},
      {"damage 7", "14 02 16 07 06", "14 02 16 07 07", true},
      {"status 0x17 2 always", "14 02 16 07 07", "14 02 16 07 07", true},  // Eefull code only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faultText);
    SimProfile p = ProfileIn(SimState::ServiceMode);
    std::string error;
    ASSERT_TRUE(ParseSimFault(c.faultText, &p.faults, &error)) << error;
    Host host(p);
    EXPECT_EQ(ToHex(host.Exchange(deleteBlock1)), ToHex(Hex(c.first)));
    EXPECT_EQ(host.handset.area(SimArea::Eelite).blocks.count(1), c.firstExecuted ? 0u : 1u);
    EXPECT_EQ(ToHex(host.Exchange(deleteBlock2)), ToHex(Hex(c.second)));
  }
}

TEST(SimHandsetFaults, PendingRepliesComeApartThenTheAnswer) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.faults.replies.push_back({FaultKind::Pending, 0x01, 0, 2, 1});
  Host host(p);
  host.Send(Service({0x01, 0x64, 0x00, 0x1E, 0x00, 0x02}));
  EXPECT_EQ(ToHex(host.Receive(100)), "14 02 16 50 50");
  EXPECT_TRUE(host.Receive(80).empty()) << "the next comes 200 ms later";
  EXPECT_EQ(ToHex(host.Receive(100)), "14 02 16 50 50");
  EXPECT_EQ(ToHex(host.Receive(250)), "14 02 16 01 01");
}

TEST(SimHandsetFaults, WriteBackFailsAtTheKthWriteAfterTheErase) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.faults.writebackFailAt = 3;
  Host host(p);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x05, 0x00, 0x02, 0x00, 0x01}))), "14 02 16 01 01")
      << "before the erase nothing is counted";
  EXPECT_EQ(ToHex(host.Exchange(Hex("14 02 16 09 09"), 600)), "14 02 16 09 09");
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x01, 0x00, 0x02, 0x00, 0x01}))), "14 02 16 01 01");
  EXPECT_EQ(ToHex(host.Exchange(Service({0x02, 0x01, 0x00, 0x00, 0x00, 0xAB, 0xCD}))), "14 02 16 02 02");
  EXPECT_EQ(ToHex(host.Exchange(Service({0x03, 0x01, 0x00}))), "14 02 16 03 03") << "close is not counted";
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x02, 0x00, 0x02, 0x00, 0x01}))), "14 02 16 34 34");
  EXPECT_EQ(host.handset.area(SimArea::Eelite).blocks.count(2), 0u);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x02, 0x00, 0x02, 0x00, 0x01}))), "14 02 16 01 01") << "once";
}

TEST(SimHandsetFaults, LineFaultsStrikeAtTheKthServiceCommand) {
  const Bytes deleteBlock1 = Service({0x07, 0x01, 0x00});
  const Bytes deleteBlock2 = Service({0x07, 0x02, 0x00});
  const Bytes deleteBlock3 = Service({0x07, 0x03, 0x00});
  struct Case {
    const char* faultText;
    SimState stateAfter;
    bool portFails;  // the device's reads and writes fail once the line is gone
  } cases[] = {
      {"silent 2", SimState::ServiceMode, false},
      {"power_off 2", SimState::SwitchedOff, false},
      {"drop 2", SimState::ServiceMode, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faultText);
    SimProfile p = ProfileIn(SimState::ServiceMode);
    std::string error;
    ASSERT_TRUE(ParseSimFault(c.faultText, &p.faults, &error)) << error;
    Host host(p);
    EXPECT_EQ(ToHex(host.Exchange(deleteBlock1)), "14 02 16 07 07") << "the first is answered";
    EXPECT_TRUE(host.Exchange(deleteBlock2).empty());
    EXPECT_EQ(host.handset.area(SimArea::Eelite).blocks.count(2), 1u) << "the k-th is not carried out";
    EXPECT_EQ(host.handset.state(), c.stateAfter);
    EXPECT_TRUE(host.Exchange(deleteBlock3).empty()) << "nor is anything after it answered";
    EXPECT_EQ(host.handset.area(SimArea::Eelite).blocks.count(3), 1u);
    EXPECT_EQ(host.handset.LineDropped(), c.portFails);
    uint8_t b = 0;
    EXPECT_EQ(host.device->Read(&b, 1) < 0, c.portFails);
    EXPECT_EQ(host.device->Write(&b, 1) < 0, c.portFails);
  }
  SimFaults f;
  std::string error;
  EXPECT_FALSE(ParseSimFault("silent 0", &f, &error));
  EXPECT_FALSE(ParseSimFault("drop", &f, &error));
}

// --- the block store ---------------------------------------------------------------------

struct Space {
  uint32_t free, afterCompaction, capacity;
};

Space AskSpace(Host& host) {
  const Bytes r = host.Exchange(Hex("14 02 16 08 08"));
  EXPECT_EQ(r.size(), 3u + 14u);
  if (r.size() != 17) return {};
  auto le32 = [&](size_t at) {
    return uint32_t{r[at]} | uint32_t{r[at + 1]} << 8 | uint32_t{r[at + 2]} << 16 | uint32_t{r[at + 3]} << 24;
  };
  EXPECT_EQ(r[3], 0x08);
  uint8_t x = 0;
  for (size_t i = 3; i < 16; ++i) x ^= r[i];
  EXPECT_EQ(r[16], x);
  return {le32(4), le32(8), le32(12)};
}

TEST(SimHandsetStore, EeliteSpaceIsLogStructured) {
  Host host(ProfileIn(SimState::ServiceMode));
  // Default: 20 blocks of 100 bytes (112 each with overhead) and 2000 dead bytes in 8192.
  Space s = AskSpace(host);
  EXPECT_EQ(s.free, 8192u - 2240u - 2000u);
  EXPECT_EQ(s.afterCompaction, 8192u - 2240u);
  EXPECT_EQ(s.capacity, 8192u);

  // Replacing block 1 with a 50-byte block leaves the old 112 bytes behind as garbage.
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x01, 0x00, 50, 0x00, 0x02}))), "14 02 16 01 01");
  s = AskSpace(host);
  EXPECT_EQ(s.free, 3952u - 62u);
  EXPECT_EQ(host.handset.area(SimArea::Eelite).Garbage(), 2000u + 112u);

  // Deleting frees nothing until the erase.
  EXPECT_EQ(ToHex(host.Exchange(Service({0x07, 0x02, 0x00}))), "14 02 16 07 07");
  EXPECT_EQ(AskSpace(host).free, 3890u);

  // A block that needs more than the free space is refused with "5".
  const uint16_t tooBig = 3890 - 12 + 1;
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x15, 0x00, tooBig & 0xFF, tooBig >> 8, 0x01}))),
            "14 02 16 35 35");
  const uint16_t fits = 3890 - 12;
  EXPECT_EQ(ToHex(host.Exchange(Service({0x01, 0x15, 0x00, fits & 0xFF, fits >> 8, 0x01}))), "14 02 16 01 01");
  EXPECT_EQ(AskSpace(host).free, 0u);

  host.Exchange(Hex("14 02 16 09 09"), 600);
  s = AskSpace(host);
  EXPECT_EQ(s.free, 8192u);
  EXPECT_EQ(s.afterCompaction, 8192u);
}

TEST(SimHandsetStore, CommandsKeepToTheBlockTheyOpened) {
  Host host(ProfileIn(SimState::ServiceMode));
  const Step steps[] = {
      {"chunk to a closed block: ID not locked", "", "14 02 16 33 33"},
      {"create 100 (10 bytes)", "", "14 02 16 01 01"},
      {"chunk to another existing block: not same ID", "", "14 02 16 34 34"},
      {"chunk past the end: too small", "", "14 02 16 36 36"},
      {"delete of the open block: in use", "", "14 02 16 37 37"},
      {"read past the end", "", "14 02 16 36 36"},
      {"create beyond the highest logical block", "", "14 02 16 32 32"},
      {"chunk to a missing block", "", "14 02 16 32 32"},
  };
  const Bytes requests[] = {
      Service({0x02, 0x01, 0x00, 0x00, 0x00, 0xAA}),
      Service({0x01, 0x64, 0x00, 10, 0x00, 0x01}),
      Service({0x02, 0x01, 0x00, 0x00, 0x00, 0xAA}),
      Service({0x02, 0x64, 0x00, 0x08, 0x00, 0xAA, 0xBB, 0xCC}),
      Service({0x07, 0x64, 0x00}),
      Service({0x04, 0x64, 0x00, 0x08, 0x00, 0x03, 0x00}),
      Service({0x01, 0x2D, 0x01, 10, 0x00, 0x01}),
      Service({0x02, 0x63, 0x00, 0x00, 0x00, 0xAA}),
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(steps[i].what);
    EXPECT_EQ(ToHex(host.Exchange(requests[i])), steps[i].reply);
  }
}

TEST(SimHandsetStore, EefullIsRewrittenInPlace) {
  SimProfile p = ProfileIn(SimState::ServiceMode);
  p.eefullCapacity = 200;
  Host host(p);
  // Default Eefull: four blocks of 8 bytes and one of 32, each with 12 bytes overhead.
  EXPECT_EQ(host.handset.area(SimArea::Eefull).Free(), 200u - 4 * 20 - 44);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x11, 0x8D, 0x13, 64, 0x00, 0x02}))), "14 02 16 11 11")
      << "replacing 5005 gives its 44 bytes back first";
  EXPECT_EQ(host.handset.area(SimArea::Eefull).Free(), 200u - 80 - 76);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x17, 0x89, 0x13}))), "14 02 16 17 17");
  EXPECT_EQ(host.handset.area(SimArea::Eefull).Free(), 200u - 60 - 76);
  EXPECT_EQ(ToHex(host.Exchange(Service({0x1A, 0x8D, 0x13, 63, 0x00, 0x01, 0x02}))), "14 02 16 36 36")
      << "a part past the end";
}

TEST(SimHandsetStore, DumpListsEveryBlock) {
  SimHandset h(SimProfile::Default());
  const std::string d = h.Dump();
  EXPECT_NE(d.find("# Eelite capacity=8192 consumed=4240 live=2240 garbage=2000 free=3952"), std::string::npos) << d;
  EXPECT_NE(d.find("\nEelite 1 100 1 101112131415"), std::string::npos) << d;
  EXPECT_NE(d.find("\nEefull 5005 32 1 0000000000000000000000000000010000"), std::string::npos) << d;
  size_t lines = 0;
  for (char c : d) lines += c == '\n';
  EXPECT_EQ(lines, 3u + 20u + 5u);
}

}  // namespace
}  // namespace velmora::sim::testing
