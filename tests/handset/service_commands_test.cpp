// Service messages and block-store commands against a scripted handset under the virtual clock.
#include "handset/service_commands.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "handset/handset_fakes.h"
#include "support/scripted_device.h"
#include "support/sim_store_answers.h"

namespace velmora {
namespace {

using testing::Bytes;
using testing::Echo;
using testing::Frame;
using testing::Le16;
using testing::Le32;
using testing::ScriptedDevice;
using testing::ServiceFrame;
using testing::Status;

constexpr int64_t kMs = 1000;

// What the handset sends after one request: frames, each arriving delayUs after the request.
struct Timed {
  Bytes bytes;
  int64_t delayUs = 1 * kMs;
};
using Answer = std::vector<Timed>;

uint16_t At16(const Bytes& m, size_t i) { return static_cast<uint16_t>(m[i] | (m[i + 1] << 8)); }


class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    opener.Add("COM1", &dev);
    h = link.Open(0, 57600);
    ASSERT_NE(h, kNoLink);
    // Exact virtual times below count only the waits, not the bytes' wire time.
    dev.chargeWireTime = false;
    dev.events.clear();
    dev.onWrite = [this](ScriptedDevice& d, const Bytes& w) {
      auto f = testing::ParseFrame(w);
      const Bytes message = f ? f->data : w;
      requests.push_back(message);
      if (!answers.empty()) {
        for (const Timed& t : answers.front()) d.Feed(t.bytes, t.delayUs);
        answers.pop_front();
      } else if (handset) {
        for (const Bytes& b : handset(message)) d.Feed(b, 1 * kMs);
      }
    };
  }

  void Script(std::initializer_list<Answer> a) {
    answers.assign(a.begin(), a.end());
    requests.clear();
  }
  uint32_t TimeoutRecord() {
    uint32_t t = 0;
    EXPECT_EQ(link.GetTimeOut(h, &t), 1);
    return t;
  }
  // Frame reads: every ReadFrame starts with one device read of the three header bytes.
  std::vector<ScriptedDevice::Event> HeaderReads() const {
    std::vector<ScriptedDevice::Event> r;
    for (const auto& e : dev.events)
      if (e.kind == ScriptedDevice::Kind::Read && e.value == 3) r.push_back(e);
    return r;
  }
  // Leaves a known code behind through a failed DeleteBlock.
  void PresetStatus(uint8_t statusByte) {
    Script({{{Status(statusByte)}}});
    cmds.DeleteBlock(h, StoreArea::Eelite, 1);
    requests.clear();
    dev.events.clear();
  }

  VirtualClock clock;
  ScriptedDevice dev{clock};
  testing::FakeOpener opener;
  testing::RecordingUi ui;
  Link link{clock, opener, ui};
  ServiceCommands cmds{link};
  LinkHandle h = kNoLink;
  std::deque<Answer> answers;
  std::function<std::vector<Bytes>(const Bytes&)> handset;
  std::vector<Bytes> requests;
};

// --- messages on the line ---

