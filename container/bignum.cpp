#include "container/bignum.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {
namespace {

constexpr uint64_t kOne = 1;

// a[0..n) -= b[0..n); returns the final borrow.
__attribute__((always_inline)) inline bool SubtractInPlace(uint64_t* a, const uint64_t* b, uint32_t n) {
#if defined(__x86_64__)
  unsigned char borrow = 0;
#pragma GCC unroll 17
  for (uint32_t i = 0; i < n; ++i) {
    unsigned long long out;
    borrow = _subborrow_u64(borrow, a[i], b[i], &out);
    a[i] = out;
  }
  return borrow != 0;
#else
  uint64_t borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t x = a[i];
    const uint64_t y = b[i] + borrow;
    const uint64_t wrapped = y < borrow;
    a[i] = x - y;
    borrow = wrapped | (x < y);
  }
  return borrow != 0;
#endif
}

// a[0..n) += b[0..n); returns the final carry.
__attribute__((always_inline)) inline uint64_t AddInPlace(uint64_t* a, const uint64_t* b, uint32_t n) {
#if defined(__x86_64__)
  unsigned char carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    unsigned long long out;
    carry = _addcarry_u64(carry, a[i], b[i], &out);
    a[i] = out;
  }
  return carry;
#else
  uint64_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t x = a[i] + b[i];
    const uint64_t c1 = x < b[i];
    a[i] = x + carry;
    carry = c1 | (a[i] < carry);
  }
  return carry;
#endif
}

// The arithmetic runs on 64-bit limbs (two value words each): a quarter of the word
// products of 32-bit schoolbook loops, which is what keeps the full-size public exponent
// affordable.
constexpr uint32_t kLimbs = kBigNumberWords / 2;  // capacity in limbs
constexpr uint32_t kMaxBytes = kBigNumberWords * 4;

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Wide;
inline void MulWide(uint64_t a, uint64_t b, uint64_t* lo, uint64_t* hi) {
  const Wide p = static_cast<Wide>(a) * b;
  *lo = static_cast<uint64_t>(p);
  *hi = static_cast<uint64_t>(p >> 64);
}
#else
inline void MulWide(uint64_t a, uint64_t b, uint64_t* lo, uint64_t* hi) {
  const uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
  const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const uint64_t mid = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
  *lo = (mid << 32) | (p00 & 0xffffffffu);
  *hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}
#endif

// lo:hi = a * b + c + d; never overflows.
inline uint64_t MulAdd2(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t* hi) {
  uint64_t lo, h;
  MulWide(a, b, &lo, &h);
  lo += c;
  h += lo < c;
  lo += d;
  h += lo < d;
  *hi = h;
  return lo;
}

inline int Clz64(uint64_t x) { return __builtin_clzll(x); }

uint32_t Used(const uint64_t* a, uint32_t n) {
  while (n > 0 && a[n - 1] == 0) --n;
  return n;
}

void ToLimbs(const BigNumber& a, uint64_t* out, uint32_t limbs) {
  const uint32_t words = a.word[0];
  for (uint32_t i = 0; i < limbs; ++i) {
    const uint64_t lo = 2 * i < words ? a.word[2 * i + 1] : 0;
    const uint64_t hi = 2 * i + 1 < words ? a.word[2 * i + 2] : 0;
    out[i] = lo | (hi << 32);
  }
}

// Fails when the value does not fit the capacity.
int FromLimbs(const uint64_t* a, uint32_t limbs, BigNumber* out) {
  const uint32_t n = Used(a, limbs);
  uint32_t words = 2 * n;
  if (n > 0 && (a[n - 1] >> 32) == 0) --words;
  if (words > kBigNumberWords) return -1;
  for (uint32_t i = 0; i < n; ++i) {
    out->word[2 * i + 1] = static_cast<uint32_t>(a[i]);
    if (2 * i + 2 <= kBigNumberWords) out->word[2 * i + 2] = static_cast<uint32_t>(a[i] >> 32);
  }
  out->word[0] = words;
  return 0;
}

void LimbsOf(const BigNumber& a, uint32_t* limbs) { *limbs = (a.word[0] + 1) / 2; }

// The kernels take an optional compile-time size: the exponentiation instantiates them for
// its modulus size, so that the inner loops are unrolled with the carries in registers.
#define VELMORA_KERNEL template <uint32_t kFixed = 0> __attribute__((always_inline)) inline

