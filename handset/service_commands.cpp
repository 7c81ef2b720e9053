#include "handset/service_commands.h"

#include <cstring>
#include <memory>
#include <new>

namespace velmora {
namespace {

// Command codes for Eelite; the Eefull code of a two-area command is 0x10 higher.
constexpr uint8_t kCmdCreateBlock = 0x01;
constexpr uint8_t kCmdWriteBlockChunk = 0x02;
constexpr uint8_t kCmdCloseBlock = 0x03;
constexpr uint8_t kCmdReadBlockChunk = 0x04;
constexpr uint8_t kCmdBlockExists = 0x05;
constexpr uint8_t kCmdGetMaxLogicalBlock = 0x06;  // no area
constexpr uint8_t kCmdDeleteBlock = 0x07;
constexpr uint8_t kCmdGetMaxSpaceValues = 0x08;   // no area
constexpr uint8_t kCmdDeleteAllBlocks = 0x09;     // no area, Eelite
constexpr uint8_t kCmdWriteBlockPart = 0x1A;      // Eefull only
constexpr uint8_t kEefullOffset = 0x10;

// Room for the longest request (code, four parameter bytes, data, check byte).
constexpr size_t kMessageRoom = kMaxFrameData + 1;

uint8_t CodeFor(uint8_t base, StoreArea area) {
  return static_cast<uint8_t>(area == StoreArea::Eefull ? base + kEefullOffset : base);
}

// Appends a 16-bit number low byte first and returns the position after it.
uint8_t PutLe16(uint8_t* message, uint8_t at, uint16_t value) {
  message[at] = static_cast<uint8_t>(value & 0xFF);
  message[at + 1] = static_cast<uint8_t>(value >> 8);
  return static_cast<uint8_t>(at + 2);
}

// The request of the two write commands: code, block number, offset, then the data bytes.
// The caller has checked that count fits the message. Returns the bytes composed.
uint8_t ComposeWrite(uint8_t* message, uint8_t code, uint16_t number, uint16_t offset,
                     uint16_t count, const uint8_t* data) {
  message[0] = code;
  uint8_t n = PutLe16(message, 1, number);
  n = PutLe16(message, n, offset);
  if (count > 0) std::memcpy(message + n, data, count);
  return static_cast<uint8_t>(n + count);
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
  uint8_t check = 0;
  for (uint8_t i = 0; i < count; ++i) check ^= message[i];
  message[count] = check;
  return link_.WComWrite(h, kServiceFrameType, static_cast<uint8_t>(count + 1), message);
}

int ServiceCommands::ReadServiceReply(LinkHandle h, uint8_t* reply) {
  for (int i = 0; i < kServiceReplyReads; ++i) {
    uint8_t type = 0;
    uint8_t length = 0;
    if (link_.WComRead(h, &type, &length, reply) == 1 && length >= 1 && length <= kMaxFrameData)
      return length;
  }
  return 0;
}

int ServiceCommands::CheckServiceReply(int length, const uint8_t* reply) {
  if (length <= 0 || length > kMaxFrameData) return 0;
  uint8_t check = 0;
  for (int i = 0; i < length - 1; ++i) check ^= reply[i];
  return check == reply[length - 1] ? 1 : 0;
}

void ServiceCommands::MapReplyStatus(uint8_t statusByte) {
  switch (statusByte) {
    case '0': Record(kStatusOk); break;
    case '1': Record(kStatusNotInitialised); break;
    case '2': Record(kStatusNoBlock); break;
    case ' ': Record(kStatusErrorPcToMob); break;
    case '6': Record(kStatusBlockTooSmall); break;
    case '7': Record(kStatusBlockInUse); break;
    case '5': Record(kStatusNoSpace); break;
    case '3': Record(kStatusIdNotLocked); break;
    case '4': Record(kStatusNotSameId); break;
    default: Record(kStatusUnknown); break;
  }
}

bool ServiceCommands::Exchange(LinkHandle h, const Command& c, uint8_t* message, uint8_t count,
                               uint8_t* reply) {
  uint32_t savedTimeout = 0;
  bool timeoutSaved = false;
  if (c.longTimeout) {
    // Without the old value the port could not be set back afterwards.
    if (link_.WComGetTimeOut(h, &savedTimeout) != 1) {
      Record(kStatusErrorMobToPc);
      return false;
    }
    timeoutSaved = true;
    link_.WComSetTimeOut(h, kLongCommandTimeoutMs);
  }

  // The send result is not judged: a lost request shows up as a missing reply.
  SendServiceMessage(h, message, count);

  int pendingReplies = 0;
  for (;;) {
    const int length = ReadServiceReply(h, reply);
    // The caller's time-out is back in force before anything is judged, so no way out of
    // this loop leaves the 5000 ms behind.
    if (timeoutSaved) {
      link_.WComSetTimeOut(h, savedTimeout);
      timeoutSaved = false;
    }
    if (!CheckServiceReply(length, reply)) {
      Record(kStatusErrorMobToPc);
      return false;
    }
    if (reply[0] == kPendingReply && c.waitsPending) {
      if (++pendingReplies > kMaxPendingReplies) {
        Record(kStatusUnknown);
        return false;
      }
      if (link_.WComGetTimeOut(h, &savedTimeout) != 1) {
        Record(kStatusErrorMobToPc);
        return false;
      }
      timeoutSaved = true;
      link_.WComSetTimeOut(h, kLongCommandTimeoutMs);
      continue;
    }
    if (reply[0] == c.code) {
      // An echo too short for its results would leave them to be read from stale bytes:
      // it counts as a damaged reply.
      if (length < 2 + c.resultBytes) {
        Record(kStatusErrorMobToPc);
        return false;
      }
      return true;
    }
    MapReplyStatus(reply[0]);
    return false;
  }
}

bool ServiceCommands::Run(LinkHandle h, const Command& c, uint8_t* message, uint8_t count,
                          uint8_t* reply) {
  if (Exchange(h, c, message, count, reply)) return true;
  if (!c.resend || (status_ != kStatusErrorPcToMob && status_ != kStatusErrorMobToPc))
    return false;
  return Exchange(h, c, message, count, reply);
}

int ServiceCommands::CreateBlock(LinkHandle h, StoreArea area, uint16_t number, uint16_t size,
                                 uint8_t version) {
  const Command c{CodeFor(kCmdCreateBlock, area), false, true, false, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  uint8_t n = PutLe16(message, 1, number);
  n = PutLe16(message, n, size);
  message[n++] = version;
  return Run(h, c, message, n, reply) ? 1 : 0;
}

int ServiceCommands::WriteBlockChunk(LinkHandle h, StoreArea area, uint16_t number,
                                     uint16_t offset, uint16_t count, const uint8_t* data) {
  if (count > kMaxWriteData) return 0;
  const Command c{CodeFor(kCmdWriteBlockChunk, area), true, false, false, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  const uint8_t n = ComposeWrite(message, c.code, number, offset, count, data);
  return Run(h, c, message, n, reply) ? 1 : 0;
}

int ServiceCommands::CloseBlock(LinkHandle h, StoreArea area, uint16_t number) {
  const Command c{CodeFor(kCmdCloseBlock, area), true, false, false, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  const uint8_t n = PutLe16(message, 1, number);
  return Run(h, c, message, n, reply) ? 1 : 0;
}

int ServiceCommands::ReadBlockChunk(LinkHandle h, StoreArea area, uint16_t number,
                                    uint16_t offset, uint16_t count, uint8_t* data) {
  if (count > kMaxReadData) return 0;
  const Command c{CodeFor(kCmdReadBlockChunk, area), true, false, false,
                  static_cast<uint8_t>(count)};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  uint8_t n = PutLe16(message, 1, number);
  n = PutLe16(message, n, offset);
  n = PutLe16(message, n, count);
  if (!Run(h, c, message, n, reply)) return 0;
  if (count > 0) std::memcpy(data, reply + 1, count);
  return 1;
}

int ServiceCommands::BlockExists(LinkHandle h, StoreArea area, uint16_t number, uint16_t* size,
                                 uint8_t* version) {
  const Command c{CodeFor(kCmdBlockExists, area), true, false, false, 3};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  const uint8_t n = PutLe16(message, 1, number);
  if (!Run(h, c, message, n, reply)) return 0;
  *size = LinkReadLe16(reply + 1);
  *version = reply[3];
  return 1;
}

int ServiceCommands::GetMaxLogicalBlock(LinkHandle h, uint16_t* number) {
  const Command c{kCmdGetMaxLogicalBlock, true, false, false, 2};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  if (!Run(h, c, message, 1, reply)) {
    *number = 0;
    return 0;
  }
  *number = LinkReadLe16(reply + 1);
  return 1;
}

int ServiceCommands::DeleteBlock(LinkHandle h, StoreArea area, uint16_t number) {
  const Command c{CodeFor(kCmdDeleteBlock, area), true, false, false, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  const uint8_t n = PutLe16(message, 1, number);
  return Run(h, c, message, n, reply) ? 1 : 0;
}

int ServiceCommands::GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second,
                                       uint32_t* third) {
  const Command c{kCmdGetMaxSpaceValues, false, false, false, 12};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  if (!Run(h, c, message, 1, reply)) return 0;
  *freeSpace = LinkReadLe32(reply + 1);
  *second = LinkReadLe32(reply + 5);
  *third = LinkReadLe32(reply + 9);
  return 1;
}

int ServiceCommands::GetMaxSpaceValues(LinkHandle h, uint32_t* freeSpace, uint32_t* second) {
  uint32_t unused = 0;
  return GetMaxSpaceValues(h, freeSpace, second, &unused);
}

int ServiceCommands::DeleteAllBlocks(LinkHandle h) {
  const Command c{kCmdDeleteAllBlocks, false, false, true, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  message[0] = c.code;
  return Run(h, c, message, 1, reply) ? 1 : 0;
}

int ServiceCommands::WriteBlockPart(LinkHandle h, StoreArea area, uint16_t number,
                                    uint16_t offset, uint16_t count, const uint8_t* data) {
  // The handset knows this command for Eefull only; nothing is sent for Eelite.
  if (area != StoreArea::Eefull || count > kMaxWriteData) return 0;
  const Command c{kCmdWriteBlockPart, false, true, false, 0};
  uint8_t message[kMessageRoom];
  uint8_t reply[kMaxFrameData];
  const uint8_t n = ComposeWrite(message, c.code, number, offset, count, data);
  return Run(h, c, message, n, reply) ? count : 0;
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
