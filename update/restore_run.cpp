#include "update/restore_run.h"

namespace velmora {
namespace {

constexpr char kErrImei[] = "Error reading IMEI!";

}  // namespace

RunResult RestoreRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                     const std::vector<MapBlock>& blocks) {
  RunResult result;
  if (!ops.Connect()) return result;

  char imei[100] = {};
  if (!ops.ReadImei(imei)) {
    result.error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    report.Log("Restoring " + std::to_string(blocks.size()) + " Eelite blocks from " + path +
               "\r\n");
    report.RefreshLog();
    if (ops.RestoreBlocks(blocks)) {
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
