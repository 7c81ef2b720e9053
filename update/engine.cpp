// Block selection, product check, block writing, garbage collection and the map-version record.
#include "update/engine.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/interrupt.h"
#include "platform/output_file.h"
#include "platform/text_file.h"
#include "platform/record_file.h"
#include "update/backup_file.h"
#include "update/handset_backup.h"
#include "update/update_run.h"

namespace velmora {
namespace {

// Product families: a handset of any product in `hardware` also takes the mappings made for
// the products in `accepted`, so one mapping serves the whole family.
struct ProductFamily {
  std::array<int32_t, 6> hardware;
  std::array<int32_t, 2> accepted;
};
constexpr ProductFamily kFamilies[] = {
    {{66, 67, 68, 72, 73, 74}, {66, 72}},
    {{69, 70, 71, 75, 76, 77}, {69, 75}},
};
// Handsets of these products take every mapping made for this product number or a later one.
constexpr std::array<int32_t, 3> kOpenFamilyHardware = {82, 83, 84};
constexpr int32_t kOpenFamilyLowestMapping = 82;

template <size_t N>
bool Contains(const std::array<int32_t, N>& list, int32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Maps a record's area code onto the block store; false for codes that name no area.
bool StoreAreaOf(uint8_t code, StoreArea* area) {
  switch (code) {
    case kAreaEelite:
      *area = StoreArea::Eelite;
      return true;
    case kAreaEefull:
      *area = StoreArea::Eefull;
      return true;
    default:
      return false;
  }
}

// Attempts at a free name for a write-ahead copy made in the same second as another.
constexpr int kNameAttempts = 100;

// The handset takes numbers and sizes as 16-bit values and versions as a byte.
uint16_t Low16(int32_t value) { return static_cast<uint16_t>(value); }
uint8_t Low8(int32_t value) { return static_cast<uint8_t>(value); }

}  // namespace

void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info) {
  if (flags == nullptr || blocks == nullptr) return;
  for (int32_t i = 0; i < info.blockCount; ++i) {
    if (blocks[i].operation != kOpNone) flags[i] = 1;
  }
}

const char* OperationName(uint8_t operation) {
  switch (operation) {
    case kOpNone: return "none";
    case kOpWrite: return "write";
    case kOpCreate: return "create";
    case kOpDelete: return "delete";
    case kOpDeleteCreate: return "delete-create";
    default: return "other";
  }
}

const char* AreaName(uint8_t area) {
  switch (area) {
    case kAreaEelite: return "Eelite";
    case kAreaEefull: return "Eefull";
    default: return "none";
  }
}

const char* BlockOutcomeName(BlockOutcome outcome) {
  switch (outcome) {
    case BlockOutcome::Done: return "done";
    case BlockOutcome::Failed: return "failed";
    case BlockOutcome::VerifyFailed: return "verify-failed";
    case BlockOutcome::Interrupted: return "interrupted";
  }
  return "failed";
}

bool ProductFits(int32_t hardware, int32_t mapping) {
  if (mapping == hardware) return true;
  for (const ProductFamily& family : kFamilies) {
    if (Contains(family.hardware, hardware) && Contains(family.accepted, mapping)) return true;
  }
  return Contains(kOpenFamilyHardware, hardware) && mapping >= kOpenFamilyLowestMapping;
}

UpdateEngine::UpdateEngine(BlockStore& store, Reporting& reporting, ProductIdReader readProductId)
    : store_(store), reporting_(reporting), readProductId_(std::move(readProductId)) {}

bool UpdateEngine::CheckProduct(LinkHandle h, const MapInfo& info) {
  uint16_t product = 0;
  if (!readProductId_ || readProductId_(h, &product) == 0) return false;
  hardwareProduct_ = product;
  return ProductFits(static_cast<int32_t>(hardwareProduct_), info.product);
}

bool UpdateEngine::WriteMapBlocks(LinkHandle h, const MapBlock* blocks, const MapInfo& info,
                                  const uint32_t* flags, BlockFailure* failure) {
  if (info.blockCount <= 0) return true;
  if (blocks == nullptr || flags == nullptr) return false;
  BlockFailure scratch;
  if (failure == nullptr) failure = &scratch;
  MessageBuffer& message = reporting_.Message();
  const uint32_t lastIndex = static_cast<uint32_t>(info.blockCount - 1);
  for (int32_t i = 0; i < info.blockCount; ++i) {
    if (flags[i] == 0) continue;
    const MapBlock& block = blocks[i];
    // A termination request held through a garbage collection is honoured at the next block:
    // the handset's data is whole again, and the run's closing steps switch it off.
    if (HeldInterrupt() != 0) {
      *failure = BlockFailure{};
      failure->number = block.number;
      failure->interrupted = true;
      NoteBlock(block, failure);
      return false;
    }
    if (!PerformOperation(h, block)) {
      *failure = BlockFailure{};
      failure->number = block.number;
      failure->status = store_.LastBlockStoreStatus();
      NoteBlock(block, failure);
      return false;
    }
    const bool written = block.operation == kOpWrite || block.operation == kOpCreate ||
                         block.operation == kOpDeleteCreate;
    if (verify_ && written && !VerifyBlock(h, block, failure)) {
      NoteBlock(block, failure);
      return false;
    }
    NoteBlock(block, nullptr);
    reporting_.ShowProgress("Writing blocks", 0, lastIndex, static_cast<uint32_t>(i));
    message.Format("Block %d written\r\n", block.number);
    reporting_.FlushMessage(message);
  }
  return true;
}

bool UpdateEngine::VerifyBlock(LinkHandle h, const MapBlock& block, BlockFailure* failure) {
  *failure = BlockFailure{};
  failure->number = block.number;
  // Room for the largest block the handset can hold, so that a block grown on the way is
  // read back whole and named as such rather than failing the read.
  constexpr size_t kLargestBlock = 0xFFFF;
  if (readBack_.size() < kLargestBlock) readBack_.assign(kLargestBlock, 0);
  StoreArea area = StoreArea::Eelite;
  StoreAreaOf(block.area, &area);
  uint16_t size = 0;
  uint8_t version = 0;
  if (store_.ReadBlock(h, area, Low16(block.number), &size, &version, readBack_.data(),
                       kLargestBlock) == 0) {
    failure->verify = BlockFailure::Verify::CannotRead;
    failure->status = store_.LastBlockStoreStatus();
    return false;
  }
  const uint16_t expected = Low16(block.size);
  if (version != block.version) {
    failure->verify = BlockFailure::Verify::Version;
    failure->readValue = version;
    return false;
  }
  // A created block holds whatever the handset fills a new block with: only its size and
  // version are the map's.
  const bool compareData = block.operation == kOpWrite;
  const uint16_t common = std::min(size, expected);
  if (compareData) {
    const auto differ = std::mismatch(readBack_.begin(), readBack_.begin() + common,
                                      block.data.begin());
    if (differ.first != readBack_.begin() + common) {
      failure->verify = BlockFailure::Verify::Data;
      failure->verifyByte = static_cast<int32_t>(differ.first - readBack_.begin());
      return false;
    }
  }
  if (size != expected) {
    failure->verify = BlockFailure::Verify::Size;
    failure->verifyByte = common;
    failure->readValue = size;
    return false;
  }
  return true;
}

void UpdateEngine::NoteBlock(const MapBlock& block, const BlockFailure* failure) {
  if (record_ == nullptr) return;
  BlockRecord r;
  r.number = block.number;
  r.area = block.area;
  r.operation = block.operation;
  if (failure != nullptr) {
    r.status = failure->status;
    if (failure->interrupted) {
      r.outcome = BlockOutcome::Interrupted;
    } else if (failure->verify != BlockFailure::Verify::None) {
      r.outcome = BlockOutcome::VerifyFailed;
      r.verifyByte = failure->verifyByte;
    } else {
      r.outcome = BlockOutcome::Failed;
    }
  }
  record_->blocks.push_back(r);
}

void UpdateEngine::NoteSavedFile(const char* kind, const std::string& path) {
  if (record_ != nullptr) record_->savedFiles.push_back({kind, AbsolutePath(path)});
}

bool UpdateEngine::PerformOperation(LinkHandle h, const MapBlock& block) {
  StoreArea area = StoreArea::Eelite;
  switch (block.operation) {
    case kOpWrite:
      return WriteOneBlock(h, block);
    case kOpCreate:
      return StoreAreaOf(block.area, &area) &&
             store_.CreateBlock(h, area, Low16(block.number), Low16(block.size),
                                block.version) != 0;
    case kOpDelete:
      return StoreAreaOf(block.area, &area) &&
             store_.DeleteBlock(h, area, Low16(block.number)) != 0;
    case kOpDeleteCreate: {
      if (!StoreAreaOf(block.area, &area)) return false;
      // The create goes out even after a failed delete; the block still counts as failed.
      const bool deleted = store_.DeleteBlock(h, area, Low16(block.number)) != 0;
      const bool created =
          store_.CreateBlock(h, area, Low16(block.number), Low16(block.size), block.version) != 0;
      return deleted && created;
    }
    default:
      // Codes without an action are taken as done, so that mappings carrying them still load.
      return true;
  }
}

bool UpdateEngine::WriteOneBlock(LinkHandle h, const MapBlock& block) {
  StoreArea area = StoreArea::Eelite;
  if (!StoreAreaOf(block.area, &area)) return false;
  // The handset is sent as many bytes as the 16-bit size says; a record whose buffer holds
  // fewer would have the store read past it.
  if (block.data.size() < Low16(block.size)) return false;

  if (area == StoreArea::Eelite) {
    uint32_t freeSpace = 0;
    uint32_t second = 0;
    if (store_.GetMaxSpaceValues(h, &freeSpace, &second) == 0) return false;
    const uint32_t needed = static_cast<uint32_t>(block.size) + protocol::kBlockOverhead;
    if (freeSpace <= needed && !CollectGarbage(h)) {
      // Logged now: the block's own failure line replaces the buffer right after.
      MessageBuffer& message = reporting_.Message();
      message.Format("\r\nERROR: Cant do garbage collection\r\n");
      reporting_.FlushMessage(message);
      return false;
    }
  }
  return store_.WriteBlock(h, area, Low16(block.number), Low16(block.size), block.version,
                           block.data.data()) != 0;
}

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
  message.Format("Garbage Collection\r\nReading out max. %u Blocks \r\n",
                 static_cast<unsigned>(highest));
  reporting_.FlushMessage(message);

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
    records.push_back(std::move(record));
    reporting_.ShowProgress("Garbage Collection reading EELite", 1, highest, n);
  }

  // From the copy on, a termination request waits until the blocks are back or saved.
  InterruptShield shield;
  const int32_t count = static_cast<int32_t>(records.size());
  std::string aheadPath;
  if (count > 0 && !SaveWriteAheadCopy(records.data(), count, &aheadPath)) return false;

  message.Format("\r\nDeleting complete Eelite\r\n");
  reporting_.FlushMessage(message);
  if (store_.DeleteAllBlocks(h) == 0) {
    // Whether a failed erase left the area whole, the handset does not say: keep the copy.
    if (!aheadPath.empty()) KeepWriteAheadCopy(aheadPath);
    return false;
  }

  message.Format("Writing back Blocks\r\n");
  reporting_.FlushMessage(message);

  // From here on the blocks live only in `records` and the write-ahead copy. The whole
  // write-back gets one retry.
  const uint32_t last = static_cast<uint32_t>(count) - 1;
  int failures = 0;
  for (int32_t k = 0; k < count;) {
    const MapBlock& record = records[static_cast<size_t>(k)];
    if (store_.WriteBlock(h, StoreArea::Eelite, Low16(record.number), Low16(record.size),
                          record.version, record.data.data()) != 0 &&
        WrittenBackAsReadOut(h, record)) {
      reporting_.ShowProgress("Garbage Collection writing EELite", 0, last,
                              static_cast<uint32_t>(k));
      ++k;
      continue;
    }
    if (failures == 0) {
      message.Format("ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n");
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
    reporting_.Log("Backup not written there: " + refusal + "\r\n");
    return BackupResult::CannotCreate;
  }
  // An earlier backup may hold another handset's only copy: it moves aside, never under.
  if (PathExists(path)) {
    std::string keptAs;
    if (!MoveAsideBackup(path, &keptAs)) return BackupResult::CannotCreate;
    reporting_.Log("Earlier backup kept as " + keptAs + "\r\n");
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
    message.Format("\r\nIMPRORTANT INFO: Writing Backup from EELITE to mapsave.eel\r\n");
    reporting_.FlushMessage(message);
    message.Format("Use BLKTOOL -w mapsave.eel to restore data.\r\n");
    reporting_.FlushMessage(message);
    reporting_.Log("Backup written to " + AbsolutePath(path) + "\r\n");
    std::string companion;
    const bool saved = SaveCompanion(path, blocks, count, &companion);
    if (saved) {
      reporting_.Log("Handset backup written to " + AbsolutePath(companion) + "\r\n");
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
  message.Format("\r\nERROR: Can't backup EELITE (mapsave.eel) !\r\n");
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
  return "Or restore it with: velmora-cli --restore " + AbsolutePath(path) + " --port " +
         backup_.restorePort + "\r\n";
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
  reporting_.Log(std::string("ERROR: Can't write the handset backup beside ") + kBackupFileName +
                 " (" + why + ")\r\n");
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
          reporting_.Log("The private folder was refused (" +
                         (directory.empty() ? refused : why) +
                         "); the copy of the Eelite blocks is in " + AbsolutePath(candidate) +
                         "\r\n");
          reporting_.RefreshLog();
        }
        return true;
      }
      why = reason;
      break;
    }
  }
  MessageBuffer& message = reporting_.Message();
  message.Format("\r\nERROR: Can't save a copy of the Eelite blocks before erasing them (%s). "
                 "Nothing erased.\r\n", why.c_str());
  reporting_.FlushMessage(message);
  return false;
}

