// Shared helpers of the container tests: one generated key set per test program, hex
// conversion, OpenSSL reference operations.
#pragma once

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "container/unseal.h"
#include "tools/seal/seal.h"
#include "platform/hex.h"

namespace velmora::testing {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(ParseHex(hex, &out)) << hex;
  return out;
}

inline std::string ToHex(const uint8_t* data, size_t length) {
  return HexText(data, length);
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// One key set (public material, signing key and the loader's form) for the whole program.
struct TestKeys {
  seal::KeyMaterial material;
  seal::SigningKey signing;
  ContainerKeys container;
};

inline const TestKeys& Keys() {
  static const TestKeys keys = [] {
    TestKeys k;
    std::string error;
    if (!seal::GenerateKeys(&k.material, &k.signing, &error) ||
        !seal::ToContainerKeys(k.material, &k.container, &error)) {
      ADD_FAILURE() << "key generation: " << error;
    }
    return k;
  }();
  return keys;
}

// OpenSSL's AES-128-CBC encryption, padding on or off.
inline std::vector<uint8_t> OpensslCbcEncrypt(const std::vector<uint8_t>& key, const uint8_t* iv,
                                              const std::vector<uint8_t>& plain, bool padding) {
  std::vector<uint8_t> out(plain.size() + 16);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int a = 0, b = 0;
  EVP_EncryptInit_ex(c, EVP_aes_128_cbc(), nullptr, key.data(), iv);
  EVP_CIPHER_CTX_set_padding(c, padding ? 1 : 0);
  EVP_EncryptUpdate(c, out.data(), &a, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(c, out.data() + a, &b);
  EVP_CIPHER_CTX_free(c);
  out.resize(static_cast<size_t>(a + b));
  return out;
}

inline std::vector<uint8_t> OpensslSha1(const uint8_t* data, size_t length) {
  std::vector<uint8_t> d(20);
  unsigned int n = 0;
  EVP_Digest(data, length, d.data(), &n, EVP_sha1(), nullptr);
  return d;
}

}  // namespace velmora::testing

namespace velmora::testing {

// A payload built from its parts, so that one part at a time can be made wrong while the
// rest stays properly signed and encrypted.
struct PayloadParts {
  std::vector<uint8_t> version = {0x00, 0x01};
  std::vector<uint8_t> ivPrefix = {0x11, 0x22, 0x33, 0x44};
  std::vector<uint8_t> encryptionIvPrefix = {0x11, 0x22, 0x33, 0x44};
  uint32_t signatureLengthField = 128;
  std::string text;
};

inline std::vector<uint8_t> BuildPayload(const PayloadParts& parts) {
  const TestKeys& keys = Keys();
  std::vector<uint8_t> signed_(parts.version);
  signed_.insert(signed_.end(), parts.ivPrefix.begin(), parts.ivPrefix.end());
  signed_.insert(signed_.end(), parts.text.begin(), parts.text.end());
  const auto digest = OpensslSha1(signed_.data(), signed_.size());
  std::vector<uint8_t> signature;
  std::string error;
  EXPECT_TRUE(seal::PrivateOperation(keys.signing, seal::SignatureBlock(digest.data()), &signature, &error));
  std::vector<uint8_t> iv(parts.encryptionIvPrefix);
  iv.insert(iv.end(), keys.material.ivSuffix.begin(), keys.material.ivSuffix.end());
  const std::vector<uint8_t> key(keys.material.aesKey.begin(), keys.material.aesKey.end());
  const auto cipher = OpensslCbcEncrypt(key, iv.data(), std::vector<uint8_t>(parts.text.begin(), parts.text.end()), true);
  std::vector<uint8_t> payload(parts.version);
  payload.insert(payload.end(), parts.ivPrefix.begin(), parts.ivPrefix.end());
  for (int shift = 24; shift >= 0; shift -= 8) {
    payload.push_back(static_cast<uint8_t>(parts.signatureLengthField >> shift));
  }
  payload.insert(payload.end(), signature.begin(), signature.end());
  payload.insert(payload.end(), cipher.begin(), cipher.end());
  return payload;
}

inline const std::string& SampleMap() {
  static const std::string text =
      "[MapFileInfo]\r\nProduct=1234\r\nProvider=0\r\nMapVersion=0x10\r\nSWVersion=5\r\n"
      "Time=120000\r\nDate=240101\r\n[100]\r\nExtra=0\r\nArea=2\r\nAttribute=0\r\n"
      "Operation=2\r\nVersion=1\r\nSize=2\r\n{0x01 0x02}\r\n[CheckSum]\r\nSum=0:0\r\n";
  return text;
}

}  // namespace velmora::testing