// r[0..na+nb) = a * b
VELMORA_KERNEL void MulLimbs(const uint64_t* a, uint32_t naParam, const uint64_t* b, uint32_t nbParam,
                             uint64_t* r) {
  const uint32_t na = kFixed ? kFixed : naParam;
  const uint32_t nb = kFixed ? kFixed : nbParam;
  std::memset(r, 0, sizeof(uint64_t) * (na + nb));
  for (uint32_t i = 0; i < na; ++i) {
    const uint64_t ai = a[i];
    uint64_t carry = 0;
    uint64_t* ri = r + i;
#pragma GCC unroll 16
    for (uint32_t j = 0; j < nb; ++j) ri[j] = MulAdd2(ai, b[j], ri[j], carry, &carry);
    ri[nb] = carry;
  }
}

// r[0..2n) = a * a: the cross products once, doubled, then the squares of the limbs.
VELMORA_KERNEL void SquareLimbs(const uint64_t* a, uint32_t nParam, uint64_t* r) {
  const uint32_t n = kFixed ? kFixed : nParam;
  std::memset(r, 0, sizeof(uint64_t) * 2 * n);
  for (uint32_t i = 0; i + 1 < n; ++i) {
    const uint64_t ai = a[i];
    uint64_t carry = 0;
    uint64_t* ri = r + i;
#pragma GCC unroll 16
    for (uint32_t j = i + 1; j < n; ++j) ri[j] = MulAdd2(ai, a[j], ri[j], carry, &carry);
    ri[n] = carry;
  }
  uint64_t top = 0;
  for (uint32_t i = 0; i < 2 * n; ++i) {
    const uint64_t v = r[i];
    r[i] = (v << 1) | top;
    top = v >> 63;
  }
  uint64_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint64_t lo, hi;
    MulWide(a[i], a[i], &lo, &hi);
    uint64_t s = r[2 * i] + lo;
    uint64_t c = s < lo;
    s += carry;
    c += s < carry;
    r[2 * i] = s;
    uint64_t t = r[2 * i + 1] + hi;
    uint64_t c2 = t < hi;
    t += c;
    c2 += t < c;
    r[2 * i + 1] = t;
    carry = c2;
  }
}

// The divisor, shifted so that its top bit is set, with the reciprocal of its top limb:
// quotient digits are then estimated with multiplications instead of a hardware division.
struct Divisor {
  uint64_t d[kLimbs];
  uint32_t n;
  int shift;
  uint64_t reciprocal;  // floor((2^128 - 1) / top) - 2^64
};

uint64_t Reciprocal(uint64_t d) {
  // ((~d) : (2^64 - 1)) / d by shift and subtract; d has its top bit set, so the quotient
  // fits 64 bits. Runs once per divisor.
  uint64_t hi = ~d, lo = ~uint64_t{0}, q = 0;
  for (int i = 0; i < 64; ++i) {
    const uint64_t top = hi >> 63;
    hi = (hi << 1) | (lo >> 63);
    lo <<= 1;
    q <<= 1;
    if (top != 0 || hi >= d) {
      hi -= d;
      q |= 1;
    }
  }
  return q;
}

// (u1:u0) / d with u1 < d, d normalised, v its reciprocal.
inline uint64_t Div2By1(uint64_t u1, uint64_t u0, uint64_t d, uint64_t v, uint64_t* rem) {
  uint64_t q0, q1;
  MulWide(v, u1, &q0, &q1);
  q0 += u0;
  q1 += u1 + (q0 < u0);
  q1 += 1;
  uint64_t r = u0 - q1 * d;
  // Taken about half the time: a mask instead of a branch the processor cannot predict.
  const uint64_t over = 0 - static_cast<uint64_t>(r > q0);
  q1 += over;
  r += over & d;
  if (r >= d) {
    ++q1;
    r -= d;
  }
  *rem = r;
  return q1;
}

void PrepareDivisor(const uint64_t* m, uint32_t n, Divisor* out) {
  out->n = n;
  out->shift = Clz64(m[n - 1]);
  const int s = out->shift;
  for (uint32_t i = n; i-- > 0;) {
    out->d[i] = s == 0 ? m[i] : (m[i] << s) | (i > 0 ? m[i - 1] >> (64 - s) : 0);
  }
  out->reciprocal = Reciprocal(out->d[n - 1]);
}

