#include "app/dialog_run.h"

#include "update/restore_run.h"

namespace velmora {
namespace {

constexpr char kUpdateSucceeded[] = "Configuration has been written to mobile successfully!";

template <typename Run>
RunOutcome RunInDialog(DialogModel& model, const Run& run, const char* successText,
                       std::string* error = nullptr) {
  model.EnableStartExit(false);
  model.WriteLogHeader();
  model.RefreshLog();

  const RunResult result = run();
  if (error != nullptr) *error = result.error;
  if (result.outcome == RunOutcome::NotConnected) {
    // Connect has shown its own message; the dialog stays open, also in unattended mode, so
    // that the operator sees what happened.
    model.EnableStartExit(true);
    return RunOutcome::NotConnected;
  }
  if (result.outcome == RunOutcome::Skipped) {
    // Turned away on purpose (its line is in the log): no box, and the dialog goes on.
    model.ResetProgress();
    model.EnableStartExit(true);
    model.RefreshLog();
    return RunOutcome::Skipped;
  }

  model.ResetProgress();
  model.EnableStartExit(true);
  model.RefreshLog();
  const bool failed = result.outcome != RunOutcome::Succeeded;
  if (failed) {
    model.Log(result.error + "\r\n");
    model.ShowMessageBox(result.error, MessageIcon::Error);
  }
  if (model.Unattended()) {
    model.EndDialog(failed ? kEndFailure : kEndSuccess);
  } else if (!failed) {
    // Whatever the buffer holds last (the last block's line) closes the log, as it always has.
    model.Log(model.Message().c_str());
    model.ShowMessageBox(successText, MessageIcon::Information);
  }
  return result.outcome;
}

}  // namespace

RunOutcome StartUpdate(DialogModel& model, UpdateOperations& ops, std::string* error,
                       const HandsetGate& gate) {
  return RunInDialog(
      model, [&] { return UpdateRun(model, ops, model.MapText(), gate); }, kUpdateSucceeded,
      error);
}

RunOutcome StartRestore(DialogModel& model, UpdateOperations& ops, const RestoreIdentity& identity,
                        const std::string& path, const std::vector<MapBlock>& blocks) {
  return RunInDialog(
      model, [&] { return RestoreRun(model, ops, path, blocks, identity); },
      RestoredText(blocks, identity));
}

RunOutcome StartBackup(DialogModel& model, UpdateOperations& ops, const std::string& path,
                       const std::vector<RunInput>& runFiles) {
  return RunInDialog(model, [&] { return BackupRun(model, ops, path, runFiles); }, kBackedUpText);
}

}  // namespace velmora
