// The restore run: puts the Eelite blocks of a backup file (mapsave.eel, or the write-ahead copy
// a garbage collection left behind) back into a handset. It connects and identifies the handset
// as the update run does, writes and reads back every block, switches the handset off and
// reports the outcome in the same ways.
#pragma once

#include <string>
#include <vector>

#include "app/reporting.h"
#include "mapfile/mapfile.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

// Runs one restore of `blocks`, read from the file at `path` (named in the log).
RunOutcome RestoreRun(UpdateRunHost& host, UpdateOperations& ops, const std::string& path,
                      const std::vector<MapBlock>& blocks);

}  // namespace velmora
