#include "container/rsa.h"

#include <cstring>

namespace velmora {
namespace {

constexpr uint32_t kMaxModulusBytes = kBigNumberWords * 4;
constexpr uint32_t kMinPaddingBytes = 8;  // 0xFF bytes that must follow the block type
constexpr uint8_t kBlockTypeSignature = 0x01;

// DER: SEQUENCE { SEQUENCE { OID 1.3.14.3.2.26, NULL }, OCTET STRING (20) }, then the digest.
constexpr uint8_t kSha1DigestInfoPrefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                             0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr uint32_t kSha1Length = 20;

}  // namespace

int RsaPublicOperation(const uint8_t* signature, uint32_t signatureLength, uint8_t* output,
                       uint32_t* outputLength, const RsaPublicKey& key) {
  if (signature == nullptr || outputLength == nullptr) return -1;
  BigNumber s;
  if (BigNumberFromBytes(signature, signatureLength, &s) != 0) return -1;
  if (BigNumberCompare(s, key.modulus) != 1) return -1;  // must be below the modulus
  BigNumber m;
  if (BigNumberModExp(s, key.exponent, &m, key.modulus) != 0) return -1;
  return BigNumberToBytes(m, output, outputLength);
}

int VerifySignature(const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                    uint32_t signatureLength, const RsaPublicKey& key, VerificationKind kind) {
  if (digest == nullptr || kind != VerificationKind::kSha1DigestInfo) return -1;
  if (key.modulusLength < 2 || key.modulusLength > kMaxModulusBytes) return -1;
  // The block is the decrypted value without its leading zero byte: a value needing the
  // full modulus length does not fit and fails.
  uint8_t block[kMaxModulusBytes];
  uint32_t blockLength = key.modulusLength - 1;
  if (RsaPublicOperation(signature, signatureLength, block, &blockLength, key) != 0) return -1;
  blockLength = key.modulusLength - 1;
  //   01 | FF x >= 8 | 00 | DigestInfo prefix (15) | digest (20)
  if (blockLength < 1 + kMinPaddingBytes + 2) return -1;
  if (block[0] != kBlockTypeSignature) return -1;
  uint32_t pos = 1;
  for (; pos < 1 + kMinPaddingBytes; ++pos) {
    if (block[pos] != 0xFF) return -1;
  }
  while (pos < blockLength - 2 && block[pos] == 0xFF) ++pos;
  if (block[pos] != 0x00) return -1;
  const uint32_t data = pos + 1;
  const uint32_t dataLength = key.modulusLength - data - 1;
  if (dataLength != sizeof(kSha1DigestInfoPrefix) + kSha1Length) return -1;
  if (digestLength != kSha1Length) return -1;
  if (std::memcmp(block + data, kSha1DigestInfoPrefix, sizeof(kSha1DigestInfoPrefix)) != 0) {
    return -1;
  }
  if (std::memcmp(block + data + sizeof(kSha1DigestInfoPrefix), digest, kSha1Length) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace velmora