TEST_F(ServiceCommandsTest, RequestsGoOutByteForByte) {
  const uint8_t abc[] = {0xAA, 0xBB, 0xCC};
  const uint8_t five[] = {0x05};
  uint16_t n16 = 0;
  uint8_t v8 = 0;
  uint32_t a = 0, b = 0;
  uint8_t buf[32];
  struct Case {
    const char* name;
    std::function<int()> call;
    Bytes line;
    Bytes reply;
    int result;
  };
  const Case cases[] = {
      {"DeleteBlock Eelite 5005", [&] { return cmds.DeleteBlock(h, StoreArea::Eelite, 5005); },
       {0x14, 0x04, 0x10, 0x07, 0x8D, 0x13, 0x99}, Echo(0x07), 1},
      {"GetMaxLogicalBlock", [&] { return cmds.GetMaxLogicalBlock(h, &n16); },
       {0x14, 0x02, 0x16, 0x06, 0x06}, Echo(0x06, Le16(300)), 1},
      {"GetMaxSpaceValues", [&] { return cmds.GetMaxSpaceValues(h, &a, &b); },
       {0x14, 0x02, 0x16, 0x08, 0x08}, Echo(0x08, Bytes(12, 0)), 1},
      {"DeleteAllBlocks", [&] { return cmds.DeleteAllBlocks(h); },
       {0x14, 0x02, 0x16, 0x09, 0x09}, Echo(0x09), 1},
      {"CloseBlock Eefull 5005", [&] { return cmds.CloseBlock(h, StoreArea::Eefull, 5005); },
       {0x14, 0x04, 0x10, 0x13, 0x8D, 0x13, 0x8D}, Echo(0x13), 1},
      {"BlockExists Eefull 5005",
       [&] { return cmds.BlockExists(h, StoreArea::Eefull, 5005, &n16, &v8); },
       {0x14, 0x04, 0x10, 0x15, 0x8D, 0x13, 0x8B}, Echo(0x15, {0x1E, 0x00, 0x02}), 1},
      {"CreateBlock Eelite 100/30/2",
       [&] { return cmds.CreateBlock(h, StoreArea::Eelite, 100, 30, 2); },
       {0x14, 0x07, 0x13, 0x01, 0x64, 0x00, 0x1E, 0x00, 0x02, 0x79}, Echo(0x01), 1},
      {"WriteBlockChunk AA BB CC",
       [&] { return cmds.WriteBlockChunk(h, StoreArea::Eelite, 100, 0, 3, abc); },
       {0x14, 0x09, 0x1D, 0x02, 0x64, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xBB}, Echo(0x02), 1},
      {"WriteBlockChunk without data",
       [&] { return cmds.WriteBlockChunk(h, StoreArea::Eelite, 100, 0, 0, abc); },
       {0x14, 0x06, 0x12, 0x02, 0x64, 0x00, 0x00, 0x00, 0x66}, Echo(0x02), 1},
      {"ReadBlockChunk 100/20/10",
       [&] { return cmds.ReadBlockChunk(h, StoreArea::Eelite, 100, 20, 10, buf); },
       {0x14, 0x08, 0x1C, 0x04, 0x64, 0x00, 0x14, 0x00, 0x0A, 0x00, 0x7E},
       Echo(0x04, Bytes(10, 0x5A)), 1},
      {"WriteBlockPart 5005/14/05",
       [&] { return cmds.WriteBlockPart(h, StoreArea::Eefull, 5005, 14, 1, five); },
       {0x14, 0x07, 0x13, 0x1A, 0x8D, 0x13, 0x0E, 0x00, 0x05, 0x8F}, Echo(0x1A), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dev.events.clear();
    Script({{{c.reply}}});
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(dev.Written(), c.line);
  }
}

TEST_F(ServiceCommandsTest, ReplyResultsAreDecodedLittleEndian) {
  // Replies exactly as the handset puts them on the line (data bytes with their check byte).
  uint16_t size = 0;
  uint8_t version = 0;
  Script({{{Frame(0x14, {0x15, 0x1E, 0x00, 0x02, 0x09})}}});
  ASSERT_EQ(cmds.BlockExists(h, StoreArea::Eefull, 5005, &size, &version), 1);
  EXPECT_EQ(size, 30);
  EXPECT_EQ(version, 2);

  uint16_t highest = 0;
  Script({{{Frame(0x14, {0x06, 0x2C, 0x01, 0x2B})}}});
  ASSERT_EQ(cmds.GetMaxLogicalBlock(h, &highest), 1);
  EXPECT_EQ(highest, 300);

  uint8_t data[3] = {};
  Script({{{Frame(0x14, {0x04, 0x11, 0x22, 0x33, 0x04})}}});
  ASSERT_EQ(cmds.ReadBlockChunk(h, StoreArea::Eelite, 100, 0, 3, data), 1);
  EXPECT_EQ(Bytes(data, data + 3), (Bytes{0x11, 0x22, 0x33}));

  Bytes values = Le32(1000);
  for (uint32_t v : {2000u, 3000u}) {
    Bytes le = Le32(v);
    values.insert(values.end(), le.begin(), le.end());
  }
  uint32_t freeSpace = 0, second = 0, third = 0;
  Script({{{Echo(0x08, values)}}});
  ASSERT_EQ(cmds.GetMaxSpaceValues(h, &freeSpace, &second), 1);
  EXPECT_EQ(freeSpace, 1000u);
  EXPECT_EQ(second, 2000u);
  Script({{{Echo(0x08, values)}}});
  ASSERT_EQ(cmds.GetMaxSpaceValues(h, &freeSpace, &second, &third), 1);
  EXPECT_EQ(third, 3000u);
}

// --- judging replies, status codes and the one resend ---

TEST_F(ServiceCommandsTest, DeleteBlockResendsOnlyAfterTransmissionErrors) {
  const Bytes badCheck = Frame(0x14, {0x07, 0x06});
  struct Case {
    const char* name;
    std::vector<Answer> answers;
    int result;
    size_t requests;
    std::optional<uint32_t> status;  // nullopt: unchanged
  };
  const Case cases[] = {
      {"echo", {{{Echo(0x07)}}}, 1, 1, std::nullopt},
      {"block missing", {{{Status('2')}}}, 0, 1, kStatusNoBlock},
      {"damaged request twice", {{{Status(' ')}}, {{Status(' ')}}}, 0, 2, kStatusErrorPcToMob},
      {"damaged request, then echo", {{{Status(' ')}}, {{Echo(0x07)}}}, 1, 2, std::nullopt},
      {"silence", {{}, {}}, 0, 2, kStatusErrorMobToPc},
      {"wrong check byte twice", {{{badCheck}}, {{badCheck}}}, 0, 2, kStatusErrorMobToPc},
      {"wrong check byte, then echo", {{{badCheck}}, {{Echo(0x07)}}}, 1, 2, std::nullopt},
      {"P where none is awaited", {{{Status('P')}}}, 0, 1, kStatusUnknown},
      {"reply 0 is a failure", {{{Status('0')}}}, 0, 1, kStatusOk},
      {"block in use", {{{Status('7')}}}, 0, 1, kStatusBlockInUse},
      {"longer echo than the layout", {{{Echo(0x07, {0x00})}}}, 1, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answers.assign(c.answers.begin(), c.answers.end());
    requests.clear();
    const uint32_t before = cmds.LastBlockStoreStatus();
    EXPECT_EQ(cmds.DeleteBlock(h, StoreArea::Eelite, 5005), c.result);
    EXPECT_EQ(requests.size(), c.requests);
    for (const Bytes& r : requests) EXPECT_EQ(r, (Bytes{0x07, 0x8D, 0x13, 0x99}));
    EXPECT_EQ(cmds.LastBlockStoreStatus(), c.status.value_or(before));
  }
}

TEST_F(ServiceCommandsTest, EveryCommandFollowsItsResendAndPendingRule) {
  // Each command against a damaged-request reply (is it sent again?) and against "P" then its
  // echo (does it wait for the real answer, or is "P" a failure?).
  const uint8_t data[4] = {};
  uint8_t out[32] = {};
  uint16_t size = 0;
  uint8_t version = 0;
  uint32_t a = 0, b = 0, c3 = 0;
  struct Case {
    const char* name;
    uint8_t code;
    bool resends;
    bool waitsPending;
    uint8_t resultBytes;
    std::function<int()> run;
  };
  const Case cases[] = {
      {"CreateBlock Eefull", 0x11, false, true, 0,
       [&] { return cmds.CreateBlock(h, StoreArea::Eefull, 1, 4, 1); }},
      {"WriteBlockChunk", 0x02, true, false, 0,
       [&] { return cmds.WriteBlockChunk(h, StoreArea::Eelite, 1, 0, 4, data); }},
      {"CloseBlock Eefull", 0x13, true, false, 0,
       [&] { return cmds.CloseBlock(h, StoreArea::Eefull, 1); }},
      {"ReadBlockChunk", 0x04, true, false, 2,
       [&] { return cmds.ReadBlockChunk(h, StoreArea::Eelite, 1, 0, 2, out); }},
      {"BlockExists Eefull", 0x15, true, false, 3,
       [&] { return cmds.BlockExists(h, StoreArea::Eefull, 1, &size, &version); }},
      {"GetMaxLogicalBlock", 0x06, true, false, 2, [&] { return cmds.GetMaxLogicalBlock(h, &size); }},
      {"DeleteBlock Eefull", 0x17, true, false, 0,
       [&] { return cmds.DeleteBlock(h, StoreArea::Eefull, 1); }},
      {"GetMaxSpaceValues", 0x08, false, false, 12,
       [&] { return cmds.GetMaxSpaceValues(h, &a, &b, &c3); }},
      {"DeleteAllBlocks", 0x09, false, false, 0, [&] { return cmds.DeleteAllBlocks(h); }},
      {"WriteBlockPart", 0x1A, false, true, 0,
       [&] { return cmds.WriteBlockPart(h, StoreArea::Eefull, 1, 0, 4, data); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes echo = Echo(c.code, Bytes(c.resultBytes, 0));
    link.Purge(h);  // an answer the last case did not wait for
    Script({{{Status(' ')}}, {{echo}}});
    EXPECT_EQ(c.run() != 0, c.resends);
    EXPECT_EQ(requests.size(), c.resends ? 2u : 1u);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0][0], c.code);

    link.Purge(h);
    Script({{{Status('P')}, {echo, 1 * kMs}}});
    EXPECT_EQ(c.run() != 0, c.waitsPending);
    EXPECT_EQ(requests.size(), 1u);
    if (!c.waitsPending) {
      EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusUnknown);
    }
  }
}

TEST_F(ServiceCommandsTest, UnansweredCommandCostsTwelveFrameReads) {
  Script({{}, {}});
  const int64_t start = clock.NowUs();
  EXPECT_EQ(cmds.DeleteBlock(h, StoreArea::Eelite, 5005), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorMobToPc);
  EXPECT_EQ(dev.Writes().size(), 2u);
  const auto reads = HeaderReads();
  ASSERT_EQ(reads.size(), 12u);
  for (const auto& r : reads) EXPECT_EQ(r.timeoutMs, 250u);
  EXPECT_EQ(clock.NowUs() - start, 12 * 250 * kMs);
}

TEST_F(ServiceCommandsTest, EchoShorterThanItsResultsIsRejected) {
  // Both would pass the check byte; the missing results must not come from stale bytes.
  uint16_t size = 0xBEEF;
  uint8_t version = 0xEE;
  Script({{{Echo(0x05)}}, {{Echo(0x05, {0x1E})}}});
  EXPECT_EQ(cmds.BlockExists(h, StoreArea::Eelite, 7, &size, &version), 0);
  EXPECT_EQ(requests.size(), 2u);  // counted as a damaged reply, so resent once
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorMobToPc);
  EXPECT_EQ(size, 0xBEEF);
  EXPECT_EQ(version, 0xEE);

  uint8_t data[12];
  std::memset(data, 0xEE, sizeof data);
  Script({{{Echo(0x04, {1, 2, 3})}}, {{Echo(0x04, {1, 2, 3})}}});
  EXPECT_EQ(cmds.ReadBlockChunk(h, StoreArea::Eelite, 100, 0, 10, data), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorMobToPc);
  EXPECT_EQ(Bytes(data, data + 12), Bytes(12, 0xEE));
}

