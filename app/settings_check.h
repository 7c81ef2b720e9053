// The link settings as the start-up takes them: LinkReadSettings reads them as the link library
// always has; these checks say what it could not use and what is used instead, so that a typo
// in the settings never quietly selects another port or speed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/settings_store.h"

namespace velmora {

// The port numbers the settings may hold ("ComPort", counted from 1) and the baud rates.
inline constexpr uint32_t kSettingsFirstPort = 1;
inline constexpr uint32_t kSettingsLastPort = 10;  // COM1 .. COM9 and "COM:", the ten slots
inline constexpr uint32_t kSettingsMaxBaudRate = 4000000;

// What is wrong with the stored link settings, when their key exists at all.
struct LinkSettingsProblems {
  std::string port;  // "ComPort" missing, of the wrong type or size, or out of range
  std::string baud;  // "Baudrate" missing, of the wrong type or size, or out of range
  bool portOutOfRange = false;  // one byte of binary data, but no port number 1 .. 10
  bool baudOutOfRange = false;  // a dword, but 0 or above the highest rate
  uint32_t storedBaud = 0;      // "Baudrate" when it is a dword in range, else 0
};

// Looks at "ComPort" and "Baudrate" under HKEY_CURRENT_CONFIG\QSB_Library. No key: no problems
// (the program then asks for the port as it always has).
LinkSettingsProblems CheckLinkSettings(const SettingsStore& store);

}  // namespace velmora
