// Profile text: what a user writes in a profile file or passes to velmora-sim.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

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
handsets = 3
next_after_ms = 250
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
  EXPECT_EQ(p.handsets, 3u);
  EXPECT_EQ(p.nextAfterMs, 250u);
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

// What each fault text sets, as one line per field that differs from a fresh SimFaults, so
// that a fault parsed into the wrong field (or a field left over from another) shows.
std::string FaultFields(const SimFaults& f) {
  const SimFaults none;
  std::string s;
  for (const ReplyFault& r : f.replies) {
    s += "reply kind=" + std::to_string(static_cast<int>(r.kind)) + " code=" + std::to_string(r.code) +
         " status=" + std::to_string(r.status) + " pending=" + std::to_string(r.pending) +
         " times=" + std::to_string(r.times) + "\n";
  }
  auto field = [&](const char* name, auto value, auto fresh) {
    if (value != fresh) s += std::string(name) + "=" + std::to_string(value) + "\n";
  };
  field("writebackFailAt", f.writebackFailAt, none.writebackFailAt);
  field("writebackStatus", f.writebackStatus, none.writebackStatus);
  field("writebackFailCount", f.writebackFailCount, none.writebackFailCount);
  field("bootSilent", f.bootSilent, none.bootSilent);
  field("switchOff", static_cast<int>(f.switchOff), static_cast<int>(none.switchOff));
  field("portBusy", f.portBusy, none.portBusy);
  field("noImeiAt", f.noImeiAt, none.noImeiAt);
  field("silentAt", f.silentAt, none.silentAt);
  field("powerOffAt", f.powerOffAt, none.powerOffAt);
  field("dropAt", f.dropAt, none.dropAt);
  field("corruptChunkAt", f.corruptChunkAt, none.corruptChunkAt);
  field("corruptChunkCount", f.corruptChunkCount, none.corruptChunkCount);
  return s;
}

