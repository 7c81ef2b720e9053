// RSA signature verification with the PKCS#1 v1.5 signature block (block type 1).
// Every operation returns 0 for success and -1 for failure.
#pragma once

#include <cstdint>

#include "container/bignum.h"

namespace velmora {

struct RsaPublicKey {
  uint32_t modulusLength;  // bytes
  BigNumber modulus;
  BigNumber exponent;
};

// The DigestInfo the signed block must carry; SHA-1 is the only kind.
enum class VerificationKind : int { kSha1DigestInfo = 1 };

// signature^exponent mod modulus, written big-endian in exactly *outputLength bytes, zero
// filled on the left. A signature value not below the modulus fails before any
// exponentiation.
int RsaPublicOperation(const uint8_t* signature, uint32_t signatureLength, uint8_t* output,
                       uint32_t* outputLength, const RsaPublicKey& key);

int VerifySignature(const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                    uint32_t signatureLength, const RsaPublicKey& key, VerificationKind kind);

}  // namespace velmora
