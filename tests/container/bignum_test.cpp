#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <random>
#include <string>
#include <vector>

#include "container/bignum.h"
#include "test_support.h"

namespace velmora {
namespace {

BigNumber FromBytes(const std::vector<uint8_t>& bytes) {
  BigNumber n{};
  EXPECT_EQ(BigNumberFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), &n), 0);
  return n;
}

std::string Hex(const BigNumber& n) {
  std::vector<uint8_t> out(4 * kBigNumberWords);
  uint32_t length = static_cast<uint32_t>(out.size());
  EXPECT_EQ(BigNumberToBytes(n, out.data(), &length), 0);
  size_t first = 0;
  while (first < out.size() && out[first] == 0) ++first;
  return testing::ToHex(out.data() + first, out.size() - first);
}

std::string Hex(const BIGNUM* b) {
  std::vector<uint8_t> out(static_cast<size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  return testing::ToHex(out.data(), out.size());
}

// Random numbers of a given word count, with runs of all-ones and all-zero words mixed in:
// those drive the quotient estimate of the long division to its corrections.
std::vector<uint8_t> RandomNumber(std::mt19937& rng, uint32_t words) {
  std::vector<uint8_t> bytes(4 * words);
  for (uint32_t w = 0; w < words; ++w) {
    const uint32_t kind = rng() % 8;
    for (int i = 0; i < 4; ++i) {
      uint8_t b = static_cast<uint8_t>(rng());
      if (kind == 0) b = 0xFF;
      if (kind == 1 && w != 0) b = 0x00;
      bytes[4 * w + static_cast<uint32_t>(i)] = b;
    }
  }
  if (words > 0 && bytes[0] == 0) bytes[0] = 1;
  return bytes;
}

struct Bn {
  BIGNUM* b;
  explicit Bn(const std::vector<uint8_t>& bytes)
      : b(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr)) {}
  Bn() : b(BN_new()) {}
  ~Bn() { BN_free(b); }
  Bn(const Bn&) = delete;
  Bn& operator=(const Bn&) = delete;
};

