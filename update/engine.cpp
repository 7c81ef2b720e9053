// Block selection, the product check, the restore of saved blocks and the map-version record.
// Block writing, the garbage collection and the run record's notes have files of their own.
#include "update/engine.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/interrupt.h"
#include "update/engine_texts.h"
#include "update/product_families.h"
#include "update/store_codes.h"

namespace velmora {

void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info) {
  if (flags == nullptr || blocks == nullptr) return;
  for (int32_t i = 0; i < info.blockCount; ++i) {
    if (blocks[i].operation != kOpNone) flags[i] = 1;
  }
}

UpdateEngine::UpdateEngine(BlockStore& store, Reporting& reporting, ProductIdReader readProductId)
    : store_(store), reporting_(reporting), readProductId_(std::move(readProductId)) {}

bool UpdateEngine::ReadProduct(LinkHandle h) {
  uint16_t product = 0;
  if (!readProductId_ || readProductId_(h, &product) == 0) return false;
  hardwareProduct_ = product;
  return true;
}

bool UpdateEngine::CheckProduct(LinkHandle h, const MapInfo& info) {
  return ReadProduct(h) && ProductFits(static_cast<int32_t>(hardwareProduct_), info.product);
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
      message.Format(texts::kBlockNotRestored, block.number,
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
        message.Format(texts::kRestoredUnreadable, block.number,
                       StatusText(static_cast<int32_t>(store_.LastBlockStoreStatus())));
      } else if (size != Low16(block.size) || version != block.version ||
                 !std::equal(block.data.begin(), block.data.begin() + Low16(block.size),
                             readBack.begin())) {
        back = false;
        message.Format(texts::kRestoredOtherData, block.number);
      } else {
        message.Format(texts::kBlockRestored, block.number);
      }
    }
    reporting_.FlushMessage(message);
    reporting_.ShowProgress(area == StoreArea::Eelite ? texts::kRestoringEeliteStatus
                                                      : texts::kRestoringEefullStatus,
                            0, last, static_cast<uint32_t>(i));
    failedInARow = back ? 0 : failedInARow + 1;
    if (!back) ++failed;
    if (HeldInterrupt() != 0 || failedInARow >= kFailuresInARowToGiveUp) {
      const size_t left = blocks.size() - i - 1;
      if (left > 0) {
        reporting_.Log(texts::BlocksNotTried(left));
        reporting_.RefreshLog();
      }
      return false;
    }
  }
  return failed == 0;
}

bool UpdateEngine::ReadBlocks(LinkHandle h, const std::vector<BlockRef>& refs,
                              HandsetBackup* backup) {
  MessageBuffer& message = reporting_.Message();
  const uint32_t last = refs.empty() ? 0 : static_cast<uint32_t>(refs.size() - 1);
  std::vector<uint8_t> data;
  for (size_t i = 0; i < refs.size(); ++i) {
    const BlockRef& ref = refs[i];
    StoreArea area = StoreArea::Eelite;
    if (!StoreAreaOf(ref.area, &area)) return false;
    // A held termination request (a line's second) stops a read-out too: nothing has been
    // changed yet, and an undo file cut short is no undo file.
    if (HeldInterrupt() != 0) return false;
    reporting_.ShowProgress(texts::kReadingBlocksStatus, 0, last, static_cast<uint32_t>(i));
    uint16_t size = 0;
    uint8_t version = 0;
    if (store_.BlockExists(h, area, Low16(ref.number), &size, &version) == 0) {
      // Only "no such block" says the block is not there; any other failure says nothing.
      if (store_.LastBlockStoreStatus() == kStatusNoBlock) {
        backup->absent.emplace_back(ref.area, ref.number);
        continue;
      }
    } else {
      message.Format(texts::kReadingBlock, ref.number);
      reporting_.FlushMessage(message);
      // Never an empty buffer: the store is handed its address even for a block of 0 bytes.
      data.assign(static_cast<size_t>(size) + 1, 0);
      if (store_.ReadBlock(h, area, Low16(ref.number), &size, &version, data.data(), size) != 0) {
        data.resize(size);
        backup->blocks.push_back(MakeMapBlock(ref.number, ref.area, 0, version, data));
        continue;
      }
    }
    message.Format(texts::kBlockNotRead, ref.number,
                   StatusText(static_cast<int32_t>(store_.LastBlockStoreStatus())));
    reporting_.FlushMessage(message);
    return false;
  }
  return true;
}

bool UpdateEngine::DeleteBlocks(LinkHandle h, const std::vector<BlockRef>& refs) {
  MessageBuffer& message = reporting_.Message();
  bool all = true;
  for (const BlockRef& ref : refs) {
    StoreArea area = StoreArea::Eelite;
    if (!StoreAreaOf(ref.area, &area)) return false;
    uint16_t size = 0;
    uint8_t version = 0;
    if (store_.BlockExists(h, area, Low16(ref.number), &size, &version) == 0 &&
        store_.LastBlockStoreStatus() == kStatusNoBlock)
      continue;  // not there: nothing to delete
    if (store_.DeleteBlock(h, area, Low16(ref.number)) != 0) {
      message.Format(texts::kBlockDeleted, ref.number);
    } else {
      all = false;
      message.Format(texts::kBlockNotDeleted, ref.number,
                     StatusText(static_cast<int32_t>(store_.LastBlockStoreStatus())));
    }
    reporting_.FlushMessage(message);
  }
  return all;
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
    message.Format(texts::kDeltaVersionDiffers);
    reporting_.WarnMessage(message);
  }
  return WriteVersionByte(h, kMapVersionProviderOffset, info.provider) &&
         WriteVersionByte(h, kMapVersionMapOffset, info.mapVersion);
}

}  // namespace velmora
