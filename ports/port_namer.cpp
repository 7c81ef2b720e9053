#include "ports/port_namer.h"

#include "rfc2217/rfc2217_device.h"
#include "platform/settings_store.h"
#include "platform/system_serial.h"

namespace velmora {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// "scheme:" at the start of an entry: a letter, then letters, digits, "+", "-" or ".", then ":".
// A path never looks like that unless it is relative and odd; paths start with "/".
bool SplitScheme(const std::string& entry, std::string* scheme, std::string* rest) {
  if (entry.empty() || entry[0] == '/') return false;
  const size_t colon = entry.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const char c = entry[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!letter && (i == 0 || !other)) return false;
  }
  *scheme = Lower(entry.substr(0, colon));
  *rest = entry.substr(colon + 1);
  return true;
}

}  // namespace

PortNamer::PortNamer(Clock& clock) : clock_(clock) {
  RegisterScheme("rfc2217", [this](const std::string& address, std::string* error,
                                   OpenFailure* kind) {
    std::unique_ptr<SerialDevice> device = Rfc2217Device::Open(address, clock_, error, kind);
    return device;
  });
}

void PortNamer::RegisterScheme(const std::string& scheme, SchemeFactory factory) {
  schemes_[Lower(scheme)] = std::move(factory);
}

void PortNamer::SetTarget(const std::string& portName, const std::string& target) {
  table_[Upper(portName)] = target;
}

void PortNamer::LoadTable(const SettingsStore& store) {
  for (const auto& [name, target] : store.StringValues(kPortTableKey)) SetTarget(name, target);
}

std::string PortNamer::TargetOf(const std::string& portName) const {
  const std::string name = Upper(portName);
  if (const auto it = table_.find(name); it != table_.end()) return it->second;
  if (name.size() == 4 && name.compare(0, 3, "COM") == 0 &&
      ((name[3] >= '1' && name[3] <= '9') || name[3] == ':')) {
    return SystemPortDevice(name);
  }
  return {};
}

std::unique_ptr<SerialDevice> PortNamer::Open(const std::string& portName) {
  lastError_.clear();
  lastKind_ = OpenFailure::None;
  const std::string target = TargetOf(portName);
  if (target.empty()) {
    lastError_ = portName + ": no such port";
    lastKind_ = OpenFailure::Permanent;
    return nullptr;
  }
  std::string scheme;
  std::string rest;
  std::unique_ptr<SerialDevice> device;
  OpenFailure kind = OpenFailure::Permanent;
  if (SplitScheme(target, &scheme, &rest)) {
    const auto it = schemes_.find(scheme);
    if (it == schemes_.end()) {
      lastError_ = portName + ": " + target + ": unknown kind of device \"" + scheme + ":\"";
      lastKind_ = OpenFailure::Permanent;
      return nullptr;
    }
    device = it->second(rest, &lastError_, &kind);
  } else {
    device = OpenSystemSerialDevice(target, clock_, &lastError_, &kind);
  }
  if (device) {
    lastError_.clear();
    return device;
  }
  lastKind_ = kind;
  if (lastError_.empty()) lastError_ = portName + ": " + target + ": cannot be opened";
  return device;
}

}  // namespace velmora
