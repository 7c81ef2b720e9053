// Digest half of the container toolkit: SHA-1 described by a constant descriptor and run
// through a caller-assembled context that holds back a partial block between calls.
// Every operation returns 0 for success and -1 for failure; lengths are given in bits and
// must be whole bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

using DigestInitOperation = int (*)(uint32_t* state);
using DigestBlocksOperation = int (*)(uint32_t blocks, const uint8_t* input, uint32_t* state);
using DigestFinalOperation = int (*)(const uint8_t* input, uint32_t inputBits, uint8_t* output,
                                     uint32_t* state);

struct DigestDescriptor {
  uint32_t digestLength;
  uint32_t blockLength;
  DigestInitOperation init;
  DigestBlocksOperation blocks;
  DigestFinalOperation final;
};

struct DigestContext {
  uint32_t digestLength;
  uint32_t blockLength;
  uint8_t* partial;  // one block of caller storage
  uint32_t held;
  uint32_t* state;  // SHA-1: five chaining words, then the bit count, low word first
  DigestInitOperation init;
  DigestBlocksOperation blocks;
  DigestFinalOperation final;
};

constexpr uint32_t kSha1DigestLength = 20;
constexpr uint32_t kSha1BlockLength = 64;
constexpr uint32_t kSha1StateWords = 7;

extern const DigestDescriptor kSha1Descriptor;

DigestContext MakeDigestContext(const DigestDescriptor& descriptor, uint8_t* partial,
                                uint32_t* state);

// The second argument is handed to the init operation; SHA-1 ignores it.
int DigestInit(DigestContext* context, const void* parameter);

// Streaming: any number of calls, the final flag on the last, which writes the digest.
int DigestUpdate(const uint8_t* input, uint32_t inputBits, uint8_t* output,
                 DigestContext* context, int final);

// The SHA-1 of bytes of any length as 40 lower-case hexadecimal digits (records and backups
// name their contents by it).
std::string Sha1Hex(std::string_view bytes);

}  // namespace velmora
