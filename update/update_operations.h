// The handset and engine operations that the update run calls, behind one interface so that
// the run can be driven by the real handset session or by a scripted double in the tests.
#pragma once

#include <cstdint>
#include <vector>

#include "mapfile/mapfile.h"

namespace velmora {

// The block that stopped the block writing: its number and the block-store status of the last
// command that failed, or a termination request held through a garbage collection, or a block
// that the handset acknowledged but holds otherwise when read back.
struct BlockFailure {
  int32_t number = 0;
  uint32_t status = 0;
  bool interrupted = false;
  // Read-back check: what went wrong, and where.
  enum class Verify : uint8_t { None, CannotRead, Size, Version, Data };
  Verify verify = Verify::None;
  int32_t verifyByte = 0;  // Size, Data: the first byte not as written
  uint32_t readValue = 0;  // Size: the size read back; Version: the version read back
};

// A block of the store: its area (kAreaEelite or kAreaEefull) and number.
struct BlockRef {
  uint8_t area = 0;
  int32_t number = 0;
};

struct HandsetBackup;

class UpdateOperations {
 public:
  virtual ~UpdateOperations() = default;

  // True: the link is open and the handset in service mode. False: the failure has been shown
  // in a message box and the port is closed.
  virtual bool Connect() = 0;
  // imei holds 100 characters; true and a zero-terminated IMEI text.
  virtual bool ReadImei(char* imei) = 0;
  virtual void SelectBlocks(uint32_t* flags, const MapBlock* blocks, const MapInfo& info) = 0;
  virtual bool CheckProduct(const MapInfo& info) = 0;
  // The hardware product number last read from the handset (0 until one was read).
  virtual uint16_t HardwareProduct() const = 0;
  // On false, *failure tells which block failed and why.
  virtual bool WriteMapBlocks(MapBlock* blocks, const MapInfo& info, const uint32_t* flags,
                              BlockFailure* failure) = 0;
  virtual bool WriteMapVersion(const MapInfo& info) = 0;
  // Writes saved Eelite blocks back and reads each back to compare; true when all are back.
  virtual bool RestoreBlocks(const std::vector<MapBlock>& blocks) {
    (void)blocks;
    return false;
  }
  // Reads the blocks into *backup: one that exists with its size, version and data, one that
  // does not as absent. False (the reason logged) when the store could not say.
  virtual bool ReadBlocks(const std::vector<BlockRef>& refs, HandsetBackup* backup) {
    (void)refs;
    (void)backup;
    return false;
  }
  // Reads the hardware product number (HardwareProduct() gives it afterwards).
  virtual bool ReadProduct() { return false; }
  // The highest logical block number the store reports.
  virtual bool HighestBlock(uint16_t* highest) {
    (void)highest;
    return false;
  }
  // Deletes each of the blocks that exists; true when none is left.
  virtual bool DeleteBlocks(const std::vector<BlockRef>& refs) {
    (void)refs;
    return false;
  }
  // Called once the map is checked and fits the handset, before the first change: the place
  // to keep what the run may change. False stops the run with nothing changed.
  virtual bool BeforeFirstChange(const MapBlock* blocks, const MapInfo& info) {
    (void)blocks;
    (void)info;
    return true;
  }
  // Switches the handset off and closes the port.
  virtual void CloseSession() = 0;
};

}  // namespace velmora
