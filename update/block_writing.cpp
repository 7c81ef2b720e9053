// Block writing: every selected record's operation in order, the read-back with --verify, and
// one whole block into its area (compacting the Eelite area first when it has no room).
#include "update/engine.h"

#include <algorithm>

#include "platform/interrupt.h"
#include "update/engine_texts.h"
#include "update/store_codes.h"

namespace velmora {

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
    reporting_.EnterPhase(RunPhase::Writing);
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
    if (verify_ && written) reporting_.EnterPhase(RunPhase::Verifying);
    if (verify_ && written && !VerifyBlock(h, block, failure)) {
      NoteBlock(block, failure);
      return false;
    }
    NoteBlock(block, nullptr);
    reporting_.ShowProgress(texts::kWritingBlocksStatus, 0, lastIndex, static_cast<uint32_t>(i));
    message.Format(texts::kBlockWritten, block.number);
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
      message.Format(texts::kCannotCollectGarbage);
      reporting_.FlushMessage(message);
      return false;
    }
  }
  return store_.WriteBlock(h, area, Low16(block.number), Low16(block.size), block.version,
                           block.data.data()) != 0;
}

}  // namespace velmora
