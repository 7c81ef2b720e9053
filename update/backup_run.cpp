#include "update/backup_run.h"

#include <algorithm>
#include <set>
#include <utility>

#include "platform/file_system.h"
#include "handset/session.h"
#include "update/backup_output.h"
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

std::vector<BackupRange> BackupBlockRanges(uint16_t highest) {
  std::vector<BackupRange> ranges;
  int32_t runStart = 0;
  int32_t previous = -1;
  uint8_t previousArea = 0;
  // The refs are in order within each area: each run of consecutive numbers is one range.
  for (const BlockRef& ref : BackupBlockRefs(highest)) {
    if (previous < 0 || ref.area != previousArea || ref.number != previous + 1) {
      if (previous >= 0) ranges.push_back({previousArea, runStart, previous});
      runStart = ref.number;
    }
    previous = ref.number;
    previousArea = ref.area;
  }
  if (previous >= 0) ranges.push_back({previousArea, runStart, previous});
  return ranges;
}

RunResult BackupRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                    const std::vector<RunInput>& runFiles) {
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
    // An answer that is no IMEI does not name the handset: the backup says "imei unknown".
    backup.imei = IsImei(imei) ? std::string(imei) : kUnknownImei;
    // The product number only describes the backup: one that cannot be read is left 0.
    backup.product = ops.ReadProduct() ? ops.HardwareProduct() : 0;
    backup.created = BackupCreatedNow();
    if (!ops.HighestBlock(&highest) || !ops.ReadBlocks(BackupBlockRefs(highest), &backup)) {
      result.error = kBackupFailedText;
    }
    backup.ranges = BackupBlockRanges(highest);
  }
  if (result.error.empty()) {
    std::string why;
    std::string written;
    const std::string filled = FillImei(path, HandsetNamePart(imei, backup.created));
    if (!WriteNewCopy(filled, FormatHandsetBackup(backup), runFiles, &written, &why)) {
      report.Log("ERROR: " + why + "\r\n");
      result.error = kBackupNotWrittenText;
    } else {
      if (written != filled) report.Log("The file " + AbsolutePath(filled) + " exists: kept\r\n");
      report.Log("Backup of " + std::to_string(backup.blocks.size()) + " blocks written to " +
                 AbsolutePath(written) + "\r\n");
      report.Log(std::string(kBackedUpText) + "\r\n");
    }
    report.RefreshLog();
  }
  ops.CloseSession();
  result.outcome = result.error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

}  // namespace velmora
