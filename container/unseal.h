// Opening the sealed payload appended to the program file: check the header, decrypt the
// map text in place, digest it with the header fields it is signed with, check the signature.
//
// Payload (header numbers big-endian):
//   0   2    format version 00 01
//   2   4    IV prefix (first four IV bytes; signed)
//   6   4    signature length, must be 128
//   10  128  RSA signature
//   138 ...  AES-128-CBC ciphertext of the map text, PKCS#7 padded
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/rsa.h"

namespace velmora {

constexpr size_t kPayloadHeaderLength = 138;
constexpr uint32_t kPayloadSignatureLength = 128;
constexpr uint8_t kPayloadVersion[2] = {0x00, 0x01};
constexpr size_t kAesKeyLength = 16;
constexpr size_t kIvPrefixLength = 4;
constexpr size_t kIvSuffixLength = 12;

// The key material a build holds; the same for every container it opens.
struct ContainerKeys {
  uint8_t aesKey[kAesKeyLength];
  uint8_t ivSuffix[kIvSuffixLength];
  RsaPublicKey publicKey;
};

// The key material compiled into this build (from the key file chosen at configure time).
const ContainerKeys& BuiltInContainerKeys();

// On true, *position becomes the map text (payload start + 138) and *length its length in
// bytes; the text lies in the caller's buffer where the ciphertext was. On false both stay
// unchanged and the buffer from offset 138 on is undefined. Shows and logs nothing.
bool UnsealContainer(uint8_t** position, size_t* length, const ContainerKeys& keys);
bool UnsealContainer(uint8_t** position, size_t* length);

}  // namespace velmora
