// The program's side of the handset's backups: where they go, the restore command, and the
// write-ahead copies that an interrupted garbage collection left behind.
#include <algorithm>
#include <string>
#include <vector>

#include "app/dialog_run.h"
#include "app/startup.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "update/backup_file.h"
#include "update/engine.h"
#include "update/handset_backup.h"

namespace velmora {
namespace {

// A backup of the largest Eelite area the handset can hold, written out in hexadecimal, stays
// far below this.
constexpr size_t kLargestBackupFile = 64u << 20;
// A write-ahead copy whose blocks were restored is renamed to this prefix.
constexpr const char* kRestoredPrefix = "velmora-restored-";

// The IMEI an old write-ahead copy carries in its name (velmora-writeahead-TIME-IMEI.eel);
// empty for any other file.
std::string ImeiOfOldCopy(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string prefix = kWriteAheadPrefix;
  if (name.rfind(prefix, 0) != 0 || !name.ends_with(kOldWriteAheadSuffix)) return "";
  // TIME is YYYYMMDD-HHMMSS, perhaps with -N after it: the IMEI is the longer last part.
  const std::string middle =
      name.substr(prefix.size(), name.size() - prefix.size() - std::string(kOldWriteAheadSuffix).size());
  const size_t dash = middle.find_last_of('-');
  if (dash == std::string::npos || middle.size() - dash - 1 < 8) return "";
  const std::string imei = middle.substr(dash + 1);
  return BackupImei(imei) == imei ? imei : "";
}

bool SameBlocks(const MapBlock& a, const MapBlock& b) {
  return a.number == b.number && a.size == b.size && a.version == b.version && a.data == b.data;
}

// The handset backup written beside a mapsave.eel: among the mapsave-*.vbk files in its folder,
// the newest whose Eelite blocks below 5000 are exactly those of the file.
bool FindCompanion(const std::string& mapsavePath, const std::vector<MapBlock>& blocks,
                   HandsetBackup* companion, std::string* companionPath) {
  const std::string folder = DirectoryOf(AbsolutePath(mapsavePath));
  std::vector<std::string> names = ListFiles(folder, "mapsave-", kHandsetBackupSuffix);
  std::sort(names.rbegin(), names.rend());
  for (const std::string& name : names) {
    const std::string path = JoinPath(folder, name);
    std::string bytes;
    HandsetBackup candidate;
    if (!ReadRegularFile(path, &bytes, nullptr, kLargestBackupFile) ||
        !ParseHandsetBackup(bytes, &candidate, nullptr))
      continue;
    std::vector<MapBlock> saved;
    for (const MapBlock& b : candidate.blocks) {
      if (b.area == kAreaEelite && b.number < kBackupNumberLimit) saved.push_back(b);
    }
    std::sort(saved.begin(), saved.end(),
              [](const MapBlock& x, const MapBlock& y) { return x.number < y.number; });
    if (saved.size() == blocks.size() &&
        std::equal(saved.begin(), saved.end(), blocks.begin(), SameBlocks)) {
      *companion = std::move(candidate);
      *companionPath = path;
      return true;
    }
  }
  return false;
}

}  // namespace

void Program::ConfigureBackups(const std::string& restorePort) {
  UpdateEngine::BackupPlaces places = ops_->engine().backupPlaces();
  places.restorePort = restorePort;
  restorePort_ = restorePort;
  ops_->engine().SetBackupPlaces(places);
}

std::vector<std::string> Program::LeftoverCopies() const {
  // Every place a garbage collection may have put its copy: the private folder, the home
  // folder, the folder of mapsave.eel, and the working folder.
  std::vector<std::string> places;
  std::string why;
  for (const std::string& place :
       {PrivateStateDirectory(&why), HomeDirectory(),
        AbsolutePath(DirectoryOf(ops_->engine().backupPlaces().primaryPath) + "."),
        AbsolutePath(".")}) {
    if (!place.empty() && std::find(places.begin(), places.end(), place) == places.end())
      places.push_back(place);
  }
  std::vector<std::string> found;
  for (const std::string& place : places) {
    for (const char* suffix : {kWriteAheadSuffix, kOldWriteAheadSuffix}) {
      for (const std::string& name : ListFiles(place, kWriteAheadPrefix, suffix)) {
        const std::string path = JoinPath(place, name);
        // The copy being restored right now is no leftover to warn about.
        if (!restoring_.empty() && AbsolutePath(path) == AbsolutePath(restoring_)) continue;
        found.push_back(path);
      }
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

RunOutcome Program::Restore(const std::string& backupPath, bool otherHandset, bool exact) {
  std::string bytes;
  std::string why;
  std::vector<MapBlock> blocks;
  RestoreIdentity identity;
  identity.otherHandset = otherHandset;
  identity.exact = exact;
  const auto refuse = [&](const std::string& reason) {
    model_.ShowMessageBox("Can't read backup file " + backupPath + ": " + reason, MessageIcon::Error);
    return RunOutcome::Failed;
  };
  // Blocks that name no handset: an unattended run writes them only when told to, an attended
  // one warns. False when refused (the box is shown).
  const auto takeUnnamed = [&](const std::string& unknown) {
    if (model_.Unattended() && !otherHandset) {
      model_.ShowMessageBox(unknown + " Not restored: give --other-handset to write it into "
                                      "the connected handset all the same.",
                            MessageIcon::Error);
      return false;
    }
    model_.Log(unknown + "\r\n");
    model_.RefreshLog();
    if (!otherHandset) {
      model_.ShowMessageBox(unknown + " Make sure the connected handset is the one it was "
                                      "saved from.",
                            MessageIcon::Warning);
    }
    return true;
  };
  if (!ReadRegularFile(backupPath, &bytes, &why, kLargestBackupFile)) return refuse(why);
  // A file named as a handset backup is read as one whatever it begins with: one cut within
  // its first bytes is reported as a cut backup, not as a mapsave.eel of another format.
  const bool namedAsBackup =
      backupPath.size() >= std::string(kHandsetBackupSuffix).size() &&
      backupPath.compare(backupPath.size() - std::string(kHandsetBackupSuffix).size(),
                         std::string::npos, kHandsetBackupSuffix) == 0;
  if (LooksLikeHandsetBackup(bytes) || namedAsBackup) {
    // Checked whole before anything is written: a cut or altered copy is no copy.
    HandsetBackup backup;
    if (!ParseHandsetBackup(bytes, &backup, &why)) return refuse(why);
    blocks = std::move(backup.blocks);
    identity.imei = backup.imei;
    if (backup.imei == kUnknownImei) {
      // Its handset gave no IMEI: nothing shows that the connected one is it.
      if (!takeUnnamed(backupPath + " does not say which handset its blocks came from "
                                    "(imei unknown).")) {
        return RunOutcome::Failed;
      }
    }
    // An undo file puts back exactly what the update found: what was not there goes again.
    if (backup.kind == kUndoBackupKind) identity.exact = true;
    for (const auto& [area, number] : backup.absent) identity.absent.push_back({area, number});
    identity.ranges = backup.ranges;
  } else {
    if (!ParseBackupFile(bytes, &blocks, &why)) return refuse(why);
    identity.imei = ImeiOfOldCopy(backupPath);
    HandsetBackup companion;
    std::string companionPath;
    if (identity.imei.empty() && FindCompanion(backupPath, blocks, &companion, &companionPath)) {
      model_.Log("Using " + companionPath + ", the handset backup beside " + backupPath +
                 " (handset " + companion.imei + ")\r\n");
      model_.RefreshLog();
      blocks = std::move(companion.blocks);
      identity.imei = companion.imei;
    }
    if (identity.imei.empty() || identity.imei == kUnknownImei) {
      if (!takeUnnamed(backupPath + " does not say which handset its blocks came from (no "
                                    "handset backup beside it).")) {
        return RunOutcome::Failed;
      }
    }
  }
  const std::string path = AbsolutePath(backupPath);
  const RunOutcome outcome =
      StartRestore(model_, wrappedOps_ ? *wrappedOps_ : *ops_, identity, path, blocks);
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
