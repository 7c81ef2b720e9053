// The serial ports and their USB identity from the answers of Windows' device manager, recorded
// as the SetupAPI gives them: USB adapters with and without a serial number, FTDI's bus driver,
// functions of composite devices, hubs above an adapter, motherboard UARTs, printer ports and
// ports that only the SERIALCOMM map knows; the listing and picking one adapter by
// usb:VID:PID[:SERIAL]. Portable: run on Linux and under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/port_devices.h"
#include "ports/usb_ports.h"

namespace velmora {
namespace {

class RecordedDeviceManager final : public DeviceManager {
 public:
  std::vector<PortDevice> devices;
  std::vector<DeviceMapEntry> map;
  std::vector<PortDevice> PortDevices() override { return devices; }
  std::vector<DeviceMapEntry> SerialDeviceMap() override { return map; }
};

struct DeviceCase {
  const char* what;
  PortDevice device;
  const char* identity;  // "" for none, nullptr for a device that is not listed
};

// Order: port name, instance ID, parents (nearest first), hardware IDs, friendly name, maker,
// service.
const DeviceCase kDevices[] = {
    {"a USB adapter with its serial number in its instance ID",
     {"COM4", "USB\\VID_1234&PID_5678\\SERIAL42", {"USB\\ROOT_HUB30\\4&2F1E2D3C&0&0"},
      {"USB\\VID_1234&PID_5678&REV_0100", "USB\\VID_1234&PID_5678"}, "USB Serial Device (COM4)",
      "Microsoft", "usbser"},
     "usb:1234:5678:SERIAL42"},
    {"FTDI's port below its adapter: the adapter's serial number, without the channel letter",
     {"COM3", "FTDIBUS\\VID_0403+PID_6001+A10KXYZA\\0000",
      {"USB\\VID_0403&PID_6001\\A10KXYZ", "USB\\ROOT_HUB30\\4&2F1E2D3C&0&0"},
      {"FTDIBUS\\COMPORT&VID_0403&PID_6001"}, "USB Serial Port (COM3)", "FTDI", "FTDIBUS"},
     "usb:0403:6001:A10KXYZ"},
    {"FTDI's port whose adapter is not known: the channel letter taken off its own ID",
     {"COM5", "FTDIBUS\\VID_0403+PID_6001+B20QRSTA\\0000", {}, {}, "USB Serial Port (COM5)",
      "FTDI", "FTDIBUS"},
     "usb:0403:6001:B20QRST"},
    {"a function of a composite device: the serial number is the composite device's",
     {"COM6", "USB\\VID_2341&PID_8036&MI_00\\6&2A3B4C5D&0&0000",
      {"USB\\VID_2341&PID_8036\\HIDPC123", "USB\\ROOT_HUB30\\4&2F1E2D3C&0&0"},
      {"USB\\VID_2341&PID_8036&REV_0100&MI_00"}, "Arduino Leonardo (COM6)", "Arduino LLC",
      "usbser"},
     "usb:2341:8036:HIDPC123"},
    {"a function of a composite device without a serial number",
     {"COM8", "USB\\VID_2341&PID_8037&MI_00\\6&11AA22BB&0&0000",
      {"USB\\VID_2341&PID_8037\\5&1A2B3C4D&0&2"}, {}, "USB Serial Device (COM8)", "Microsoft",
      "usbser"},
     "usb:2341:8037"},
    {"an adapter without a serial number: the made-up instance ID is none",
     {"COM9", "USB\\VID_067B&PID_2303\\5&3753427A&0&1", {}, {}, "Prolific USB-to-Serial (COM9)",
      "Prolific", "Ser2pl"},
     "usb:067b:2303"},
    {"a hub above an adapter lends it neither its ids nor its serial number",
     {"COM11", "USB\\VID_1A86&PID_7523\\6&1B2C3D4E&0&3",
      {"USB\\VID_2109&PID_2817\\000000001", "USB\\ROOT_HUB30\\4&2F1E2D3C&0&0"}, {},
      "USB-SERIAL CH340 (COM11)", "wch.cn", "CH341SER_A64"},
     "usb:1a86:7523"},
    {"ids only in the hardware IDs of a vendor's bus, the serial number from the adapter above",
     {"COM12", "SLABBUS\\COMPORT\\1&79F5D87&0&01", {"USB\\VID_10C4&PID_EA60\\0001"},
      {"SLABBUS\\COMPORT&VID_10c4&PID_ea60"}, "Silicon Labs CP210x (COM12)", "Silicon Labs",
      "silabser"},
     "usb:10c4:ea60:0001"},
    {"a motherboard UART",
     {"COM1", "ACPI\\PNP0501\\1", {"ACPI\\PNP0A08\\0", "ROOT\\ACPI_HAL\\0000"}, {"ACPI\\PNP0501"},
      "Communications Port (COM1)", "(Standard port types)", "Serial"},
     ""},
    {"a printer port of the same class is left out",
     {"LPT1", "ACPI\\PNP0400\\1", {}, {"ACPI\\PNP0400"}, "Printer Port (LPT1)",
      "(Standard port types)", "Parport"},
     nullptr},
    {"a device of the class without a port name is left out",
     {"", "USB\\VID_0403&PID_6001\\GHOST", {}, {}, "", "", ""}, nullptr},
};

TEST(DeviceManagerPortsTest, IdentityOfEachKindOfDevice) {
  for (const DeviceCase& c : kDevices) {
    SCOPED_TRACE(c.what);
    RecordedDeviceManager manager;
    manager.devices = {c.device};
    const std::vector<SerialPortInfo> ports = ListSerialPorts(manager);
    if (c.identity == nullptr) {
      EXPECT_TRUE(ports.empty());
      continue;
    }
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].device, c.device.portName);
    EXPECT_EQ(ports[0].Identity(), c.identity);
    EXPECT_EQ(ports[0].driver, c.device.service);
  }
}

