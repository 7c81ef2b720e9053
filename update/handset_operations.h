// The update run's operations on a real handset: the session connects, identifies and switches
// the handset off; the engine does the block work through the block store on the session's link.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/output_file.h"
#include "update/reporting.h"
#include "handset/block_store.h"
#include "handset/session.h"
#include "update/engine.h"
#include "update/update_operations.h"

namespace velmora {

class HandsetUpdateOperations : public UpdateOperations {
 public:
  // The session, store and reporting must outlive this object. It owns the engine, and with it
  // the hardware product number, so it should live as long as the program.
  HandsetUpdateOperations(HandsetSession& session, BlockStore& store, Reporting& reporting);

  // For the backup file's places.
  UpdateEngine& engine() { return engine_; }

  bool Connect() override;
  bool ReadImei(char* imei) override;
  void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info) override;
  bool CheckProduct(const MapInfo& info) override;
  uint16_t HardwareProduct() const override;
  bool WriteMapBlocks(MapBlock* blocks, const MapInfo& info, const uint32_t* flags,
                      BlockFailure* failure) override;
  bool WriteMapVersion(const MapInfo& info) override;
  bool RestoreBlocks(const std::vector<MapBlock>& blocks) override;
  bool ReadBlocks(const std::vector<BlockRef>& refs, HandsetBackup* backup) override;
  bool HighestBlock(uint16_t* highest) override;
  bool ReadProduct() override { return engine_.ReadProduct(session_.handle()); }
  bool DeleteBlocks(const std::vector<BlockRef>& refs) override;
  // With an undo file asked for: every block the map may change (and the version record),
  // read before the first change and written to the undo file; false when it cannot be.
  bool BeforeFirstChange(const MapBlock* blocks, const MapInfo& info) override;
  void CloseSession() override;

  // The undo file of the next update ("" none); "{imei}" in it stands for the handset's IMEI.
  void SetUndoPath(std::string path) { undoPath_ = std::move(path); }
  // The run's own files (map, settings, report ...), which the undo file's name, once filled
  // in, must not name.
  void SetRunFiles(std::vector<RunInput> files) { runFiles_ = std::move(files); }

 private:
  HandsetSession& session_;
  Reporting& reporting_;
  UpdateEngine engine_;
  std::string undoPath_;
  std::vector<RunInput> runFiles_;
  std::string imei_;  // as the handset sent it
};

}  // namespace velmora
