#include "app/settings_check.h"

#include <cstdio>

#include "platform/byte_order.h"
#include "platform/hex.h"

namespace velmora {
namespace {

constexpr const char* kLinkKey = "HKEY_CURRENT_CONFIG\\QSB_Library";
// Room enough to see what a wrongly typed value holds.
constexpr uint32_t kQueryRoom = 64;

struct Stored {
  bool present = false;
  uint32_t type = kRegNone;
  uint32_t size = 0;
  uint8_t data[kQueryRoom] = {};
};

Stored Query(const SettingsStore& store, const char* name) {
  Stored v;
  v.size = kQueryRoom;
  if (store.QueryValue(kLinkKey, name, &v.type, v.data, &v.size)) {
    v.present = true;
  } else if (v.size > kQueryRoom) {
    v.present = true;  // too large to look at: still the wrong size
  }
  return v;
}

std::string Hex2(uint8_t byte) { return HexText(&byte, 1); }

}  // namespace

LinkSettingsProblems CheckLinkSettings(const SettingsStore& store) {
  LinkSettingsProblems p;
  if (!store.HasKey(kLinkKey)) return p;

  const Stored port = Query(store, "ComPort");
  if (!port.present) {
    p.port = "no \"ComPort\" value";
  } else if (port.type != kRegBinary || port.size != 1) {
    p.port = "\"ComPort\" is not one byte of hex data";
  } else if (port.data[0] < kSettingsFirstPort || port.data[0] > kSettingsLastPort) {
    p.port = "\"ComPort\"=hex:" + Hex2(port.data[0]) + " is no port (1 to 10)";
    p.portOutOfRange = true;
  }

  const Stored baud = Query(store, "Baudrate");
  if (!baud.present) {
    p.baud = "no \"Baudrate\" value";
  } else if (baud.type != kRegDword || baud.size != 4) {
    p.baud = "\"Baudrate\" is not a dword";
  } else {
    const uint32_t rate = LoadLe32(baud.data);
    if (rate == 0 || rate > kSettingsMaxBaudRate) {
      p.baud = "\"Baudrate\" " + std::to_string(rate) + " is out of range (1 to " +
               std::to_string(kSettingsMaxBaudRate) + ")";
      p.baudOutOfRange = true;
    } else {
      p.storedBaud = rate;
    }
  }
  return p;
}

}  // namespace velmora
