// Serial devices and their USB identity from a device tree laid out as Linux's sysfs: USB
// serial converters, CDC ACM modems, real UARTs and empty UART slots, terminals without
// hardware; and picking one adapter by usb:VID:PID[:SERIAL].
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ports/usb_ports.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// A small sysfs: /class/tty/NAME entries linking into /devices, as the kernel lays them out.
class FakeSysfs {
 public:
  FakeSysfs() {
    fs::create_directories(root_ / "class/tty");
    fs::create_directories(root_ / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(root_ / "bus/usb/drivers/cdc_acm");
    fs::create_directories(root_ / "bus/platform/drivers/serial8250");
  }
  std::string root() const { return root_.string(); }

  // A USB device at devices/usbN/PORT with its ids; returns its folder.
  fs::path UsbDevice(const std::string& port, const std::string& vid, const std::string& pid,
                     const std::string& serial, const std::string& product = "") {
    const fs::path dir = root_ / "devices/pci0000:00/usb1" / port;
    fs::create_directories(dir);
    Write(dir / "idVendor", vid + "\n");
    Write(dir / "idProduct", pid + "\n");
    if (!serial.empty()) Write(dir / "serial", serial + "\n");
    if (!product.empty()) Write(dir / "product", product + "\n");
    return dir;
  }
  // A usb-serial converter port: devices/.../PORT:1.0/ttyUSBn, bound to driver.
  void UsbSerial(const fs::path& usb, const std::string& name, const std::string& driver) {
    const fs::path dev = usb / (usb.filename().string() + ":1.0") / name;
    fs::create_directories(dev / "tty" / name);
    fs::create_directories(root_ / "bus/usb-serial/drivers" / driver);
    fs::create_directory_symlink(fs::relative(root_ / "bus/usb-serial/drivers" / driver, dev),
                                 dev / "driver");
    ClassEntry(name, dev / "tty" / name, dev);
  }
  // A CDC ACM interface: the tty's device is the interface itself.
  void Acm(const fs::path& usb, const std::string& name) {
    const fs::path intf = usb / (usb.filename().string() + ":1.0");
    fs::create_directories(intf / "tty" / name);
    fs::create_directory_symlink(fs::relative(root_ / "bus/usb/drivers/cdc_acm", intf), intf / "driver");
    ClassEntry(name, intf / "tty" / name, intf);
  }
  // A UART slot of the 8250 driver; type 0 means no UART was found there.
  void Uart(const std::string& name, int type) {
    const fs::path dev = root_ / "devices/platform/serial8250";
    fs::create_directories(dev / "tty" / name);
    if (!fs::exists(dev / "driver"))
      fs::create_directory_symlink(fs::relative(root_ / "bus/platform/drivers/serial8250", dev),
                                   dev / "driver");
    ClassEntry(name, dev / "tty" / name, dev);
    Write(dev / "tty" / name / "type", std::to_string(type) + "\n");
  }
  // A terminal without hardware (a virtual console).
  void Virtual(const std::string& name) {
    const fs::path dir = root_ / "devices/virtual/tty" / name;
    fs::create_directories(dir);
    fs::create_directory_symlink(fs::relative(dir, root_ / "class/tty"), root_ / "class/tty" / name);
  }

 private:
  static void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }
  void ClassEntry(const std::string& name, const fs::path& ttyDir, const fs::path& device) {
    fs::create_directory_symlink(fs::relative(device, ttyDir), ttyDir / "device");
    fs::create_directory_symlink(fs::relative(ttyDir, root_ / "class/tty"), root_ / "class/tty" / name);
  }
  testing::TempFolder folder_{"velmora-sysfs"};
  fs::path root_ = folder_.path();
};

class UsbPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path ftdi = tree.UsbDevice("1-1", "0403", "6001", "A10KXYZ", "FT232R USB UART");
    tree.UsbSerial(ftdi, "ttyUSB0", "ftdi_sio");
    const fs::path twin = tree.UsbDevice("1-2", "0403", "6001", "B20QRST");
    tree.UsbSerial(twin, "ttyUSB1", "ftdi_sio");
    const fs::path modem = tree.UsbDevice("1-3", "1A86", "55D4", "");
    tree.Acm(modem, "ttyACM0");
    tree.Uart("ttyS0", 4);
    tree.Uart("ttyS1", 0);
    tree.Virtual("tty1");
  }
  FakeSysfs tree;
};