TEST(BigNumber, BytesInAndOut) {
  // Leading zeros are skipped; zero uses no words.
  BigNumber n = FromBytes({0, 0, 0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_EQ(n.word[0], 2u);
  EXPECT_EQ(n.word[1], 0x02030405u);
  EXPECT_EQ(n.word[2], 0x01u);
  EXPECT_EQ(FromBytes({0, 0, 0}).word[0], 0u);
  EXPECT_EQ(FromBytes({}).word[0], 0u);

  // 512 significant bytes fit, 513 do not, however many zeros lead.
  std::vector<uint8_t> big(600, 0);
  big[600 - 512] = 0x80;
  EXPECT_EQ(FromBytes(big).word[0], 128u);
  big[600 - 513] = 0x01;
  BigNumber out{};
  EXPECT_EQ(BigNumberFromBytes(big.data(), 600, &out), -1);

  // Right-aligned with zeros before; too short writes back the needed length.
  uint8_t bytes[8];
  uint32_t length = 8;
  ASSERT_EQ(BigNumberToBytes(FromBytes({0x01, 0x02, 0x03}), bytes, &length), 0);
  EXPECT_EQ(testing::ToHex(bytes, 8), "0000000000010203");
  std::vector<uint8_t> full(128, 0x11);
  std::vector<uint8_t> buffer(128, 0xEE);
  length = 127;
  EXPECT_EQ(BigNumberToBytes(FromBytes(full), buffer.data(), &length), -1);
  EXPECT_EQ(length, 128u);
  length = 0;
  EXPECT_EQ(BigNumberToBytes(FromBytes({0}), nullptr, &length), 0);
}

TEST(BigNumber, CompareAndHighestBit) {
  const BigNumber small = FromBytes({0x05});
  const BigNumber large = FromBytes({0x01, 0, 0, 0, 0});
  const BigNumber large2 = FromBytes({0x01, 0, 0, 0, 1});
  EXPECT_EQ(BigNumberCompare(small, large), 1);
  EXPECT_EQ(BigNumberCompare(large, small), -1);
  EXPECT_EQ(BigNumberCompare(large, large2), 1);
  EXPECT_EQ(BigNumberCompare(large2, large2), 0);

  uint32_t bit = 99;
  EXPECT_EQ(BigNumberHighestBit(FromBytes({}), &bit), -1);
  ASSERT_EQ(BigNumberHighestBit(FromBytes({1}), &bit), 0);
  EXPECT_EQ(bit, 0u);
  ASSERT_EQ(BigNumberHighestBit(large, &bit), 0);
  EXPECT_EQ(bit, 32u);
  std::vector<uint8_t> top(512, 0);
  top[0] = 0x80;
  ASSERT_EQ(BigNumberHighestBit(FromBytes(top), &bit), 0);
  EXPECT_EQ(bit, 4095u);
}

TEST(BigNumber, ShiftsAndTheirCapacityRule) {
  const BigNumber n = FromBytes({0x81, 0x02, 0x03, 0x04, 0x05});
  BigNumber r{};
  ASSERT_EQ(BigNumberShiftLeft(n, 37, &r), 0);
  BigNumber back{};
  ASSERT_EQ(BigNumberShiftRight(r, 37, &back), 0);
  EXPECT_EQ(Hex(back), "8102030405");
  ASSERT_EQ(BigNumberShiftRight(n, 33, &r), 0);
  EXPECT_EQ(Hex(r), "40");
  ASSERT_EQ(BigNumberShiftRight(n, 40, &r), 0);
  EXPECT_EQ(r.word[0], 0u);

  // 127 words may move by up to 31 bits; 128 words not at all, even when the top word
  // would stay zero.
  std::vector<uint8_t> words127(4 * 127, 0);
  words127[0] = 0x01;
  const BigNumber a = FromBytes(words127);
  EXPECT_EQ(BigNumberShiftLeft(a, 31, &r), 0);
  EXPECT_EQ(BigNumberShiftLeft(a, 32, &r), -1);
  std::vector<uint8_t> words128(4 * 128, 0);
  words128[3] = 0x01;
  EXPECT_EQ(BigNumberShiftLeft(FromBytes(words128), 0, &r), -1);
}

TEST(BigNumber, ProductsAndRemaindersAgreeWithOpenssl) {
  std::mt19937 rng(42);
  BN_CTX* ctx = BN_CTX_new();
  const uint32_t sizes[] = {1, 2, 3, 5, 16, 31, 32, 33, 64};
  for (uint32_t sa : sizes) {
    for (uint32_t sb : sizes) {
      for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(std::to_string(sa) + "x" + std::to_string(sb));
        const auto xa = RandomNumber(rng, sa), xb = RandomNumber(rng, sb);
        const BigNumber a = FromBytes(xa), b = FromBytes(xb);
        Bn oa(xa), ob(xb), want;
        BigNumber r{};
        ASSERT_EQ(BigNumberMultiply(a, b, &r), 0);
        BN_mul(want.b, oa.b, ob.b, ctx);
        EXPECT_EQ(Hex(r), Hex(want.b));
        ASSERT_EQ(BigNumberRemainder(a, b, &r), 0);
        BN_mod(want.b, oa.b, ob.b, ctx);
        EXPECT_EQ(Hex(r), Hex(want.b));
        if (sb == 1) {
          ASSERT_EQ(BigNumberSquare(a, &r), 0);
          BN_sqr(want.b, oa.b, ctx);
          EXPECT_EQ(Hex(r), Hex(want.b));
        }
      }
    }
  }
  // A product beyond 128 words and a zero divisor fail; a full-capacity dividend works.
  const BigNumber wide = FromBytes(RandomNumber(rng, 100));
  BigNumber r{};
  EXPECT_EQ(BigNumberMultiply(wide, wide, &r), -1);
  EXPECT_EQ(BigNumberSquare(wide, &r), -1);
  EXPECT_EQ(BigNumberRemainder(wide, FromBytes({}), &r), -1);
  const auto fullBytes = RandomNumber(rng, 128), divisorBytes = RandomNumber(rng, 7);
  ASSERT_EQ(BigNumberRemainder(FromBytes(fullBytes), FromBytes(divisorBytes), &r), 0);
  Bn of(fullBytes), od(divisorBytes), want;
  BN_mod(want.b, of.b, od.b, ctx);
  EXPECT_EQ(Hex(r), Hex(want.b));
  BN_CTX_free(ctx);
}

// Divisions whose first quotient estimate is too large: the digit must be corrected by
// adding the divisor back, or comes from a top limb equal to the divisor's.
TEST(BigNumber, RemainderCorrectsItsQuotientEstimate) {
  struct Case {
    const char* dividend;
    const char* divisor;
  };
  const Case cases[] = {
      {"7fffffffffffffff800000000000000000000000000000000000000000000000",
       "800000000000000000000000000000000000000000000001"},
      {"7fffffff800000000000000000000000", "800000000000000000000001"},
      {"80000000000000000000000000000000fffffffffffffffffffffffffffffffe",
       "80000000000000000000000000000000ffffffffffffffff"},
      {"3fffffffffffffffc00000000000000000000000000000000000000000000000",
       "400000000000000000000000000000000000000000000001"},  // shifted by one bit
  };
  BN_CTX* ctx = BN_CTX_new();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dividend);
    const auto a = testing::FromHex(c.dividend), d = testing::FromHex(c.divisor);
    BigNumber r{};
    ASSERT_EQ(BigNumberRemainder(FromBytes(a), FromBytes(d), &r), 0);
    Bn oa(a), od(d), want;
    BN_mod(want.b, oa.b, od.b, ctx);
    EXPECT_EQ(Hex(r), Hex(want.b));
  }
  BN_CTX_free(ctx);
}

