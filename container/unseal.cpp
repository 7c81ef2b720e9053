#include "container/unseal.h"

#include <cstring>
#include <limits>

#include "container/cipher.h"
#include "container/digest.h"
#include "platform/byte_order.h"

namespace velmora {
namespace {

constexpr size_t kVersionOffset = 0;
constexpr size_t kIvPrefixOffset = 2;
constexpr size_t kSignatureLengthOffset = 6;
constexpr size_t kSignatureOffset = 10;
constexpr size_t kAesBlockLength = 16;

}  // namespace

bool UnsealContainer(uint8_t** position, size_t* length, const ContainerKeys& keys) {
  if (position == nullptr || length == nullptr || *position == nullptr) return false;
  if (*length < kPayloadHeaderLength) return false;
  uint8_t* payload = *position;
  const size_t cipherLength = *length - kPayloadHeaderLength;
  // The toolkit counts lengths in bits in 32-bit numbers; a larger payload cannot be a map
  // and would wrap the count.
  if (cipherLength > std::numeric_limits<uint32_t>::max() / 8) return false;

  if (payload[kVersionOffset] != kPayloadVersion[0] ||
      payload[kVersionOffset + 1] != kPayloadVersion[1]) {
    return false;
  }
  uint8_t iv[kAesBlockLength];
  std::memcpy(iv, payload + kIvPrefixOffset, kIvPrefixLength);
  std::memcpy(iv + kIvPrefixLength, keys.ivSuffix, kIvSuffixLength);
  const uint32_t signatureLength = LoadBe32(payload + kSignatureLengthOffset);
  if (signatureLength != kPayloadSignatureLength) return false;
  uint8_t signature[kPayloadSignatureLength];
  std::memcpy(signature, payload + kSignatureOffset, kPayloadSignatureLength);

  uint8_t* text = payload + kPayloadHeaderLength;
  AesKeySchedule schedule;
  uint8_t partial[kAesBlockLength];
  uint8_t chain[kAesBlockLength];
  CipherContext cipher = MakeCipherContext(kAesDescriptor, partial, chain, &schedule, CbcMode,
                                           kCipherPadding | kCipherIvGiven);
  if (CipherSetup(keys.aesKey, kAesKeyLength * 8, iv, &cipher, kAesBlockLength) != 0) return false;
  uint32_t textLength = static_cast<uint32_t>(cipherLength);
  if (CipherUpdate(text, static_cast<uint32_t>(cipherLength * 8), text, &textLength,
                   kCipherDecrypt, &cipher, 1) != 0) {
    return false;
  }

  uint8_t block[kSha1BlockLength];
  uint32_t state[kSha1StateWords];
  DigestContext sha = MakeDigestContext(kSha1Descriptor, block, state);
  uint8_t digest[kSha1DigestLength];
  if (DigestInit(&sha, nullptr) != 0) return false;
  if (DigestUpdate(payload + kVersionOffset, 16, nullptr, &sha, 0) != 0) return false;
  if (DigestUpdate(payload + kIvPrefixOffset, 32, nullptr, &sha, 0) != 0) return false;
  if (DigestUpdate(text, textLength * 8, digest, &sha, 1) != 0) return false;

  if (VerifySignature(digest, kSha1DigestLength, signature, signatureLength, keys.publicKey,
                      VerificationKind::kSha1DigestInfo) != 0) {
    return false;
  }
  *position = text;
  *length = textLength;
  return true;
}

}  // namespace velmora
