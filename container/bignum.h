// Big numbers of fixed capacity for the signature check. Word 0 holds the number of value
// words in use (0 for zero); words 1.. hold the value, least significant first, and the most
// significant word in use is never zero. Every operation returns 0 for success and -1 for
// failure, obtains no memory and allows its output to be one of its inputs.
#pragma once

#include <cstdint>

namespace velmora {

constexpr uint32_t kBigNumberWords = 128;  // 4096 bits

struct BigNumber {
  uint32_t word[kBigNumberWords + 1];
};

// Big-endian bytes to a number; leading zero bytes are skipped; more than 512 significant
// bytes fail.
int BigNumberFromBytes(const uint8_t* bytes, uint32_t length, BigNumber* out);
// Number to big-endian bytes, right-aligned in *length bytes with zeros before it. When
// *length is too small the needed length is written back and the conversion fails.
int BigNumberToBytes(const BigNumber& a, uint8_t* out, uint32_t* length);
// +1 when a < b, -1 when a > b, 0 when equal.
int BigNumberCompare(const BigNumber& a, const BigNumber& b);
// Index of the highest set bit; fails for zero.
int BigNumberHighestBit(const BigNumber& a, uint32_t* index);
// Fails when the words in use + whole words of the shift + 1 exceed the capacity.
int BigNumberShiftLeft(const BigNumber& a, uint32_t bits, BigNumber* out);
int BigNumberShiftRight(const BigNumber& a, uint32_t bits, BigNumber* out);
// Fail when the product does not fit the capacity.
int BigNumberMultiply(const BigNumber& a, const BigNumber& b, BigNumber* out);
int BigNumberSquare(const BigNumber& a, BigNumber* out);
// Remainder by normalised long division; a zero divisor fails.
int BigNumberRemainder(const BigNumber& a, const BigNumber& divisor, BigNumber* out);
// base^exponent mod modulus by the fixed-window method (window 4, 5 or 6 by the modulus'
// size). Fails for a zero modulus and for a modulus of more than 64 words, whose products
// would not fit the capacity.
int BigNumberModExp(const BigNumber& base, const BigNumber& exponent, BigNumber* result,
                    const BigNumber& modulus);

}  // namespace velmora
