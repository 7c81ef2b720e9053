#include "ports/usb_ports.h"

#include "platform/regular_file.h"
#include "platform/hex.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <system_error>

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

}  // namespace

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
        (parts.size() == 3 || p.serial == parts[3] || Escaped(p.serial, true) == parts[3]))
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
