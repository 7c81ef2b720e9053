// Serial link library: the ten port slots, port configuration and time-outs, link frames,
// raw transfers and the boot-mode handshake.
#include "link/link.h"

#include "protocol/frame.h"

#include <cstring>
#include <new>
#include <string>

namespace velmora {

using namespace protocol;

namespace {

// Time-out that Open gives each slot's port, in ms.
constexpr uint32_t kOpenTimeOutMs[kLinkSlotCount] = {250, 250, 250, 250, 250,
                                                     250, 250, 250, 250, 250};
// The handset needs a moment after RTS comes up (and after every line change) before it listens.
constexpr uint32_t kOpenSettleMs = 100;
constexpr uint32_t kConfigureSettleShortMs = 2;
constexpr uint32_t kConfigureSettleMs = 100;
constexpr uint32_t kParitySettleMs = 10;

// The record's XON, XOFF, error, end-of-file and event characters. XON/XOFF flow control is
// off; they are set anyway so that every open leaves the port in exactly the same state.
constexpr char kXonChar = 0x6E;    // 'n'
constexpr char kXoffChar = 0x66;   // 'f'
constexpr char kErrorChar = 0x72;  // 'r'
constexpr char kEofChar = 0x00;
constexpr char kEventChar = 0x76;  // 'v'

// Frames.
constexpr uint32_t kAwaitWindowMs = 50;     // each frame read of AwaitFrame

// Boot mode.
constexpr int kBootSyncAttempts = 2;
constexpr int kBootSyncTries = 8;
constexpr uint32_t kBootDtrSettleMs = 55;   // boot ROM start-up after DTR rises
constexpr uint32_t kBootProbeWaitMs = 45;   // answer window, and the pause after a wrong byte
constexpr uint32_t kBootAttemptPauseMs = 550;  // DTR low long enough for the handset to reset
constexpr int kBootAckWindows = 3;
constexpr uint32_t kBootAckWindowMs = 20;
constexpr char kLibraryName[] = "QSB 95 Library V3.76 Pallas";
constexpr char kLibraryDate[] = "Sep  9 2002";
constexpr char kLibraryTime[] = "14:24:23";
constexpr size_t kIdentBuffer = 80;

// Copies at most 80 characters and zero-fills the rest of the 80.
char* CopyIdent(char* buffer, const char* text) {
  if (!buffer) return buffer;
  size_t i = 0;
  for (; i < kIdentBuffer && text[i] != '\0'; ++i) buffer[i] = text[i];
  for (; i < kIdentBuffer; ++i) buffer[i] = '\0';
  return buffer;
}

// A device may only ever hand back what was asked for; anything else counts as a failed call.
bool ReadExactly(SerialDevice* dev, uint8_t* buffer, size_t n) {
  return dev->Read(buffer, n) == static_cast<int>(n);
}

bool WriteAll(SerialDevice* dev, const uint8_t* bytes, size_t n) {
  return dev->Write(bytes, n) == static_cast<int>(n);
}

std::unique_ptr<uint8_t[]> AllocateFromFreeStore(size_t n) {
  // One byte at least, so that an empty block still has a copy to release.
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n ? n : 1]);
}

}  // namespace

char* LinkLibraryName(char* buffer80) { return CopyIdent(buffer80, kLibraryName); }
char* LinkLibraryDate(char* buffer80) { return CopyIdent(buffer80, kLibraryDate); }
char* LinkLibraryTime(char* buffer80) { return CopyIdent(buffer80, kLibraryTime); }

struct Link::Slot {
  LinkHandle handle = 0;  // 0 = free
  std::unique_ptr<SerialDevice> device;
  // Both records outlive a close: a reopen rewrites every field it relies on.
  SerialConfig config;
  SerialTimeouts timeouts;
};

Link::Link(Clock& clock, DeviceOpener& opener, UserInteraction& ui)
    : clock_(clock),
      opener_(opener),
      ui_(ui),
      slots_(new Slot[kLinkSlotCount]),
      bootCopyAllocator_(AllocateFromFreeStore) {
  bootString_ = kBootStringTemplate;
}

