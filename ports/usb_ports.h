// Serial devices and their USB identity, as the system describes them, so that a production
// line can name an adapter by what it is (usb:VID:PID[:SERIAL]) rather than by the order it was
// plugged in. Linux: the device tree (/sys/class/tty/NAME/device and the USB device above it),
// whose root is a parameter so that tests run on a tree of their own. Windows: the device
// manager's answers (platform/port_devices.h), which tests record.
#pragma once

#include <string>
#include <vector>

#include "platform/port_devices.h"
#include "platform/usb_latency.h"

namespace velmora {


struct SerialPortInfo {
  std::string name;          // "ttyUSB0", "COM3"
  std::string device;        // "/dev/ttyUSB0", "COM3"
  std::string driver;        // "ftdi_sio", "cdc_acm", "serial8250", "FTDIBUS", "usbser", ...
                             // ("" unknown)
  bool usb = false;          // the identity below is known
  std::string vendorId;      // four lower-case hex digits
  std::string productId;
  std::string serial;        // "" when the device has none
  bool serialAnyCase = false;  // the system keeps the serial upper-cased (Windows' instance
                               // IDs): it matches whatever the case it is given in
  std::string manufacturer;
  std::string product;
  std::string sysfsDevice;   // the tty's device folder in the tree (for the adapter's settings)

  // "usb:0403:6001:A1B2C3D4" (without ":SERIAL" when there is none); "" for no USB identity.
  std::string Identity() const;
};

// Every serial device of the tree under sysfsRoot, sorted by name. Terminals without a device
// behind them (virtual consoles, pseudo-terminals) and UART slots without a UART are left out.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysfsRoot = kDefaultSysfsRoot);

// Every COM port the device manager knows, in the order of their names (COM2 before COM10):
// the devices of the Ports class with their USB identity, read from their instance IDs, those of
// their parents and their hardware IDs; then the ports of the SERIALCOMM map that have no device
// of the class (no identity, no driver). Printer ports are left out.
std::vector<SerialPortInfo> ListSerialPorts(DeviceManager& manager);

// The system's serial devices: the device manager's where the system has one, else the device
// tree under sysfsRoot. *where says where they were looked for, for a message that none were.
std::vector<SerialPortInfo> SystemSerialPorts(const std::string& sysfsRoot, std::string* where);

// One line per device: path, identity, driver, manufacturer and product.
std::string FormatPortList(const std::vector<SerialPortInfo>& ports);

// True for "usb:..." port names.
bool IsUsbPortName(const std::string& port);

// The one device that matches identity ("usb:VID:PID" or "usb:VID:PID:SERIAL", ids in hex,
// any case). False with the reason in *why when identity is malformed, or when no device or several
// devices match (they are named).
bool FindUsbPort(const std::vector<SerialPortInfo>& ports, const std::string& identity,
                 SerialPortInfo* found, std::string* why);

}  // namespace velmora
