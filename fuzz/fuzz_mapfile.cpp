// The map reader and checksum on any text, called as the update run calls them: the header,
// the records, the checksum (ReadCheckedMap), then the records freed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mapfile/mapfile.h"
#include "update/update_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The map data source is a zero-terminated text; a zero inside ends it early, as it would.
  const std::string text(reinterpret_cast<const char*>(data), size);
  velmora::fuzz::NullReporting report;
  velmora::LoadedMap map;
  const std::string error = velmora::ReadCheckedMap(report, text.c_str(), &map);
  if (map.blocks) velmora::FreeMapBlocks(map.blocks.get(), map.info);

  // The pieces the check mode and the tools use on their own.
  velmora::MapInfo info;
  if (velmora::CountMapBlocks(text.c_str(), &info) && info.blockCount < 0) __builtin_trap();
  char hex[9] = {};
  for (size_t i = 0; i < 8 && i < size; ++i) hex[i] = static_cast<char>(data[i]);
  velmora::HexToInt(hex);
  return 0;
}
