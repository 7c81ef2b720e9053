// The program's side of the handset's backups: where they go, the restore command, and the
// write-ahead copies that an interrupted garbage collection left behind.
#include <string>
#include <vector>

#include "app/dialog_run.h"
#include "app/startup.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "update/backup_file.h"
#include "update/engine.h"

namespace velmora {
namespace {

// A backup of the largest Eelite area the handset can hold, written out in hexadecimal, stays
// far below this.
constexpr size_t kLargestBackupFile = 64u << 20;
// A write-ahead copy whose blocks were restored is renamed to this prefix.
constexpr const char* kRestoredPrefix = "velmora-restored-";

}  // namespace

void Program::ConfigureBackups(const std::string& restorePort) {
  UpdateEngine::BackupPlaces places = ops_->engine().backupPlaces();
  places.restorePort = restorePort;
  restorePort_ = restorePort;
  ops_->engine().SetBackupPlaces(places);
}

std::vector<std::string> Program::LeftoverCopies() const {
  std::vector<std::string> found;
  std::vector<std::string> places;
  std::string why;
  const std::string privateDirectory = PrivateStateDirectory(&why);
  if (!privateDirectory.empty()) places.push_back(privateDirectory);
  places.push_back(AbsolutePath("."));
  for (const std::string& place : places) {
    for (const std::string& name : ListFiles(place, kWriteAheadPrefix, kWriteAheadSuffix)) {
      found.push_back(JoinPath(place, name));
    }
  }
  return found;
}

void Program::ReportLeftoverCopies() {
  const std::vector<std::string> copies = LeftoverCopies();
  if (copies.empty()) return;
  std::string text =
      "Eelite blocks of a garbage collection that did not finish were found (the handset may "
      "be missing them):";
  for (const std::string& path : copies) {
    text += "\n" + path + "\nRestore them with: velmora-cli --restore " + path + " --port " +
            restorePort_;
  }
  // The log takes the same lines with its own line ends.
  std::string logged;
  for (char c : text) logged += c == '\n' ? std::string("\r\n") : std::string(1, c);
  model_.Log(logged + "\r\n");
  model_.RefreshLog();
  model_.ShowMessageBox(text, MessageIcon::Warning);
}

RunOutcome Program::Restore(const std::string& backupPath) {
  std::string bytes;
  std::string why;
  std::vector<MapBlock> blocks;
  if (!ReadRegularFile(backupPath, &bytes, &why, kLargestBackupFile) ||
      !ParseBackupFile(bytes, &blocks, &why)) {
    model_.ShowMessageBox("Can't read backup file " + backupPath + ": " + why, MessageIcon::Error);
    return RunOutcome::Failed;
  }
  const std::string path = AbsolutePath(backupPath);
  const RunOutcome outcome = StartRestore(model_, wrappedOps_ ? *wrappedOps_ : *ops_, path, blocks);
  // A write-ahead copy whose blocks are all back in the handset is no leftover any more; it is
  // kept under another name all the same.
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (outcome == RunOutcome::Succeeded && name.rfind(kWriteAheadPrefix, 0) == 0) {
    const std::string keptAs =
        path.substr(0, path.size() - name.size()) + kRestoredPrefix +
        name.substr(std::string(kWriteAheadPrefix).size());
    if (RenameWithoutReplacing(path, keptAs, nullptr)) {
      model_.Log("Restored copy kept as " + keptAs + "\r\n");
      model_.RefreshLog();
    }
  }
  return outcome;
}

}  // namespace velmora