// Remainder of u[0..ul) by the divisor into r[0..div.n); u is scratch of ul + 1 limbs and
// is destroyed. Requires ul >= div.n.
VELMORA_KERNEL void RemainderLimbs(uint64_t* u, uint32_t ulParam, const Divisor& div, uint64_t* r) {
  const uint32_t n = kFixed ? kFixed : div.n;
  const uint32_t ul = kFixed ? 2 * kFixed : ulParam;
  const int s = div.shift;
  if (s != 0) {
    u[ul] = u[ul - 1] >> (64 - s);
    for (uint32_t i = ul - 1; i > 0; --i) u[i] = (u[i] << s) | (u[i - 1] >> (64 - s));
    u[0] <<= s;
  } else {
    u[ul] = 0;
  }
  const uint64_t* d = div.d;
  const uint64_t d1 = d[n - 1];
  const uint64_t d0 = n >= 2 ? d[n - 2] : 0;
  for (uint32_t j = ul - n + 1; j-- > 0;) {
    uint64_t* uj = u + j;
    const uint64_t top = uj[n];
    const uint64_t next = uj[n - 1];
    uint64_t q, rhat;
    bool rhatFits = true;
    if (top >= d1) {
      q = ~uint64_t{0};
      rhat = next + d1;
      rhatFits = rhat >= next;
    } else {
      q = Div2By1(top, next, d1, div.reciprocal, &rhat);
    }
    if (n >= 2) {
      // Knuth's test: with the second divisor limb the estimate is at most one too large.
      const uint64_t next2 = uj[n - 2];
      while (rhatFits) {
        uint64_t plo, phi;
        MulWide(q, d0, &plo, &phi);
        if (phi < rhat || (phi == rhat && plo <= next2)) break;
        --q;
        const uint64_t old = rhat;
        rhat += d1;
        rhatFits = rhat >= old;
      }
    }
    // uj -= q * d. The low and the high halves of the word products are subtracted in two
    // borrow chains, so that no carry has to run through the products first: the next
    // quotient digit waits for this subtraction.
    uint64_t lo[kLimbs], hi[kLimbs];
#pragma GCC unroll 16
    for (uint32_t i = 0; i < n; ++i) MulWide(q, d[i], &lo[i], &hi[i]);
    const bool borrowLow = SubtractInPlace(uj, lo, n) && SubtractInPlace(uj + n, &kOne, 1);
    const bool borrowHigh = SubtractInPlace(uj + 1, hi, n);
    if (borrowLow || borrowHigh) {
      // One too many: add the divisor back once.
      const uint64_t c = AddInPlace(uj, d, n);
      uj[n] += c;
    }
  }
  if (s != 0) {
    for (uint32_t i = 0; i + 1 < n; ++i) r[i] = (u[i] >> s) | (u[i + 1] << (64 - s));
    r[n - 1] = u[n - 1] >> s;
  } else {
    std::memcpy(r, u, sizeof(uint64_t) * n);
  }
}

// Montgomery reduction: for T < m * 2^(64n), T * 2^(-64n) mod m. For an odd modulus the
// exponentiation keeps its numbers multiplied by 2^(64n) and reduces each product this way:
// the same remainder, but each step needs only the lowest limb of the one before, so the
// steps overlap instead of waiting for a whole subtraction as the long division does.
struct Montgomery {
  const uint64_t* m;
  uint64_t mPrime;  // -m^(-1) mod 2^64
};

uint64_t NegativeInverse(uint64_t m0) {
  uint64_t inverse = m0;  // right in the lowest 3 bits for any odd m0
  for (int i = 0; i < 5; ++i) inverse *= 2 - m0 * inverse;
  return 0 - inverse;
}

