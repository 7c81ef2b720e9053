// The handset backup: a copy of blocks that names the handset they came from, the area of each
// block and its own completeness, so that a backup is never put into the wrong handset and a
// cut or altered file is refused before anything is written. Every copy the program makes of a
// handset's blocks is kept in it (the write-ahead copy of a garbage collection, the companion
// of mapsave.eel); mapsave.eel itself keeps the restore tool's old format. Layout, ASCII with
// LF line ends, the same bytes on every system (docs/backup-format.md):
//
//   VELMORA-BACKUP 1
//   kind write-ahead
//   imei 351234567890128
//   product 72
//   created 2026-12-10T22:14:10Z
//   block eelite 3 size 25 version 1
//   data 0102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F20
//   absent eefull 4000
//   range eelite 1 120
//   end blocks 1 absent 1 sha1 <40 hex digits: SHA-1 of every byte before this line>
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora {

inline constexpr const char* kHandsetBackupMagic = "VELMORA-BACKUP 1";
// The name of a handset backup ends so.
inline constexpr const char* kHandsetBackupSuffix = ".vbk";
// The kinds a backup says it is: a whole handset (--backup), and what an update may change,
// kept before it starts (--undo); both are put back exactly, deleting what was not there.
inline constexpr const char* kFullBackupKind = "full";
inline constexpr const char* kUndoBackupKind = "undo";
// Stands for the handset's IMEI in the name of an undo file (one per handset at a station).
inline constexpr const char* kImeiPlaceholder = "{imei}";
// The name of an undo file for a line of handsets: path itself when it holds kImeiPlaceholder,
// else path with "-{imei}" before its extension ("undo.vbk" -> "undo-{imei}.vbk").
std::string PerHandsetPath(const std::string& path);
// The IMEI of a backup whose handset is not known.
inline constexpr const char* kUnknownImei = "unknown";

// Numbers first..last of an area that a backup asked for, each held or absent.
struct BackupRange {
  uint8_t area = 0;
  int32_t first = 0;
  int32_t last = 0;
  bool operator==(const BackupRange&) const = default;
};

struct HandsetBackup {
  std::string kind;                 // "write-ahead", "backup", ...
  std::string imei = kUnknownImei;  // digits and letters only
  uint32_t product = 0;             // hardware product number, 0 when unknown
  std::string created;              // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  // Blocks held: number, size, version, area (kAreaEelite or kAreaEefull) and data.
  std::vector<MapBlock> blocks;
  // Blocks that did not exist when the backup was made: area and number.
  std::vector<std::pair<uint8_t, int32_t>> absent;
  // The numbers the backup asked for as ranges (a full backup; a file written before these
  // were recorded has none): what a restore --exact deletes beyond them is what the handset
  // did not hold then.
  std::vector<BackupRange> ranges;
};

// The file's bytes.
std::string FormatHandsetBackup(const HandsetBackup& backup);

// True when text begins like a handset backup (whatever follows).
bool LooksLikeHandsetBackup(std::string_view text);

// Parses and checks a whole handset backup. False with the reason (and its line where there is
// one) for anything else: another format or version, a line out of place, a number out of
// range, odd hexadecimal, data that differs from the size, a block given twice, a missing end
// line (a cut file), or a count or digest that differs from what is there (an altered file).
// Memory is bounded by the text's length.
bool ParseHandsetBackup(std::string_view text, HandsetBackup* backup, std::string* error);

// The IMEI as it may stand in a backup and in a file name: letters and digits only, at most
// 32; kUnknownImei when nothing is left.
std::string BackupImei(const std::string& imei);

// The current time as a backup's "created" text.
std::string BackupCreatedNow();

}  // namespace velmora
