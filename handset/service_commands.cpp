#include "handset/service_commands.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "protocol/frame.h"
#include "platform/byte_order.h"

namespace velmora {

using namespace protocol;

namespace {

// Room for the longest request (code, four parameter bytes, data, check byte).
constexpr size_t kMessageRoom = kMaxFrameData + 1;

// The parameters after the command code, 16-bit numbers low byte first.
enum class Layout : uint8_t {
  None,               // the code alone
  Number,             // block number
  NumberSizeVersion,  // block number, size, version byte
  NumberOffsetCount,  // block number, offset, byte count
  NumberOffsetData,   // block number, offset, then the data bytes
};

enum class Op : uint8_t {
  CreateBlock,
  WriteBlockChunk,
  CloseBlock,
  ReadBlockChunk,
  BlockExists,
  GetMaxLogicalBlock,
  DeleteBlock,
  GetMaxSpaceValues,
  DeleteAllBlocks,
  WriteBlockPart,
};

struct CommandSpec {
  Op op;
  uint8_t code;         // the Eelite code, or the only one
  bool twoAreas;        // the Eefull code is kEefullOffset higher
  Layout layout;
  bool resend;          // one more exchange after a transmission error (codes 3 and 4)
  bool waitsPending;    // "P" means wait for the real answer
  bool longTimeout;     // the exchange runs with the long time-out
  uint8_t resultBytes;  // bytes between the echo and the check byte (a read: its count)
};

// Every block-store command, in the order of Op.
constexpr CommandSpec kCommands[] = {
    // op                  code                   areas  layout                     resend P      long   result
    {Op::CreateBlock,        kCmdCreateBlock,        true,  Layout::NumberSizeVersion, false, true,  false, 0},
    {Op::WriteBlockChunk,    kCmdWriteBlockChunk,    true,  Layout::NumberOffsetData,  true,  false, false, 0},
    {Op::CloseBlock,         kCmdCloseBlock,         true,  Layout::Number,            true,  false, false, 0},
    {Op::ReadBlockChunk,     kCmdReadBlockChunk,     true,  Layout::NumberOffsetCount, true,  false, false, 0},
    {Op::BlockExists,        kCmdBlockExists,        true,  Layout::Number,            true,  false, false, 3},
    {Op::GetMaxLogicalBlock, kCmdGetMaxLogicalBlock, false, Layout::None,              true,  false, false, 2},
    {Op::DeleteBlock,        kCmdDeleteBlock,        true,  Layout::Number,            true,  false, false, 0},
    {Op::GetMaxSpaceValues,  kCmdGetMaxSpaceValues,  false, Layout::None,              false, false, false, 12},
    {Op::DeleteAllBlocks,    kCmdDeleteAllBlocks,    false, Layout::None,              false, false, true,  0},
    {Op::WriteBlockPart,     kCmdWriteBlockPart,     false, Layout::NumberOffsetData,  false, true,  false, 0},
};

constexpr const CommandSpec& SpecOf(Op op) { return kCommands[static_cast<size_t>(op)]; }
constexpr bool InOpOrder() {
  for (size_t i = 0; i < std::size(kCommands); ++i)
    if (static_cast<size_t>(kCommands[i].op) != i) return false;
  return std::size(kCommands) == static_cast<size_t>(Op::WriteBlockPart) + 1;
}
static_assert(InOpOrder(), "kCommands is indexed by Op");

// What a request carries besides its code; which of them go out is the command's layout.
struct Params {
  uint16_t number = 0;
  uint16_t sizeOrOffset = 0;
  uint16_t count = 0;  // data bytes to write, or bytes to read
  uint8_t version = 0;
  const uint8_t* data = nullptr;
};

}  // namespace

struct ServiceRequest {
  uint8_t code;
  bool resend;
  bool waitsPending;
  bool longTimeout;
  uint8_t resultBytes;
  uint8_t count;  // bytes in message, without the check byte
  uint8_t message[kMessageRoom];
};

namespace {

// The one request builder: the code for the area, then the parameters of the command's
// layout. Counts have been checked against the frame by the caller.
ServiceRequest BuildRequest(Op op, StoreArea area, const Params& p) {
  const CommandSpec& c = SpecOf(op);
  ServiceRequest r{};
  r.code = static_cast<uint8_t>(c.twoAreas && area == StoreArea::Eefull ? c.code + kEefullOffset
                                                                         : c.code);
  r.resend = c.resend;
  r.waitsPending = c.waitsPending;
  r.longTimeout = c.longTimeout;
  r.resultBytes = op == Op::ReadBlockChunk ? static_cast<uint8_t>(p.count) : c.resultBytes;
  uint8_t* m = r.message;
  *m++ = r.code;
  const auto put16 = [&m](uint16_t v) {
    StoreLe16(m, v);
    m += 2;
  };
  switch (c.layout) {
    case Layout::None: break;
    case Layout::Number: put16(p.number); break;
    case Layout::NumberSizeVersion:
      put16(p.number);
      put16(p.sizeOrOffset);
      *m++ = p.version;
      break;
    case Layout::NumberOffsetCount:
      put16(p.number);
      put16(p.sizeOrOffset);
      put16(p.count);
      break;
    case Layout::NumberOffsetData:
      put16(p.number);
      put16(p.sizeOrOffset);
      if (p.count > 0) std::memcpy(m, p.data, p.count);
      m += p.count;
      break;
  }
  r.count = static_cast<uint8_t>(m - r.message);
  return r;
}

}  // namespace

const char* StatusText(int32_t code) {
  static const char* const kTexts[] = {
      "Everything Ok ?",
      "Eelite/Eefull not initialised",
      "Data-Block doesnt exist",
      "Transmission-Error PC -> Mob",
      "Transmission-Error Mob -> PC",
      "Block is to small",
      "Block is in Use",
      "No Space in Data Area",
      "Unknown Error Occured",
      "Internal Write-Error: ID not locked",
      "Internal Write-Error: Not same ID ",
      "Function not supported by mobile",
      "Not same ID in mobiles answer",
  };
  constexpr int32_t kCount = static_cast<int32_t>(sizeof kTexts / sizeof kTexts[0]);
  if (code < 0 || code >= kCount) return "Unknown Error-Number";
  return kTexts[code];
}

int ServiceCommands::SendServiceMessage(LinkHandle h, uint8_t* message, uint8_t count) {
  message[count] = XorCheck(message, count);
  return link_.WriteFrame(h, kFrameService, static_cast<uint8_t>(count + 1), message);
}

int ServiceCommands::ReadServiceReply(LinkHandle h, uint8_t* reply) {
  for (int i = 0; i < kServiceReplyReads; ++i) {
    uint8_t type = 0;
    uint8_t length = 0;
    if (link_.ReadFrame(h, &type, &length, reply) == 1 && length >= 1 && length <= kMaxFrameData)
      return length;
  }
  return 0;
}

int ServiceCommands::CheckServiceReply(int length, const uint8_t* reply) {
  if (length <= 0 || length > kMaxFrameData) return 0;
  return XorCheck(reply, static_cast<size_t>(length - 1)) == reply[length - 1] ? 1 : 0;
}

void ServiceCommands::MapReplyStatus(uint8_t statusByte) {
  switch (statusByte) {
    case kReplyOk: Record(kStatusOk); break;
    case kReplyNotInitialised: Record(kStatusNotInitialised); break;
    case kReplyNoBlock: Record(kStatusNoBlock); break;
    case kReplyDamaged: Record(kStatusErrorPcToMob); break;
    case kReplyBlockTooSmall: Record(kStatusBlockTooSmall); break;
    case kReplyBlockInUse: Record(kStatusBlockInUse); break;
    case kReplyNoSpace: Record(kStatusNoSpace); break;
    case kReplyIdNotLocked: Record(kStatusIdNotLocked); break;
    case kReplyNotSameId: Record(kStatusNotSameId); break;
    default: Record(kStatusUnknown); break;
  }
}

bool ServiceCommands::Exchange(LinkHandle h, ServiceRequest& r, uint8_t* reply) {
  // The long time-out covers the wait for one reply; the caller's is back in force before
  // that reply is judged, so no way out of this loop leaves the long one behind.
  std::optional<LinkTimeOutScope> longWait;
  const auto waitLong = [&] {
    longWait.emplace(link_, h, kLongCommandTimeoutMs);
    return longWait->saved();
  };
  if (r.longTimeout && !waitLong()) {
    Record(kStatusErrorMobToPc);
    return false;
  }

  // The send result is not judged: a lost request shows up as a missing reply.
  SendServiceMessage(h, r.message, r.count);

  int pendingReplies = 0;
  for (;;) {
    const int length = ReadServiceReply(h, reply);
    longWait.reset();
    if (!CheckServiceReply(length, reply)) {
      Record(kStatusErrorMobToPc);
      return false;
    }
    if (reply[0] == kReplyPending && r.waitsPending) {
      if (++pendingReplies > kMaxPendingReplies) {
        Record(kStatusUnknown);
        return false;
      }
      if (!waitLong()) {
        Record(kStatusErrorMobToPc);
        return false;
      }
      continue;
    }
    if (reply[0] == r.code) {
      // An echo too short for its results would leave them to be read from stale bytes:
      // it counts as a damaged reply.
      if (length < 2 + r.resultBytes) {
        Record(kStatusErrorMobToPc);
        return false;
      }
      return true;
    }
    MapReplyStatus(reply[0]);
    return false;
  }
}

bool ServiceCommands::Run(LinkHandle h, ServiceRequest& r, uint8_t* reply) {
  if (Exchange(h, r, reply)) return true;
  if (!r.resend || (status_ != kStatusErrorPcToMob && status_ != kStatusErrorMobToPc))
    return false;
  return Exchange(h, r, reply);
}

int ServiceCommands::CreateBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                                 uint8_t version) {
  ServiceRequest r = BuildRequest(Op::CreateBlock, area,
                                  {.number = number, .sizeOrOffset = size, .version = version});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? 1 : 0;
}

