// The backup file of the garbage collection (mapsave.eel, and the write-ahead copy made before
// the Eelite area is erased), read back by the restore command. Each block is a small header
// and its data bytes in hexadecimal, ten to a line:
//
//   <eol>BLOCK_NUMBER = 3<eol>BLOCK_SIZE   = 25<eol>BLOCK_VERSION = 1<eol>DATA_BYTES   = <eol>
//   <eol>0x01 0x02 ... (ten bytes)<eol>0x0B ... <eol>0x15 ... 0x19 <eol><eol>
//
// where <eol> is CR CR LF on disk (the texts' "\r\n" went through a text-mode file).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora {

// Parses a whole backup file as it lies on disk (any mix of CR and LF line ends is taken).
// On success *blocks holds the blocks in file order, each with number, size, version, area 2
// (Eelite), attribute 2, operation 2 and its data. False with the reason and line number in
// *error for anything that is not such a file: unknown text, a number out of range (block
// 1..65535, size 0..65535, version 0..255), a data count that differs from the size, a block
// number given twice, or no block at all. Memory is bounded by the text's length.
bool ParseBackupFile(std::string_view text, std::vector<MapBlock>* blocks, std::string* error);

// "YYYYMMDD-HHMMSS" in local time, for the names of backup copies.
std::string TimeStampText(std::time_t when);
// The folder part of a path ("" for a bare name).
std::string DirectoryOf(const std::string& path);
// Renames an existing backup file to NAME-<its time stamp>.EXT beside it (with -2, -3 ... when
// that is taken), never replacing anything. True and the new path in *keptAs.
bool MoveAsideBackup(const std::string& path, std::string* keptAs);

}  // namespace velmora
