// Bytes as hexadecimal text and back: digests, block data in the backup and dump files, the
// escapes of unprintable characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

enum class HexCase { Lower, Upper };

inline void AppendHex(std::string* out, const uint8_t* bytes, size_t n, HexCase letters = HexCase::Lower) {
  const char* digits = letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    out->push_back(digits[bytes[i] >> 4]);
    out->push_back(digits[bytes[i] & 0x0F]);
  }
}

inline std::string HexText(const uint8_t* bytes, size_t n, HexCase letters = HexCase::Lower) {
  std::string out;
  out.reserve(2 * n);
  AppendHex(&out, bytes, n, letters);
  return out;
}

inline std::string HexText(std::string_view bytes, HexCase letters = HexCase::Lower) {
  return HexText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), letters);
}

inline std::string HexText(const std::vector<uint8_t>& bytes, HexCase letters = HexCase::Lower) {
  return HexText(bytes.data(), bytes.size(), letters);
}

// The value of one hexadecimal digit, or -1.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Pairs of hexadecimal digits (either case) appended to *out as bytes; false, with *out as it
// was, for an odd count or anything else than a digit.
inline bool ParseHex(std::string_view text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigitValue(text[i]);
    const int lo = HexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  out->insert(out->end(), bytes.begin(), bytes.end());
  return true;
}

}  // namespace velmora
