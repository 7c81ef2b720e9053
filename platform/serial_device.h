// Serial device seam: what the link library needs from the operating system's serial port.
// Implementations: POSIX termios, RFC 2217 client, the in-process simulated handset,
// and scripted fakes in the tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace velmora {

// Parity codes as the link settings use them.
enum : uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
// Stop-bit codes: 0 = one, 1 = one and a half, 2 = two.
enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
// DTR and RTS control modes of the configuration record.
enum : uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2 };
enum : uint8_t { kRtsControlDisable = 0, kRtsControlEnable = 1, kRtsControlHandshake = 2,
                 kRtsControlToggle = 3 };

// The port's configuration record (the classic device-control block).
struct SerialConfig {
  uint32_t baudRate = 0;
  uint8_t byteSize = 8;
  uint8_t parity = kParityNone;
  uint8_t stopBits = kOneStopBit;
  // Flag bits.
  bool binary = false;
  bool parityCheck = false;
  bool outxCtsFlow = false;
  bool outxDsrFlow = false;
  uint8_t dtrControl = kDtrControlDisable;
  bool dsrSensitivity = false;
  bool txContinueOnXoff = false;
  bool outX = false;
  bool inX = false;
  bool errorCharReplace = false;
  bool nullStrip = false;
  uint8_t rtsControl = kRtsControlDisable;
  bool abortOnError = false;
  uint16_t xonLimit = 0;
  uint16_t xoffLimit = 0;
  char xonChar = 0;
  char xoffChar = 0;
  char errorChar = 0;
  char eofChar = 0;
  char evtChar = 0;

  friend bool operator==(const SerialConfig&, const SerialConfig&) = default;
};

// The five time-out values in milliseconds. A read of n bytes waits at most
// readMultiplier * n + readConstant in total and returns what has arrived;
// readInterval 0 means no interval time-out.
struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readMultiplier = 0;
  uint32_t readConstant = 0;
  uint32_t writeMultiplier = 0;
  uint32_t writeConstant = 0;

  friend bool operator==(const SerialTimeouts&, const SerialTimeouts&) = default;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Applies the whole record; false when the device refuses it (nothing changes then).
  virtual bool SetConfig(const SerialConfig& config) = 0;
  // The record currently in force.
  virtual bool GetConfig(SerialConfig* config) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;

  // Reads up to n bytes. Returns as soon as n bytes are in, or when the total read time-out
  // has passed, with the count that arrived (0 on time-out); -1 when the device failed.
  virtual int Read(uint8_t* buffer, size_t n) = 0;
  // Writes n bytes and returns only when they have left for the line (so the protocol's
  // reply windows count from the last byte on the wire). Returns n, or -1 on failure.
  virtual int Write(const uint8_t* data, size_t n) = 0;

  virtual bool SetDtr(bool high) = 0;
  virtual bool SetRts(bool high) = 0;
  // Aborts pending reads and writes and clears both buffers.
  virtual bool Purge() = 0;
  // Clears the error state and pending status of the port.
  virtual bool ClearErrors() = 0;
};

// Why a device did not open. A port held by another program may be let go in a moment and is
// worth another try; one that does not exist, is refused to us, or names a server that cannot
// be reached never opens, and retrying it only makes the user wait.
enum class OpenFailure : uint8_t { None, Busy, Permanent };

struct OpenError {
  OpenFailure kind = OpenFailure::None;
  std::string text;  // the device's name and the system's reason, e.g. "/dev/ttyUSB0: No such file or directory"
};

// Opens a serial device by its port name ("COM1" ... "COM9", "COM:").
class DeviceOpener {
 public:
  virtual ~DeviceOpener() = default;
  // Null when the device does not exist or is held by another program.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& portName) = 0;
  // Why the last Open returned null. An opener that cannot tell says Busy, so that its callers
  // keep retrying as they always have.
  virtual OpenError LastOpenError() const { return {OpenFailure::Busy, {}}; }
};

// The total time-outs of a read or a write of n bytes, in microseconds (0: none configured).
inline int64_t ReadTotalUs(const SerialTimeouts& t, size_t n) {
  return (int64_t{t.readMultiplier} * static_cast<int64_t>(n) + t.readConstant) * 1000;
}
inline int64_t WriteTotalUs(const SerialTimeouts& t, size_t n) {
  return (int64_t{t.writeMultiplier} * static_cast<int64_t>(n) + t.writeConstant) * 1000;
}

// How long a read of n bytes that waits on its own may still wait: until its total time-out,
// and once a byte has come no longer than the interval time-out after the last one.
class ReadWait {
 public:
  ReadWait(Clock& clock, const SerialTimeouts& t, size_t n)
      : clock_(clock),
        deadline_(clock, ReadTotalUs(t, n)),
        intervalUs_(t.readInterval == 0 || t.readInterval == kNoIntervalWait
                        ? 0
                        : int64_t{t.readInterval} * 1000),
        lastByteUs_(clock.NowUs()) {}
  // Neither total time-out is set: a read returns what is there without waiting.
  static bool NoWait(const SerialTimeouts& t) { return t.readMultiplier == 0 && t.readConstant == 0; }

  // Bytes came just now.
  void BytesCame() { lastByteUs_ = clock_.NowUs(); }
  // Zero or less: the read is over. got: the bytes read so far.
  int64_t LeftUs(size_t got) const {
    const int64_t now = clock_.NowUs();
    int64_t left = deadline_.atUs() - now;
    if (intervalUs_ > 0 && got > 0) left = std::min(left, lastByteUs_ + intervalUs_ - now);
    return left;
  }

  // A readInterval of all ones: no interval time-out either.
  static constexpr uint32_t kNoIntervalWait = 0xFFFFFFFFu;

 private:
  Clock& clock_;
  Deadline deadline_;
  int64_t intervalUs_;
  int64_t lastByteUs_;
};

// Time one byte of the given frame takes on the line, in microseconds:
// start bit, data bits, parity bit, stop bits.
inline int64_t ByteWireTimeUs(const SerialConfig& c) {
  const uint32_t baud = c.baudRate ? c.baudRate : 1;
  const double stop = c.stopBits == kOneStopBit ? 1.0 : (c.stopBits == kOne5StopBits ? 1.5 : 2.0);
  const double bits = 1.0 + c.byteSize + (c.parity == kParityNone ? 0.0 : 1.0) + stop;
  return static_cast<int64_t>(bits * 1e6 / baud + 0.5);
}

}  // namespace velmora