TEST_F(ServiceCommandsTest, MapReplyStatusCodes) {
  const std::pair<uint8_t, uint32_t> table[] = {
      {'0', 0}, {'1', 1}, {'2', 2}, {' ', 3}, {'6', 5}, {'7', 6}, {'5', 7},
      {'3', 9}, {'4', 10}, {'P', 8}, {'8', 8}, {0x00, 8}, {0xFF, 8}, {0x07, 8},
  };
  for (const auto& [byte, code] : table) {
    SCOPED_TRACE(static_cast<int>(byte));
    cmds.MapReplyStatus(byte);
    EXPECT_EQ(cmds.LastBlockStoreStatus(), code);
  }
}

TEST_F(ServiceCommandsTest, CheckServiceReplyNeedsMatchingXor) {
  const Bytes full(32, 0x11);  // 31 bytes of 0x11 XOR to 0x11
  const std::pair<Bytes, int> table[] = {
      {{}, 0},         {{0x00}, 1},           {{0x05}, 0},     {{0x07, 0x07}, 1},
      {{0x07, 0x06}, 0}, {{0x15, 0x1E, 0x00, 0x02, 0x09}, 1}, {full, 1},
  };
  for (const auto& [reply, valid] : table) {
    SCOPED_TRACE(reply.size());
    EXPECT_EQ(ServiceCommands::CheckServiceReply(static_cast<int>(reply.size()), reply.data()),
              valid);
  }
}

