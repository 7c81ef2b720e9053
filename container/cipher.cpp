#include "container/cipher.h"

#include <array>
#include <cstring>

#include "platform/byte_order.h"

#if defined(__x86_64__) || defined(__i386__)
#define VELMORA_AES_X86 1
#include <immintrin.h>
#endif

namespace velmora {
namespace {

constexpr uint32_t kAesBlock = 16;
constexpr uint32_t kAesRounds = 10;
// The chunk of blocks CBC hands to the block operation at once; the processor's AES unit
// needs several independent blocks in flight to run at speed.
constexpr uint32_t kCbcChunkBlocks = 64;
// An in-place CBC run must keep the cipher block aside before it is overwritten.
constexpr uint32_t kCbcMaxBlock = 32;

// ---- Tables, computed at compile time from the field arithmetic ----

constexpr uint8_t Xtime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r = static_cast<uint8_t>(r ^ a);
    a = Xtime(a);
    b = static_cast<uint8_t>(b >> 1);
  }
  return r;
}

constexpr uint8_t Rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

struct AesTables {
  std::array<uint8_t, 256> sbox{};
  std::array<uint8_t, 256> inverseSbox{};
  std::array<std::array<uint32_t, 256>, 4> te{};
  std::array<std::array<uint32_t, 256>, 4> td{};
};

constexpr uint32_t Ror32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

constexpr AesTables MakeTables() {
  AesTables t;
  // The multiplicative inverses through powers of the generator 3: a search over every pair
  // would take more steps than every compiler allows a constant expression.
  std::array<uint8_t, 255> power{};
  std::array<uint8_t, 256> logarithm{};
  uint8_t p = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = p;
    logarithm[p] = static_cast<uint8_t>(i);
    p = static_cast<uint8_t>(p ^ Xtime(p));  // p * 3
  }
  for (int x = 0; x < 256; ++x) {
    const uint8_t inverse = x == 0 ? uint8_t{0} : power[(255 - logarithm[x]) % 255];
    const uint8_t s = static_cast<uint8_t>(inverse ^ Rotl8(inverse, 1) ^ Rotl8(inverse, 2) ^
                                           Rotl8(inverse, 3) ^ Rotl8(inverse, 4) ^ 0x63);
    t.sbox[x] = s;
    t.inverseSbox[s] = static_cast<uint8_t>(x);
  }
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = t.sbox[x];
    const uint32_t te0 = (uint32_t{GfMul(s, 2)} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) |
                         uint32_t{GfMul(s, 3)};
    const uint8_t v = t.inverseSbox[x];
    const uint32_t td0 = (uint32_t{GfMul(v, 0x0e)} << 24) | (uint32_t{GfMul(v, 0x09)} << 16) |
                         (uint32_t{GfMul(v, 0x0d)} << 8) | uint32_t{GfMul(v, 0x0b)};
    for (int k = 0; k < 4; ++k) {
      t.te[k][x] = k == 0 ? te0 : Ror32(te0, 8 * k);
      t.td[k][x] = k == 0 ? td0 : Ror32(td0, 8 * k);
    }
  }
  return t;
}

constexpr AesTables kTables = MakeTables();
constexpr const auto& Td0 = kTables.td[0];
constexpr const auto& Td1 = kTables.td[1];
constexpr const auto& Td2 = kTables.td[2];
constexpr const auto& Td3 = kTables.td[3];
constexpr const auto& Sbox = kTables.sbox;

inline uint32_t B(uint32_t w, int byteFromTop) { return (w >> (24 - 8 * byteFromTop)) & 0xff; }

uint32_t SubWord(uint32_t w) {
  return (uint32_t{Sbox[B(w, 0)]} << 24) | (uint32_t{Sbox[B(w, 1)]} << 16) |
         (uint32_t{Sbox[B(w, 2)]} << 8) | uint32_t{Sbox[B(w, 3)]};
}

// InvMixColumns of one round-key word: Td applied to the S-box output cancels the
// inverse S-box inside Td.
uint32_t InvMixColumn(uint32_t w) {
  return Td0[Sbox[B(w, 0)]] ^ Td1[Sbox[B(w, 1)]] ^ Td2[Sbox[B(w, 2)]] ^ Td3[Sbox[B(w, 3)]];
}

