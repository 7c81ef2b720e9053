// Opens a serial device by its port name ("COM1" ... "COM9", "COM:") through a device table.
// A table entry is a device path (/dev/ttyUSB0), rfc2217://host:port, or scheme:argument for a
// scheme registered at start-up (sim: for the simulated handset, registered by the program so
// that this layer does not depend on the simulator).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace velmora {

class SettingsStore;

class PortNamer final : public DeviceOpener {
 public:
  // Makes the device for one entry; argument is what follows "scheme:" ("" for "sim:",
  // "PROFILE" for "sim:PROFILE"). Null with a reason in *error when it cannot, and in *kind
  // whether another try may succeed (Busy) or not (Permanent; the default).
  using SchemeFactory = std::function<std::unique_ptr<SerialDevice>(
      const std::string& argument, std::string* error, OpenFailure* kind)>;

  explicit PortNamer(Clock& clock);

  // Scheme names are compared without regard to case. A later registration replaces an earlier
  // one, also of the built-in "rfc2217".
  void RegisterScheme(const std::string& scheme, SchemeFactory factory);
  // Maps a port name (without regard to case) to a device path or URL.
  void SetTarget(const std::string& portName, const std::string& target);
  // Takes every string value of the table key as a mapping; other values are ignored.
  void LoadTable(const SettingsStore& store);
  // The entry a port name resolves to: the table's, else the default (COMn -> /dev/ttyS(n-1),
  // "COM:" -> /dev/ttyS9); empty for a name that is neither.
  std::string TargetOf(const std::string& portName) const;

  std::unique_ptr<SerialDevice> Open(const std::string& portName) override;
  // Why the last Open returned null.
  const std::string& last_error() const { return lastError_; }
  OpenError LastOpenError() const override { return {lastKind_, lastError_}; }

 private:
  Clock& clock_;
  std::map<std::string, std::string> table_;       // upper-cased port name -> entry
  std::map<std::string, SchemeFactory> schemes_;   // lower-cased scheme -> factory
  std::string lastError_;
  OpenFailure lastKind_ = OpenFailure::None;
};

}  // namespace velmora