Link::~Link() = default;

void Link::SetBootCopyAllocator(BootCopyAllocator allocator) {
  bootCopyAllocator_ = allocator ? std::move(allocator) : BootCopyAllocator(AllocateFromFreeStore);
}

int Link::FindSlot(LinkHandle h) const {
  // A free slot holds 0 and a failed open returns -1: neither may ever match a slot.
  if (h <= 0) return kLinkSlotCount;
  for (int i = 0; i < kLinkSlotCount; ++i) {
    if (slots_[i].handle == h) return i;
  }
  return kLinkSlotCount;
}

SerialDevice* Link::DeviceOf(LinkHandle h) const {
  const int i = FindSlot(h);
  return i == kLinkSlotCount ? nullptr : slots_[i].device.get();
}

// ---------------------------------------------------------------------------------------------
// Port and settings

LinkHandle Link::Open(int portIndex, uint32_t baudRate) {
  lastOpenError_ = {};
  // The serial-port dialog yields 255 when nothing was chosen; only the ten slots exist.
  if (portIndex < 0 || portIndex >= kLinkSlotCount) {
    lastOpenError_ = {OpenFailure::Permanent,
                      portIndex == 255 ? std::string("no serial port chosen")
                                       : "COM" + std::to_string(portIndex + 1) +
                                             ": no such port (ten exist, COM1 to COM9 and COM:)"};
    return kNoLink;
  }
  Slot& slot = slots_[portIndex];
  // Index 9 gives "COM:", the character after '9'.
  const std::string name = std::string("COM") + static_cast<char>('1' + portIndex);
  if (slot.handle != 0) {
    lastOpenError_ = {OpenFailure::Busy, name + ": already open"};
    return kNoLink;
  }

  slot.device = opener_.Open(name);
  if (!slot.device) {
    slot.handle = 0;
    lastOpenError_ = opener_.LastOpenError();
    if (lastOpenError_.kind == OpenFailure::None) lastOpenError_.kind = OpenFailure::Busy;
    return kNoLink;
  }

  // Handles are never reused while the process runs, so a stale handle of a closed port
  // cannot reach the port opened after it in the same slot.
  LinkHandle handle = nextHandle_;
  for (;;) {
    if (handle <= 0 || handle == INT32_MAX) handle = 0x100;
    if (FindSlot(handle) == kLinkSlotCount) break;
    ++handle;
  }
  nextHandle_ = handle + 1;
  slot.handle = handle;

  SerialConfig& c = slot.config;
  c.baudRate = baudRate;
  c.byteSize = 8;
  c.parity = kParityNone;
  c.stopBits = kOneStopBit;
  c.binary = true;
  c.parityCheck = true;
  c.outxCtsFlow = false;
  c.outxDsrFlow = false;
  c.dtrControl = kDtrControlDisable;
  c.dsrSensitivity = false;
  c.txContinueOnXoff = true;
  c.outX = false;
  c.inX = false;
  c.errorCharReplace = false;
  c.nullStrip = false;
  c.rtsControl = kRtsControlEnable;
  c.abortOnError = false;
  c.xonLimit = 0;
  c.xoffLimit = 0;
  c.xonChar = kXonChar;
  c.xoffChar = kXoffChar;
  c.errorChar = kErrorChar;
  c.eofChar = kEofChar;
  c.evtChar = kEventChar;

  const bool configured = slot.device->SetConfig(c);
  const bool timed = configured && SetTimeOut(handle, kOpenTimeOutMs[portIndex]);
  if (!configured || !timed || !slot.device->SetRts(true)) {
    slot.device.reset();
    slot.handle = 0;
    lastOpenError_ = {OpenFailure::Busy, name + (!configured ? ": the port refused its configuration"
                                                 : !timed   ? ": the port refused its time-outs"
                                                            : ": RTS cannot be raised")};
    return kNoLink;
  }
  clock_.SleepMs(kOpenSettleMs);
  return handle;
}

