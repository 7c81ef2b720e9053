#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <random>
#include <string>
#include <vector>

#include "container/rsa.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::Keys;

const uint8_t kDigest[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                             0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};

std::vector<uint8_t> Sign(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> signature;
  std::string error;
  EXPECT_TRUE(seal::PrivateOperation(Keys().signing, block, &signature, &error)) << error;
  return signature;
}

int Verify(const std::vector<uint8_t>& signature, const uint8_t* digest = kDigest,
           uint32_t digestLength = 20) {
  return VerifySignature(digest, digestLength, signature.data(),
                         static_cast<uint32_t>(signature.size()), Keys().container.publicKey,
                         VerificationKind::kSha1DigestInfo);
}

TEST(RsaPublicOperation, AgreesWithOpensslForTheFullSizeExponent) {
  const auto& material = Keys().material;
  ASSERT_GE(material.exponent[0], 0x01);  // the exponent fills all 128 bytes
  std::mt19937 rng(3);
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* n = BN_bin2bn(material.modulus.data(), 128, nullptr);
  BIGNUM* e = BN_bin2bn(material.exponent.data(), 128, nullptr);
  for (int round = 0; round < 8; ++round) {
    auto s = testing::RandomBytes(rng, 128);
    s[0] = static_cast<uint8_t>(s[0] % material.modulus[0]);
    BIGNUM* bs = BN_bin2bn(s.data(), 128, nullptr);
    BIGNUM* want = BN_new();
    BN_mod_exp(want, bs, e, n, ctx);
    std::vector<uint8_t> expected(128);
    BN_bn2binpad(want, expected.data(), 128);
    std::vector<uint8_t> out(128);
    uint32_t length = 128;
    ASSERT_EQ(RsaPublicOperation(s.data(), 128, out.data(), &length, Keys().container.publicKey), 0);
    EXPECT_EQ(out, expected);
    BN_free(bs);
    BN_free(want);
  }
  BN_free(n);
  BN_free(e);
  BN_CTX_free(ctx);
}

TEST(VerifySignature, AcceptsTheProperBlockOnly) {
  const std::vector<uint8_t> good = seal::SignatureBlock(kDigest);
  EXPECT_EQ(Verify(Sign(good)), 0);

  auto edit = [&](auto change) {
    std::vector<uint8_t> b = good;
    change(b);
    return b;
  };
  // Layout: 00 01 FF.. (90) 00 | 15 bytes DigestInfo prefix | 20 bytes digest, at 93.
  struct Case {
    const char* name;
    std::vector<uint8_t> block;
  };
  const Case cases[] = {
      {"block type 2", edit([](auto& b) { b[1] = 0x02; })},
      {"block type 0", edit([](auto& b) { b[1] = 0x00; })},
      {"only seven 0xFF after the type", [] {
         std::vector<uint8_t> b = seal::SignatureBlock(kDigest);
         b[9] = 0x00;  // 01, seven FF, 00, then FF.. and the DigestInfo
         return b;
       }()},
      {"a padding byte not 0xFF", edit([](auto& b) { b[40] = 0xFE; })},
      {"no zero separator", edit([](auto& b) { b[92] = 0xFF; })},
      {"SHA-256 object identifier", edit([](auto& b) { b[93 + 10] = 0x01; })},
      {"MD5 object identifier", edit([](auto& b) {
         const uint8_t md5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
         std::copy(std::begin(md5), std::end(md5), b.begin() + 90);
         b[89] = 0x00;
       })},
      {"digest differs", edit([](auto& b) { b[127] ^= 0x01; })},
      {"leading byte not zero", edit([](auto& b) { b[0] = 0x01; b[1] = 0x01; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Verify(Sign(c.block)), -1);
  }
  // Every single byte of the block altered in turn: no forgery passes.
  for (size_t i = 0; i < good.size(); ++i) {
    std::vector<uint8_t> b = good;
    b[i] ^= 0x40;
    EXPECT_EQ(Verify(Sign(b)), -1) << "byte " << i;
  }
  // The digest length must be 20.
  EXPECT_EQ(Verify(Sign(good), kDigest, 19), -1);
}

TEST(VerifySignature, SignatureNotBelowTheModulusFails) {
  const auto& n = Keys().material.modulus;
  EXPECT_EQ(Verify(n), -1);
  std::vector<uint8_t> above = n;
  above[127] = static_cast<uint8_t>(above[127] + 1);
  EXPECT_EQ(Verify(above), -1);
  std::vector<uint8_t> out(128);
  uint32_t length = 128;
  EXPECT_EQ(RsaPublicOperation(n.data(), 128, out.data(), &length, Keys().container.publicKey), -1);
}

}  // namespace
}  // namespace velmora
