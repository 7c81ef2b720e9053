#include "ports/usb_ports.h"

#include "platform/regular_file.h"
#include "platform/hex.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <tuple>

namespace velmora {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute holds one short line; a tree that holds more (or a FIFO or a device where
// the attribute should be) is not waited on and not read beyond this.
constexpr size_t kLongestAttribute = 4096;

// The first line of a small sysfs attribute file, "" when there is none. Only a regular file is
// read (opened without blocking), and at most kLongestAttribute bytes of it.
std::string Attribute(const fs::path& path) {
  std::FILE* in = OpenRegularFileStream(path.string(), nullptr);
  if (in == nullptr) return {};
  std::string bytes(kLongestAttribute, '\0');
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
  std::fclose(in);
  std::string line = bytes.substr(0, bytes.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// A text as it may stand in the listing and in messages: control characters (and, where the
// text must stay one word, blanks and backslashes) as \xHH, so that a hostile device name
// cannot move the cursor or hide a line, and what is listed is what the user types.
std::string Escaped(const std::string& text, bool oneWord) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (oneWord && (c == ' ' || c == '\\' || c >= 0x80))) {
      out += "\\x";
      AppendHex(&out, &c, 1);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsHexId(const std::string& text) {
  return text.size() == 4 &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::vector<std::string> SplitColons(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

// --- What the device manager says (Windows) ---

// A device instance ID's parts: "USB\VID_0403&PID_6001\A10KXYZ" is enumerator "USB", device
// "VID_0403&PID_6001" and instance "A10KXYZ".
struct InstanceParts {
  std::string enumerator;
  std::string device;
  std::string instance;
};

InstanceParts SplitInstanceId(const std::string& id) {
  InstanceParts parts;
  const size_t first = id.find('\\');
  parts.enumerator = id.substr(0, first);
  if (first == std::string::npos) return parts;
  const size_t second = id.find('\\', first + 1);
  parts.device = id.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (second != std::string::npos) parts.instance = id.substr(second + 1);
  return parts;
}

// The words of a device ID: USB joins them with '&' ("VID_0403&PID_6001&MI_01"), FTDI's bus
// driver with '+' ("VID_0403+PID_6001+A10KXYZA").
std::vector<std::string> DeviceWords(const std::string& device) {
  std::vector<std::string> words(1);
  for (char c : device) {
    if (c == '&' || c == '+') words.emplace_back();
    else words.back() += c;
  }
  return words;
}

// The four hex digits after "VID_" or "PID_" in a word, lower-cased; "" when it is not one.
std::string IdAfter(const std::string& word, const std::string& prefix) {
  if (word.size() != prefix.size() + 4 || Lower(word.substr(0, prefix.size())) != Lower(prefix)) return {};
  const std::string id = word.substr(prefix.size());
  return IsHexId(id) ? Lower(id) : std::string();
}

struct UsbIds {
  std::string vendor;
  std::string product;
  bool interface = false;     // "MI_xx": one function of a composite device
  std::string rest;           // what follows the ids in FTDI's form
};

// The USB ids in a device ID (or in a hardware ID's device part); false when it has none.
bool IdsIn(const std::string& device, UsbIds* ids) {
  *ids = {};
  const std::vector<std::string> words = DeviceWords(device);
  for (size_t i = 0; i < words.size(); ++i) {
    if (std::string v = IdAfter(words[i], "VID_"); !v.empty()) ids->vendor = v;
    else if (std::string p = IdAfter(words[i], "PID_"); !p.empty()) ids->product = p;
    else if (Lower(words[i].substr(0, 3)) == "mi_") ids->interface = true;
    else if (i == 2) ids->rest = words[i];
  }
  return !ids->vendor.empty() && !ids->product.empty();
}

// The serial number a USB device node carries in its instance ID. Windows makes up an instance
// ID with '&' in it ("5&2A3B4C5D&0&2") for a device that reports no serial number, and for every
// function of a composite device: neither is a serial number.
std::string SerialOfUsbNode(const std::string& id, const UsbIds& wanted) {
  const InstanceParts parts = SplitInstanceId(id);
  UsbIds ids;
  if (Lower(parts.enumerator) != "usb" || !IdsIn(parts.device, &ids) || ids.interface ||
      ids.vendor != wanted.vendor || ids.product != wanted.product || parts.instance.empty() ||
      parts.instance.find('&') != std::string::npos)
    return {};
  return parts.instance;
}

// FTDI's bus driver names its port by the adapter's serial number with the channel's letter
// appended (A, B, ...): the serial number when the USB device above it is not known.
std::string SerialOfFtdiPort(const std::string& id) {
  const InstanceParts parts = SplitInstanceId(id);
  UsbIds ids;
  if (Lower(parts.enumerator) != "ftdibus" || !IdsIn(parts.device, &ids) || ids.rest.size() < 2 ||
      !std::isupper(static_cast<unsigned char>(ids.rest.back())))
    return {};
  return ids.rest.substr(0, ids.rest.size() - 1);
}

// The USB identity of a Ports-class device: the ids from its own instance ID or the nearest
// parent's that has them, else from its hardware IDs; the serial number from the USB device
// node of those ids (the port itself, the composite device above a function, the adapter
// above FTDI's port).
void ReadUsbIdentity(const PortDevice& device, SerialPortInfo* port) {
  std::vector<std::string> nodes{device.instanceId};
  nodes.insert(nodes.end(), device.parentIds.begin(), device.parentIds.end());
  std::vector<std::string> withIds = nodes;
  withIds.insert(withIds.end(), device.hardwareIds.begin(), device.hardwareIds.end());
  UsbIds ids;
  bool found = false;
  for (size_t i = 0; !found && i < withIds.size(); ++i) found = IdsIn(SplitInstanceId(withIds[i]).device, &ids);
  if (!found) return;
  port->usb = true;
  port->vendorId = ids.vendor;
  port->productId = ids.product;
  port->serialAnyCase = true;
  for (const std::string& id : nodes) {
    port->serial = SerialOfUsbNode(id, ids);
    if (!port->serial.empty()) return;
  }
  port->serial = SerialOfFtdiPort(device.instanceId);
}

bool IsComName(const std::string& name) { return Lower(name.substr(0, 3)) == "com" && name.size() > 3; }

// COM2 before COM10: the letters, then the number.
bool PortNameLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    const std::string number = name.substr(digits);
    return std::make_tuple(Lower(name.substr(0, digits)), number.size(), number, name);
  };
  return split(a) < split(b);
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(DeviceManager& manager) {
  std::vector<SerialPortInfo> ports;
  for (const PortDevice& device : manager.PortDevices()) {
    if (!IsComName(device.portName)) continue;
    SerialPortInfo port;
    port.name = port.device = device.portName;
    port.driver = device.service;
    port.manufacturer = device.manufacturer;
    port.product = device.friendlyName;
    ReadUsbIdentity(device, &port);
    ports.push_back(port);
  }
  for (const DeviceMapEntry& entry : manager.SerialDeviceMap()) {
    const bool known = std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& p) {
      return Lower(p.name) == Lower(entry.portName);
    });
    if (known || !IsComName(entry.portName)) continue;
    SerialPortInfo port;
    port.name = port.device = entry.portName;
    ports.push_back(port);
  }
  std::stable_sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNameLess(a.name, b.name);
  });
  return ports;
}

std::vector<SerialPortInfo> SystemSerialPorts(const std::string& sysfsRoot, std::string* where) {
  if (std::unique_ptr<DeviceManager> manager = SystemDeviceManager()) {
    *where = "the device manager (Ports class, SERIALCOMM map)";
    return ListSerialPorts(*manager);
  }
  *where = sysfsRoot;
  return ListSerialPorts(sysfsRoot);
}

std::string SerialPortInfo::Identity() const {
  if (!usb) return {};
  return "usb:" + Escaped(vendorId, true) + ":" + Escaped(productId, true) +
         (serial.empty() ? "" : ":" + Escaped(serial, true));
}

std::vector<SerialPortInfo> ListSerialPorts(const std::string& sysfsRoot) {
  std::vector<SerialPortInfo> ports;
  std::error_code ec;
  const fs::path classDir = fs::path(sysfsRoot) / "class" / "tty";
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path entry = it->path();
    const fs::path deviceLink = entry / "device";
    std::error_code err;
    if (!fs::exists(deviceLink, err)) continue;  // no hardware behind it
    // A UART slot the kernel reserved without finding a UART says type 0.
    const std::string type = Attribute(entry / "type");
    if (type == "0") continue;
    SerialPortInfo port;
    port.name = entry.filename().string();
    port.device = "/dev/" + port.name;
    const fs::path device = fs::canonical(deviceLink, err);
    if (err) continue;
    port.sysfsDevice = device.string();
    const fs::path driver = fs::read_symlink(device / "driver", err);
    if (!err) port.driver = driver.filename().string();
    // The USB device is the nearest folder above that carries the ids.
    for (fs::path up = device; !up.empty() && up != up.root_path(); up = up.parent_path()) {
      if (!fs::exists(up / "idVendor", err)) continue;
      port.usb = true;
      port.vendorId = Lower(Attribute(up / "idVendor"));
      port.productId = Lower(Attribute(up / "idProduct"));
      port.serial = Attribute(up / "serial");
      port.manufacturer = Attribute(up / "manufacturer");
      port.product = Attribute(up / "product");
      break;
    }
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.name < b.name; });
  return ports;
}