int AesKeySetup(const uint8_t* key, uint32_t keyBits, void* keySchedule, uint32_t blockLength) {
  if (key == nullptr || keySchedule == nullptr || blockLength != kAesBlock || keyBits != 128) {
    return -1;
  }
  auto* ks = static_cast<AesKeySchedule*>(keySchedule);
  ks->keyBytes = 16;
  uint32_t* w = ks->encrypt;
  for (int i = 0; i < 4; ++i) w[i] = LoadBe32(key + 4 * i);
  uint32_t rcon = 0x01;
  for (int i = 4; i < 44; ++i) {
    uint32_t temp = w[i - 1];
    if (i % 4 == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ (rcon << 24);
      rcon = Xtime(static_cast<uint8_t>(rcon));
    }
    w[i] = w[i - 4] ^ temp;
  }
  // Equivalent inverse cipher: the round keys in reverse order, the inner ones passed
  // through InvMixColumns so that decryption has the same shape as encryption.
  for (uint32_t round = 0; round <= kAesRounds; ++round) {
    for (int j = 0; j < 4; ++j) {
      const uint32_t k = w[(kAesRounds - round) * 4 + j];
      ks->decrypt[round * 4 + j] = (round == 0 || round == kAesRounds) ? k : InvMixColumn(k);
    }
  }
  return 0;
}

// The rounds of one direction from its tables: the four round tables, the last round's S-box,
// and the step between the columns a row takes its bytes from (1 forward, 3 backward).
template <size_t kStep>
void CipherRounds(const uint32_t* rk, uint8_t* block,
                  const std::array<std::array<uint32_t, 256>, 4>& table,
                  const std::array<uint8_t, 256>& lastBox) {
  uint32_t s[4];
  for (size_t j = 0; j < 4; ++j) s[j] = LoadBe32(block + 4 * j) ^ rk[j];
  const auto column = [](size_t j, size_t i) { return (j + i * kStep) % 4; };
  for (uint32_t round = 1; round < kAesRounds; ++round) {
    rk += 4;
    uint32_t t[4];
    for (size_t j = 0; j < 4; ++j) {
      t[j] = table[0][s[j] >> 24] ^ table[1][(s[column(j, 1)] >> 16) & 0xff] ^
             table[2][(s[column(j, 2)] >> 8) & 0xff] ^ table[3][s[column(j, 3)] & 0xff] ^ rk[j];
    }
    for (size_t j = 0; j < 4; ++j) s[j] = t[j];
  }
  rk += 4;
  for (size_t j = 0; j < 4; ++j) {
    const uint32_t w = (uint32_t{lastBox[s[j] >> 24]} << 24) |
                       (uint32_t{lastBox[(s[column(j, 1)] >> 16) & 0xff]} << 16) |
                       (uint32_t{lastBox[(s[column(j, 2)] >> 8) & 0xff]} << 8) |
                       uint32_t{lastBox[s[column(j, 3)] & 0xff]};
    StoreBe32(block + 4 * j, w ^ rk[j]);
  }
}

void EncryptBlockPortable(const uint32_t* rk, uint8_t* block) {
  CipherRounds<1>(rk, block, kTables.te, kTables.sbox);
}

void DecryptBlockPortable(const uint32_t* rk, uint8_t* block) {
  CipherRounds<3>(rk, block, kTables.td, kTables.inverseSbox);
}

#ifdef VELMORA_AES_X86

bool CpuHasAes() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
}

