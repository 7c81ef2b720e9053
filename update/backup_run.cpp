#include "update/backup_run.h"

#include <algorithm>
#include <set>
#include <utility>

#include "platform/file_system.h"
#include "platform/record_file.h"
#include "update/handset_backup.h"

namespace velmora {

std::vector<BlockRef> BackupBlockRefs(uint16_t highest) {
  std::vector<BlockRef> refs;
  for (int32_t n = 1; n <= highest; ++n) refs.push_back({kAreaEelite, n});
  std::set<int32_t> eefull;
  for (int32_t n = 1; n <= highest; ++n) eefull.insert(n);
  for (int32_t n = kEefullRecordsFrom; n <= std::min<int32_t>(kEefullRecordsFrom + highest, 0xFFFF); ++n)
    eefull.insert(n);
  for (int32_t n : eefull) refs.push_back({kAreaEefull, n});
  return refs;
}

RunResult BackupRun(Reporting& report, UpdateOperations& ops, const std::string& path) {
  RunResult result;
  if (!ops.Connect()) return result;
  char imei[100] = {};
  uint16_t highest = 0;
  HandsetBackup backup;
  if (!ops.ReadImei(imei)) {
    result.error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    report.RefreshLog();
    backup.kind = kFullBackupKind;
    backup.imei = BackupImei(imei);
    // The product number only describes the backup: one that cannot be read is left 0.
    backup.product = ops.ReadProduct() ? ops.HardwareProduct() : 0;
    backup.created = BackupCreatedNow();
    if (!ops.HighestBlock(&highest) || !ops.ReadBlocks(BackupBlockRefs(highest), &backup)) {
      result.error = kBackupFailedText;
    }
  }
  if (result.error.empty()) {
    std::string why;
    if (!ReplaceFileWhole(path, FormatHandsetBackup(backup), &why)) {
      report.Log("ERROR: " + why + "\r\n");
      result.error = kBackupNotWrittenText;
    } else {
      report.Log("Backup of " + std::to_string(backup.blocks.size()) + " blocks written to " +
                 AbsolutePath(path) + "\r\n");
      report.Log(std::string(kBackedUpText) + "\r\n");
    }
    report.RefreshLog();
  }
  ops.CloseSession();
  result.outcome = result.error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

}  // namespace velmora
