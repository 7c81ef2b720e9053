// The table of product families behind ProductFits.
#include "update/product_families.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace velmora {
namespace {

// Product families: a handset of any product in `hardware` also takes the mappings made for
// the products in `accepted`, so one mapping serves the whole family.
struct ProductFamily {
  std::array<int32_t, 6> hardware;
  std::array<int32_t, 2> accepted;
};
constexpr ProductFamily kFamilies[] = {
    {{66, 67, 68, 72, 73, 74}, {66, 72}},
    {{69, 70, 71, 75, 76, 77}, {69, 75}},
};
// Handsets of these products take every mapping made for this product number or a later one.
constexpr std::array<int32_t, 3> kOpenFamilyHardware = {82, 83, 84};
constexpr int32_t kOpenFamilyLowestMapping = 82;

template <size_t N>
bool Contains(const std::array<int32_t, N>& list, int32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool ProductFits(int32_t hardware, int32_t mapping) {
  if (mapping == hardware) return true;
  for (const ProductFamily& family : kFamilies) {
    if (Contains(family.hardware, hardware) && Contains(family.accepted, mapping)) return true;
  }
  return Contains(kOpenFamilyHardware, hardware) && mapping >= kOpenFamilyLowestMapping;
}

}  // namespace velmora