int Link::Close(LinkHandle h) {
  const int i = FindSlot(h);
  if (i == kLinkSlotCount) return 0;
  slots_[i].device.reset();
  slots_[i].handle = 0;
  return 1;
}

int Link::SetTimeOut(LinkHandle h, uint32_t ms) {
  const int i = FindSlot(h);
  if (i == kLinkSlotCount) return 0;
  Slot& slot = slots_[i];
  // The record takes the value before the port does, so GetTimeOut reports what was asked
  // for even when the port refused it.
  slot.timeouts = SerialTimeouts{0, 0, ms, 0, ms};
  return slot.device->SetTimeouts(slot.timeouts) ? 1 : 0;
}

int Link::GetTimeOut(LinkHandle h, uint32_t* ms) {
  const int i = FindSlot(h);
  if (i == kLinkSlotCount || !ms) return 0;
  *ms = slots_[i].timeouts.writeConstant;
  return 1;
}

LinkTimeOutScope::LinkTimeOutScope(Link& link, LinkHandle h, uint32_t ms)
    : link_(link), handle_(h) {
  saved_ = link_.GetTimeOut(h, &previousMs_) == 1;
  set_ = saved_ && link_.SetTimeOut(h, ms) == 1;
}

void LinkTimeOutScope::Restore() {
  // Even a refused setting left ms in the slot's record: put the record and the port back.
  if (!saved_) return;
  saved_ = false;
  link_.SetTimeOut(handle_, previousMs_);
}

int Link::Configure(LinkHandle h, uint32_t baudRate) {
  const int i = FindSlot(h);
  if (i == kLinkSlotCount) return 0;
  Slot& slot = slots_[i];
  // Only the baud rate changes; parity and the rest stay as the last change left them.
  slot.config.baudRate = baudRate;
  if (!slot.device->SetConfig(slot.config)) return 0;
  if (!slot.device->SetRts(true)) return 0;
  clock_.SleepMs(kConfigureSettleShortMs);
  clock_.SleepMs(kConfigureSettleMs);
  return 1;
}

int Link::GetConfiguration(LinkHandle h, uint32_t* baudRate) {
  SerialDevice* dev = DeviceOf(h);
  if (!dev || !baudRate) return 0;
  SerialConfig current;
  if (!dev->GetConfig(&current)) return 0;
  *baudRate = current.baudRate;
  return 1;
}

int Link::SetParity(LinkHandle h, uint8_t parity) {
  const int i = FindSlot(h);
  if (i == kLinkSlotCount) return 0;
  Slot& slot = slots_[i];
  slot.config.parity = parity;
  if (!slot.device->SetConfig(slot.config)) return 0;
  if (!slot.device->SetRts(true)) return 0;
  clock_.SleepMs(kParitySettleMs);
  return 1;
}

int Link::SetDtr(LinkHandle h) {
  SerialDevice* dev = DeviceOf(h);
  return dev && dev->SetDtr(true) ? 1 : 0;
}

int Link::ClearDtr(LinkHandle h) {
  SerialDevice* dev = DeviceOf(h);
  return dev && dev->SetDtr(false) ? 1 : 0;
}

int Link::Purge(LinkHandle h) {
  SerialDevice* dev = DeviceOf(h);
  return dev && dev->Purge() ? 1 : 0;
}

