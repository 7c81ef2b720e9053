// Records the largest single allocation made through operator new while a probe is active, and
// the bytes of all of them, so a test can show that a hostile size never turned into a huge
// request and that what a text makes the program allocate stays in proportion to it.
#pragma once

#include <cstddef>

namespace velmora::testing {

void StartAllocationProbe();
// Largest request since StartAllocationProbe, in bytes.
size_t LargestAllocation();
// Bytes of all requests since StartAllocationProbe (what was freed is not taken off).
size_t TotalAllocated();

}  // namespace velmora::testing