int ServiceCommands::WriteBlockChunk(LinkHandle h, StoreArea area, uint16_t number,
                                     uint16_t offset, uint16_t count, const uint8_t* data) {
  if (count > kMaxWriteChunk) return 0;
  ServiceRequest r = BuildRequest(
      Op::WriteBlockChunk, area,
      {.number = number, .sizeOrOffset = offset, .count = count, .data = data});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? 1 : 0;
}

int ServiceCommands::CloseBlock(LinkHandle h, StoreArea area, uint16_t number) {
  ServiceRequest r = BuildRequest(Op::CloseBlock, area, {.number = number});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? 1 : 0;
}

int ServiceCommands::ReadBlockChunk(LinkHandle h, StoreArea area, uint16_t number,
                                    uint16_t offset, uint16_t count, uint8_t* data) {
  if (count > kMaxReadChunk) return 0;
  ServiceRequest r = BuildRequest(Op::ReadBlockChunk, area,
                                  {.number = number, .sizeOrOffset = offset, .count = count});
  uint8_t reply[kMaxFrameData];
  if (!Run(h, r, reply)) return 0;
  if (count > 0) std::memcpy(data, reply + 1, count);
  return 1;
}

int ServiceCommands::BlockExists(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                                 uint8_t* version) {
  ServiceRequest r = BuildRequest(Op::BlockExists, area, {.number = number});
  uint8_t reply[kMaxFrameData];
  if (!Run(h, r, reply)) return 0;
  *size = LoadLe16(reply + 1);
  *version = reply[3];
  return 1;
}

