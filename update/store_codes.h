// How the map's area codes and numbers reach the block store, shared by the engine's parts.
#pragma once

#include <cstdint>

#include "handset/block_store.h"
#include "mapfile/mapfile.h"

namespace velmora {

// Maps a record's area code onto the block store; false for codes that name no area.
inline bool StoreAreaOf(uint8_t code, StoreArea* area) {
  switch (code) {
    case kAreaEelite:
      *area = StoreArea::Eelite;
      return true;
    case kAreaEefull:
      *area = StoreArea::Eefull;
      return true;
    default:
      return false;
  }
}

// The handset takes numbers and sizes as 16-bit values and versions as a byte.
inline uint16_t Low16(int32_t value) { return static_cast<uint16_t>(value); }
inline uint8_t Low8(int32_t value) { return static_cast<uint8_t>(value); }

}  // namespace velmora