// t has 2n limbs and is destroyed; r gets n limbs.
VELMORA_KERNEL void MontgomeryReduce(uint64_t* t, const Montgomery& mont, uint32_t nParam, uint64_t* r) {
  const uint32_t n = kFixed ? kFixed : nParam;
  const uint64_t* m = mont.m;
  uint64_t extra = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t u = t[i] * mont.mPrime;
    uint64_t carry = 0;
    uint64_t* ti = t + i;
#pragma GCC unroll 16
    for (uint32_t j = 0; j < n; ++j) ti[j] = MulAdd2(u, m[j], ti[j], carry, &carry);
    uint64_t sum = ti[n] + carry;
    uint64_t c = sum < carry;
    sum += extra;
    c += sum < extra;
    ti[n] = sum;
    extra = c;
  }
  // Below 2m: one subtraction at most.
  uint64_t* high = t + n;
  bool ge = extra != 0;
  if (!ge) {
    ge = true;
    for (uint32_t i = n; i-- > 0;) {
      if (high[i] != m[i]) {
        ge = high[i] > m[i];
        break;
      }
    }
  }
  if (ge) SubtractInPlace(high, m, n);
  std::memcpy(r, high, sizeof(uint64_t) * n);
}

// The fixed-window ladder over base^1 .. base^(2^k - 1); g is the reduced base, acc gets
// the result. Only the table of powers' working size depends on n.
template <uint32_t kFixed, bool kMontgomery>
void ModExpCore(const uint64_t* g, const BigNumber& exponent, uint32_t topBit, uint32_t k,
                uint32_t n, const Divisor& div, const Montgomery& mont, uint64_t* acc) {
  // The table of powers base^1 .. base^(2^k - 1), in this frame.
  uint64_t table[(1u << 6)][kLimbs];
  uint64_t product[2 * kLimbs + 1];
  auto mulMod = [&](const uint64_t* x, const uint64_t* y, uint64_t* r) {
    MulLimbs<kFixed>(x, n, y, n, product);
    if (kMontgomery) {
      MontgomeryReduce<kFixed>(product, mont, n, r);
    } else {
      RemainderLimbs<kFixed>(product, 2 * n, div, r);
    }
  };
  auto sqrMod = [&](const uint64_t* x, uint64_t* r) {
    SquareLimbs<kFixed>(x, n, product);
    if (kMontgomery) {
      MontgomeryReduce<kFixed>(product, mont, n, r);
    } else {
      RemainderLimbs<kFixed>(product, 2 * n, div, r);
    }
  };
  const uint32_t entries = 1u << k;
  std::memcpy(table[1], g, sizeof(uint64_t) * n);
  for (uint32_t i = 2; i < entries; ++i) {
    if (i & 1) {
      mulMod(table[i - 1], g, table[i]);
    } else {
      sqrMod(table[i / 2], table[i]);
    }
  }

  auto bitAt = [&](uint32_t index) -> uint32_t {
    return (exponent.word[1 + index / 32] >> (index % 32)) & 1;
  };
  const uint32_t bits = topBit + 1;
  uint32_t first = bits % k;
  if (first == 0) first = k;
  uint32_t window = 0;
  uint32_t pos = bits;  // bits above pos are consumed
  for (uint32_t i = 0; i < first; ++i) window = (window << 1) | bitAt(--pos);
  std::memcpy(acc, table[window], sizeof(uint64_t) * n);
  while (pos > 0) {
    window = 0;
    for (uint32_t i = 0; i < k; ++i) {
      window = (window << 1) | bitAt(--pos);
      sqrMod(acc, acc);
    }
    if (window != 0) mulMod(acc, table[window], acc);
  }
  if (kMontgomery) {
    std::memcpy(product, acc, sizeof(uint64_t) * n);
    std::memset(product + n, 0, sizeof(uint64_t) * n);
    MontgomeryReduce<kFixed>(product, mont, n, acc);
  }
}

}  // namespace

int BigNumberFromBytes(const uint8_t* bytes, uint32_t length, BigNumber* out) {
  if (out == nullptr || (length != 0 && bytes == nullptr)) return -1;
  uint32_t start = 0;
  while (start < length && bytes[start] == 0) ++start;
  const uint32_t significant = length - start;
  if (significant > kMaxBytes) return -1;
  const uint32_t words = (significant + 3) / 4;
  for (uint32_t w = 1; w <= words; ++w) out->word[w] = 0;
  for (uint32_t i = 0; i < significant; ++i) {
    const uint32_t fromEnd = significant - 1 - i;
    out->word[1 + fromEnd / 4] |= uint32_t{bytes[start + i]} << (8 * (fromEnd % 4));
  }
  out->word[0] = words;
  return 0;
}

