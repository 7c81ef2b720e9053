// A real serial port on Windows (\\.\COM1 and so on) through the communications API. The only
// place that knows it; everything above sees a SerialDevice.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace velmora {

class Win32SerialDevice final : public SerialDevice {
 public:
  // Opens the device for exclusive use. Null with a reason in *error (the device's name and the
  // system's text): Busy when another program holds it, Permanent when it does not exist or is
  // not a serial port.
  static std::unique_ptr<Win32SerialDevice> Open(const std::string& path, Clock& clock,
                                                 std::string* error, OpenFailure* kind = nullptr);
  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

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
  Win32SerialDevice(void* handle, Clock& clock) : handle_(handle), clock_(clock) {}
  bool Escape(unsigned long function);

  void* handle_;  // HANDLE
  Clock& clock_;
  SerialTimeouts timeouts_;
};

}  // namespace velmora
