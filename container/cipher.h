// Block cipher half of the container toolkit: AES-128 described by a constant descriptor,
// CBC chaining over a caller-assembled context, PKCS#7 padding removal.
// Every operation returns 0 for success and -1 for failure. Nothing here obtains memory:
// contexts, buffers and key schedules are the caller's storage.
#pragma once

#include <cstdint>

namespace velmora {

// Cipher context option bits (or-ed with the descriptor's flags).
constexpr uint32_t kCipherPadding = 1;  // PKCS#7 padding is removed after decryption
constexpr uint32_t kCipherIvGiven = 4;  // CipherSetup copies the IV into the chaining register

constexpr int kCipherEncrypt = 0;
constexpr int kCipherDecrypt = 1;

struct CipherContext;

using CipherKeySetupOperation = int (*)(const uint8_t* key, uint32_t keyBits, void* keySchedule,
                                        uint32_t blockLength);
// Copies each input block to the output and transforms it there.
using CipherBlockOperation = int (*)(uint32_t blocks, const uint8_t* input, uint8_t* output,
                                     int direction, const void* keySchedule);
using CipherModeOperation = int (*)(uint32_t blocks, const uint8_t* input, uint8_t* output,
                                    int direction, CipherContext* context);

struct CipherDescriptor {
  uint32_t blockLength;
  uint32_t flags;
  CipherKeySetupOperation keySetup;
  CipherBlockOperation block;
};

struct CipherContext {
  uint32_t blockLength;
  uint32_t ivLength;
  uint8_t* partial;  // one block of caller storage
  uint32_t held;
  uint32_t flags;
  uint8_t* chain;     // one block of caller storage
  void* keySchedule;  // caller storage for the expanded key
  CipherModeOperation mode;
  CipherKeySetupOperation keySetup;
  CipherBlockOperation block;
};

// AES key schedule: the key length in bytes, the encryption round keys and the round keys
// of the equivalent inverse cipher, which is what decryption runs on.
struct AesKeySchedule {
  uint32_t keyBytes;
  uint32_t encrypt[44];
  uint32_t decrypt[44];
};

extern const CipherDescriptor kAesDescriptor;

// The CBC mode operation (the only chaining mode).
int CbcMode(uint32_t blocks, const uint8_t* input, uint8_t* output, int direction,
            CipherContext* context);

// Assembles a context from a descriptor and the caller's storage; the held count starts at 0.
CipherContext MakeCipherContext(const CipherDescriptor& descriptor, uint8_t* partial,
                                uint8_t* chain, void* keySchedule, CipherModeOperation mode,
                                uint32_t options);

int CipherSetup(const uint8_t* key, uint32_t keyBits, const uint8_t* iv, CipherContext* context,
                uint32_t blockLength);

// One final call per message. Only decryption is provided: the program never encrypts.
// On success *capacity becomes the number of plaintext bytes written; when the capacity is
// too small the needed length is written back.
int CipherUpdate(const uint8_t* input, uint32_t inputBits, uint8_t* output, uint32_t* capacity,
                 int direction, CipherContext* context, int final);

// The portable table-driven block operation, whatever the processor offers; lets tests hold
// the two implementations against each other.
int AesBlockPortable(uint32_t blocks, const uint8_t* input, uint8_t* output, int direction,
                     const void* keySchedule);
// True when the block operation of kAesDescriptor runs on the processor's AES instructions.
bool AesUsesHardware();

}  // namespace velmora
