// The restore run: puts the blocks of a backup file back into a handset: a handset backup of
// either area (--backup, --undo, a write-ahead copy, the companion of mapsave.eel) or the
// Eelite blocks of mapsave.eel. It connects and identifies the handset
// as the update run does, writes and reads back every block and switches the handset off.
#pragma once

#include <string>
#include <vector>

#include "mapfile/mapfile.h"
#include "update/handset_backup.h"
#include "update/reporting.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

// The error text of a restore that did not bring every block back.
inline constexpr char kRestoreFailedText[] = "Can't restore the Eelite blocks to mobile!";
inline constexpr char kRestoreOtherHandsetText[] =
    "The backup is of another handset: nothing restored!";
inline constexpr char kRestoredText[] = "The Eelite blocks have been restored to mobile successfully!";
// The same for a restore that also put back Eefull blocks or deleted blocks: more than the
// Eelite blocks of mapsave.eel.
inline constexpr char kStoreRestoreFailedText[] = "Can't restore the blocks of the backup to mobile!";
inline constexpr char kStoreRestoredText[] =
    "The blocks of the backup have been restored to mobile successfully!";

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
  // The numbers the backup asked for (a full backup's ranges): with exact, whatever exists now
  // beyond them, up to the highest number the handset reports now, is deleted too.
  std::vector<BackupRange> ranges = {};
};

// The texts that end a restore of these blocks: the Eelite ones when every block is an Eelite
// block and nothing is to be deleted, else the ones of the whole store.
const char* RestoredText(const std::vector<MapBlock>& blocks, const RestoreIdentity& identity);
const char* RestoreFailedText(const std::vector<MapBlock>& blocks, const RestoreIdentity& identity);

// Runs one restore of `blocks`, read from the file at `path` (named in the log), from Connect
// to CloseSession. Blocks of another handset than the connected one are refused, naming both
// IMEIs, unless identity.otherHandset; nothing is written then.
RunResult RestoreRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                     const std::vector<MapBlock>& blocks, const RestoreIdentity& identity = {});

}  // namespace velmora
