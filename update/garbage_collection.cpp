// The garbage collection of the Eelite area: the read-out, its write-ahead copy on disk, the
// erase and the write-back, and the backup files saved when the write-back fails for good.
#include "update/engine.h"

#include <ctime>
#include <new>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/interrupt.h"
#include "platform/output_file.h"
#include "platform/record_file.h"
#include "platform/text_file.h"
#include "update/backup_file.h"
#include "update/engine_texts.h"
#include "update/store_codes.h"
#include "update/update_run.h"

namespace velmora {
namespace {

// Attempts at a free name for a write-ahead copy made in the same second as another.
constexpr int kNameAttempts = 100;

}  // namespace

bool UpdateEngine::CollectGarbage(LinkHandle h) {
  uint16_t highest = 0;
  if (store_.GetMaxLogicalBlock(h, &highest) == 0) return false;

  MessageBuffer& message = reporting_.Message();
  std::vector<MapBlock> records;
  try {
    records.reserve(highest);
  } catch (const std::bad_alloc&) {
    return false;
  }

  if (record_ != nullptr) ++record_->garbageCollections;
  reporting_.EnterPhase(RunPhase::CollectingGarbage);
  message.Format(texts::kCollectionReadingOut, static_cast<unsigned>(highest));
  reporting_.FlushMessage(message);
  if (!ReadOutEelite(h, highest, &records)) return false;

  // From the copy on, a termination request waits until the blocks are back or saved.
  InterruptShield shield;
  const int32_t count = static_cast<int32_t>(records.size());
  std::string aheadPath;
  if (count > 0 && !SaveWriteAheadCopy(records.data(), count, &aheadPath)) return false;

  message.Format(texts::kCollectionErasing);
  reporting_.FlushMessage(message);
  if (store_.DeleteAllBlocks(h) == 0) {
    // Whether a failed erase left the area whole, the handset does not say: keep the copy.
    if (!aheadPath.empty()) KeepWriteAheadCopy(aheadPath);
    return false;
  }

  message.Format(texts::kCollectionWritingBack);
  reporting_.FlushMessage(message);
  return WriteBackEelite(h, records, aheadPath);
}

bool UpdateEngine::ReadOutEelite(LinkHandle h, uint16_t highest, std::vector<MapBlock>* records) {
  // Nothing is erased yet: any failure here leaves the area as it was.
  for (uint32_t n = 1; n <= highest; ++n) {
    const uint16_t number = static_cast<uint16_t>(n);
    uint16_t size = 0;
    uint8_t version = 0;
    if (store_.BlockExists(h, StoreArea::Eelite, number, &size, &version) == 0) {
      // Only "no such block" means there is nothing to keep. A test that failed otherwise
      // leaves the block unknown, and erasing the area would lose it: stop before the erase.
      if (store_.LastBlockStoreStatus() == kStatusNoBlock) continue;
      return false;
    }

    MapBlock record;
    record.number = number;
    record.size = size;
    record.version = version;
    record.area = kAreaEelite;
    record.attribute = 2;
    record.operation = kOpWrite;
    try {
      record.data.assign(size, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    uint16_t readSize = 0;
    uint8_t readVersion = 0;
    if (store_.ReadBlock(h, StoreArea::Eelite, number, &readSize, &readVersion,
                         record.data.data(), size) == 0) {
      return false;
    }
    records->push_back(std::move(record));
    reporting_.ShowProgress(texts::kCollectionReadingStatus, 1, highest, n);
  }
  return true;
}

bool UpdateEngine::WriteBackEelite(LinkHandle h, const std::vector<MapBlock>& records,
                                   const std::string& aheadPath) {
  // From here on the blocks live only in `records` and the write-ahead copy. The whole
  // write-back gets one retry.
  MessageBuffer& message = reporting_.Message();
  const int32_t count = static_cast<int32_t>(records.size());
  const uint32_t last = static_cast<uint32_t>(count) - 1;
  int failures = 0;
  for (int32_t k = 0; k < count;) {
    const MapBlock& record = records[static_cast<size_t>(k)];
    if (store_.WriteBlock(h, StoreArea::Eelite, Low16(record.number), Low16(record.size),
                          record.version, record.data.data()) != 0 &&
        WrittenBackAsReadOut(h, record)) {
      reporting_.ShowProgress(texts::kCollectionWritingStatus, 0, last,
                              static_cast<uint32_t>(k));
      ++k;
      continue;
    }
    if (failures == 0) {
      message.Format(texts::kCollectionRetry);
      reporting_.WarnMessage(message);
    }
    ++failures;
    if (failures >= 2) {
      const bool allSaved = BackUpBlocks(records.data(), count);
      if (aheadPath.empty()) return false;
      if (allSaved) {
        RemoveFile(aheadPath, nullptr);
      } else {
        KeepWriteAheadCopy(aheadPath);
      }
      return false;
    }
  }
  if (!aheadPath.empty()) RemoveFile(aheadPath, nullptr);
  return true;
}

bool UpdateEngine::WrittenBackAsReadOut(LinkHandle h, const MapBlock& record) {
  // A verified run vouches for every block it touched, and a collection touches blocks the
  // map never names: a block the handset acknowledged but stored wrongly is a failed
  // write-back, retried and backed up like one.
  if (!verify_) return true;
  BlockFailure failure;
  if (VerifyBlock(h, record, &failure)) return true;
  MessageBuffer& message = reporting_.Message();
  FormatBlockFailure(failure, &message);
  reporting_.FlushMessage(message);
  return false;
}

UpdateEngine::BackupResult UpdateEngine::SaveBackup(const std::string& path,
                                                    const MapBlock* blocks, int32_t count) {
  // A device, a FIFO or a folder at the backup's name is no earlier backup: it is left alone
  // and the blocks go to the next place.
  std::string refusal;
  if (!CheckOutputPath(path, LinkRule::Follow, {}, &refusal)) {
    reporting_.Log(texts::BackupNotWrittenThere(refusal));
    return BackupResult::CannotCreate;
  }
  // An earlier backup may hold another handset's only copy: it moves aside, never under.
  if (PathExists(path)) {
    std::string keptAs;
    if (!MoveAsideBackup(path, &keptAs)) return BackupResult::CannotCreate;
    reporting_.Log(texts::EarlierBackupKept(keptAs));
  }
  TextModeFile file;
  if (!file.CreateExclusive(path, nullptr)) return BackupResult::CannotCreate;
  const bool wrote = WriteBackupFile(file, blocks, count);
  // A write that did not reach the disk is no backup, whatever was formatted; what it left
  // (empty or cut, in a full folder) would only pass for one.
  const bool synced = file.Sync();
  if (!file.Close() || !synced) {
    RemoveFile(path, nullptr);
    return BackupResult::WriteFailed;
  }
  SyncDirectory(DirectoryOf(path));
  return wrote ? BackupResult::Saved : BackupResult::NothingToSave;
}

bool UpdateEngine::BackUpBlocks(const MapBlock* blocks, int32_t count) {
  MessageBuffer& message = reporting_.Message();
  // mapsave.eel is what the restore tool reads, and a later failure moves it aside; beside it
  // goes the same read-out in the handset backup format, named with the handset, which the
  // run record names and --restore prefers. True when that companion was written.
  const auto logSaved = [&](const std::string& path) {
    message.Format(texts::kBackupWriting);
    reporting_.FlushMessage(message);
    message.Format(texts::kBackupRestoreTool);
    reporting_.FlushMessage(message);
    reporting_.Log(texts::BackupWritten(AbsolutePath(path)));
    std::string companion;
    const bool saved = SaveCompanion(path, blocks, count, &companion);
    if (saved) {
      reporting_.Log(texts::HandsetBackupWritten(AbsolutePath(companion)));
      NoteSavedFile("backup", companion);
    }
    reporting_.Log(RestoreLine(saved ? companion : path));
    reporting_.RefreshLog();
    return saved;
  };
  // Blocks numbered from 5000 up have no place in mapsave.eel; the write-ahead copy keeps them.
  bool everyBlockFits = true;
  for (int32_t i = 0; i < count; ++i) {
    if (blocks[i].number >= kBackupNumberLimit) everyBlockFits = false;
  }

  const BackupResult result = SaveBackup(backup_.primaryPath, blocks, count);
  if (result == BackupResult::Saved) return logSaved(backup_.primaryPath) || everyBlockFits;
  message.Format(texts::kCannotBackup);
  reporting_.FlushMessage(message);
  if (result == BackupResult::NothingToSave) return false;

  // The erased blocks must not depend on one folder being writable: the user's private
  // folder takes them, and the log says where.
  std::string why;
  const std::string directory = PrivateDirectory(&why);
  if (directory.empty()) return false;
  const std::string fallback = JoinPath(directory, kBackupFileName);
  if (SaveBackup(fallback, blocks, count) != BackupResult::Saved) return false;
  return logSaved(fallback) || everyBlockFits;
}

std::string UpdateEngine::PrivateDirectory(std::string* why) const {
  if (!backup_.privateDirectory.empty()) return backup_.privateDirectory;
  return PrivateStateDirectory(why);
}

std::string UpdateEngine::RestoreLine(const std::string& path) const {
  return texts::RestoreCommand(AbsolutePath(path), backup_.restorePort);
}

HandsetBackup UpdateEngine::MakeBackup(const char* kind, const MapBlock* blocks,
                                       int32_t count) const {
  HandsetBackup backup;
  backup.kind = kind;
  backup.imei = BackupImei(imei_);
  backup.product = hardwareProduct_;
  backup.created = BackupCreatedNow();
  backup.blocks.assign(blocks, blocks + count);
  return backup;
}

bool UpdateEngine::SaveCompanion(const std::string& mapsavePath, const MapBlock* blocks,
                                 int32_t count, std::string* path) {
  // Named with the handset and the time, so that it is never moved aside by a later failure
  // and always says whose blocks it holds.
  const std::string stem = JoinPath(DirectoryOf(mapsavePath), "mapsave-" + BackupImei(imei_) +
                                                                  "-" + TimeStampText(std::time(nullptr)));
  const std::string bytes = FormatHandsetBackup(MakeBackup("backup", blocks, count));
  std::string why;
  for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
    const std::string candidate =
        stem + (attempt == 1 ? std::string() : "-" + std::to_string(attempt)) + kHandsetBackupSuffix;
    if (PathExists(candidate)) continue;
    if (CreateFileWhole(candidate, bytes, &why)) {
      *path = candidate;
      return true;
    }
    break;
  }
  reporting_.Log(texts::CannotWriteHandsetBackup(kBackupFileName, why));
  return false;
}

bool UpdateEngine::SaveWriteAheadCopy(const MapBlock* blocks, int32_t count, std::string* path) {
  // The private folder first, where the next start looks for leftovers whatever the current
  // folder; the backup file's own folder when there is none.
  std::string why;
  std::string directory = PrivateDirectory(&why);
  const std::string refused = why;
  std::vector<std::string> places;
  if (!directory.empty()) places.push_back(directory);
  // A refused private folder must not hide the copy: the home folder, which every later start
  // looks in, comes next, and only then the backup file's folder.
  if (backup_.privateDirectory.empty() && !HomeDirectory().empty())
    places.push_back(HomeDirectory());
  places.push_back(DirectoryOf(backup_.primaryPath));

  const std::string stem = kWriteAheadPrefix + TimeStampText(std::time(nullptr)) +
                           (imei_.empty() ? std::string() : "-" + imei_);
  for (const std::string& place : places) {
    for (int attempt = 1; attempt <= kNameAttempts; ++attempt) {
      const std::string name =
          stem + (attempt == 1 ? std::string() : "-" + std::to_string(attempt)) + kWriteAheadSuffix;
      const std::string candidate = JoinPath(place, name);
      if (PathExists(candidate)) continue;
      std::string reason;
      if (CreateFileWhole(candidate, FormatHandsetBackup(MakeBackup("write-ahead", blocks, count)),
                          &reason)) {
        *path = candidate;
        if (place != directory) {
          reporting_.Log(texts::PrivateFolderRefused(directory.empty() ? refused : why,
                                                     AbsolutePath(candidate)));
          reporting_.RefreshLog();
        }
        return true;
      }
      why = reason;
      break;
    }
  }
  MessageBuffer& message = reporting_.Message();
  message.Format(texts::kCannotCopyBeforeErase, why.c_str());
  reporting_.FlushMessage(message);
  return false;
}

void UpdateEngine::KeepWriteAheadCopy(const std::string& path) {
  reporting_.Log(texts::WriteAheadCopyKept(AbsolutePath(path)));
  NoteSavedFile("write-ahead", path);
  reporting_.Log(RestoreLine(path));
  reporting_.RefreshLog();
}

}  // namespace velmora
