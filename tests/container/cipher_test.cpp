#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "container/cipher.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::FromHex;
using testing::OpensslCbcEncrypt;
using testing::ToHex;

// A context over storage of its own, as unsealing assembles it.
struct Aes {
  AesKeySchedule schedule{};
  uint8_t partial[16]{};
  uint8_t chain[16]{};
  CipherContext context;

  explicit Aes(uint32_t options)
      : context(MakeCipherContext(kAesDescriptor, partial, chain, &schedule, CbcMode, options)) {}

  int Setup(const std::vector<uint8_t>& key, const std::vector<uint8_t>& iv) {
    return CipherSetup(key.data(), 128, iv.data(), &context, 16);
  }
  int Decrypt(const uint8_t* in, uint32_t length, uint8_t* out, uint32_t* capacity) {
    return CipherUpdate(in, length * 8, out, capacity, kCipherDecrypt, &context, 1);
  }
};

TEST(AesBlock, Fips197ExampleBothImplementations) {
  // Key expansion example key (round 10 key) and the AES-128 cipher example.
  AesKeySchedule expansion{};
  const auto expansionKey = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  ASSERT_EQ(kAesDescriptor.keySetup(expansionKey.data(), 128, &expansion, 16), 0);
  const uint32_t lastRound[4] = {0xd014f9a8, 0xc9ee2589, 0xe13f0cc8, 0xb6630ca6};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(expansion.encrypt[40 + i], lastRound[i]);
    EXPECT_EQ(expansion.decrypt[i], lastRound[i]);  // the inverse cipher starts with it
  }

  const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  const auto plain = FromHex("00112233445566778899aabbccddeeff");
  const auto cipher = FromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
  AesKeySchedule ks{};
  ASSERT_EQ(kAesDescriptor.keySetup(key.data(), 128, &ks, 16), 0);
  for (auto block : {kAesDescriptor.block, &AesBlockPortable}) {
    uint8_t out[16];
    ASSERT_EQ(block(1, cipher.data(), out, kCipherDecrypt, &ks), 0);
    EXPECT_EQ(ToHex(out, 16), ToHex(plain.data(), 16));
    ASSERT_EQ(block(1, plain.data(), out, kCipherEncrypt, &ks), 0);
    EXPECT_EQ(ToHex(out, 16), ToHex(cipher.data(), 16));
  }
}

TEST(AesBlock, KeySetupRefusesOtherBlockLengths) {
  AesKeySchedule ks{};
  const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(kAesDescriptor.keySetup(key.data(), 128, &ks, 8), -1);
  EXPECT_EQ(kAesDescriptor.keySetup(key.data(), 128, &ks, 32), -1);
  Aes aes(kCipherPadding | kCipherIvGiven);
  const std::vector<uint8_t> iv(16, 0);
  EXPECT_EQ(CipherSetup(key.data(), 128, iv.data(), &aes.context, 24), -1);
}

TEST(AesBlock, PortableAndHardwareAgreeOnRandomBlocks) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    const auto key = testing::RandomBytes(rng, 16);
    const auto data = testing::RandomBytes(rng, 16 * 37);
    AesKeySchedule ks{};
    ASSERT_EQ(kAesDescriptor.keySetup(key.data(), 128, &ks, 16), 0);
    std::vector<uint8_t> a(data.size()), b(data.size());
    for (int direction : {kCipherDecrypt, kCipherEncrypt}) {
      ASSERT_EQ(kAesDescriptor.block(37, data.data(), a.data(), direction, &ks), 0);
      ASSERT_EQ(AesBlockPortable(37, data.data(), b.data(), direction, &ks), 0);
      EXPECT_EQ(a, b);
    }
  }
}

TEST(CbcDecrypt, NistCbcAes128InPlaceAndApart) {
  const auto key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const auto iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const auto cipher = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  const auto plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  for (bool inPlace : {true, false}) {
    SCOPED_TRACE(inPlace ? "in place" : "apart");
    Aes aes(kCipherIvGiven);  // no padding: all four blocks come back
    ASSERT_EQ(aes.Setup(key, iv), 0);
    std::vector<uint8_t> buffer = cipher;
    std::vector<uint8_t> out(cipher.size());
    uint8_t* target = inPlace ? buffer.data() : out.data();
    uint32_t capacity = 64;
    ASSERT_EQ(aes.Decrypt(buffer.data(), 64, target, &capacity), 0);
    EXPECT_EQ(capacity, 64u);
    EXPECT_EQ(ToHex(target, 64), ToHex(plain.data(), 64));
  }
}