TEST_F(ServiceCommandsTest, SuccessLeavesTheEarlierCodeInPlace) {
  PresetStatus('2');
  Script({{{Echo(0x07)}}});
  EXPECT_EQ(cmds.DeleteBlock(h, StoreArea::Eelite, 5), 1);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusNoBlock);
}

TEST_F(ServiceCommandsTest, GetMaxLogicalBlockIsZeroAfterFailure) {
  const std::vector<Answer> scripts[] = {{{}, {}}, {{{Status('1')}}}};
  for (const auto& s : scripts) {
    uint16_t number = 1234;
    answers.assign(s.begin(), s.end());
    EXPECT_EQ(cmds.GetMaxLogicalBlock(h, &number), 0);
    EXPECT_EQ(number, 0);
  }
}

// --- "P": the handset is busy ---

TEST_F(ServiceCommandsTest, CreateBlockWaitsThroughPendingWithLongTimeout) {
  Script({{{Status('P')}, {Echo(0x01), 3000 * kMs}}});
  EXPECT_EQ(cmds.CreateBlock(h, StoreArea::Eelite, 100, 30, 2), 1);
  EXPECT_EQ(requests.size(), 1u);  // waited, not resent
  const auto reads = HeaderReads();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].timeoutMs, 250u);
  EXPECT_EQ(reads[1].timeoutMs, 5000u);
  EXPECT_EQ(TimeoutRecord(), 250u);
  EXPECT_EQ(dev.timeouts.readConstant, 250u);  // the port itself, not only the record
}