// The processor's AES unit takes the round keys as bytes in block order; ours are words
// with the first byte on top.
__attribute__((target("sse2"))) void LoadRoundKeys(const uint32_t* rk, __m128i* out) {
  for (uint32_t r = 0; r <= kAesRounds; ++r) {
    alignas(16) uint8_t bytes[16];
    for (int j = 0; j < 4; ++j) StoreBe32(bytes + 4 * j, rk[r * 4 + j]);
    out[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
  }
}

template <bool kDecrypt>
__attribute__((target("aes,sse4.1"), always_inline)) inline __m128i Round(__m128i b, __m128i k) {
  return kDecrypt ? _mm_aesdec_si128(b, k) : _mm_aesenc_si128(b, k);
}

template <bool kDecrypt>
__attribute__((target("aes,sse4.1"), always_inline)) inline __m128i LastRound(__m128i b, __m128i k) {
  return kDecrypt ? _mm_aesdeclast_si128(b, k) : _mm_aesenclast_si128(b, k);
}

// Four independent blocks at a time keep the AES unit's pipeline full.
template <bool kDecrypt>
__attribute__((target("aes,sse4.1"))) void AesBlocksHardware(uint32_t blocks, const uint8_t* input,
                                                               uint8_t* output, const uint32_t* rk) {
  __m128i k[kAesRounds + 1];
  LoadRoundKeys(rk, k);
  uint32_t i = 0;
  for (; i + 4 <= blocks; i += 4) {
    __m128i b[4];
    for (int j = 0; j < 4; ++j) {
      b[j] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * (i + j))), k[0]);
    }
    for (uint32_t r = 1; r < kAesRounds; ++r) {
      for (int j = 0; j < 4; ++j) b[j] = Round<kDecrypt>(b[j], k[r]);
    }
    for (int j = 0; j < 4; ++j) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * (i + j)), LastRound<kDecrypt>(b[j], k[kAesRounds]));
    }
  }
  for (; i < blocks; ++i) {
    __m128i b = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * i)), k[0]);
    for (uint32_t r = 1; r < kAesRounds; ++r) b = Round<kDecrypt>(b, k[r]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * i), LastRound<kDecrypt>(b, k[kAesRounds]));
  }
}

const bool kHaveAesHardware = CpuHasAes();
#else
const bool kHaveAesHardware = false;
#endif

int AesBlock(uint32_t blocks, const uint8_t* input, uint8_t* output, int direction,
             const void* keySchedule) {
#ifdef VELMORA_AES_X86
  if (kHaveAesHardware) {
    if (input == nullptr || output == nullptr || keySchedule == nullptr) return -1;
    if (direction != kCipherDecrypt && direction != kCipherEncrypt) return -1;
    const auto* ks = static_cast<const AesKeySchedule*>(keySchedule);
    if (direction == kCipherDecrypt) {
      AesBlocksHardware<true>(blocks, input, output, ks->decrypt);
    } else {
      AesBlocksHardware<false>(blocks, input, output, ks->encrypt);
    }
    return 0;
  }
#endif
  return AesBlockPortable(blocks, input, output, direction, keySchedule);
}

// out ^= mask over one block, eight bytes at a time where the block allows it.
inline void XorBlock(uint8_t* out, const uint8_t* mask, uint32_t length) {
  uint32_t j = 0;
  for (; j + 8 <= length; j += 8) {
    uint64_t a, m;
    std::memcpy(&a, out + j, 8);
    std::memcpy(&m, mask + j, 8);
    a ^= m;
    std::memcpy(out + j, &a, 8);
  }
  for (; j < length; ++j) out[j] = static_cast<uint8_t>(out[j] ^ mask[j]);
}

}  // namespace

const CipherDescriptor kAesDescriptor = {kAesBlock, 0, AesKeySetup, AesBlock};

bool AesUsesHardware() { return kHaveAesHardware; }

int AesBlockPortable(uint32_t blocks, const uint8_t* input, uint8_t* output, int direction,
                     const void* keySchedule) {
  if (input == nullptr || output == nullptr || keySchedule == nullptr) return -1;
  if (direction != kCipherDecrypt && direction != kCipherEncrypt) return -1;
  const auto* ks = static_cast<const AesKeySchedule*>(keySchedule);
  for (uint32_t i = 0; i < blocks; ++i) {
    uint8_t* out = output + static_cast<size_t>(i) * kAesBlock;
    if (out != input + static_cast<size_t>(i) * kAesBlock) {
      std::memmove(out, input + static_cast<size_t>(i) * kAesBlock, kAesBlock);
    }
    if (direction == kCipherDecrypt) {
      DecryptBlockPortable(ks->decrypt, out);
    } else {
      EncryptBlockPortable(ks->encrypt, out);
    }
  }
  return 0;
}

