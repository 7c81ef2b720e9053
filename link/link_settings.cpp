// Link settings: the port and baud rate stored under HKEY_CURRENT_CONFIG\QSB_Library.
// Kept apart from the rest of the library so that programs and tests that never read the
// settings do not pull in the settings store.
#include "link/link.h"
#include "platform/byte_order.h"
#include "platform/settings_store.h"

namespace velmora {

namespace {
constexpr const char* kSettingsKey = "HKEY_CURRENT_CONFIG\\QSB_Library";
constexpr const char* kPortValue = "ComPort";
constexpr const char* kBaudValue = "Baudrate";
}  // namespace

int LinkReadSettings(SettingsStore& store, uint8_t* portIndex, uint32_t* baudRate) {
  if (!portIndex || !baudRate) return 0;
  *portIndex = 0;
  *baudRate = kDefaultBaudRate;
  if (!store.HasKey(kSettingsKey)) return 0;

  // Values are read into locals and handed out only when type and size are right, so a
  // value of the wrong kind never leaves part of its bytes in the settings.
  uint8_t port = 0;
  uint32_t type = 0;
  uint32_t size = sizeof port;
  if (!store.QueryValue(kSettingsKey, kPortValue, &type, &port, &size) || type != kRegBinary ||
      size != sizeof port) {
    return 0;
  }
  // Stored counting from 1 (1 = COM1); a stored 0 becomes 255, which no slot accepts.
  *portIndex = static_cast<uint8_t>(port - 1);

  uint8_t baud[4] = {};
  type = 0;
  size = sizeof baud;
  if (!store.QueryValue(kSettingsKey, kBaudValue, &type, baud, &size) || type != kRegDword ||
      size != sizeof baud) {
    return 0;
  }
  *baudRate = LoadLe32(baud);
  return 1;
}

}  // namespace velmora