int ServiceCommands::GetMaxLogicalBlock(LinkHandle h, uint16_t* number) {
  ServiceRequest r = BuildRequest(Op::GetMaxLogicalBlock, StoreArea::Eelite, {});
  uint8_t reply[kMaxFrameData];
  if (!Run(h, r, reply)) {
    *number = 0;
    return 0;
  }
  *number = LoadLe16(reply + 1);
  return 1;
}

int ServiceCommands::DeleteBlock(LinkHandle h, StoreArea area, uint16_t number) {
  ServiceRequest r = BuildRequest(Op::DeleteBlock, area, {.number = number});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? 1 : 0;
}

int ServiceCommands::GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second,
                                       uint32_t* third) {
  ServiceRequest r = BuildRequest(Op::GetMaxSpaceValues, StoreArea::Eelite, {});
  uint8_t reply[kMaxFrameData];
  if (!Run(h, r, reply)) return 0;
  *freeSpace = LoadLe32(reply + 1);
  *second = LoadLe32(reply + 5);
  *third = LoadLe32(reply + 9);
  return 1;
}

int ServiceCommands::GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second) {
  uint32_t unused = 0;
  return GetMaxSpaceValues(h, freeSpace, second, &unused);
}

int ServiceCommands::DeleteAllBlocks(LinkHandle h) {
  ServiceRequest r = BuildRequest(Op::DeleteAllBlocks, StoreArea::Eelite, {});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? 1 : 0;
}

