#include "update/restore_run.h"

#include "handset/session.h"
#include "update/handset_backup.h"

namespace velmora {

RunResult RestoreRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                     const std::vector<MapBlock>& blocks, const RestoreIdentity& identity) {
  RunResult result;
  if (!ops.Connect()) return result;

  char imei[100] = {};
  if (!ops.ReadImei(imei)) {
    result.error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    // A handset that answers no IMEI cannot be shown to be the one a backup names.
    const std::string connected = IsImei(imei) ? std::string(imei) : kUnknownImei;
    const bool foreign = !identity.imei.empty() && identity.imei != kUnknownImei &&
                         identity.imei != connected;
    if (foreign && !identity.otherHandset) {
      // Another handset's settings would overwrite this one's: nothing is written.
      report.Log("ERROR: " + path + " holds the blocks of handset " + identity.imei +
                 ", not of the connected handset " + connected +
                 ". Nothing written (--other-handset writes them all the same).\r\n");
      report.RefreshLog();
      result.error = kRestoreOtherHandsetText;
      ops.CloseSession();
      result.outcome = RunOutcome::Failed;
      return result;
    }
    if (foreign) {
      report.Log("Writing the blocks of handset " + identity.imei + " into handset " + connected +
                 " on purpose (--other-handset)\r\n");
    }
    report.Log("Restoring " + std::to_string(blocks.size()) + " blocks from " + path + "\r\n");
    report.RefreshLog();
    bool back = ops.RestoreBlocks(blocks);
    if (back && identity.exact && !identity.absent.empty()) {
      report.Log("Deleting the blocks that were not there: " + std::to_string(identity.absent.size()) +
                 "\r\n");
      report.RefreshLog();
      back = ops.DeleteBlocks(identity.absent);
    }
    if (back) {
      report.Log(std::string(kRestoredText) + "\r\n");
      report.RefreshLog();
    } else {
      result.error = kRestoreFailedText;
    }
  }
  ops.CloseSession();
  result.outcome = result.error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

}  // namespace velmora
