// A real serial port on a POSIX system (termios), e.g. /dev/ttyUSB0. The only place that knows
// termios; everything above sees a SerialDevice.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/usb_latency.h"

namespace velmora {

class PosixSerialDevice final : public SerialDevice {
 public:
  // Opens the device for exclusive use in raw 8-bit mode. Null with a reason in *error when it
  // does not exist, is not a terminal, or is held by another program; *kind then tells a port
  // held by another program (Busy) from one that will never open (Permanent).
  static std::unique_ptr<PosixSerialDevice> Open(const std::string& path, Clock& clock,
                                                 std::string* error, OpenFailure* kind = nullptr);
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  bool SetConfig(const SerialConfig& config) override;
  bool GetConfig(SerialConfig* config) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  int Read(uint8_t* buffer, size_t n) override;
  int Write(const uint8_t* data, size_t n) override;
  bool SetDtr(bool high) override;
  bool SetRts(bool high) override;
  bool Purge() override;
  bool ClearErrors() override;

 private:
  PosixSerialDevice(int fd, Clock& clock) : fd_(fd), clock_(clock) {}
  bool SetModemLine(int line, bool high);
  // Waits until the output queue is empty or the deadline passes; false on a failure.
  bool Drain(const Deadline& deadline);

  int fd_;
  Clock& clock_;
  SerialConfig config_;  // the last record applied, for the fields termios cannot express
  bool configured_ = false;
  bool pseudoTerminal_ = false;
  SerialTimeouts timeouts_;
  LatencyTuning latency_;  // put back when the port closes
};

}  // namespace velmora
