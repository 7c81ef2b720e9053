// Read-only settings in the registry-export text format ("Windows Registry Editor Version 5.00"),
// so that value types and sizes are checked exactly as the registry would check them and an
// export from a Windows PC works as it is. The settings are never written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

// The key of the COM device table in the settings: string values "COM1"="/dev/ttyUSB0".
inline constexpr const char* kPortTableKey = "HKEY_CURRENT_CONFIG\\QSB_Library\\Ports";

enum : uint32_t { kRegNone = 0, kRegSz = 1, kRegBinary = 3, kRegDword = 4 };

class SettingsStore {
 public:
  struct Value {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;  // REG_SZ: the characters without terminator
  };

  // Parses a settings text. A malformed text leaves the store empty and returns false with
  // an error naming the line ("settings.reg:7: ...").
  bool LoadText(const std::string& text, const std::string& sourceName, std::string* error);
  // Loads a file; a missing file is an empty store (true, no error).
  bool LoadFile(const std::string& path, std::string* error);
  // The default place: $VELMORA_SETTINGS, else $XDG_CONFIG_HOME/velmora/settings.reg,
  // else ~/.config/velmora/settings.reg.
  static std::string DefaultPath();
  // The file $VELMORA_SETTINGS names ("" when it is not set): named by the user, so it has to
  // be there, as a file given with --settings has.
  static std::string NamedPath();
  // Whether $VELMORA_SETTINGS is set to the empty text (which names no file).
  static bool NamedButEmpty();
  // The settings where the system keeps them: on Windows the registry's keys (or the file
  // $VELMORA_SETTINGS names), elsewhere the file DefaultPath() names.
  bool LoadSystem(std::string* error);
  // Adds a value, or replaces the one of that name, as a registry read would hand it over.
  void SetValue(const std::string& key, const std::string& name, Value value);

  // Key names as written between the brackets, e.g. "HKEY_CURRENT_CONFIG\\QSB_Library";
  // compared without regard to case, as the registry does.
  bool HasKey(const std::string& key) const;
  // Registry-style query: on entry *size is the room in data; the value must fit, otherwise
  // false with *size set to the size needed. Missing key or value: false.
  bool QueryValue(const std::string& key, const std::string& name, uint32_t* type, uint8_t* data,
                  uint32_t* size) const;
  // All string values of a key, in file order (used for the COM device table).
  std::vector<std::pair<std::string, std::string>> StringValues(const std::string& key) const;

 private:
  // key (upper-cased) -> value name (upper-cased) -> (original name, value)
  std::map<std::string, std::vector<std::pair<std::string, Value>>> keys_;
};

}  // namespace velmora
