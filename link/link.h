// Serial link library: port slots, configuration and time-outs, frames, raw transfers and the
// boot-mode handshake. Errors in the link: every operation returns 1 on success and 0 on
// failure unless its comment says otherwise; Open returns the handle or -1, and
// LastOpenError says why. Time-outs and damaged frames are told apart inside the library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "protocol/handset_protocol.h"
#include "platform/user_interaction.h"

namespace velmora {

class SettingsStore;

using LinkHandle = int32_t;
constexpr LinkHandle kNoLink = -1;

constexpr int kLinkSlotCount = 10;
using protocol::kMaxFrameData;  // a receiver accepts 1..32 data bytes
constexpr uint32_t kDefaultBaudRate = 57600;
using protocol::kMaxAtCommandText;

// Link settings: port index (0 = COM1) and baud rate.
struct LinkSettings {
  uint8_t portIndex = 0;
  uint32_t baudRate = kDefaultBaudRate;
};

// Reads "ComPort" and "Baudrate" under HKEY_CURRENT_CONFIG\QSB_Library. Sets the defaults
// (index 0, 57600) first; 1 only when the key and both values were read with the right types
// and sizes ("ComPort" one byte of binary, "Baudrate" a four-byte dword). A value is handed out
// only when it was read correctly; the port index is the stored byte minus 1 (0 becomes 255).
int LinkReadSettings(SettingsStore& store, uint8_t* portIndex, uint32_t* baudRate);

// Identification texts, each copied into a caller buffer of 80 characters
// (at most 80 copied, the rest zero-filled). They return the buffer.
char* LinkLibraryName(char* buffer80);
char* LinkLibraryDate(char* buffer80);
char* LinkLibraryTime(char* buffer80);

// The library's process-wide state (the ten port slots) and its operations.
class Link {
 public:
  Link(Clock& clock, DeviceOpener& opener, UserInteraction& ui);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Clock& clock() { return clock_; }

  // --- port and settings ---
  LinkHandle Open(int portIndex, uint32_t baudRate);  // handle or -1
  // Why the last Open returned -1: a port held by another program (Busy) or one that will
  // never open (Permanent), with the device's name and the system's reason. None after a
  // successful open.
  const OpenError& LastOpenError() const { return lastOpenError_; }
  int Close(LinkHandle h);
  int SetTimeOut(LinkHandle h, uint32_t ms);
  int GetTimeOut(LinkHandle h, uint32_t* ms);
  int Configure(LinkHandle h, uint32_t baudRate);
  int GetConfiguration(LinkHandle h, uint32_t* baudRate);
  int SetParity(LinkHandle h, uint8_t parity);  // 0 = none, 2 = even
  int SetDtr(LinkHandle h);
  int ClearDtr(LinkHandle h);
  // Aborts pending reads and writes and clears both buffers.
  int Purge(LinkHandle h);
  // Clears the port's error state and pending status.
  int ClearErrors(LinkHandle h);

  // --- frames and raw transfer ---
  // One frame in one write; more than 32 data bytes are refused (nothing is written).
  int WriteFrame(LinkHandle h, uint8_t type, uint8_t length, const uint8_t* data);
  // data must hold 32 bytes.
  int ReadFrame(LinkHandle h, uint8_t* type, uint8_t* length, uint8_t* data);
  // wantType / wantFirst 0 = any. data must hold 32 bytes.
  int AwaitFrame(LinkHandle h, uint8_t wantType, uint8_t wantFirst, uint8_t* type,
                     uint8_t* length, uint8_t* data);
  int PutByte(LinkHandle h, uint8_t byte);
  int GetByte(LinkHandle h, uint8_t* byte);
  int GetByteTimed(LinkHandle h, uint8_t* byte, uint32_t ms);
  int WriteRaw(LinkHandle h, uint8_t length, const uint8_t* bytes);
  // text must hold size characters; at most size - 1 are stored, then a zero.
  // 1 only when at least one byte came and the reply ended before the buffer was full.
  int ReadReply(LinkHandle h, uint8_t size, char* text);
  // Sends type 6, data 0xF0 + text (at most 30 characters; longer texts are refused).
  int SendAtCommand(LinkHandle h, const char* text);

  // The fixed one-byte request frames of the handset session.
  int RequestProductId(LinkHandle h);  // type 5, 0x21
  int RequestMode(LinkHandle h);       // type 5, 0x3F
  int RequestPing(LinkHandle h);       // type 2, 0x14
  int RequestSwitchOff(LinkHandle h);  // type 14, 0x04

  // --- boot mode ---
  int BootSync(LinkHandle h);
  // Length, bytes and their XOR, one byte at a time; 1 when the handset answers 0xA5.
  int SendBootBlock(LinkHandle h, uint8_t length, const uint8_t* bytes);
  int SendBootString(LinkHandle h, uint8_t p1, uint8_t p2, uint8_t p3);
  int LeaveBootMode(LinkHandle h, uint32_t baudRate);

  // Where the boot block's working copy comes from; null means the allocation failed.
  // The default is the free store. Tests replace it to see the failure path.
  using BootCopyAllocator = std::function<std::unique_ptr<uint8_t[]>(size_t)>;
  void SetBootCopyAllocator(BootCopyAllocator allocator);

 private:
  struct Slot;
  // What one frame read came to. The public calls answer 1 or 0; inside the library a line
  // that went quiet and a header that never made sense are told apart.
  enum class FrameRead {
    Ok,
    NoPort,     // the handle names no open port
    TimedOut,   // the header or the data did not come in time
    DeviceFailed,
    BadHeader,  // no header with a valid check within the resynchronisation window, or a
                // length outside 1..32 (protocol::kHostFrameRules)
  };
  FrameRead ReadOneFrame(LinkHandle h, uint8_t* type, uint8_t* length, uint8_t* data);
  int FindSlot(LinkHandle h) const;  // slot index, or kLinkSlotCount when none
  SerialDevice* DeviceOf(LinkHandle h) const;

  Clock& clock_;
  DeviceOpener& opener_;
  UserInteraction& ui_;
  std::unique_ptr<Slot[]> slots_;
  LinkHandle nextHandle_ = 0x100;
  OpenError lastOpenError_;
  BootCopyAllocator bootCopyAllocator_;
  // The boot program, patched in place with its parameters before every send.
  protocol::BootString bootString_;
};

// Gives one call its own port time-out: the constructor remembers the time-out in force and
// sets ms; the destructor (or Restore, when the old value must be back sooner) sets the
// remembered one again. When the time-out in force cannot be read nothing is changed and
// saved() is false: without the old value the port could not be set back.
class LinkTimeOutScope {
 public:
  LinkTimeOutScope(Link& link, LinkHandle h, uint32_t ms);
  ~LinkTimeOutScope() { Restore(); }
  LinkTimeOutScope(const LinkTimeOutScope&) = delete;
  LinkTimeOutScope& operator=(const LinkTimeOutScope&) = delete;

  bool saved() const { return saved_; }
  // The port took ms (false too when nothing was saved).
  bool set() const { return set_; }
  // The time-out that was in force before, and is again after Restore.
  uint32_t previousMs() const { return previousMs_; }
  void Restore();

 private:
  Link& link_;
  LinkHandle handle_;
  uint32_t previousMs_ = 0;
  bool saved_ = false;
  bool set_ = false;
};

}  // namespace velmora
