#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "container/unseal.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::BuildPayload;
using testing::Keys;
using testing::PayloadParts;
using testing::SampleMap;

// Unseals a copy; returns the map text, or "<fail>" after checking that the caller's
// position and length were left alone.
std::string Unseal(std::vector<uint8_t> payload) {
  uint8_t* position = payload.data();
  size_t length = payload.size();
  if (!UnsealContainer(&position, &length, Keys().container)) {
    EXPECT_EQ(position, payload.data());
    EXPECT_EQ(length, payload.size());
    return "<fail>";
  }
  EXPECT_EQ(position, payload.data() + kPayloadHeaderLength);
  return std::string(reinterpret_cast<const char*>(position), length);
}

std::vector<uint8_t> Sealed(const std::string& text) {
  std::vector<uint8_t> payload;
  std::string error;
  EXPECT_TRUE(seal::SealPayload(text, Keys().material, Keys().signing, {0xde, 0xad, 0xbe, 0xef},
                                &payload, &error))
      << error;
  return payload;
}

TEST(UnsealContainer, OpensWhatTheSealToolSealed) {
  EXPECT_EQ(Unseal(Sealed(SampleMap())), SampleMap());
  const std::string large(100000, 'z');
  EXPECT_EQ(Unseal(Sealed(large)), large);
}

TEST(UnsealContainer, SmallestPayloads) {
  // 154 bytes: one block of pure padding, an empty but signed map text.
  const auto empty = Sealed("");
  ASSERT_EQ(empty.size(), 154u);
  EXPECT_EQ(Unseal(empty), "");
  // 138 bytes: a header without ciphertext; 137: not even a header.
  EXPECT_EQ(Unseal(std::vector<uint8_t>(empty.begin(), empty.begin() + 138)), "<fail>");
  EXPECT_EQ(Unseal(std::vector<uint8_t>(empty.begin(), empty.begin() + 137)), "<fail>");
  // 16n + 1 bytes of ciphertext.
  auto odd = Sealed(SampleMap());
  odd.push_back(0);
  EXPECT_EQ(Unseal(odd), "<fail>");
}

TEST(UnsealContainer, RefusesMissingArguments) {
  auto payload = Sealed(SampleMap());
  uint8_t* position = payload.data();
  size_t length = payload.size();
  uint8_t* none = nullptr;
  EXPECT_FALSE(UnsealContainer(nullptr, &length, Keys().container));
  EXPECT_FALSE(UnsealContainer(&position, nullptr, Keys().container));
  EXPECT_FALSE(UnsealContainer(&none, &length, Keys().container));
}

// Every bit of the header and of the ciphertext is guarded, by the header checks, the
// padding or the signature.
TEST(UnsealContainer, EveryFlippedBitIsRefused) {
  const auto payload = Sealed(SampleMap());
  for (size_t i = 0; i < payload.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      auto copy = payload;
      copy[i] = static_cast<uint8_t>(copy[i] ^ (1 << bit));
      ASSERT_EQ(Unseal(copy), "<fail>") << "byte " << i << " bit " << bit;
    }
  }
}

TEST(UnsealContainer, ProperlySignedButWrongInOnePart) {
  struct Case {
    const char* name;
    PayloadParts parts;
  };
  auto with = [](auto change) {
    PayloadParts p;
    p.text = SampleMap();
    change(p);
    return p;
  };
  const Case cases[] = {
      {"version 01 00", with([](PayloadParts& p) { p.version = {0x01, 0x00}; })},
      {"version 00 02", with([](PayloadParts& p) { p.version = {0x00, 0x02}; })},
      {"signature length 127", with([](PayloadParts& p) { p.signatureLengthField = 127; })},
      {"signature length 128 << 24", with([](PayloadParts& p) { p.signatureLengthField = 0x80000000u; })},
      {"encrypted under another IV prefix",
       with([](PayloadParts& p) { p.encryptionIvPrefix = {0x11, 0x22, 0x33, 0x45}; })},
  };
  PayloadParts proper;
  proper.text = SampleMap();
  ASSERT_EQ(Unseal(BuildPayload(proper)), SampleMap());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Unseal(BuildPayload(c.parts)), "<fail>");
  }
}

TEST(UnsealContainer, AnotherBuildsKeysDoNotOpenIt) {
  testing::TestKeys other;
  std::string error;
  ASSERT_TRUE(seal::GenerateKeys(&other.material, &other.signing, &error)) << error;
  ASSERT_TRUE(seal::ToContainerKeys(other.material, &other.container, &error)) << error;
  auto payload = Sealed(SampleMap());
  uint8_t* position = payload.data();
  size_t length = payload.size();
  EXPECT_FALSE(UnsealContainer(&position, &length, other.container));
}

}  // namespace
}  // namespace velmora
