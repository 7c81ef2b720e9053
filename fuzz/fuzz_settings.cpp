// The registry-export parser on any bytes: as they are (UTF-8 or anything else), and the same
// bytes behind a UTF-16 byte-order mark, the way an export from the registry editor starts.
// Whatever loads must answer queries within the sizes it reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/settings_store.h"

namespace {

void Query(const velmora::SettingsStore& store) {
  static const char* const kKeys[] = {"HKEY_CURRENT_CONFIG\\QSB_Library",
                                      "HKEY_CURRENT_CONFIG\\QSB_Library\\Ports"};
  static const char* const kNames[] = {"ComPort", "Baudrate", "COM1", ""};
  for (const char* key : kKeys) {
    store.HasKey(key);
    for (const auto& [name, value] : store.StringValues(key)) {
      if (name.size() > (1u << 20) || value.size() > (1u << 20)) __builtin_trap();
    }
    for (const char* name : kNames) {
      uint8_t buffer[8];
      uint32_t type = 0;
      uint32_t size = sizeof buffer;
      if (store.QueryValue(key, name, &type, buffer, &size) && size > sizeof buffer) __builtin_trap();
      // The size a too-small query reports must be enough for the next one.
      std::vector<uint8_t> big(size ? size : 1);
      uint32_t bigSize = size;
      if (!store.QueryValue(key, name, &type, big.data(), &bigSize)) continue;
      if (bigSize > size) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  {
    velmora::SettingsStore store;
    if (store.LoadText(std::string(reinterpret_cast<const char*>(data), size), "fuzz.reg", &error)) Query(store);
  }
  {
    // The first byte picks the form: UTF-16LE with its mark, or UTF-8 with its mark.
    std::string text;
    if (size > 0 && (data[0] & 1)) {
      text = "\xFF\xFE";
      for (size_t i = 1; i < size; ++i) {
        text += static_cast<char>(data[i]);
        if (data[0] & 2) text += '\0';  // ASCII widened, so whole lines parse
      }
    } else {
      text = "\xEF\xBB\xBF";
      if (size > 1) text.append(reinterpret_cast<const char*>(data + 1), size - 1);
    }
    velmora::SettingsStore store;
    if (store.LoadText(text, "fuzz.reg", &error)) Query(store);
  }
  return 0;
}
