// The system's own serial ports, for the device table's entries that name no scheme: termios
// devices on POSIX, the communications API on Windows.
#pragma once

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace velmora {

// Opens a port by its device path (/dev/ttyUSB0, COM3, \\.\COM12). Null with the device's
// name and the system's reason in *error, and whether it is worth another try in *kind.
std::unique_ptr<SerialDevice> OpenSystemSerialDevice(const std::string& path, Clock& clock,
                                                     std::string* error, OpenFailure* kind);

// The device behind "COM1".."COM9" or "COM:" (upper case) when the table has no entry.
std::string SystemPortDevice(const std::string& portName);

}  // namespace velmora
