// The frame codec both sides of the line use: encoding, and the decoder under the host's and
// the handset's resynchronisation rules.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  std::vector<Bytes> frames;  // type, then data
  int badHeaders = 0;
};

Decoded Feed(FrameRules rules, const Bytes& line) {
  FrameDecoder decoder(rules);
  Decoded out;
  for (uint8_t b : line) {
    switch (decoder.Push(b)) {
      case FrameDecoder::Step::More: break;
      case FrameDecoder::Step::BadHeader: ++out.badHeaders; break;
      case FrameDecoder::Step::Frame: {
        Bytes f{decoder.type()};
        f.insert(f.end(), decoder.data(), decoder.data() + decoder.length());
        out.frames.push_back(f);
        break;
      }
    }
  }
  return out;
}

TEST(FrameEncoding, HeaderCheckThenDataAndNothingAboveThirtyTwo) {
  uint8_t out[kMaxFrameBytes];
  const uint8_t data[] = {0x21};
  ASSERT_EQ(EncodeFrame(5, data, 1, out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x05, 0x01, 0x04, 0x21}));

  uint8_t big[kMaxFrameData + 1] = {};
  EXPECT_EQ(EncodeFrame(0x14, big, kMaxFrameData, out), kMaxFrameBytes);
  uint8_t guard[kMaxFrameBytes + 1];
  guard[kMaxFrameBytes] = 0x5A;
  EXPECT_EQ(EncodeFrame(0x14, big, kMaxFrameData + 1, guard), 0u);
  EXPECT_EQ(guard[kMaxFrameBytes], 0x5A);
  EXPECT_EQ(EncodeFrame(0x14, nullptr, 1, out), 0u);
  EXPECT_EQ(FrameBytes(0x14, {0x06, 0x06}), (Bytes{0x14, 0x02, 0x16, 0x06, 0x06}));
}

TEST(FrameEncoding, ServiceRequestRecognisedOnlyWhole) {
  const Bytes erase{0x14, 0x02, 0x16, 0x09, 0x09};
  EXPECT_TRUE(IsServiceRequest(erase.data(), erase.size(), kCmdDeleteAllBlocks));
  EXPECT_FALSE(IsServiceRequest(erase.data(), erase.size(), kCmdDeleteBlock));
  EXPECT_FALSE(IsServiceRequest(erase.data(), erase.size() - 1, kCmdDeleteAllBlocks));
  const Bytes damaged{0x14, 0x02, 0x17, 0x09, 0x09};
  EXPECT_FALSE(IsServiceRequest(damaged.data(), damaged.size(), kCmdDeleteAllBlocks));
}

TEST(FrameDecoding, BothSidesTakeCleanAndShiftedFrames) {
  for (FrameRules rules : {kHostFrameRules, kHandsetFrameRules}) {
    // Two junk bytes, then a ping answer, then a second frame straight after it.
    const Decoded d = Feed(rules, {0x99, 0x42, 0x02, 0x02, 0x00, 0x14, 0xAA, 0x05, 0x01, 0x04, 0x3F});
    ASSERT_EQ(d.frames.size(), 2u);
    EXPECT_EQ(d.frames[0], (Bytes{0x02, 0x14, 0xAA}));
    EXPECT_EQ(d.frames[1], (Bytes{0x05, 0x3F}));
    EXPECT_EQ(d.badHeaders, 0);
  }
}

TEST(FrameDecoding, ImpossibleLengthEndsTheHostsReadButTheHandsetSlidesPast) {
  // 05 00 05 holds its check but carries no data; 14 21 35 claims 33 bytes.
  for (const Bytes& header : {Bytes{0x05, 0x00, 0x05}, Bytes{0x14, 0x21, 0x35}}) {
    Bytes line = header;
    line.insert(line.end(), {0x02, 0x01, 0x03, 0x14});
    const Decoded host = Feed(kHostFrameRules, line);
    EXPECT_EQ(host.badHeaders, 1);
    const Decoded handset = Feed(kHandsetFrameRules, line);
    EXPECT_EQ(handset.badHeaders, 0);
    ASSERT_EQ(handset.frames.size(), 1u);
    EXPECT_EQ(handset.frames[0], (Bytes{0x02, 0x14}));
  }
}

TEST(FrameDecoding, HostGivesUpAfterAHundredBytesTheHandsetNever) {
  // A line of 0x01: every window 01 01 fails its check (01 ^ 01 = 00).
  const auto junk = [](size_t n) { return Bytes(n, 0x01); };
  // The header's three bytes and 99 more leave 100 bytes slid past: still searching.
  FrameDecoder host(kHostFrameRules);
  for (uint8_t b : junk(102)) ASSERT_EQ(host.Push(b), FrameDecoder::Step::More);
  EXPECT_EQ(host.skipped(), 100u);
  EXPECT_EQ(host.Push(0x01), FrameDecoder::Step::BadHeader);

  Bytes line = junk(5000);
  line.insert(line.end(), {0x02, 0x01, 0x03, 0x14});
  const Decoded handset = Feed(kHandsetFrameRules, line);
  ASSERT_EQ(handset.frames.size(), 1u);
  EXPECT_EQ(handset.badHeaders, 0);
}

TEST(FrameDecoding, WantedTellsTheRestOfHeaderThenData) {
  FrameDecoder d(kHostFrameRules);
  EXPECT_EQ(d.Wanted(), 3u);
  d.Push(0x14);
  EXPECT_EQ(d.Wanted(), 2u);
  d.Push(0x03);
  d.Push(0x17);
  EXPECT_TRUE(d.HaveHeader());
  EXPECT_EQ(d.Wanted(), 3u);
  d.Push(0x06);
  EXPECT_EQ(d.Wanted(), 2u);
}

TEST(FrameLimits, FollowFromThirtyTwoDataBytes) {
  // The largest write request and read reply fill a frame exactly.
  EXPECT_EQ(1u + 2 + 2 + kMaxWriteChunk + 1, kMaxFrameData);
  EXPECT_EQ(1u + kMaxReadChunk + 1, kMaxFrameData);
  EXPECT_EQ(1u + kMaxAtFrameText, kMaxFrameData);
  EXPECT_LE(1u + kMaxAtCommandText, kMaxFrameData);
}

}  // namespace
}  // namespace velmora::protocol
