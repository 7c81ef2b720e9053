// Writing map texts: the XOR checksum over a mapping and a formatter that produces a complete,
// valid map text from a header and its blocks. Used by tests, the map generator and tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora {

// XOR checksum over the six header values and, for each of the count records, its seven fields
// and its first `size` data bytes (never more than the record holds). checkSum and blockCount
// do not enter.
uint32_t ComputeMapChecksum(const MapInfo& info, const MapBlock* blocks, int count);

// A complete map text with CR LF line ends: the info section with six key=value lines, one
// block section per record ("[number]", six entries, '{', the data bytes as "0xAB" sixteen to
// a line, '}'), and the checksum section "CheckSum=<decimal>:0x<hex>" with the checksum
// computed here (info.checkSum and info.blockCount are ignored). A record whose data is
// shorter than its size is padded with zero bytes; a negative size writes no data bytes.
std::string FormatMapText(MapInfo info, const std::vector<MapBlock>& blocks);

}  // namespace velmora
