// The update engine: selects a mapping's blocks, checks that the mapping fits the connected
// handset, writes the blocks (compacting the Eelite area when it has no room), and records the
// mapping's version in the handset. It talks to the user only through Reporting and to the
// handset only through BlockStore, on the link handle it is given.
// Operations return true on success and false on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/handset_backup.h"
#include "update/product_families.h"
#include "update/reporting.h"
#include "update/run_record.h"
#include "update/update_operations.h"
#include "handset/block_store.h"
#include "link/link.h"
#include "mapfile/mapfile.h"

namespace velmora {

class TextModeFile;

// Reads the handset's hardware product number; 1 on success, 0 on failure.
using ProductIdReader = std::function<int(LinkHandle, uint16_t*)>;

// The block that carries the map-version record, and its bytes.
using protocol::kMapVersionBlock;
constexpr uint16_t kMapVersionSwOffset = 14;        // standard mapping's software version
constexpr uint16_t kMapVersionStdMapOffset = 15;    // standard mapping's map version
constexpr uint16_t kMapVersionProviderOffset = 16;  // provider of the mapping written last
constexpr uint16_t kMapVersionMapOffset = 17;       // map version of the mapping written last
constexpr uint16_t kMapVersionMinSize = 18;         // the record reaches up to offset 17

// Eelite blocks numbered this high or higher are not saved to the backup file.
constexpr int32_t kBackupNumberLimit = 5000;
// The backup file's name; the restore tool is told to read it under this name.
constexpr const char* kBackupFileName = "mapsave.eel";

// Sets the flag of every record whose operation is not 0 to 1; leaves the others unchanged.
void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info);

// Writes the records in the backup format: for every number from the lowest to the highest
// among the Eelite records numbered below 5000, the first record with that number. The texts
// go through the text-mode file, so every line end lands on disk as CR CR LF.
// False when count is 0 or less, or when no record qualifies (nothing is written then).
bool WriteBackupFile(TextModeFile& file, const MapBlock* blocks, int32_t count);

// Names of the write-ahead copies: PREFIX + time stamp [+ "-" IMEI] + SUFFIX.
inline constexpr const char* kWriteAheadPrefix = "velmora-writeahead-";
inline constexpr const char* kWriteAheadSuffix = ".vbk";
// Write-ahead copies of earlier versions, in the backup file's own format.
inline constexpr const char* kOldWriteAheadSuffix = ".eel";

class UpdateEngine {
 public:
  // Where the backup files go. mapsave.eel goes to primaryPath (the current folder), else to
  // the private folder; the write-ahead copy to the private folder, else beside primaryPath.
  // An empty private folder means the user's state folder, looked up when it is needed.
  struct BackupPlaces {
    std::string primaryPath = kBackupFileName;
    std::string privateDirectory;
    // The port the restore command should name (as given to --port, or the COM name).
    std::string restorePort = "COM1";
  };

  UpdateEngine(BlockStore& store, Reporting& reporting, ProductIdReader readProductId);

  void SetBackupPlaces(BackupPlaces places) { backup_ = std::move(places); }
  const BackupPlaces& backupPlaces() const { return backup_; }
  // The connected handset's IMEI, for the names of the backup copies ("" when unknown).
  void SetHandsetImei(std::string imei) { imei_ = std::move(imei); }
  // Reads every block back after it was written or created and compares it with the map.
  void SetVerify(bool verify) { verify_ = verify; }
  bool verify() const { return verify_; }
  // Where the blocks handled, the garbage collections and the saved files are noted; null: not.
  void SetRecord(RunRecord* record) { record_ = record; }
  RunRecord* record() const { return record_; }

  // Reads the hardware product number and tests the mapping's product against it. False when
  // the read fails (the number read before is kept) or the product does not fit.
  bool CheckProduct(LinkHandle h, const MapInfo& info);
  // Reads the hardware product number from the handset (HardwareProduct() then gives it).
  bool ReadProduct(LinkHandle h);
  // The hardware product number last read (0 until one was read).
  uint16_t HardwareProduct() const { return hardwareProduct_; }