RecordedDeviceManager BenchManager() {
  RecordedDeviceManager manager;
  for (const DeviceCase& c : kDevices) manager.devices.push_back(c.device);
  // The drivers announce their ports here too; a virtual port has no device of the class.
  manager.map = {{"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM3"},
                 {"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com20", "COM2"}};
  return manager;
}

TEST(DeviceManagerPortsTest, ListsEveryComPortOnceInTheOrderOfTheirNumbers) {
  RecordedDeviceManager manager = BenchManager();
  EXPECT_EQ(FormatPortList(ListSerialPorts(manager)),
            "COM1   -                       Serial        (Standard port types) Communications Port (COM1)\n"
            "COM2   -                       -\n"
            "COM3   usb:0403:6001:A10KXYZ   FTDIBUS       FTDI USB Serial Port (COM3)\n"
            "COM4   usb:1234:5678:SERIAL42  usbser        Microsoft USB Serial Device (COM4)\n"
            "COM5   usb:0403:6001:B20QRST   FTDIBUS       FTDI USB Serial Port (COM5)\n"
            "COM6   usb:2341:8036:HIDPC123  usbser        Arduino LLC Arduino Leonardo (COM6)\n"
            "COM8   usb:2341:8037           usbser        Microsoft USB Serial Device (COM8)\n"
            "COM9   usb:067b:2303           Ser2pl        Prolific Prolific USB-to-Serial (COM9)\n"
            "COM10  -                       -\n"
            "COM11  usb:1a86:7523           CH341SER_A64  wch.cn USB-SERIAL CH340 (COM11)\n"
            "COM12  usb:10c4:ea60:0001      silabser      Silicon Labs Silicon Labs CP210x (COM12)\n");
}

TEST(DeviceManagerPortsTest, PicksOneAdapterByItsIdentity) {
  RecordedDeviceManager manager = BenchManager();
  manager.devices.push_back({"COM13", "USB\\VID_067B&PID_2303\\5&3753427A&0&2", {}, {},
                             "Prolific USB-to-Serial (COM13)", "Prolific", "Ser2pl"});
  const std::vector<SerialPortInfo> ports = ListSerialPorts(manager);
  struct Case {
    const char* identity;
    const char* device;  // nullptr: none is picked
    const char* why;     // part of the reason
  } const cases[] = {
      {"usb:0403:6001:A10KXYZ", "COM3", ""},
      // Windows keeps instance IDs upper-cased; the serial as another system lists it matches.
      {"usb:0403:6001:a10kxyz", "COM3", ""},
      {"usb:0403:6001", nullptr, "2 serial devices match: COM3 (usb:0403:6001:A10KXYZ) COM5"},
      {"usb:067b:2303", nullptr, "COM9 (no serial number) COM13 (no serial number)"},
      {"usb:1a86:7523", "COM11", ""},
      {"usb:0403:6001:A10KXYZA", nullptr, "no serial device with this USB identity"},
      {"usb:2109:2817", nullptr, "no serial device with this USB identity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identity);
    SerialPortInfo found;
    std::string why;
    const bool ok = FindUsbPort(ports, c.identity, &found, &why);
    EXPECT_EQ(ok, c.device != nullptr) << why;
    if (ok) EXPECT_EQ(found.device, c.device);
    else EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace velmora