int BigNumberHighestBit(const BigNumber& a, uint32_t* index) {
  if (index == nullptr || a.word[0] == 0 || a.word[0] > kBigNumberWords) return -1;
  const uint32_t top = a.word[a.word[0]];
  if (top == 0) return -1;
  *index = 32 * (a.word[0] - 1) + 31 - static_cast<uint32_t>(__builtin_clz(top));
  return 0;
}

int BigNumberToBytes(const BigNumber& a, uint8_t* out, uint32_t* length) {
  if (length == nullptr || a.word[0] > kBigNumberWords) return -1;
  uint32_t needed = 0;
  uint32_t bit = 0;
  if (BigNumberHighestBit(a, &bit) == 0) needed = bit / 8 + 1;
  if (*length < needed) {
    *length = needed;
    return -1;
  }
  const uint32_t total = *length;
  if (total == 0) return 0;
  if (out == nullptr) return -1;
  std::memset(out, 0, total - needed);
  for (uint32_t i = 0; i < needed; ++i) {
    out[total - 1 - i] = static_cast<uint8_t>(a.word[1 + i / 4] >> (8 * (i % 4)));
  }
  return 0;
}

int BigNumberCompare(const BigNumber& a, const BigNumber& b) {
  if (a.word[0] != b.word[0]) return a.word[0] < b.word[0] ? 1 : -1;
  for (uint32_t i = a.word[0]; i >= 1; --i) {
    if (a.word[i] != b.word[i]) return a.word[i] < b.word[i] ? 1 : -1;
  }
  return 0;
}

int BigNumberShiftLeft(const BigNumber& a, uint32_t bits, BigNumber* out) {
  if (out == nullptr || a.word[0] > kBigNumberWords) return -1;
  const uint32_t n = a.word[0];
  const uint32_t wordShift = bits / 32;
  const uint32_t bitShift = bits % 32;
  if (static_cast<uint64_t>(n) + wordShift + 1 > kBigNumberWords) return -1;
  if (n == 0) {
    out->word[0] = 0;
    return 0;
  }
  // From the top down, so that out may be a.
  out->word[n + wordShift + 1] = bitShift == 0 ? 0 : a.word[n] >> (32 - bitShift);
  for (uint32_t i = n; i >= 1; --i) {
    const uint32_t lower = (bitShift == 0 || i == 1) ? 0 : a.word[i - 1] >> (32 - bitShift);
    out->word[i + wordShift] = (a.word[i] << bitShift) | lower;
  }
  for (uint32_t i = 1; i <= wordShift; ++i) out->word[i] = 0;
  uint32_t used = n + wordShift + 1;
  while (used > 0 && out->word[used] == 0) --used;
  out->word[0] = used;
  return 0;
}

int BigNumberShiftRight(const BigNumber& a, uint32_t bits, BigNumber* out) {
  if (out == nullptr || a.word[0] > kBigNumberWords) return -1;
  const uint32_t n = a.word[0];
  const uint32_t wordShift = bits / 32;
  const uint32_t bitShift = bits % 32;
  if (wordShift >= n) {
    out->word[0] = 0;
    return 0;
  }
  const uint32_t m = n - wordShift;
  for (uint32_t i = 1; i <= m; ++i) {
    const uint32_t src = i + wordShift;
    const uint32_t upper = (bitShift == 0 || src == n) ? 0 : a.word[src + 1] << (32 - bitShift);
    out->word[i] = (a.word[src] >> bitShift) | upper;
  }
  uint32_t used = m;
  while (used > 0 && out->word[used] == 0) --used;
  out->word[0] = used;
  return 0;
}

int BigNumberMultiply(const BigNumber& a, const BigNumber& b, BigNumber* out) {
  if (out == nullptr || a.word[0] > kBigNumberWords || b.word[0] > kBigNumberWords) return -1;
  if (a.word[0] + b.word[0] > kBigNumberWords + 1) return -1;  // cannot fit
  uint32_t na, nb;
  LimbsOf(a, &na);
  LimbsOf(b, &nb);
  if (na == 0 || nb == 0) {
    out->word[0] = 0;
    return 0;
  }
  uint64_t x[kLimbs], y[kLimbs], r[2 * kLimbs];
  ToLimbs(a, x, na);
  ToLimbs(b, y, nb);
  MulLimbs(x, na, y, nb, r);
  return FromLimbs(r, na + nb, out);
}