std::string FormatPortList(const std::vector<SerialPortInfo>& ports) {
  size_t deviceWidth = 0;
  size_t identityWidth = 0;
  size_t driverWidth = 0;
  for (const SerialPortInfo& p : ports) {
    deviceWidth = std::max(deviceWidth, Escaped(p.device, true).size());
    identityWidth = std::max(identityWidth, std::max<size_t>(p.Identity().size(), 1));
    driverWidth = std::max(driverWidth, std::max<size_t>(Escaped(p.driver, true).size(), 1));
  }
  std::string text;
  for (const SerialPortInfo& p : ports) {
    const std::string device = Escaped(p.device, true);
    std::string line = device + std::string(deviceWidth - std::min(deviceWidth, device.size()) + 2, ' ');
    const std::string identity = p.usb ? p.Identity() : "-";
    line += identity + std::string(identityWidth - identity.size() + 2, ' ');
    const std::string driver = p.driver.empty() ? "-" : Escaped(p.driver, true);
    line += driver + std::string(driverWidth - std::min(driverWidth, driver.size()) + 2, ' ');
    std::string description = Escaped(p.manufacturer, false);
    if (!p.product.empty()) description += (description.empty() ? "" : " ") + Escaped(p.product, false);
    line += description;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

bool IsUsbPortName(const std::string& port) { return port.rfind("usb:", 0) == 0; }

bool FindUsbPort(const std::vector<SerialPortInfo>& ports, const std::string& identity,
                 SerialPortInfo* found, std::string* why) {
  // A serial number may hold colons itself: only the first three separate.
  std::vector<std::string> parts = SplitColons(identity);
  if (parts.size() > 4) {
    const size_t serialStart = identity.find(':', identity.find(':', identity.find(':') + 1) + 1) + 1;
    parts.resize(3);
    parts.push_back(identity.substr(serialStart));
  }
  const std::string shown = Escaped(identity, false);
  if (parts.size() < 3 || parts[0] != "usb" || !IsHexId(parts[1]) ||
      !IsHexId(parts[2]) || (parts.size() == 4 && parts[3].empty())) {
    *why = shown + ": not a USB identity: give usb:VID:PID or usb:VID:PID:SERIAL (VID and PID "
                  "four hex digits each, as --list-ports shows them)";
    return false;
  }
  const std::string vendor = Lower(parts[1]);
  const std::string product = Lower(parts[2]);
  std::vector<const SerialPortInfo*> matches;
  for (const SerialPortInfo& p : ports) {
    // The serial as listed (escaped) or as the device gives it: either is taken.
    if (p.usb && p.vendorId == vendor && p.productId == product &&
        (parts.size() == 3 || p.serial == parts[3] || Escaped(p.serial, true) == parts[3] ||
         (p.serialAnyCase && Lower(p.serial) == Lower(parts[3]))))
      matches.push_back(&p);
  }
  if (matches.size() == 1) {
    *found = *matches[0];
    return true;
  }
  if (matches.empty()) {
    *why = shown + ": no serial device with this USB identity is connected (--list-ports lists "
                  "the serial devices)";
    return false;
  }
  *why = shown + ": " + std::to_string(matches.size()) + " serial devices match:";
  for (const SerialPortInfo* p : matches)
    *why += " " + Escaped(p->device, true) + " (" +
            (p->serial.empty() ? "no serial number" : p->Identity()) + ")";
  *why += "; name one with usb:VID:PID:SERIAL or by its path";
  return false;
}

}  // namespace velmora