int ServiceCommands::WriteBlockPart(LinkHandle h, StoreArea area, uint16_t number,
                                    uint16_t offset, uint16_t count, const uint8_t* data) {
  // The handset knows this command for Eefull only; nothing is sent for Eelite.
  if (area != StoreArea::Eefull || count > kMaxWriteChunk) return 0;
  ServiceRequest r = BuildRequest(
      Op::WriteBlockPart, area,
      {.number = number, .sizeOrOffset = offset, .count = count, .data = data});
  uint8_t reply[kMaxFrameData];
  return Run(h, r, reply) ? count : 0;
}

int ServiceCommands::WriteBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                                uint8_t version, const uint8_t* data) {
  if (!CreateBlock(h, area, number, size, version)) return 0;
  uint16_t offset = 0;
  uint16_t remaining = size;
  bool piecesWritten = true;
  // At least one piece, so an empty block still gets its (empty) write.
  do {
    const uint16_t piece = remaining < kBlockPieceSize ? remaining : kBlockPieceSize;
    if (!WriteBlockChunk(h, area, number, offset, piece, data + offset)) {
      piecesWritten = false;
      break;
    }
    offset = static_cast<uint16_t>(offset + piece);
    remaining = static_cast<uint16_t>(remaining - piece);
  } while (remaining > 0);
  // The handset holds the block open until it is closed, so close it even after a failed
  // piece; but a block with missing data is never reported as written, and the piece's
  // status stays behind for the error line unless the close fails too.
  const int closed = CloseBlock(h, area, number);
  return piecesWritten && closed ? 1 : 0;
}

int ServiceCommands::ReadBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                               uint8_t* version, uint8_t* data, uint32_t room) {
  if (!BlockExists(h, area, number, size, version)) return 0;
  // The block may have grown since the caller sized its buffer.
  if (*size > room) return 0;
  uint16_t offset = 0;
  uint16_t remaining = *size;
  do {
    const uint16_t piece = remaining < kBlockPieceSize ? remaining : kBlockPieceSize;
    if (!ReadBlockChunk(h, area, number, offset, piece, data + offset)) return 0;
    offset = static_cast<uint16_t>(offset + piece);
    remaining = static_cast<uint16_t>(remaining - piece);
  } while (remaining > 0);
  return 1;
}

int ServiceCommands::ReadBlockPart(LinkHandle h, StoreArea area, uint16_t number,
                                   uint16_t offset, uint16_t count, uint8_t* data) {
  uint16_t size = 0;
  uint8_t version = 0;
  if (!BlockExists(h, area, number, &size, &version)) return 0;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (!block) return 0;
  // ReadBlock asks for the size again; the room keeps a grown block out of our buffer.
  uint16_t readSize = 0;
  if (!ReadBlock(h, area, number, &readSize, &version, block.get(), size)) return 0;
  if (static_cast<uint32_t>(offset) + count > readSize) return 0;
  if (count > 0) std::memcpy(data, block.get() + offset, count);
  return count;
}

}  // namespace velmora
