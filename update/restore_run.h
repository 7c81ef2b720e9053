// The restore run: puts the Eelite blocks of a backup file (mapsave.eel, or the write-ahead copy
// a garbage collection left behind) back into a handset. It connects and identifies the handset
// as the update run does, writes and reads back every block and switches the handset off.
#pragma once

#include <string>
#include <vector>

#include "mapfile/mapfile.h"
#include "update/reporting.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

// The error text of a restore that did not bring every block back.
inline constexpr char kRestoreFailedText[] = "Can't restore the Eelite blocks to mobile!";
inline constexpr char kRestoreOtherHandsetText[] =
    "The backup is of another handset: nothing restored!";
inline constexpr char kRestoredText[] = "The Eelite blocks have been restored to mobile successfully!";

// Whose blocks a restore puts back.
struct RestoreIdentity {
  // The IMEI of the handset the blocks came from; empty when the file does not say.
  std::string imei;
  // Put them into whatever handset is connected (a transplant on purpose, or a file that
  // names no handset).
  bool otherHandset = false;
  // Put the store back exactly: the blocks the backup says were not there are deleted too
  // (--exact; always for an undo file).
  bool exact = false;
  std::vector<BlockRef> absent = {};
};

// Runs one restore of `blocks`, read from the file at `path` (named in the log), from Connect
// to CloseSession. Blocks of another handset than the connected one are refused, naming both
// IMEIs, unless identity.otherHandset; nothing is written then.
RunResult RestoreRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                     const std::vector<MapBlock>& blocks, const RestoreIdentity& identity = {});

}  // namespace velmora