TEST(CbcDecrypt, PaddingOfTheLastBlock) {
  const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  const auto iv = FromHex("f0e0d0c0b0a090807060504030201000");
  struct Case {
    const char* name;
    std::vector<uint8_t> tail;  // the last plaintext bytes; the rest of 32 bytes is 'm'
    int result;
    uint32_t length;
  };
  const Case cases[] = {
      {"one byte of 1", {1}, 0, 31},
      {"a full block of 16", std::vector<uint8_t>(16, 16), 0, 16},
      {"three bytes of 3", {3, 3, 3}, 0, 29},
      {"last byte 0", {0}, -1, 0},
      {"last byte 17", {17}, -1, 0},
      {"last byte 255", {255}, -1, 0},
      {"3 with one differing byte", {3, 2, 3}, -1, 0},
      {"16 with the first byte differing", [] {
         std::vector<uint8_t> v(16, 16);
         v[0] = 15;
         return v;
       }(), -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> plain(32, 'm');
    std::copy(c.tail.begin(), c.tail.end(), plain.end() - static_cast<long>(c.tail.size()));
    std::vector<uint8_t> buffer = OpensslCbcEncrypt(key, iv.data(), plain, false);
    ASSERT_EQ(buffer.size(), 32u);
    Aes aes(kCipherPadding | kCipherIvGiven);
    ASSERT_EQ(aes.Setup(key, iv), 0);
    uint32_t capacity = 32;
    ASSERT_EQ(aes.Decrypt(buffer.data(), 32, buffer.data(), &capacity), c.result);
    if (c.result == 0) {
      EXPECT_EQ(capacity, c.length);
      EXPECT_EQ(0, std::memcmp(buffer.data(), plain.data(), c.length));
    }
  }
}

TEST(CbcDecrypt, RefusesLengthsBeforeWritingAnything) {
  const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  const std::vector<uint8_t> iv(16, 0);
  const std::vector<uint8_t> input(48, 0x5a);
  for (uint32_t length : {0u, 1u, 15u, 17u, 33u}) {
    SCOPED_TRACE(length);
    Aes aes(kCipherPadding | kCipherIvGiven);
    ASSERT_EQ(aes.Setup(key, iv), 0);
    std::vector<uint8_t> out(48, 0xAA);
    uint32_t capacity = 48;
    EXPECT_EQ(aes.Decrypt(input.data(), length, out.data(), &capacity), -1);
    EXPECT_EQ(out, std::vector<uint8_t>(48, 0xAA));
  }
  // Too small an output: the needed length is written back.
  Aes aes(kCipherPadding | kCipherIvGiven);
  ASSERT_EQ(aes.Setup(key, iv), 0);
  std::vector<uint8_t> out(48, 0xAA);
  uint32_t capacity = 31;
  EXPECT_EQ(aes.Decrypt(input.data(), 32, out.data(), &capacity), -1);
  EXPECT_EQ(capacity, 32u);
  EXPECT_EQ(out, std::vector<uint8_t>(48, 0xAA));
}

TEST(CbcDecrypt, OpensRandomOpensslCiphertexts) {
  std::mt19937 rng(1234);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  lengths.push_back(1000);
  lengths.push_back(65536 + 5);
  for (size_t n : lengths) {
    SCOPED_TRACE(n);
    const auto key = testing::RandomBytes(rng, 16);
    const auto iv = testing::RandomBytes(rng, 16);
    const auto plain = testing::RandomBytes(rng, n);
    std::vector<uint8_t> buffer = OpensslCbcEncrypt(key, iv.data(), plain, true);
    Aes aes(kCipherPadding | kCipherIvGiven);
    ASSERT_EQ(aes.Setup(key, iv), 0);
    uint32_t capacity = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(aes.Decrypt(buffer.data(), capacity, buffer.data(), &capacity), 0);
    ASSERT_EQ(capacity, n);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buffer.begin()));
  }
}

}  // namespace
}  // namespace velmora