TEST_F(ServiceCommandsTest, CreateBlockIsNotResentAfterDamagedRequest) {
  Script({{{Status(' ')}}});
  EXPECT_EQ(cmds.CreateBlock(h, StoreArea::Eelite, 100, 30, 2), 0);
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorPcToMob);
}

TEST_F(ServiceCommandsTest, PendingFollowedBySilenceRestoresTimeout) {
  Script({{{Status('P')}}});
  const int64_t start = clock.NowUs();
  EXPECT_EQ(cmds.CreateBlock(h, StoreArea::Eefull, 5005, 18, 1), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorMobToPc);
  EXPECT_EQ(TimeoutRecord(), 250u);
  EXPECT_EQ(dev.timeouts.readConstant, 250u);
  // One read for the "P", then six silent reads of 5000 ms.
  EXPECT_EQ(HeaderReads().size(), 7u);
  EXPECT_EQ(clock.NowUs() - start, 1 * kMs + 6 * 5000 * kMs);
}

TEST_F(ServiceCommandsTest, EndlessPendingIsBounded) {
  Answer busy;
  for (int i = 0; i < 100; ++i) busy.push_back({Status('P'), 1 * kMs + i * 1000 * kMs});
  Script({busy});
  const int64_t start = clock.NowUs();
  EXPECT_EQ(cmds.CreateBlock(h, StoreArea::Eelite, 100, 30, 2), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusUnknown);
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(HeaderReads().size(), static_cast<size_t>(kMaxPendingReplies + 1));
  EXPECT_EQ(clock.NowUs() - start, 1 * kMs + kMaxPendingReplies * 1000 * kMs);
  EXPECT_EQ(TimeoutRecord(), 250u);
  EXPECT_EQ(dev.timeouts.readConstant, 250u);
}