void UpdateEngine::KeepWriteAheadCopy(const std::string& path) {
  reporting_.Log("The Eelite blocks read out are kept in " + AbsolutePath(path) + "\r\n");
  NoteSavedFile("write-ahead", path);
  reporting_.Log(RestoreLine(path));
  reporting_.RefreshLog();
}

bool UpdateEngine::RestoreBlocks(LinkHandle h, const std::vector<MapBlock>& blocks) {
  // Consecutive failed blocks after which the rest is not tried.
  constexpr int kFailuresInARowToGiveUp = 3;
  MessageBuffer& message = reporting_.Message();
  const uint32_t last = blocks.empty() ? 0 : static_cast<uint32_t>(blocks.size() - 1);
  int failed = 0;
  int failedInARow = 0;
  std::vector<uint8_t> readBack;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const MapBlock& block = blocks[i];
    StoreArea area = StoreArea::Eelite;
    StoreAreaOf(block.area, &area);
    bool back = WriteOneBlock(h, block);
    if (!back && area == StoreArea::Eefull && store_.LastBlockStoreStatus() == kStatusNoBlock) {
      // An Eefull block is only written into a block that exists: one deleted since the
      // backup is made again first.
      back = store_.CreateBlock(h, area, Low16(block.number), Low16(block.size), block.version) != 0 &&
             WriteOneBlock(h, block);
    }
    if (!back) {
      message.Format("Block %d not restored\r\nError:%s\r\n", block.number,
                     StatusText(static_cast<int32_t>(store_.LastBlockStoreStatus())));
    } else {
      // What the handset holds now, not what was sent, decides.
      uint16_t size = 0;
      uint8_t version = 0;
      // Never an empty buffer: the store is handed its address even for a block of 0 bytes.
      readBack.assign(static_cast<size_t>(Low16(block.size)) + 1, 0);
      if (store_.ReadBlock(h, area, Low16(block.number), &size, &version,
                           readBack.data(), Low16(block.size)) == 0) {
        back = false;
        message.Format("Block %d not restored\r\nError: cannot read it back: %s\r\n",
                       block.number,
                       StatusText(static_cast<int32_t>(store_.LastBlockStoreStatus())));
      } else if (size != Low16(block.size) || version != block.version ||
                 !std::equal(block.data.begin(), block.data.begin() + Low16(block.size),
                             readBack.begin())) {
        back = false;
        message.Format("Block %d not restored: the handset holds other data\r\n", block.number);
      } else {
        message.Format("Block %d restored\r\n", block.number);
      }
    }
    reporting_.FlushMessage(message);
    reporting_.ShowProgress(area == StoreArea::Eelite ? "Restoring EELite blocks" : "Restoring EEFull blocks",
                            0, last, static_cast<uint32_t>(i));
    failedInARow = back ? 0 : failedInARow + 1;
    if (!back) ++failed;
    if (HeldInterrupt() != 0 || failedInARow >= kFailuresInARowToGiveUp) {
      const size_t left = blocks.size() - i - 1;
      if (left > 0) {
        reporting_.Log("Stopped: " + std::to_string(left) + " blocks not tried\r\n");
        reporting_.RefreshLog();
      }
      return false;
    }
  }
  return failed == 0;
}

