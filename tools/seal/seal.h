// Sealing side of the embedded container, on OpenSSL: key generation, key files, the
// sealed payload (sign, then encrypt) and the trailer that closes the program file.
// Functions return true on success; on failure *error says why.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "container/unseal.h"

namespace velmora::seal {

constexpr size_t kModulusBytes = 128;

// What a build compiles in (the key file): AES key, IV suffix, RSA public key.
struct KeyMaterial {
  std::array<uint8_t, kAesKeyLength> aesKey{};
  std::array<uint8_t, kIvSuffixLength> ivSuffix{};
  std::vector<uint8_t> modulus;   // 128 bytes, big-endian
  std::vector<uint8_t> exponent;  // 128 bytes, big-endian; a full-size number
};

// The RSA private key, kept by whoever seals and never compiled into the program.
struct SigningKey {
  std::vector<uint8_t> modulus, publicExponent, privateExponent, prime1, prime2;  // big-endian
};

// A fresh key pair with a random public exponent of the modulus' size, and fresh AES key
// and IV suffix.
bool GenerateKeys(KeyMaterial* keys, SigningKey* signing, std::string* error);

std::string FormatKeyFile(const KeyMaterial& keys);
bool ParseKeyFile(const std::string& text, KeyMaterial* keys, std::string* error);
bool WritePrivateKeyPem(const SigningKey& signing, std::string* pem, std::string* error);
bool ReadPrivateKeyPem(const std::string& pem, SigningKey* signing, std::string* error);

// The form the loader takes.
bool ToContainerKeys(const KeyMaterial& keys, ContainerKeys* out, std::string* error);

// block^d mod n for a 128-byte block below the modulus: the raw private operation, which
// signs when the block is a PKCS#1 v1.5 signature block.
bool PrivateOperation(const SigningKey& signing, const std::vector<uint8_t>& block,
                      std::vector<uint8_t>* out, std::string* error);

// The 128-byte PKCS#1 v1.5 type-1 block carrying the SHA-1 DigestInfo of the digest.
std::vector<uint8_t> SignatureBlock(const uint8_t digest[20]);

// version 00 01 | IV prefix | 00 00 00 80 | signature | AES-128-CBC(map text, PKCS#7).
bool SealPayload(const std::string& mapText, const KeyMaterial& keys, const SigningKey& signing,
                 const std::array<uint8_t, kIvPrefixLength>& ivPrefix, std::vector<uint8_t>* payload,
                 std::string* error);

// 34 bytes: fileSizeExe in bytes 5, 12, 17; "TVX_UDT" at the end; the rest zero.
std::vector<uint8_t> MakeTrailer(uint32_t fileSizeExe);

// program image + payload + trailer. Refuses an image of 16 MiB or more (its length must fit
// the trailer's 24 bits) and an image that already ends in a container.
bool AppendContainer(const std::vector<uint8_t>& program, const std::vector<uint8_t>& payload,
                     std::vector<uint8_t>* out, std::string* error);

bool RandomBytes(uint8_t* out, size_t length);

}  // namespace velmora::seal
