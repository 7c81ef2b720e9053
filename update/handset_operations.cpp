#include "update/handset_operations.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "update/backup_output.h"
#include "update/handset_backup.h"

namespace velmora {
namespace {

// The IMEI goes into file names: digits and letters only, whatever the handset sent.
std::string SafeNamePart(const char* text) {
  std::string part;
  for (size_t i = 0; text[i] != '\0' && i < 32; ++i) {
    const char c = text[i];
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) part += c;
  }
  return part;
}

}  // namespace

HandsetUpdateOperations::HandsetUpdateOperations(HandsetSession& session, BlockStore& store,
                                                 Reporting& reporting)
    : session_(session),
      reporting_(reporting),
      engine_(store, reporting, [&session](LinkHandle h, uint16_t* product) {
        return session.ReadProductId(h, product);
      }) {}

bool HandsetUpdateOperations::Connect() { return session_.Connect(); }

bool HandsetUpdateOperations::ReadImei(char* imei) {
  if (imei == nullptr) return false;
  // The run's buffer holds 100 characters; the session stores at most 15 and a zero.
  imei[0] = '\0';
  if (session_.ReadImei(session_.handle(), imei) == 0) return false;
  // An answer that is no IMEI is logged as it came but names nothing: not the garbage
  // collection's copies, not the record.
  const bool known = IsImei(imei);
  engine_.SetHandsetImei(known ? SafeNamePart(imei) : std::string());
  imei_ = imei;
  if (engine_.record() != nullptr) engine_.record()->imei = known ? imei : "";
  return true;
}

void HandsetUpdateOperations::SelectBlocks(uint32_t* flags, const MapBlock* blocks,
                                           const MapInfo& info) {
  velmora::SelectBlocks(flags, blocks, info);
}

bool HandsetUpdateOperations::CheckProduct(const MapInfo& info) {
  return engine_.CheckProduct(session_.handle(), info);
}

uint16_t HandsetUpdateOperations::HardwareProduct() const { return engine_.HardwareProduct(); }

bool HandsetUpdateOperations::WriteMapBlocks(MapBlock* blocks, const MapInfo& info,
                                             const uint32_t* flags, BlockFailure* failure) {
  return engine_.WriteMapBlocks(session_.handle(), blocks, info, flags, failure);
}

bool HandsetUpdateOperations::WriteMapVersion(const MapInfo& info) {
  return engine_.WriteMapVersion(session_.handle(), info);
}

bool HandsetUpdateOperations::RestoreBlocks(const std::vector<MapBlock>& blocks) {
  return engine_.RestoreBlocks(session_.handle(), blocks);
}

bool HandsetUpdateOperations::ReadBlocks(const std::vector<BlockRef>& refs, HandsetBackup* backup) {
  return engine_.ReadBlocks(session_.handle(), refs, backup);
}

bool HandsetUpdateOperations::HighestBlock(uint16_t* highest) {
  return engine_.HighestBlock(session_.handle(), highest);
}

bool HandsetUpdateOperations::DeleteBlocks(const std::vector<BlockRef>& refs) {
  return engine_.DeleteBlocks(session_.handle(), refs);
}

bool HandsetUpdateOperations::BeforeFirstChange(const MapBlock* blocks, const MapInfo& info) {
  if (undoPath_.empty()) return true;
  // Every block the map names, whatever its operation, and the version record the run ends
  // with: their state now undoes any part of the run, a failed or interrupted one too.
  std::vector<BlockRef> refs;
  std::set<std::pair<uint8_t, int32_t>> seen;
  const auto add = [&](uint8_t area, int32_t number) {
    if (seen.emplace(area, number).second) refs.push_back({area, number});
  };
  for (int32_t i = 0; i < info.blockCount; ++i) add(blocks[i].area, blocks[i].number);
  add(kAreaEefull, kMapVersionBlock);
  HandsetBackup undo;
  undo.kind = kUndoBackupKind;
  const bool known = IsImei(imei_);
  undo.imei = known ? imei_ : kUnknownImei;
  undo.product = engine_.HardwareProduct();
  undo.created = BackupCreatedNow();
  if (!engine_.ReadBlocks(session_.handle(), refs, &undo)) {
    reporting_.Log("ERROR: Can't read the blocks for the undo file: nothing written\r\n");
    reporting_.RefreshLog();
    return false;
  }
  const std::string path = FillImei(undoPath_, HandsetNamePart(imei_, undo.created));
  std::string written;
  std::string why;
  if (!WriteNewCopy(path, FormatHandsetBackup(undo), runFiles_, &written, &why)) {
    reporting_.Log("ERROR: Can't write the undo file (" + why + "): nothing written\r\n");
    reporting_.RefreshLog();
    return false;
  }
  if (written != path) {
    // The file there is an earlier run's: of this handset when the name holds its IMEI, and
    // then, unless that run ended well, the only copy of what the handset held before it.
    if (known && undoPath_.find(kImeiPlaceholder) != std::string::npos)
      reporting_.Log("An earlier run of handset " + imei_ + " left the undo file " + path +
                     ": kept (it holds the blocks from before that run)\r\n");
    else
      reporting_.Log("The undo file " + path + " exists: kept\r\n");
  }
  reporting_.Log("Undo file written to " + written + "\r\n");
  reporting_.RefreshLog();
  if (engine_.record() != nullptr) engine_.record()->savedFiles.push_back({"undo", AbsolutePath(written)});
  return true;
}

void HandsetUpdateOperations::CloseSession() { session_.CloseSession(session_.handle()); }

}  // namespace velmora
