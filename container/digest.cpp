#include "container/digest.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/hex.h"

#if defined(__x86_64__) || defined(__i386__)
#define VELMORA_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace velmora {
namespace {

constexpr uint32_t kCountLow = 5;
constexpr uint32_t kCountHigh = 6;

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

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

#ifdef VELMORA_SHA_X86

bool CpuHasSha() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3") && [] {
    // The SHA extensions are leaf 7, sub-leaf 0, EBX bit 29.
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & (1u << 29)) != 0;
  }();
}

const bool kHaveShaHardware = CpuHasSha();

// Four rounds with the processor's SHA-1 unit; the message words of group i are derived
// from the four groups before it.
template <int kFunction>
__attribute__((target("sha,sse4.1"), always_inline)) inline void ShaGroup(int i, const uint8_t* block,
                                                                         __m128i* w, __m128i* abcd,
                                                                         __m128i* e, __m128i* previous) {
  const __m128i kByteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i m;
  if (i < 4) {
    m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)), kByteOrder);
  } else {
    m = _mm_sha1msg2_epu32(
        _mm_xor_si128(_mm_sha1msg1_epu32(w[i & 3], w[(i - 3) & 3]), w[(i - 2) & 3]), w[(i - 1) & 3]);
  }
  w[i & 3] = m;
  const __m128i ePlus = i == 0 ? _mm_add_epi32(*e, m) : _mm_sha1nexte_epu32(*previous, m);
  *previous = *abcd;
  *abcd = _mm_sha1rnds4_epu32(*abcd, ePlus, kFunction);
}

__attribute__((target("sha,sse4.1"))) void Sha1BlocksHardware(uint32_t blocks, const uint8_t* input,
                                                                uint32_t* state) {
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint8_t* block = input + static_cast<size_t>(b) * kSha1BlockLength;
    const __m128i savedAbcd = abcd;
    const __m128i savedE = e;
    __m128i w[4];
    __m128i previous = abcd;
    for (int i = 0; i < 5; ++i) ShaGroup<0>(i, block, w, &abcd, &e, &previous);
    for (int i = 5; i < 10; ++i) ShaGroup<1>(i, block, w, &abcd, &e, &previous);
    for (int i = 10; i < 15; ++i) ShaGroup<2>(i, block, w, &abcd, &e, &previous);
    for (int i = 15; i < 20; ++i) ShaGroup<3>(i, block, w, &abcd, &e, &previous);
    e = _mm_sha1nexte_epu32(previous, savedE);
    abcd = _mm_add_epi32(abcd, savedAbcd);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e, 3));
}

#endif

int Sha1Blocks(uint32_t blocks, const uint8_t* input, uint32_t* state) {
  if (state == nullptr || (blocks != 0 && input == nullptr)) return -1;
#ifdef VELMORA_SHA_X86
  if (kHaveShaHardware) {
    Sha1BlocksHardware(blocks, input, state);
    AddBits(state, uint64_t{blocks} * 512);
    return 0;
  }
#endif
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
  for (int i = 0; i < 5; ++i) StoreBe32(output + 4 * i, state[i]);
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

std::string Sha1Hex(std::string_view bytes) {
  uint8_t partial[kSha1BlockLength];
  uint32_t state[kSha1StateWords];
  DigestContext context = MakeDigestContext(kSha1Descriptor, partial, state);
  uint8_t digest[kSha1DigestLength] = {};
  DigestInit(&context, nullptr);
  // Lengths go in bits as 32-bit numbers: feed the bytes in pieces well below that limit.
  constexpr size_t kPiece = 1u << 24;
  size_t at = 0;
  do {
    const size_t n = bytes.size() - at < kPiece ? bytes.size() - at : kPiece;
    const bool last = at + n == bytes.size();
    DigestUpdate(reinterpret_cast<const uint8_t*>(bytes.data()) + at, static_cast<uint32_t>(n * 8),
                 digest, &context, last ? 1 : 0);
    at += n;
  } while (at < bytes.size());
  return HexText(digest, sizeof digest);
}

}  // namespace velmora