  // Performs the operation of every selected record, in order. On false *failure (when given)
  // names the failing block and its status, and the remaining records are not handled.
  bool WriteMapBlocks(LinkHandle h, const MapBlock* blocks, const MapInfo& info,
                      const uint32_t* flags, BlockFailure* failure = nullptr);
  // Writes one whole block into its area; an Eelite block without room runs the garbage
  // collection first.
  bool WriteOneBlock(LinkHandle h, const MapBlock& block);
  // Reads every Eelite block out, erases the area and writes the blocks back. Before the erase
  // the blocks go to a write-ahead copy on disk (no copy, no erase), removed once they are all
  // back. When the write-back fails for good, the blocks are saved to the backup file and false
  // is returned. Termination requests are held from the copy to the end.
  bool CollectGarbage(LinkHandle h);
  // Writes blocks saved by a garbage collection back into the Eelite area (compacting it first
  // when it has no room) and reads each back to compare. Logs one line per block and steps the
  // progress bar; true when every block is back as saved. Gives up after a few blocks in a row
  // have failed, since the handset is most likely gone then.
  bool RestoreBlocks(LinkHandle h, const std::vector<MapBlock>& blocks);
  // Records the mapping's versions in bytes 14..17 of Eefull block 5005.
  bool WriteMapVersion(LinkHandle h, const MapInfo& info);
  // Reads each block of refs into *backup (blocks that exist, the others as absent), with a log
  // line and the progress bar; false, with the reason logged, when the store could not say.
  bool ReadBlocks(LinkHandle h, const std::vector<BlockRef>& refs, HandsetBackup* backup);
  // The highest logical block number the store reports.
  bool HighestBlock(LinkHandle h, uint16_t* highest) { return store_.GetMaxLogicalBlock(h, highest) != 0; }
  // Deletes each block of refs that exists; false when one is left.
  bool DeleteBlocks(LinkHandle h, const std::vector<BlockRef>& refs);

 private:
  enum class BackupResult { CannotCreate, NothingToSave, WriteFailed, Saved };

  bool PerformOperation(LinkHandle h, const MapBlock& block);
  // The garbage collection's steps: every Eelite block up to `highest` read out (false, with
  // nothing erased, when one cannot be); the read-out written back after the erase, with one
  // retry, and saved to the backup files when that fails too.
  bool ReadOutEelite(LinkHandle h, uint16_t highest, std::vector<MapBlock>* records);
  bool WriteBackEelite(LinkHandle h, const std::vector<MapBlock>& records,
                       const std::string& aheadPath);
  // Compares what the handset holds of a block just written or created with the map's record.
  bool VerifyBlock(LinkHandle h, const MapBlock& block, BlockFailure* failure);
  // With --verify, reads a block the garbage collection wrote back and compares it with the
  // read-out; a difference is logged and counts as a failed write-back.
  bool WrittenBackAsReadOut(LinkHandle h, const MapBlock& record);
  void NoteBlock(const MapBlock& block, const BlockFailure* failure);
  void NoteSavedFile(const char* kind, const std::string& path);
  BackupResult SaveBackup(const std::string& path, const MapBlock* blocks, int32_t count);
  // Saves mapsave.eel after a failed write-back; true when every block of the write-ahead
  // copy is in it (the copy may go then).
  bool BackUpBlocks(const MapBlock* blocks, int32_t count);
  // The read-out as a handset backup of this handset.
  HandsetBackup MakeBackup(const char* kind, const MapBlock* blocks, int32_t count) const;
  // Writes the handset backup that goes beside mapsave.eel; true and its path.
  bool SaveCompanion(const std::string& mapsavePath, const MapBlock* blocks, int32_t count,
                     std::string* path);
  bool SaveWriteAheadCopy(const MapBlock* blocks, int32_t count, std::string* path);
  void KeepWriteAheadCopy(const std::string& path);
  std::string PrivateDirectory(std::string* why) const;
  std::string RestoreLine(const std::string& path) const;
  bool WriteVersionByte(LinkHandle h, uint16_t offset, int32_t value);

  BlockStore& store_;
  Reporting& reporting_;
  ProductIdReader readProductId_;
  uint16_t hardwareProduct_ = 0;
  BackupPlaces backup_;
  std::string imei_;
  bool verify_ = false;
  RunRecord* record_ = nullptr;
  std::vector<uint8_t> readBack_;
};

}  // namespace velmora
