// The block store spoken to over service messages: one request in a frame of type 0x14,
// one reply frame back, each with its own XOR check byte. This object holds the code of the
// last failed exchange, which lives as long as the object (one per process).
// Errors as every handset service (handset/block_store.h): 1 or 0, the status kept here.
#pragma once

#include <cstdint>

#include "handset/block_store.h"
#include "link/link.h"

namespace velmora {

// Time-out for commands that make the handset erase or allocate: DeleteAllBlocks, and the
// waits after a "P".
constexpr uint32_t kLongCommandTimeoutMs = 5000;
// A handset that never stops saying "P" is given up on after this many of them; the command
// then fails with kStatusUnknown (the handset answered, but never with a result).
constexpr int kMaxPendingReplies = 8;
// Reply reads per exchange before the handset is taken as silent.
constexpr int kServiceReplyReads = 6;
// Whole blocks move in pieces of this many data bytes.
constexpr uint16_t kBlockPieceSize = 20;
// A request or a reply fits one frame: at most kMaxWriteChunk data bytes go in a write, and
// kMaxReadChunk come back from a read (protocol/handset_protocol.h).
using protocol::kMaxReadChunk;
using protocol::kMaxWriteChunk;

// One command's message and how it is exchanged, built from the command table.
struct ServiceRequest;

class ServiceCommands : public BlockStore {
 public:
  explicit ServiceCommands(Link& link) : link_(link) {}

  // --- steps shared by every command ---

  // Appends the XOR of the count bytes at message[count] (the buffer must hold count + 1
  // bytes) and sends them in one frame of type 0x14. Returns WriteFrame's result.
  int SendServiceMessage(LinkHandle h, uint8_t* message, uint8_t count);
  // Up to six frame reads; the first frame that arrives is the reply, whatever its type.
  // reply must hold 32 bytes. Returns the reply length 1..32, or 0 when nothing arrived.
  int ReadServiceReply(LinkHandle h, uint8_t* reply);
  // 1 when the last byte is the XOR of the ones before it (length 0 is invalid).
  static int CheckServiceReply(int length, const uint8_t* reply);
  // Records the code for a non-echo reply byte.
  void MapReplyStatus(uint8_t statusByte);
  uint32_t LastBlockStoreStatus() const override { return status_; }

  // --- single commands ---

  int CreateBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                  uint8_t version) override;
  // count 0..26 data bytes at offset; larger counts are refused without sending.
  int WriteBlockChunk(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                      uint16_t count, const uint8_t* data);
  int CloseBlock(LinkHandle h, StoreArea area, uint16_t number);
  // count 0..30 bytes from offset into data; larger counts are refused without sending.
  int ReadBlockChunk(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                     uint16_t count, uint8_t* data);
  int BlockExists(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                  uint8_t* version) override;
  int GetMaxLogicalBlock(LinkHandle h, uint16_t* number) override;
  int DeleteBlock(LinkHandle h, StoreArea area, uint16_t number) override;
  // All three values of the reply.
  int GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second, uint32_t* third);
  int GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second) override;
  int DeleteAllBlocks(LinkHandle h) override;
  // Eefull only; count 0..26. Returns count on success, 0 on failure.
  int WriteBlockPart(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                     uint16_t count, const uint8_t* data) override;

  // --- whole-block operations ---

  // Create, pieces of 20 bytes, close. The close is sent whenever the create succeeded;
  // the result is 1 only when every piece and the close were acknowledged.
  int WriteBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size, uint8_t version,
                 const uint8_t* data) override;
  // A block larger than room fails before any piece is read (size and version are handed
  // out all the same, so the caller can see how much room it needs).
  int ReadBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size, uint8_t* version,
                uint8_t* data, uint32_t room) override;
  // Returns count on success, 0 on failure.
  int ReadBlockPart(LinkHandle h, StoreArea area, uint16_t number, uint16_t offset,
                    uint16_t count, uint8_t* data) override;

 private:
  // Runs the request (one exchange, or two when the first failed with code 3 or 4).
  // reply holds 32 bytes; true when the handset echoed the command.
  bool Run(LinkHandle h, ServiceRequest& r, uint8_t* reply);
  bool Exchange(LinkHandle h, ServiceRequest& r, uint8_t* reply);
  void Record(uint32_t code) { status_ = code; }

  Link& link_;
  uint32_t status_ = kStatusOk;
};

}  // namespace velmora
