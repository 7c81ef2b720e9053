// Records the largest single allocation made through operator new while a probe is active, so
// a test can show that a hostile size never turned into a huge request.
#pragma once

#include <cstddef>

namespace velmora::testing {

void StartAllocationProbe();
// Largest request since StartAllocationProbe, in bytes.
size_t LargestAllocation();

}  // namespace velmora::testing