TEST_F(ServiceCommandsTest, WriteBlockPartWaitsThroughPendingAndReturnsCount) {
  const uint8_t data[] = {1, 2, 3, 4};
  Script({{{Status('P')}, {Echo(0x1A), 2000 * kMs}}});
  EXPECT_EQ(cmds.WriteBlockPart(h, StoreArea::Eefull, 5005, 14, 4, data), 4);
  EXPECT_EQ(requests.size(), 1u);
  Script({{{Status('2')}}});
  EXPECT_EQ(cmds.WriteBlockPart(h, StoreArea::Eefull, 5005, 14, 4, data), 0);
  EXPECT_EQ(requests.size(), 1u);
}

TEST_F(ServiceCommandsTest, DeleteAllBlocksRunsWithLongTimeout) {
  Script({{}});
  const int64_t start = clock.NowUs();
  EXPECT_EQ(cmds.DeleteAllBlocks(h), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusErrorMobToPc);
  EXPECT_EQ(requests.size(), 1u);  // no resend
  const auto reads = HeaderReads();
  ASSERT_EQ(reads.size(), 6u);
  for (const auto& r : reads) EXPECT_EQ(r.timeoutMs, 5000u);
  EXPECT_EQ(clock.NowUs() - start, 6 * 5000 * kMs);
  EXPECT_EQ(TimeoutRecord(), 250u);
  EXPECT_EQ(dev.timeouts.readConstant, 250u);

  Script({{{Status('P')}}});  // not a command that waits for "P"
  EXPECT_EQ(cmds.DeleteAllBlocks(h), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusUnknown);

  Script({{{Echo(0x09), 4000 * kMs}}});  // erasing takes a while
  EXPECT_EQ(cmds.DeleteAllBlocks(h), 1);
  EXPECT_EQ(TimeoutRecord(), 250u);
}

// --- counts that cannot fit one frame ---

TEST_F(ServiceCommandsTest, CountsBeyondOneFrameAreRefusedUnsent) {
  PresetStatus('2');
  uint8_t data[40];
  for (uint8_t i = 0; i < 40; ++i) data[i] = i;
  struct Case {
    const char* name;
    std::function<int()> call;
  };
  const Case refused[] = {
      {"write 27", [&] { return cmds.WriteBlockChunk(h, StoreArea::Eelite, 1, 0, 27, data); }},
      {"write 28", [&] { return cmds.WriteBlockChunk(h, StoreArea::Eelite, 1, 0, 28, data); }},
      {"part 27", [&] { return cmds.WriteBlockPart(h, StoreArea::Eefull, 1, 0, 27, data); }},
      {"part in Eelite", [&] { return cmds.WriteBlockPart(h, StoreArea::Eelite, 1, 0, 1, data); }},
      {"read 31", [&] { return cmds.ReadBlockChunk(h, StoreArea::Eelite, 1, 0, 31, data); }},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), 0);
    EXPECT_TRUE(dev.Writes().empty());
    EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusNoBlock);
  }

  // The largest counts that fit still go out in one full frame.
  Script({{{Echo(0x02)}}});
  EXPECT_EQ(cmds.WriteBlockChunk(h, StoreArea::Eelite, 1, 0, 26, data), 1);
  ASSERT_EQ(dev.Writes().size(), 1u);
  EXPECT_EQ(dev.Writes()[0].size(), 3u + 32u);

  uint8_t got[30] = {};
  Script({{{Echo(0x04, Bytes(data, data + 30))}}});
  EXPECT_EQ(cmds.ReadBlockChunk(h, StoreArea::Eelite, 1, 0, 30, got), 1);
  EXPECT_EQ(Bytes(got, got + 30), Bytes(data, data + 30));
}

// --- whole blocks ---

class WholeBlockTest : public ServiceCommandsTest {
 protected:
  void SetUp() override {
    ServiceCommandsTest::SetUp();
    handset = [this](const Bytes& m) { return store.Answer(m); };
  }
  static Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(0xA0 + i);
    return b;
  }
  testing::SimStoreAnswers store;
};

