// Reading the link settings: value types and sizes as the registry checks them.
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"
#include "platform/settings_store.h"

namespace velmora::testing {
namespace {

std::string Export(const std::string& values, const std::string& key = "QSB_Library") {
  return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\" + key + "]\r\n" +
         values;
}

TEST(LinkReadSettings, TypesSizesAndMissingValues) {
  const struct {
    const char* what;
    std::string text;
    int result;
    uint8_t port;
    uint32_t baud;
  } cases[] = {
      {"no key at all", "Windows Registry Editor Version 5.00\r\n", 0, 0, 57600},
      {"another key", Export("\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:0001c200\r\n", "Other"), 0,
       0, 57600},
      {"COM2 at 115200", Export("\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:0001c200\r\n"), 1, 1,
       115200},
      {"COM1 at 19200", Export("\"ComPort\"=hex:01\r\n\"Baudrate\"=dword:00004b00\r\n"), 1, 0,
       19200},
      {"stored 0 wraps to 255", Export("\"ComPort\"=hex:00\r\n\"Baudrate\"=dword:0000e100\r\n"), 1,
       255, 57600},
      {"port as a dword", Export("\"ComPort\"=dword:00000002\r\n\"Baudrate\"=dword:0001c200\r\n"),
       0, 0, 57600},
      {"port of two bytes", Export("\"ComPort\"=hex:02,00\r\n\"Baudrate\"=dword:0001c200\r\n"), 0,
       0, 57600},
      {"port as a text", Export("\"ComPort\"=\"2\"\r\n\"Baudrate\"=dword:0001c200\r\n"), 0, 0,
       57600},
      {"port of one byte but dword type",
       Export("\"ComPort\"=hex(4):02\r\n\"Baudrate\"=dword:0001c200\r\n"), 0, 0, 57600},
      {"empty port value", Export("\"ComPort\"=hex:\r\n\"Baudrate\"=dword:0001c200\r\n"), 0, 0,
       57600},
      {"port missing", Export("\"Baudrate\"=dword:0001c200\r\n"), 0, 0, 57600},
      {"baud rate missing", Export("\"ComPort\"=hex:02\r\n"), 0, 1, 57600},
      {"baud rate as binary", Export("\"ComPort\"=hex:03\r\n\"Baudrate\"=hex:00,c2,01,00\r\n"), 0,
       2, 57600},
      {"baud rate of two bytes", Export("\"ComPort\"=hex:02\r\n\"Baudrate\"=hex(4):00,c2\r\n"), 0,
       1, 57600},
      {"baud rate too long", Export("\"ComPort\"=hex:02\r\n\"Baudrate\"=hex(4):00,c2,01,00,00\r\n"),
       0, 1, 57600},
      {"names in another case",
       Export("\"comport\"=hex:04\r\n\"BAUDRATE\"=dword:00009600\r\n", "qsb_library"), 1, 3, 38400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.LoadText(c.text, "settings.reg", &error)) << error;
    uint8_t port = 0xAB;
    uint32_t baud = 0xDEADBEEF;
    EXPECT_EQ(LinkReadSettings(store, &port, &baud), c.result);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(baud, c.baud);
  }
}

}  // namespace
}  // namespace velmora::testing
