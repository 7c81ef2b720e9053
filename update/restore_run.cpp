#include "update/restore_run.h"

namespace velmora {
namespace {

constexpr char kErrImei[] = "Error reading IMEI!";
constexpr char kErrRestore[] = "Can't restore the Eelite blocks to mobile!";
constexpr char kRestored[] = "The Eelite blocks have been restored to mobile successfully!";

// End codes of the dialog in unattended mode, as for an update.
constexpr int kEndSuccess = 1;
constexpr int kEndFailure = 3;

}  // namespace

RunOutcome RestoreRun(UpdateRunHost& host, UpdateOperations& ops, const std::string& path,
                      const std::vector<MapBlock>& blocks) {
  host.EnableStartExit(false);
  host.WriteLogHeader();
  host.RefreshLog();
  if (!ops.Connect()) {
    host.EnableStartExit(true);
    return RunOutcome::NotConnected;
  }

  std::string error;
  char imei[100] = {};
  if (!ops.ReadImei(imei)) {
    error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    host.Log(std::string("IMEI: ") + imei + "\r\n");
    host.Log("Restoring " + std::to_string(blocks.size()) + " Eelite blocks from " + path +
             "\r\n");
    host.RefreshLog();
    if (!ops.RestoreBlocks(blocks)) error = kErrRestore;
  }

  ops.CloseSession();
  host.ResetProgress();
  host.EnableStartExit(true);
  host.RefreshLog();

  const bool failed = !error.empty();
  if (failed) {
    host.Log(error + "\r\n");
    host.ShowMessageBox(error, MessageIcon::Error);
  } else {
    host.Log(std::string(kRestored) + "\r\n");
    host.RefreshLog();
  }
  if (host.Unattended()) {
    host.EndDialog(failed ? kEndFailure : kEndSuccess);
  } else if (!failed) {
    host.ShowMessageBox(kRestored, MessageIcon::Information);
  }
  return failed ? RunOutcome::Failed : RunOutcome::Succeeded;
}

}  // namespace velmora
