// Which hardware products take which mappings: a mapping is made for one product number, and a
// handset takes it when the numbers match or when its product belongs to a family that accepts
// the mapping's product.
#pragma once

#include <cstdint>

namespace velmora {

// True when a mapping made for product `mapping` may be written into a handset whose hardware
// product number is `hardware` (signed comparisons).
bool ProductFits(int32_t hardware, int32_t mapping);

}  // namespace velmora