TEST_F(WholeBlockTest, WriteBlockSendsCreatePiecesOfTwentyAndClose) {
  const Bytes data = Pattern(45);
  for (StoreArea area : {StoreArea::Eelite, StoreArea::Eefull}) {
    const uint8_t k = area == StoreArea::Eefull ? 0x10 : 0x00;
    SCOPED_TRACE(static_cast<int>(k));
    requests.clear();
    ASSERT_EQ(cmds.WriteBlock(h, area, 100, 45, 3, data.data()), 1);
    auto chunk = [&](uint16_t offset, size_t n) {
      Bytes m{static_cast<uint8_t>(0x02 + k), 100, 0, static_cast<uint8_t>(offset), 0};
      m.insert(m.end(), data.begin() + offset, data.begin() + offset + static_cast<long>(n));
      return m;
    };
    const std::vector<Bytes> want = {
        {static_cast<uint8_t>(0x01 + k), 100, 0, 45, 0, 3}, chunk(0, 20), chunk(20, 20),
        chunk(40, 5), {static_cast<uint8_t>(0x03 + k), 100, 0}};
    ASSERT_EQ(requests.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
      EXPECT_EQ(Bytes(requests[i].begin(), requests[i].end() - 1), want[i]) << "request " << i;
    EXPECT_EQ(store.Block(k ? sim::SimArea::Eefull : sim::SimArea::Eelite, 100).data, data);
  }
}

TEST_F(WholeBlockTest, EmptyBlockStillGetsOneEmptyPiece) {
  ASSERT_EQ(cmds.WriteBlock(h, StoreArea::Eelite, 9, 0, 1, nullptr), 1);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1], (Bytes{0x02, 9, 0, 0, 0, 0x0B}));
  EXPECT_EQ(requests[2][0], 0x03);
}

TEST_F(WholeBlockTest, FailedPieceClosesButIsNeverReportedWritten) {
  // A block with a hole must not pass as written, whatever the close says.
  struct Case {
    const char* name;
    std::vector<Bytes> pieceReply;  // answer to each send of the piece at offset 20
    std::vector<Bytes> closeReply;
    uint32_t status;
  };
  const Case cases[] = {
      {"piece refused, close acknowledged", {Status('3')}, {Echo(0x03)}, kStatusIdNotLocked},
      {"piece lost twice, close acknowledged", {{}, {}}, {Echo(0x03)}, kStatusErrorMobToPc},
      {"piece refused, close refused too", {Status('3')}, {Status('4')}, kStatusNotSameId},
  };
  const Bytes data = Pattern(45);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    requests.clear();
    size_t pieceSends = 0;
    handset = [&](const Bytes& m) -> std::vector<Bytes> {
      if (m[0] == 0x02 && At16(m, 3) == 20) {
        const Bytes& r = c.pieceReply[pieceSends++ % c.pieceReply.size()];
        return r.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{r};
      }
      if (m[0] == 0x03) return c.closeReply;
      return store.Answer(m);
    };
    EXPECT_EQ(cmds.WriteBlock(h, StoreArea::Eelite, 100, 45, 1, data.data()), 0);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back()[0], 0x03);  // closed all the same
    for (const Bytes& r : requests) {
      if (r[0] == 0x02) {
        EXPECT_NE(At16(r, 3), 40) << "no piece after the failed one";
      }
    }
    EXPECT_EQ(cmds.LastBlockStoreStatus(), c.status);
  }
}

TEST_F(WholeBlockTest, RefusedCreateSendsNothingMore) {
  handset = [](const Bytes&) { return std::vector<Bytes>{Status('7')}; };
  const Bytes data = Pattern(45);
  EXPECT_EQ(cmds.WriteBlock(h, StoreArea::Eelite, 100, 45, 1, data.data()), 0);
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusBlockInUse);
  EXPECT_STREQ(StatusText(static_cast<int32_t>(cmds.LastBlockStoreStatus())), "Block is in Use");
}