int Link::ClearErrors(LinkHandle h) {
  SerialDevice* dev = DeviceOf(h);
  return dev && dev->ClearErrors() ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Frames and raw transfer

int Link::WriteFrame(LinkHandle h, uint8_t type, uint8_t length, const uint8_t* data) {
  SerialDevice* dev = DeviceOf(h);
  if (!dev) return 0;
  // No receiver takes more than 32 data bytes; the encoder refuses longer data.
  uint8_t frame[kMaxFrameBytes];
  const size_t size = EncodeFrame(type, data, length, frame);
  if (size == 0) return 0;
  // The whole frame goes out in one write so that nothing else lands inside it.
  return WriteAll(dev, frame, size) ? 1 : 0;
}

int Link::ReadFrame(LinkHandle h, uint8_t* type, uint8_t* length, uint8_t* data) {
  if (!type || !length || !data) return 0;
  return ReadOneFrame(h, type, length, data) == FrameRead::Ok ? 1 : 0;
}

Link::FrameRead Link::ReadOneFrame(LinkHandle h, uint8_t* type, uint8_t* length, uint8_t* data) {
  SerialDevice* dev = DeviceOf(h);
  if (!dev) return FrameRead::NoPort;
  FrameDecoder decoder(kHostFrameRules);
  uint8_t buffer[kMaxFrameBytes];
  // The header is asked for whole and may come in part; after that the header (or the window
  // sliding along a damaged line) is read a byte at a time, and the data in one read.
  bool firstRead = true;
  for (;;) {
    const size_t wanted = decoder.HaveHeader() || firstRead ? decoder.Wanted() : 1;
    const int got = dev->Read(buffer, wanted);
    // A device may only ever hand back what was asked for; more counts as a failed call.
    if (got < 0 || got > static_cast<int>(wanted)) return FrameRead::DeviceFailed;
    if (got == 0 || (!firstRead && got < static_cast<int>(wanted))) return FrameRead::TimedOut;
    firstRead = false;
    for (int i = 0; i < got; ++i) {
      switch (decoder.Push(buffer[i])) {
        case FrameDecoder::Step::More: break;
        case FrameDecoder::Step::BadHeader: return FrameRead::BadHeader;
        case FrameDecoder::Step::Frame:
          *type = decoder.type();
          *length = decoder.length();
          std::memcpy(data, decoder.data(), decoder.length());
          return FrameRead::Ok;
      }
    }
  }
}

int Link::AwaitFrame(LinkHandle h, uint8_t wantType, uint8_t wantFirst, uint8_t* type,
                         uint8_t* length, uint8_t* data) {
  if (!type || !length || !data) return 0;
  // Short read windows so that a reply is taken as soon as it is complete; a refused setting
  // leaves the port's own time-out in force, which still bounds every read.
  LinkTimeOutScope window(*this, h, kAwaitWindowMs);
  if (!window.saved()) return 0;
  const uint32_t callerMs = window.previousMs();

  uint64_t elapsed = 0;  // wide, so that a huge caller time-out cannot wrap the count
  int found = 0;
  for (;;) {
    elapsed += kAwaitWindowMs;
    uint8_t t = 0;
    uint8_t n = 0;
    uint8_t frame[kMaxFrameData];
    if (ReadFrame(h, &t, &n, frame) && (wantType == 0 || t == wantType) &&
        (wantFirst == 0 || frame[0] == wantFirst)) {
      *type = t;
      *length = n;
      std::memcpy(data, frame, n);
      found = 1;
      break;
    }
    if (elapsed >= callerMs) break;
  }
  return found;
}

int Link::PutByte(LinkHandle h, uint8_t byte) {
  SerialDevice* dev = DeviceOf(h);
  return dev && WriteAll(dev, &byte, 1) ? 1 : 0;
}

int Link::GetByte(LinkHandle h, uint8_t* byte) {
  SerialDevice* dev = DeviceOf(h);
  if (!dev || !byte) return 0;
  uint8_t b = 0;
  if (!ReadExactly(dev, &b, 1)) return 0;
  *byte = b;
  return 1;
}

int Link::GetByteTimed(LinkHandle h, uint8_t* byte, uint32_t ms) {
  LinkTimeOutScope scope(*this, h, ms);
  if (!scope.set()) return 0;
  return GetByte(h, byte);
}

int Link::WriteRaw(LinkHandle h, uint8_t length, const uint8_t* bytes) {
  SerialDevice* dev = DeviceOf(h);
  if (!dev || (length > 0 && !bytes)) return 0;
  return WriteAll(dev, bytes, length) ? 1 : 0;
}

int Link::ReadReply(LinkHandle h, uint8_t size, char* text) {
  // A buffer without room for the terminating zero holds no reply.
  if (!text || size == 0) return 0;
  uint8_t stored = 0;
  bool ended = false;
  while (stored < size - 1) {
    uint8_t b = 0;
    if (!GetByte(h, &b)) {
      ended = true;  // nothing more within the time-out: the reply is complete
      break;
    }
    text[stored++] = static_cast<char>(b);
  }
  text[stored] = '\0';
  return stored > 0 && ended ? 1 : 0;
}

int Link::SendAtCommand(LinkHandle h, const char* text) {
  if (!text) return 0;
  size_t n = 0;
  while (n <= kMaxAtCommandText && text[n] != '\0') ++n;
  if (n > kMaxAtCommandText) return 0;  // longer texts do not fit one frame
  uint8_t data[1 + kMaxAtCommandText];
  data[0] = kAtChannel;
  std::memcpy(data + 1, text, n);
  return WriteFrame(h, kFrameAt, static_cast<uint8_t>(1 + n), data);
}

int Link::RequestProductId(LinkHandle h) {
  return WriteFrame(h, kFrameRequest, 1, &kRequestProductId);
}
int Link::RequestMode(LinkHandle h) { return WriteFrame(h, kFrameRequest, 1, &kRequestMode); }
int Link::RequestPing(LinkHandle h) { return WriteFrame(h, kFramePing, 1, &kPingProbe); }
int Link::RequestSwitchOff(LinkHandle h) {
  return WriteFrame(h, kFrameControl, 1, &kControlSwitchOff);
}

// ---------------------------------------------------------------------------------------------
// Boot mode

int Link::BootSync(LinkHandle h) {
  for (int attempt = 0; attempt < kBootSyncAttempts; ++attempt) {
    // DTR high starts the handset's boot ROM, which then listens for the probe.
    if (!SetDtr(h)) {
      ClearDtr(h);
      return 0;
    }
    clock_.SleepMs(kBootDtrSettleMs);
    for (int attemptTry = 0; attemptTry < kBootSyncTries; ++attemptTry) {
      if (!PutByte(h, kBootProbe)) {
        ClearDtr(h);
        return 0;
      }
      uint8_t answer = 0;
      if (GetByteTimed(h, &answer, kBootProbeWaitMs)) {
        if (answer == kBootAnswer) return ClearDtr(h) ? 1 : 0;
        // Line noise: let it pass before the next probe.
        clock_.SleepMs(kBootProbeWaitMs);
      }
      ClearErrors(h);
    }
    if (!ClearDtr(h)) return 0;
    clock_.SleepMs(kBootAttemptPauseMs);
  }
  return 0;
}

int Link::SendBootBlock(LinkHandle h, uint8_t length, const uint8_t* bytes) {
  if (length > 0 && !bytes) return 0;
  std::unique_ptr<uint8_t[]> copy = bootCopyAllocator_(length);
  if (!copy) {
    ui_.ShowMessageBox("GlobalAlloc failed!", MessageIcon::None);
    return 0;
  }
  if (length > 0) std::memcpy(copy.get(), bytes, length);

  // Length, the bytes, then their XOR (the length byte is not part of it).
  if (!PutByte(h, length)) return 0;
  for (uint8_t i = 0; i < length; ++i) {
    if (!PutByte(h, copy[i])) return 0;
  }
  if (!PutByte(h, XorCheck(copy.get(), length))) return 0;

  for (int window = 0; window < kBootAckWindows; ++window) {
    uint8_t answer = 0;
    if (GetByteTimed(h, &answer, kBootAckWindowMs) && answer == kBootBlockAccepted) return 1;
  }
  return 0;
}

int Link::SendBootString(LinkHandle h, uint8_t p1, uint8_t p2, uint8_t p3) {
  PatchBootString(bootString_.data(), p1, p2, p3);
  return SendBootBlock(h, kBootStringLength, bootString_.data());
}

int Link::LeaveBootMode(LinkHandle h, uint32_t baudRate) {
  if (!ClearDtr(h)) return 0;
  if (!SetParity(h, kParityNone)) return 0;
  return Configure(h, baudRate);
}

}  // namespace velmora
