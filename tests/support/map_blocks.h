// Map blocks for tests, their data made so that a byte out of place shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora::testing {

// n bytes: first, first + step, first + 2 * step, ... (modulo 256).
inline std::vector<uint8_t> CountingBytes(size_t n, uint8_t first = 1, uint8_t step = 1) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i * step);
  return bytes;
}

}  // namespace velmora::testing
