// What builds the run record: the short names of the map's codes and outcomes, and the
// engine's notes of every block handled and every file saved.
#include "update/run_record.h"

#include "platform/file_system.h"
#include "update/engine.h"

namespace velmora {

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

}  // namespace velmora
