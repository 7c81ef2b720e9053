#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "container/digest.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::ToHex;

struct Sha1 {
  uint8_t partial[kSha1BlockLength]{};
  uint32_t state[kSha1StateWords]{};
  DigestContext context = MakeDigestContext(kSha1Descriptor, partial, state);
};

// Feeds the message in the given piece lengths (the last piece final) and returns the hex
// digest, or "fail".
std::string Digest(const uint8_t* data, size_t length, std::vector<size_t> pieces) {
  Sha1 sha;
  if (DigestInit(&sha.context, nullptr) != 0) return "fail";
  uint8_t out[20];
  size_t done = 0;
  for (size_t piece : pieces) {
    if (DigestUpdate(data + done, static_cast<uint32_t>(piece * 8), nullptr, &sha.context, 0) != 0) {
      return "fail";
    }
    done += piece;
  }
  if (DigestUpdate(data + done, static_cast<uint32_t>((length - done) * 8), out, &sha.context, 1) != 0) {
    return "fail";
  }
  return ToHex(out, 20);
}

TEST(Sha1, PublishedVectorsWholeAndInPieces) {
  struct Vector {
    std::string message;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
       "rsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.message.substr(0, 20));
    const auto* data = reinterpret_cast<const uint8_t*>(v.message.data());
    EXPECT_EQ(Digest(data, v.message.size(), {}), v.digest);
    if (v.message.size() >= 6) {
      EXPECT_EQ(Digest(data, v.message.size(), {2, 4}), v.digest);
    }
  }
}

// Around the padding split (55/56 bytes left in the last block) and the block boundary,
// every way of cutting the message in two, and the 2-4-rest cut of unsealing, must agree
// with OpenSSL.
TEST(Sha1, StreamingAgreesWithOpensslAtEveryLengthAndCut) {
  std::mt19937 rng(99);
  for (size_t n = 0; n <= 200; ++n) {
    SCOPED_TRACE(n);
    const auto data = testing::RandomBytes(rng, n);
    const auto want = testing::OpensslSha1(data.data(), n);
    const std::string expected = ToHex(want.data(), 20);
    ASSERT_EQ(Digest(data.data(), n, {}), expected);
    if (n >= 6) {
      ASSERT_EQ(Digest(data.data(), n, {2, 4}), expected);
    }
    if (n <= 130) {
      for (size_t cut = 0; cut <= n; ++cut) ASSERT_EQ(Digest(data.data(), n, {cut}), expected) << cut;
    }
  }
}

TEST(Sha1, RefusesPartialBytes) {
  Sha1 sha;
  ASSERT_EQ(DigestInit(&sha.context, nullptr), 0);
  const uint8_t data[2] = {0x61, 0x62};
  uint8_t out[20];
  EXPECT_EQ(DigestUpdate(data, 12, nullptr, &sha.context, 0), -1);
  EXPECT_EQ(DigestUpdate(data, 9, out, &sha.context, 1), -1);
}

}  // namespace
}  // namespace velmora
