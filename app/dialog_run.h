// A run as the dialog shows it: Start and Exit disabled and the log header written before it,
// then, once the handset was connected, the closing state of the dialog, the error box or the
// success box and, in unattended mode, the dialog's end code. The runs themselves (update/) know
// nothing of buttons, boxes or end codes.
#pragma once

#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "mapfile/mapfile.h"
#include "update/backup_run.h"
#include "update/restore_run.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

// End codes of the dialog in unattended mode.
inline constexpr int kEndSuccess = 1;
inline constexpr int kEndFailure = 3;

// The Start button: one update of the model's map data source. *error (when given) gets the
// run's error text, empty on success. The gate may turn a handset away once its IMEI is read.
RunOutcome StartUpdate(DialogModel& model, UpdateOperations& ops, std::string* error = nullptr,
                       const HandsetGate& gate = {});
// The restore command: the blocks of the backup file at path back into the handset.
RunOutcome StartRestore(DialogModel& model, UpdateOperations& ops, const RestoreIdentity& identity,
                        const std::string& path,
                        const std::vector<MapBlock>& blocks);
// The backup command: every block of the handset into a handset backup at path.
// runFiles: what the backup's name, once its IMEI is filled in, must not name.
RunOutcome StartBackup(DialogModel& model, UpdateOperations& ops, const std::string& path,
                       const std::vector<RunInput>& runFiles = {});

}  // namespace velmora
