// The backup run: reads every block of both areas of a handset into a handset backup file. It
// connects and identifies the handset as the update run does, changes nothing, and switches the
// handset off.
#pragma once

#include <string>

#include "platform/output_file.h"
#include "update/handset_backup.h"
#include "update/reporting.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

inline constexpr char kBackupFailedText[] = "Can't read the blocks of the mobile!";
inline constexpr char kBackupNotWrittenText[] = "Can't write the backup file!";
inline constexpr char kBackedUpText[] = "The blocks of the mobile have been saved successfully!";

// Eefull keeps the handset's own records from this number on (the map version in block 5005
// among them): a backup looks for Eefull blocks there as well as from 1 on.
inline constexpr int32_t kEefullRecordsFrom = 5000;

// The blocks a backup asks for when the store's highest logical block number is highest:
// Eelite 1..highest, Eefull 1..highest and kEefullRecordsFrom..kEefullRecordsFrom + highest.
std::vector<BlockRef> BackupBlockRefs(uint16_t highest);

// The same numbers as ranges, as the backup records them.
std::vector<BackupRange> BackupBlockRanges(uint16_t highest);

// Runs one backup into the file at path, from Connect to CloseSession. The file is written only
// when every block was read; it names the handset (IMEI, product). "{imei}" in path stands for
// the handset's IMEI; the name filled in must not be one of runFiles (the run's map, settings,
// report ...), and an existing file is never replaced: the backup then goes beside it under a
// new name, which the log gives.
RunResult BackupRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                    const std::vector<RunInput>& runFiles = {});

}  // namespace velmora