TEST(SimFaultText, EachKindSetsItsOwnFields) {
  const struct {
    const char* text;
    const char* fields;
  } cases[] = {
      {"status 0x01 5", "reply kind=0 code=1 status=53 pending=0 times=1\n"},
      {"STATUS 17 0x20 always", "reply kind=0 code=17 status=32 pending=0 times=-1\n"},
      {"lose 0x07 3", "reply kind=1 code=7 status=0 pending=0 times=3\n"},
      {"damage 0x1A once", "reply kind=2 code=26 status=0 pending=0 times=1\n"},
      {"pending 0x11 4 always", "reply kind=3 code=17 status=0 pending=4 times=-1\n"},
      {"writeback 3", "writebackFailAt=3\n"},
      {"writeback 3 5", "writebackFailAt=3\nwritebackStatus=53\n"},
      {"writeback 3 0x20 always", "writebackFailAt=3\nwritebackStatus=32\nwritebackFailCount=-1\n"},
      {"writeback 2 4 6", "writebackFailAt=2\nwritebackFailCount=6\n"},
      {"boot_silent", "bootSilent=1\n"},
      {"no_switch_off", "switchOff=1\n"},
      {"no_switch_off ACK", "switchOff=2\n"},
      {"port_busy", "portBusy=1\n"},
      {"no_imei_at", "noImeiAt=1\n"},
      {"silent 4", "silentAt=4\n"},
      {"power_off 0x10", "powerOffAt=16\n"},
      {"Drop 9", "dropAt=9\n"},
      {"corrupt 2", "corruptChunkAt=2\n"},
      {"corrupt 2 always", "corruptChunkAt=2\ncorruptChunkCount=-1\n"},
      {"  corrupt   2   5  ", "corruptChunkAt=2\ncorruptChunkCount=5\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimFaults f;
    std::string error;
    ASSERT_TRUE(ParseSimFault(c.text, &f, &error)) << error;
    EXPECT_EQ(FaultFields(f), c.fields);
  }
}

// The messages are what a user sees from velmora-sim --fault; they stay word for word.
TEST(SimFaultText, RefusesWithItsOwnMessage) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "empty fault"},
      {"   ", "empty fault"},
      {"explode 3", "unknown fault 'explode 3'"},
      {"status", "bad command code: ''"},
      {"status 0x100 5", "bad command code: '0x100'"},
      {"status 0x01", "status fault wants: status CODE BYTE [once|always|N]"},
      {"status 0x01 0x100", "status fault wants: status CODE BYTE [once|always|N]"},
      {"status 0x01 5 once more",
       "bad repeat in fault 'status 0x01 5 once more' (once, always or a count)"},
      {"lose 0x01 sometimes", "bad repeat in fault 'lose 0x01 sometimes' (once, always or a count)"},
      {" damage 7 0 ", "bad repeat in fault ' damage 7 0 ' (once, always or a count)"},
      {"lose", "bad command code: ''"},
      {"pending 0x01", "pending fault wants: pending CODE N [once|always|M]"},
      {"pending 0x01 x", "bad pending count: 'x'"},
      {"pending 0x01 4 never", "bad repeat in fault 'pending 0x01 4 never' (once, always or a count)"},
      {"writeback", "writeback fault wants: writeback K [BYTE [N|always]]"},
      {"writeback 1 2 3 4", "writeback fault wants: writeback K [BYTE [N|always]]"},
      {"writeback x", "bad writeback index: 'x'"},
      {"writeback 2 0x100", "bad writeback status"},
      {"writeback 2 5 x", "bad writeback count: 'x'"},
      {"boot_silent now", "unknown fault 'boot_silent now'"},
      {"no_switch_off please", "no_switch_off takes only 'ack'"},
      {"no_switch_off ack ack", "unknown fault 'no_switch_off ack ack'"},
      {"port_busy 1", "unknown fault 'port_busy 1'"},
      {"no_imei_at x", "unknown fault 'no_imei_at x'"},
      {"silent 0", "bad silent index: counted from 1"},
      {"POWER_OFF x", "bad power_off index: 'x'"},
      {"drop", "unknown fault 'drop'"},
      {"drop 1 2", "unknown fault 'drop 1 2'"},
      {"corrupt", "unknown fault 'corrupt'"},
      {"corrupt 0", "bad corrupt index: counted from 1"},
      {"corrupt 3 never", "bad corrupt count: 'never'"},
      {"corrupt 3 2 once", "unknown fault 'corrupt 3 2 once'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimFaults f;
    std::string error;
    EXPECT_FALSE(ParseSimFault(c.text, &f, &error));
    EXPECT_EQ(error, c.error);
  }
}

// A value for each placeholder a kind's words may name.
std::string PlaceholderValue(const std::string& word) {
  if (word == "CODE") return "0x11";
  if (word == "BYTE") return "5";
  if (word == "K") return "2";
  if (word == "N" || word == "M") return "3";
  return word;  // a word of its own, like "ack" or "always"
}

// Every text a kind's words allow: each choice in turn, and the words up to each part that may
// be left out.
std::vector<std::string> TextsAllowedBy(const SimFaultKind& kind) {
  const std::vector<SimFaultWord> parts = SimFaultWords(kind);
  std::vector<std::string> texts;
  for (size_t used = 0; used <= parts.size(); ++used) {
    if (used < parts.size() && !parts[used].optional) continue;  // a required part is missing
    size_t widest = 1;
    for (size_t i = 0; i < used; ++i)
      widest = std::max<size_t>(widest, std::count(parts[i].choices.begin(), parts[i].choices.end(), '|') + 1);
    for (size_t pick = 0; pick < widest; ++pick) {
      std::string text = kind.name;
      for (size_t i = 0; i < used; ++i) {
        std::vector<std::string> choices;
        std::stringstream in(parts[i].choices);
        for (std::string c; std::getline(in, c, '|');) choices.push_back(c);
        text += " " + PlaceholderValue(choices[std::min(pick, choices.size() - 1)]);
      }
      texts.push_back(text);
    }
  }
  return texts;
}