int BigNumberSquare(const BigNumber& a, BigNumber* out) {
  if (out == nullptr || a.word[0] > kBigNumberWords) return -1;
  if (2 * a.word[0] > kBigNumberWords + 1) return -1;
  uint32_t n;
  LimbsOf(a, &n);
  if (n == 0) {
    out->word[0] = 0;
    return 0;
  }
  uint64_t x[kLimbs], r[2 * kLimbs];
  ToLimbs(a, x, n);
  SquareLimbs(x, n, r);
  return FromLimbs(r, 2 * n, out);
}

int BigNumberRemainder(const BigNumber& a, const BigNumber& divisor, BigNumber* out) {
  if (out == nullptr || a.word[0] > kBigNumberWords || divisor.word[0] > kBigNumberWords) return -1;
  if (divisor.word[0] == 0) return -1;
  if (BigNumberCompare(a, divisor) > 0) {  // a < divisor
    if (out != &a) std::memcpy(out->word, a.word, sizeof(uint32_t) * (a.word[0] + 1));
    return 0;
  }
  uint32_t na, nd;
  LimbsOf(a, &na);
  LimbsOf(divisor, &nd);
  uint64_t m[kLimbs], u[kLimbs + 1], r[kLimbs];
  ToLimbs(divisor, m, nd);
  ToLimbs(a, u, na);
  Divisor div;
  PrepareDivisor(m, nd, &div);
  RemainderLimbs(u, na, div, r);
  return FromLimbs(r, nd, out);
}

int BigNumberModExp(const BigNumber& base, const BigNumber& exponent, BigNumber* result,
                    const BigNumber& modulus) {
  if (result == nullptr || base.word[0] > kBigNumberWords || exponent.word[0] > kBigNumberWords ||
      modulus.word[0] > kBigNumberWords) {
    return -1;
  }
  const uint32_t modWords = modulus.word[0];
  if (modWords == 0 || modWords > kBigNumberWords / 2) return -1;
  uint32_t n;
  LimbsOf(modulus, &n);
  uint64_t m[kLimbs];
  ToLimbs(modulus, m, n);
  Divisor div;
  PrepareDivisor(m, n, &div);

  uint32_t topBit = 0;
  if (BigNumberHighestBit(exponent, &topBit) != 0) {
    // x^0 = 1, which is 0 modulo 1.
    const bool one = modWords == 1 && modulus.word[1] == 1;
    result->word[0] = one ? 0 : 1;
    result->word[1] = 1;
    return 0;
  }

  // base mod modulus
  uint64_t g[kLimbs] = {};
  {
    uint32_t nb;
    LimbsOf(base, &nb);
    uint64_t u[kLimbs + 1] = {};
    ToLimbs(base, u, nb);
    if (nb < n) {
      std::memcpy(g, u, sizeof(uint64_t) * nb);
    } else {
      RemainderLimbs(u, nb, div, g);
    }
  }
  if (Used(g, n) == 0) {
    result->word[0] = 0;
    return 0;
  }

  const uint32_t k = modWords <= 16 ? 4 : (modWords <= 24 ? 5 : 6);
  uint64_t acc[kLimbs];
  if ((m[0] & 1) == 0) {
    ModExpCore<0, false>(g, exponent, topBit, k, n, div, Montgomery{m, 0}, acc);
    return FromLimbs(acc, n, result);
  }
  // Odd modulus: the base enters as g * 2^(64n) mod m, by long division.
  const Montgomery mont{m, NegativeInverse(m[0])};
  {
    uint64_t u[2 * kLimbs + 1] = {};
    std::memcpy(u + n, g, sizeof(uint64_t) * n);
    RemainderLimbs(u, 2 * n, div, g);
  }
  switch (n) {
    case 8: ModExpCore<8, true>(g, exponent, topBit, k, n, div, mont, acc); break;
    case 16: ModExpCore<16, true>(g, exponent, topBit, k, n, div, mont, acc); break;
    case 32: ModExpCore<32, true>(g, exponent, topBit, k, n, div, mont, acc); break;
    default: ModExpCore<0, true>(g, exponent, topBit, k, n, div, mont, acc); break;
  }
  return FromLimbs(acc, n, result);
}

}  // namespace velmora