int CbcMode(uint32_t blocks, const uint8_t* input, uint8_t* output, int direction,
            CipherContext* context) {
  if (context == nullptr || input == nullptr || output == nullptr) return -1;
  const uint32_t b = context->blockLength;
  if (b == 0 || b > kCbcMaxBlock) return -1;
  uint8_t* chain = context->chain;
  if (direction == kCipherEncrypt) {
    uint8_t block[kCbcMaxBlock];
    for (uint32_t i = 0; i < blocks; ++i) {
      const uint8_t* in = input + static_cast<size_t>(i) * b;
      for (uint32_t j = 0; j < b; ++j) block[j] = static_cast<uint8_t>(in[j] ^ chain[j]);
      uint8_t* out = output + static_cast<size_t>(i) * b;
      if (context->block(1, block, out, kCipherEncrypt, context->keySchedule) != 0) return -1;
      std::memcpy(chain, out, b);
    }
    return 0;
  }
  if (direction != kCipherDecrypt) return -1;
  // The cipher blocks of a chunk are kept aside before the output may overwrite them
  // (in-place decryption); the chunk then goes to the block operation in one call.
  uint8_t saved[kCbcChunkBlocks * kCbcMaxBlock];
  uint32_t done = 0;
  while (done < blocks) {
    const uint32_t n = blocks - done < kCbcChunkBlocks ? blocks - done : kCbcChunkBlocks;
    const uint8_t* in = input + static_cast<size_t>(done) * b;
    uint8_t* out = output + static_cast<size_t>(done) * b;
    std::memcpy(saved, in, static_cast<size_t>(n) * b);
    if (context->block(n, saved, out, kCipherDecrypt, context->keySchedule) != 0) return -1;
    XorBlock(out, chain, b);
    for (uint32_t k = 1; k < n; ++k) {
      XorBlock(out + static_cast<size_t>(k) * b, saved + static_cast<size_t>(k - 1) * b, b);
    }
    std::memcpy(chain, saved + static_cast<size_t>(n - 1) * b, b);
    done += n;
  }
  return 0;
}

CipherContext MakeCipherContext(const CipherDescriptor& descriptor, uint8_t* partial,
                                uint8_t* chain, void* keySchedule, CipherModeOperation mode,
                                uint32_t options) {
  CipherContext c{};
  c.blockLength = descriptor.blockLength;
  c.ivLength = descriptor.blockLength;
  c.partial = partial;
  c.held = 0;
  c.flags = descriptor.flags | options;
  c.chain = chain;
  c.keySchedule = keySchedule;
  c.mode = mode;
  c.keySetup = descriptor.keySetup;
  c.block = descriptor.block;
  return c;
}

int CipherSetup(const uint8_t* key, uint32_t keyBits, const uint8_t* iv, CipherContext* context,
                uint32_t blockLength) {
  if (context == nullptr || context->keySetup == nullptr) return -1;
  if (context->keySetup(key, keyBits, context->keySchedule, blockLength) != 0) return -1;
  if (context->flags & kCipherIvGiven) {
    if (iv == nullptr || context->chain == nullptr) return -1;
    std::memcpy(context->chain, iv, context->ivLength);
  }
  context->held = 0;
  return 0;
}

int CipherUpdate(const uint8_t* input, uint32_t inputBits, uint8_t* output, uint32_t* capacity,
                 int direction, CipherContext* context, int final) {
  if (context == nullptr || capacity == nullptr || input == nullptr || output == nullptr) return -1;
  if (direction != kCipherDecrypt || final == 0) return -1;
  const uint32_t b = context->blockLength;
  if (b == 0 || b > kCbcMaxBlock || context->partial == nullptr || context->mode == nullptr) {
    return -1;
  }
  if (inputBits % 8 != 0) return -1;
  const uint32_t total = inputBits / 8;
  if (total == 0 || total % b != 0) return -1;
  if (*capacity < total) {
    *capacity = total;
    return -1;
  }
  const uint32_t blocks = total / b;
  if (blocks > 1 && context->mode(blocks - 1, input, output, kCipherDecrypt, context) != 0) {
    return -1;
  }
  uint8_t* last = context->partial;
  std::memcpy(last, input + static_cast<size_t>(blocks - 1) * b, b);
  if (context->mode(1, last, last, kCipherDecrypt, context) != 0) return -1;
  uint32_t kept = b;
  if (context->flags & kCipherPadding) {
    const uint32_t n = last[b - 1];
    if (n == 0 || n > b) return -1;
    for (uint32_t i = b - n; i < b - 1; ++i) {
      if (last[i] != n) return -1;
    }
    kept = b - n;
  }
  std::memcpy(output + static_cast<size_t>(blocks - 1) * b, last, kept);
  *capacity = total - (b - kept);
  context->held = 0;
  return 0;
}

}  // namespace velmora
