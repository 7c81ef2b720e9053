// The serial ports as Windows' device manager knows them: every present device of the Ports
// class through the SetupAPI, and the SERIALCOMM device map in which the serial drivers announce
// their COM names (also those without a device node, e.g. virtual ports). The answers are kept
// as the system gives them; ports/usb_ports.cpp reads the USB identity out of them, so that a
// recorded set of answers tests that reading anywhere.
//
// Linux has no device manager: its device tree (sysfs) is read as files by ports/usb_ports.cpp,
// and SystemDeviceManager gives null there.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace velmora {

// One device of the Ports class (strings in UTF-8, "" where the system gives none).
struct PortDevice {
  std::string portName;                  // its PortName value: "COM3" (printer ports: "LPT1")
  std::string instanceId;                // "USB\VID_0403&PID_6001\A10KXYZ",
                                         // "FTDIBUS\VID_0403+PID_6001+A10KXYZA\0000"
  std::vector<std::string> parentIds;    // the instance IDs above it, the nearest first
  std::vector<std::string> hardwareIds;  // "USB\VID_0403&PID_6001&REV_0600", ...
  std::string friendlyName;              // "USB Serial Port (COM3)"
  std::string manufacturer;              // "FTDI"
  std::string service;                   // its driver's service: "FTDIBUS", "usbser", "Serial"
};

// One value of the SERIALCOMM device map.
struct DeviceMapEntry {
  std::string device;    // the driver's device object: "\Device\Serial0", "\Device\VCP0"
  std::string portName;  // "COM1"
};

class DeviceManager {
 public:
  virtual ~DeviceManager() = default;
  // Every present device of the Ports class, in the order the system lists them.
  virtual std::vector<PortDevice> PortDevices() = 0;
  // Every entry of the SERIALCOMM device map.
  virtual std::vector<DeviceMapEntry> SerialDeviceMap() = 0;
};

// The system's device manager; null on a system without one (Linux).
std::unique_ptr<DeviceManager> SystemDeviceManager();

}  // namespace velmora