TEST_F(WholeBlockTest, ReadBlockReadsPiecesOfTwenty) {
  store.Put(sim::SimArea::Eelite, 100, Pattern(45), 4);
  uint8_t out[45] = {};
  uint16_t size = 0;
  uint8_t version = 0;
  ASSERT_EQ(cmds.ReadBlock(h, StoreArea::Eelite, 100, &size, &version, out, sizeof out), 1);
  EXPECT_EQ(size, 45);
  EXPECT_EQ(version, 4);
  EXPECT_EQ(Bytes(out, out + 45), Pattern(45));
  const std::vector<Bytes> want = {{0x05, 100, 0},
                                   {0x04, 100, 0, 0, 0, 20, 0},
                                   {0x04, 100, 0, 20, 0, 20, 0},
                                   {0x04, 100, 0, 40, 0, 5, 0}};
  ASSERT_EQ(requests.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(Bytes(requests[i].begin(), requests[i].end() - 1), want[i]) << "request " << i;
}

TEST_F(WholeBlockTest, ReadBlockNeverWritesPastTheRoom) {
  // The block grew to 45 bytes after the caller sized its buffer for 40.
  store.Put(sim::SimArea::Eelite, 100, Pattern(45), 4);
  uint8_t out[48];
  std::memset(out, 0xEE, sizeof out);
  uint16_t size = 0;
  uint8_t version = 0;
  EXPECT_EQ(cmds.ReadBlock(h, StoreArea::Eelite, 100, &size, &version, out, 40), 0);
  EXPECT_EQ(size, 45);  // the caller learns how much room it needs
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(Bytes(out, out + 48), Bytes(48, 0xEE));
}

TEST_F(WholeBlockTest, ReadBlockPartBounds) {
  store.Put(sim::SimArea::Eefull, 5005, Pattern(20), 1);
  store.Put(sim::SimArea::Eefull, 5006, Pattern(14), 1);
  PresetStatus('1');
  handset = [this](const Bytes& m) { return store.Answer(m); };

  uint8_t byte = 0;
  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 5005, 14, 1, &byte), 1);
  EXPECT_EQ(byte, Pattern(20)[14]);

  byte = 0x77;
  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 5006, 14, 1, &byte), 0);
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusNotInitialised);

  uint8_t four[4] = {};
  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 5006, 10, 4, four), 4);
  const Bytes small = Pattern(14);
  EXPECT_EQ(Bytes(four, four + 4), Bytes(small.begin() + 10, small.end()));
  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 5006, 0xFFFF, 2, four), 0);

  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 4000, 0, 1, &byte), 0);
  EXPECT_EQ(cmds.LastBlockStoreStatus(), kStatusNoBlock);
}

TEST_F(WholeBlockTest, ReadBlockPartSurvivesBlockGrowingBetweenLookups) {
  // First lookup says 20 bytes, the second one (inside the whole-block read) 40.
  store.Put(sim::SimArea::Eefull, 5005, Pattern(40), 1);
  int lookups = 0;
  handset = [&](const Bytes& m) -> std::vector<Bytes> {
    if (m[0] == 0x15 && ++lookups == 1) return {Echo(0x15, {20, 0, 1})};
    return store.Answer(m);
  };
  uint8_t byte = 0;
  EXPECT_EQ(cmds.ReadBlockPart(h, StoreArea::Eefull, 5005, 14, 1, &byte), 0);
  for (const Bytes& r : requests) EXPECT_NE(r[0], 0x14) << "no piece read into the short buffer";
}

TEST(StatusTextTest, TextsAsTheHandsetToolShowsThem) {
  const std::pair<int32_t, const char*> table[] = {
      {0, "Everything Ok ?"},
      {1, "Eelite/Eefull not initialised"},
      {2, "Data-Block doesnt exist"},
      {3, "Transmission-Error PC -> Mob"},
      {4, "Transmission-Error Mob -> PC"},
      {5, "Block is to small"},
      {6, "Block is in Use"},
      {7, "No Space in Data Area"},
      {8, "Unknown Error Occured"},
      {9, "Internal Write-Error: ID not locked"},
      {10, "Internal Write-Error: Not same ID "},
      {11, "Function not supported by mobile"},
      {12, "Not same ID in mobiles answer"},
      {13, "Unknown Error-Number"},
      {-1, "Unknown Error-Number"},
      {INT32_MIN, "Unknown Error-Number"},
  };
  for (const auto& [code, text] : table) EXPECT_STREQ(StatusText(code), text) << code;
}

}  // namespace
}  // namespace velmora