// The words a kind shows its users are the words its parser takes, and nothing more.
TEST(SimFaultKinds, TakeExactlyTheWordsTheyShow) {
  for (const SimFaultKind& kind : SimFaultKinds()) {
    SCOPED_TRACE(kind.name);
    const std::vector<std::string> texts = TextsAllowedBy(kind);
    ASSERT_FALSE(texts.empty());
    for (const std::string& text : texts) {
      SimFaults f;
      std::string error;
      EXPECT_TRUE(ParseSimFault(text, &f, &error)) << text << ": " << error;
      EXPECT_NE(FaultFields(f), "") << text << " set nothing";
    }
    SimFaults f;
    std::string error;
    const std::string tooMany = texts.back() + " 1";
    EXPECT_FALSE(ParseSimFault(tooMany, &f, &error)) << tooMany;
  }
}

TEST(SimFaultKinds, AreFoundByNameAndListedInTheHelp) {
  const std::string usage = SimFaultUsage();
  std::set<std::string> names;
  for (const SimFaultKind& kind : SimFaultKinds()) {
    SCOPED_TRACE(kind.name);
    EXPECT_TRUE(names.insert(kind.name).second) << "named twice";
    EXPECT_EQ(FindSimFaultKind(kind.name), &kind);
    std::string upper = kind.name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(FindSimFaultKind(upper), &kind);
    EXPECT_NE(std::string(kind.usage), "");
    const std::string synopsis = "  " + std::string(kind.name) + (*kind.words ? " " : "") + kind.words + "  ";
    EXPECT_NE(usage.find(synopsis), std::string::npos) << usage;
  }
  EXPECT_EQ(FindSimFaultKind("explode"), nullptr);
  EXPECT_EQ(FindSimFaultKind(""), nullptr);
  EXPECT_EQ(static_cast<size_t>(std::count(usage.begin(), usage.end(), '\n')), SimFaultKinds().size());
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
      "handsets = 0",
      "handsets = -2",
      "next_after_ms = soon",
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

TEST(SimHandsetImei, LuhnCheckDigitOfKnownImeis) {
  for (const std::string imei : {"490154203237518", "356938035643809", "012345678901237"}) {
    SCOPED_TRACE(imei);
    EXPECT_EQ(LuhnCheckDigit(imei.substr(0, 14)), imei[14]);
  }
}

TEST(SimHandsetImei, EachHandsetCountsOnWithItsOwnCheckDigit) {
  const struct {
    const char* imei;
    uint32_t k;
    const char* expected;
  } cases[] = {
      {"351234567890128", 0, "351234567890128"},  // the first as given, its wrong check digit too
      {"351234567890128", 1, "351234567890132"},
      {"351234567890128", 2, "351234567890140"},
      {"490154203237518", 9, "490154203237609"},  // a carry into the tens
      {"356938035643809", 1000, "356938035653808"},
      {"999999999999994", 1, "000000000000000"},  // wraps within 14 digits
      {"12345", 1, "000000000123463"},            // fewer than 14 digits: all of them
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.imei) + " + " + std::to_string(c.k));
    EXPECT_EQ(HandsetImei(c.imei, c.k), c.expected);
  }
}

TEST(SimHandsetImei, ImeiTextFollowsTheHandset) {
  SimProfile p = SimProfile::Default();
  p.imeiText = "+CGSN: \"351234567890128\"\r";
  EXPECT_EQ(p.ForHandset(0).ImeiAnswer(), p.imeiText);
  EXPECT_EQ(p.ForHandset(1).ImeiAnswer(), "+CGSN: \"351234567890132\"\r");
  p.imeiText = "+CGSN: \"490154203237518\"\r";  // not the profile's IMEI: the first handset's only
  EXPECT_EQ(p.ForHandset(0).ImeiAnswer(), p.imeiText);
  EXPECT_EQ(p.ForHandset(2).ImeiAnswer(), "\r\n+CGSN: 351234567890140\r\n");
  p.imeiText = "\r\nERROR\r\n";  // no IMEI at all: every handset of the batch answers so
  EXPECT_EQ(p.ForHandset(2).ImeiAnswer(), p.imeiText);
}

}  // namespace
}  // namespace velmora::sim
