// The link frame on the line: type, length, type XOR length, then 1..32 data bytes. One
// encoder and one byte-at-a-time decoder serve the host (link/) and the simulated handset
// (sim/); where the two receivers differ by design, the decoder takes the difference as rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/handset_protocol.h"

namespace velmora::protocol {

// The XOR of n bytes: the header's check over type and length, a service message's check byte
// over the message, a boot block's over its bytes.
constexpr uint8_t XorCheck(const uint8_t* bytes, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x = static_cast<uint8_t>(x ^ bytes[i]);
  return x;
}

constexpr uint8_t HeaderCheck(uint8_t type, uint8_t length) {
  return static_cast<uint8_t>(type ^ length);
}

// Writes the frame into out, which has room for kMaxFrameBytes; returns its size, or 0 (out
// untouched) when length is above kMaxFrameData or data is null with a length.
size_t EncodeFrame(uint8_t type, const uint8_t* data, size_t length, uint8_t* out);

// The frame as bytes, for senders that queue vectors. The length byte is taken as it is: a
// test may build an oversized frame on purpose; senders of the system stay within 32.
std::vector<uint8_t> FrameBytes(uint8_t type, const std::vector<uint8_t>& data);

// Whether bytes are one whole block-store request frame with the command code (type 0x14, the
// code as its first data byte).
bool IsServiceRequest(const uint8_t* bytes, size_t n, uint8_t code);

// How a receiver gets back in step after a header that fails its check.
struct FrameRules {
  // Bytes a receiver slides past before it gives up on the line (0: it never does).
  size_t resyncLimit = 0;
  // A header whose check holds but whose length is 0 or above 32: the end of the read
  // (BadHeader), or one more byte to slide past.
  bool badLengthEndsRead = false;
};

// The host reads one frame per call: it searches 100 bytes past a damaged header, then
// reports the line as broken, and a header with an impossible length ends the read.
inline constexpr FrameRules kHostFrameRules{100, true};
// The handset's receiver runs for as long as it is on: it slides past anything that is not a
// header, a header with an impossible length included.
inline constexpr FrameRules kHandsetFrameRules{0, false};

// Takes the line one byte at a time. After a Frame or BadHeader the decoder starts afresh.
class FrameDecoder {
 public:
  enum class Step { More, Frame, BadHeader };

  explicit FrameDecoder(FrameRules rules) : rules_(rules) {}

  Step Push(uint8_t byte);
  void Reset();

  // Bytes still missing before the header or the frame is complete (at least 1).
  size_t Wanted() const;
  bool HaveHeader() const { return have_ >= kFrameHeader; }
  // Bytes slid past since the last frame.
  size_t skipped() const { return skipped_; }

  // The last frame; valid after Push returned Frame.
  uint8_t type() const { return bytes_[0]; }
  uint8_t length() const { return bytes_[1]; }
  const uint8_t* data() const { return bytes_ + kFrameHeader; }

 private:
  bool HeaderHolds() const;
  FrameRules rules_;
  uint8_t bytes_[kMaxFrameBytes] = {};
  size_t have_ = 0;
  size_t skipped_ = 0;
};

}  // namespace velmora::protocol