TEST(BigNumber, ModExpAgreesWithOpensslAcrossWindowWidths) {
  std::mt19937 rng(5);
  BN_CTX* ctx = BN_CTX_new();
  // Moduli on both sides of the window boundaries (16 / 24 words) and the 32-word size of
  // the program's key; odd and even ones.
  const uint32_t modSizes[] = {1, 2, 15, 16, 17, 24, 25, 32, 33, 64};
  for (uint32_t sm : modSizes) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("modulus words " + std::to_string(sm) + " round " + std::to_string(round));
      auto xm = RandomNumber(rng, sm);
      if (round == 1) xm.back() |= 1;
      if (round == 2) xm.back() &= 0xFE;
      const auto xb = RandomNumber(rng, sm + 1);  // the base is reduced first
      const auto xe = RandomNumber(rng, round == 0 ? sm : static_cast<uint32_t>(1 + rng() % 3));
      Bn om(xm), ob(xb), oe(xe), want;
      if (BN_is_zero(om.b)) continue;
      BN_mod_exp(want.b, ob.b, oe.b, om.b, ctx);
      BigNumber r{};
      ASSERT_EQ(BigNumberModExp(FromBytes(xb), FromBytes(xe), &r, FromBytes(xm)), 0);
      EXPECT_EQ(Hex(r), Hex(want.b));
    }
  }
  BN_CTX_free(ctx);
}

TEST(BigNumber, ModExpEdgeValues) {
  const BigNumber m = FromBytes({0x01, 0x00, 0x00, 0x00, 0x0d});
  BigNumber r{};
  EXPECT_EQ(BigNumberModExp(FromBytes({7}), FromBytes({3}), &r, FromBytes({})), -1);
  ASSERT_EQ(BigNumberModExp(FromBytes({7}), FromBytes({}), &r, m), 0);
  EXPECT_EQ(Hex(r), "01");
  ASSERT_EQ(BigNumberModExp(FromBytes({7}), FromBytes({}), &r, FromBytes({1})), 0);
  EXPECT_EQ(r.word[0], 0u);  // 1 mod 1
  ASSERT_EQ(BigNumberModExp(FromBytes({0x01, 0x00, 0x00, 0x00, 0x0d}), FromBytes({5}), &r, m), 0);
  EXPECT_EQ(r.word[0], 0u);  // the base reduces to zero
  std::vector<uint8_t> wide(4 * 65, 0);
  wide[0] = 1;
  EXPECT_EQ(BigNumberModExp(FromBytes({2}), FromBytes({3}), &r, FromBytes(wide)), -1);
}

}  // namespace
}  // namespace velmora