TEST_F(UsbPortsTest, ListsDevicesWithHardwareAndTheirUsbIdentity) {
  const std::vector<SerialPortInfo> ports = ListSerialPorts(tree.root());
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0].name, "ttyACM0");
  EXPECT_EQ(ports[0].driver, "cdc_acm");
  EXPECT_EQ(ports[0].Identity(), "usb:1a86:55d4");  // lower case, no serial number
  EXPECT_EQ(ports[1].device, "/dev/ttyS0");
  EXPECT_EQ(ports[1].driver, "serial8250");
  EXPECT_FALSE(ports[1].usb);
  EXPECT_EQ(ports[2].Identity(), "usb:0403:6001:A10KXYZ");
  EXPECT_EQ(ports[2].driver, "ftdi_sio");
  EXPECT_EQ(ports[2].product, "FT232R USB UART");
  EXPECT_EQ(ports[3].Identity(), "usb:0403:6001:B20QRST");

  EXPECT_EQ(FormatPortList(ports),
            "/dev/ttyACM0  usb:1a86:55d4          cdc_acm\n"
            "/dev/ttyS0    -                      serial8250\n"
            "/dev/ttyUSB0  usb:0403:6001:A10KXYZ  ftdi_sio    FT232R USB UART\n"
            "/dev/ttyUSB1  usb:0403:6001:B20QRST  ftdi_sio\n");
  EXPECT_TRUE(ListSerialPorts(tree.root() + "/nothing-here").empty());
}

TEST_F(UsbPortsTest, IdentityPicksOneDeviceOrSaysWhyNot) {
  struct Case {
    const char* identity;
    const char* device;  // null: refused
    const char* reason;  // part of the reason
  };
  const Case cases[] = {
      {"usb:0403:6001:B20QRST", "/dev/ttyUSB1", ""},
      {"usb:1A86:55d4", "/dev/ttyACM0", ""},
      {"usb:0403:6001", nullptr,
       "2 serial devices match: /dev/ttyUSB0 (usb:0403:6001:A10KXYZ) /dev/ttyUSB1 "
       "(usb:0403:6001:B20QRST)"},
      {"usb:0403:6001:b20qrst", nullptr, "no serial device with this USB identity"},
      {"usb:0403:6015", nullptr, "no serial device with this USB identity"},
      {"usb:403:6001", nullptr, "not a USB identity"},
      {"usb:0403", nullptr, "not a USB identity"},
      {"usb:0403:6001:", nullptr, "not a USB identity"},
      {"usb:04g3:6001", nullptr, "not a USB identity"},
      // A serial number may hold colons: this one is simply not connected.
      {"usb:0403:6001:A:B", nullptr, "no serial device with this USB identity"},
  };
  const std::vector<SerialPortInfo> ports = ListSerialPorts(tree.root());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.identity);
    SerialPortInfo found;
    std::string why;
    const bool ok = FindUsbPort(ports, c.identity, &found, &why);
    if (c.device != nullptr) {
      ASSERT_TRUE(ok) << why;
      EXPECT_EQ(found.device, c.device);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(why.rfind(std::string(c.identity) + ": ", 0), 0u) << why;
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
  }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Odd entries where a sysfs attribute should be: never waited on, never read without bound, and
// what they hold never reaches the terminal raw; every serial number listed can be typed back.
TEST(UsbPortsOddTree, OddAttributesAreBoundedEscapedAndStillUsable) {
  FakeSysfs sysfs;
  const fs::path fifoDevice = sysfs.UsbDevice("1-1", "0403", "6001", "");
  ASSERT_EQ(::mkfifo((fifoDevice / "serial").c_str(), 0600), 0);  // would block an ifstream
  sysfs.UsbSerial(fifoDevice, "ttyUSB0", "ftdi_sio");
  const fs::path hugeDevice = sysfs.UsbDevice("1-2", "0403", "6010", "");
  std::ofstream(hugeDevice / "serial") << std::string(1 << 20, 'A');  // no newline for 1 MB
  sysfs.UsbSerial(hugeDevice, "ttyUSB1", "ftdi_sio");
  const fs::path oddDevice =
      sysfs.UsbDevice("1-3", "067b", "2303", "AB:12 x\\y", "Bad\x1b[2Jname\x07");
  sysfs.UsbSerial(oddDevice, "ttyUSB2", "pl2303");

  const std::vector<SerialPortInfo> ports = ListSerialPorts(sysfs.root());
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_TRUE(ports[0].serial.empty());
  EXPECT_EQ(ports[1].serial.size(), 4096u);
  const std::string listing = FormatPortList(ports);
  EXPECT_EQ(listing.find('\x1b'), std::string::npos) << listing;
  EXPECT_EQ(listing.find('\x07'), std::string::npos) << listing;
  EXPECT_NE(listing.find("Bad\\x1b[2Jname\\x07"), std::string::npos) << listing;
  // The serial with a colon, a blank and a backslash is listed as one word and taken back.
  const std::string identity = ports[2].Identity();
  EXPECT_EQ(identity, "usb:067b:2303:AB:12\\x20x\\x5cy");
  EXPECT_NE(listing.find(identity), std::string::npos) << listing;
  SerialPortInfo found;
  std::string why;
  ASSERT_TRUE(FindUsbPort(ports, identity, &found, &why)) << why;
  EXPECT_EQ(found.device, "/dev/ttyUSB2");
  ASSERT_TRUE(FindUsbPort(ports, "usb:067b:2303:AB:12 x\\y", &found, &why)) << why;
  // A typed identity with control characters is named escaped.
  EXPECT_FALSE(FindUsbPort(ports, "usb:067b:2303:\x1b[H", &found, &why));
  EXPECT_EQ(why.find('\x1b'), std::string::npos) << why;
}

}  // namespace
}  // namespace velmora
