#include "container/digest.h"

#include <cstring>

namespace velmora {
namespace {

constexpr uint32_t kCountLow = 5;
constexpr uint32_t kCountHigh = 6;

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void AddBits(uint32_t* state, uint64_t bits) {
  uint64_t count = (uint64_t{state[kCountHigh]} << 32) | state[kCountLow];
  count += bits;
  state[kCountLow] = static_cast<uint32_t>(count);
  state[kCountHigh] = static_cast<uint32_t>(count >> 32);
}

int Sha1Init(uint32_t* state) {
  if (state == nullptr) return -1;
  state[0] = 0x67452301;
  state[1] = 0xEFCDAB89;
  state[2] = 0x98BADCFE;
  state[3] = 0x10325476;
  state[4] = 0xC3D2E1F0;
  state[kCountLow] = 0;
  state[kCountHigh] = 0;
  return 0;
}

void Compress(uint32_t* h, const uint8_t* block) {
  uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = LoadBe32(block + 4 * i);
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  // The message schedule lives in a 16-word ring; the rounds are unrolled by the compiler.
#define VELMORA_SHA1_W(i) \
  (w[(i) & 15] = Rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define VELMORA_SHA1_ROUND(f, k, wi)                 \
  do {                                              \
    const uint32_t t = Rotl(a, 5) + (f) + e + (k) + (wi); \
    e = d;                                          \
    d = c;                                          \
    c = Rotl(b, 30);                                \
    b = a;                                          \
    a = t;                                          \
  } while (0)
  for (int i = 0; i < 16; ++i) VELMORA_SHA1_ROUND((b & c) | (~b & d), 0x5A827999u, w[i]);
  for (int i = 16; i < 20; ++i) VELMORA_SHA1_ROUND((b & c) | (~b & d), 0x5A827999u, VELMORA_SHA1_W(i));
  for (int i = 20; i < 40; ++i) VELMORA_SHA1_ROUND(b ^ c ^ d, 0x6ED9EBA1u, VELMORA_SHA1_W(i));
  for (int i = 40; i < 60; ++i) VELMORA_SHA1_ROUND((b & c) | (b & d) | (c & d), 0x8F1BBCDCu, VELMORA_SHA1_W(i));
  for (int i = 60; i < 80; ++i) VELMORA_SHA1_ROUND(b ^ c ^ d, 0xCA62C1D6u, VELMORA_SHA1_W(i));
#undef VELMORA_SHA1_ROUND
#undef VELMORA_SHA1_W
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

int Sha1Blocks(uint32_t blocks, const uint8_t* input, uint32_t* state) {
  if (state == nullptr || (blocks != 0 && input == nullptr)) return -1;
  for (uint32_t i = 0; i < blocks; ++i) Compress(state, input + static_cast<size_t>(i) * kSha1BlockLength);
  AddBits(state, uint64_t{blocks} * 512);
  return 0;
}

// The remaining bytes (less than one block), then the 1 bit, zeros and the 64-bit
// big-endian bit count; two blocks when the count no longer fits behind the data.
int Sha1Final(const uint8_t* input, uint32_t inputBits, uint8_t* output, uint32_t* state) {
  if (state == nullptr || output == nullptr || inputBits % 8 != 0) return -1;
  const uint32_t n = inputBits / 8;
  if (n >= kSha1BlockLength || (n != 0 && input == nullptr)) return -1;
  AddBits(state, inputBits);
  uint8_t tail[2 * kSha1BlockLength] = {};
  if (n != 0) std::memcpy(tail, input, n);
  tail[n] = 0x80;
  const uint32_t length = n + 9 <= kSha1BlockLength ? kSha1BlockLength : 2 * kSha1BlockLength;
  const uint64_t count = (uint64_t{state[kCountHigh]} << 32) | state[kCountLow];
  for (int i = 0; i < 8; ++i) tail[length - 1 - i] = static_cast<uint8_t>(count >> (8 * i));
  for (uint32_t off = 0; off < length; off += kSha1BlockLength) Compress(state, tail + off);
  for (int i = 0; i < 5; ++i) {
    output[4 * i] = static_cast<uint8_t>(state[i] >> 24);
    output[4 * i + 1] = static_cast<uint8_t>(state[i] >> 16);
    output[4 * i + 2] = static_cast<uint8_t>(state[i] >> 8);
    output[4 * i + 3] = static_cast<uint8_t>(state[i]);
  }
  return 0;
}

}  // namespace

const DigestDescriptor kSha1Descriptor = {kSha1DigestLength, kSha1BlockLength, Sha1Init,
                                          Sha1Blocks, Sha1Final};

DigestContext MakeDigestContext(const DigestDescriptor& descriptor, uint8_t* partial,
                                uint32_t* state) {
  DigestContext c{};
  c.digestLength = descriptor.digestLength;
  c.blockLength = descriptor.blockLength;
  c.partial = partial;
  c.held = 0;
  c.state = state;
  c.init = descriptor.init;
  c.blocks = descriptor.blocks;
  c.final = descriptor.final;
  return c;
}

int DigestInit(DigestContext* context, const void* /*parameter*/) {
  if (context == nullptr || context->init == nullptr) return -1;
  context->held = 0;
  return context->init(context->state);
}

int DigestUpdate(const uint8_t* input, uint32_t inputBits, uint8_t* output,
                 DigestContext* context, int final) {
  if (context == nullptr || context->partial == nullptr || context->blocks == nullptr ||
      context->final == nullptr) {
    return -1;
  }
  // Only whole bytes: the partial-block buffer could not hold a fraction of one.
  if (inputBits % 8 != 0) return -1;
  uint32_t length = inputBits / 8;
  if (length != 0 && input == nullptr) return -1;
  const uint32_t b = context->blockLength;
  if (b == 0 || context->held >= b) return -1;
  if (context->held != 0) {
    const uint32_t take = length < b - context->held ? length : b - context->held;
    std::memcpy(context->partial + context->held, input, take);
    context->held += take;
    input += take;
    length -= take;
    if (context->held == b) {
      if (context->blocks(1, context->partial, context->state) != 0) return -1;
      context->held = 0;
    }
  }
  const uint32_t whole = length / b;
  if (whole != 0) {
    if (context->blocks(whole, input, context->state) != 0) return -1;
    input += static_cast<size_t>(whole) * b;
    length -= whole * b;
  }
  if (length != 0) {
    std::memcpy(context->partial + context->held, input, length);
    context->held += length;
  }
  if (final == 0) return 0;
  if (output == nullptr) return -1;
  const uint32_t held = context->held;
  context->held = 0;
  return context->final(context->partial, held * 8, output, context->state);
}

}  // namespace velmora
