// The handset's block store as the update engine sees it: whole-block and single-command
// operations on the Eelite and Eefull areas, and the status code of the last failed exchange.
// Errors in the handset services: every operation returns 1 on success and 0 on failure unless
// its comment says otherwise (never a status); why a block-store operation failed is the
// BlockStoreStatus that LastBlockStoreStatus holds afterwards, and StatusText words it.
// The service-message implementation (ServiceCommands) talks to a real or simulated handset;
// tests of the engine may use an in-memory fake.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace velmora {

enum class StoreArea : uint8_t { Eelite, Eefull };

// Block-store status codes (the code of the last failed exchange).
enum BlockStoreStatus : uint32_t {
  kStatusOk = 0,                 // reply "0"
  kStatusNotInitialised = 1,     // reply "1"
  kStatusNoBlock = 2,            // reply "2"
  kStatusErrorPcToMob = 3,       // reply " "
  kStatusErrorMobToPc = 4,       // no valid reply
  kStatusBlockTooSmall = 5,      // reply "6"
  kStatusBlockInUse = 6,         // reply "7"
  kStatusNoSpace = 7,            // reply "5"
  kStatusUnknown = 8,            // any other reply byte
  kStatusIdNotLocked = 9,        // reply "3"
  kStatusNotSameId = 10,         // reply "4"
  kStatusNotSupported = 11,
  kStatusNotSameIdInAnswer = 12,
};

// Text of a status code; "Unknown Error-Number" for any value outside 0..12.
const char* StatusText(int32_t code);

class BlockStore {
 public:
  virtual ~BlockStore() = default;

  virtual int CreateBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                          uint8_t version) = 0;
  // Create, pieces of 20 bytes, close. 0 when the block is not completely written.
  virtual int WriteBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                         uint8_t version, const uint8_t* data) = 0;
  // Reads a whole block into data, which has room for `room` bytes; hands out size and version.
  // Never writes past room (a block larger than the room fails).
  virtual int ReadBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                        uint8_t* version, uint8_t* data, uint32_t room) = 0;
  virtual int DeleteBlock(LinkHandle h, StoreArea area, uint16_t number) = 0;
  // 1 when the block exists, with its size and version.
  virtual int BlockExists(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                          uint8_t* version) = 0;
  // Highest logical block number of Eelite; 0 after a failure.
  virtual int GetMaxLogicalBlock(LinkHandle h, uint16_t* number) = 0;
  // Eelite free space (first value) and the second value.
  virtual int GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second) = 0;
  // Deletes every Eelite block.
  virtual int DeleteAllBlocks(LinkHandle h) = 0;
  // Count bytes from offset of a block; returns count on success, 0 on failure.
  virtual int ReadBlockPart(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                            uint16_t count, uint8_t* data) = 0;
  // Overwrites count bytes (0..26, so that the request fits one frame) at offset of an Eefull
  // block; returns count, 0 on failure.
  virtual int WriteBlockPart(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                             uint16_t count, const uint8_t* data) = 0;

  virtual uint32_t LastBlockStoreStatus() const = 0;
};

}  // namespace velmora
