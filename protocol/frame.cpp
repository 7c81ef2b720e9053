#include "protocol/frame.h"

#include <cstring>

namespace velmora::protocol {

size_t EncodeFrame(uint8_t type, const uint8_t* data, size_t length, uint8_t* out) {
  if (length > kMaxFrameData || (length > 0 && data == nullptr)) return 0;
  const auto n = static_cast<uint8_t>(length);
  out[0] = type;
  out[1] = n;
  out[2] = HeaderCheck(type, n);
  if (n > 0) std::memcpy(out + kFrameHeader, data, n);
  return kFrameHeader + n;
}

std::vector<uint8_t> FrameBytes(uint8_t type, const std::vector<uint8_t>& data) {
  const auto n = static_cast<uint8_t>(data.size());
  std::vector<uint8_t> frame{type, n, HeaderCheck(type, n)};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

bool IsServiceRequest(const uint8_t* bytes, size_t n, uint8_t code) {
  return n > kFrameHeader && n == kFrameHeader + bytes[1] && bytes[0] == kFrameService &&
         bytes[2] == HeaderCheck(bytes[0], bytes[1]) && bytes[kFrameHeader] == code;
}

bool FrameDecoder::HeaderHolds() const { return bytes_[2] == HeaderCheck(bytes_[0], bytes_[1]); }

size_t FrameDecoder::Wanted() const {
  if (have_ < kFrameHeader) return kFrameHeader - have_;
  return kFrameHeader + bytes_[1] - have_;
}

void FrameDecoder::Reset() {
  have_ = 0;
  skipped_ = 0;
}

FrameDecoder::Step FrameDecoder::Push(uint8_t byte) {
  bytes_[have_++] = byte;
  if (have_ < kFrameHeader) return Step::More;
  if (have_ == kFrameHeader) {
    const bool lengthOk = bytes_[1] >= 1 && bytes_[1] <= kMaxFrameData;
    if (HeaderHolds() && !lengthOk && rules_.badLengthEndsRead) {
      Reset();
      return Step::BadHeader;
    }
    if (!HeaderHolds() || !lengthOk) {
      // A damaged or shifted header: slide the window one byte along the line.
      bytes_[0] = bytes_[1];
      bytes_[1] = bytes_[2];
      have_ = 2;
      ++skipped_;
      if (rules_.resyncLimit > 0 && skipped_ > rules_.resyncLimit) {
        Reset();
        return Step::BadHeader;
      }
    }
    return Step::More;
  }
  if (have_ < kFrameHeader + bytes_[1]) return Step::More;
  have_ = 0;
  skipped_ = 0;
  return Step::Frame;
}

}  // namespace velmora::protocol