bool UpdateEngine::WriteVersionByte(LinkHandle h, uint16_t offset, int32_t value) {
  const uint8_t byte = Low8(value);
  return store_.WriteBlockPart(h, StoreArea::Eefull, kMapVersionBlock, offset, 1, &byte) != 0;
}

bool UpdateEngine::WriteMapVersion(LinkHandle h, const MapInfo& info) {
  uint16_t size = 0;
  uint8_t version = 0;
  if (store_.BlockExists(h, StoreArea::Eefull, kMapVersionBlock, &size, &version) == 0) {
    return false;
  }
  if (size < kMapVersionMinSize) return false;

  if (info.provider == 0) {
    return WriteVersionByte(h, kMapVersionSwOffset, info.swVersion) &&
           WriteVersionByte(h, kMapVersionStdMapOffset, info.mapVersion) &&
           WriteVersionByte(h, kMapVersionProviderOffset, info.provider) &&
           WriteVersionByte(h, kMapVersionMapOffset, info.mapVersion);
  }

  // A delta mapping is laid over the standard mapping already in the handset; a different
  // software version there is worth a warning but does not stop the record.
  uint8_t recorded = 0;
  if (store_.ReadBlockPart(h, StoreArea::Eefull, kMapVersionBlock, kMapVersionSwOffset, 1,
                           &recorded) == 0) {
    return false;
  }
  if (recorded != Low8(info.swVersion)) {
    MessageBuffer& message = reporting_.Message();
    message.Format("Not the same Delta-Mapping-Version as Standard-Mapping in Mobile!\r\n");
    reporting_.WarnMessage(message);
  }
  return WriteVersionByte(h, kMapVersionProviderOffset, info.provider) &&
         WriteVersionByte(h, kMapVersionMapOffset, info.mapVersion);
}

}  // namespace velmora
