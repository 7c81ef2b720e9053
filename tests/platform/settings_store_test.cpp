#include "platform/settings_store.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace velmora {
namespace {

const char kKey[] = "HKEY_CURRENT_CONFIG\\QSB_Library";

std::string Reg(const std::string& body) {
  return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

TEST(SettingsStore, ReadsEveryValueTypeWithItsBytes) {
  SettingsStore store;
  std::string error;
  ASSERT_TRUE(store.LoadText(Reg("[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"
                                 "\"ComPort\"=hex:01\r\n"
                                 "\"Baudrate\"=dword:0000e100\r\n"
                                 "\"Long\"=hex:00,11,22,\\\r\n"
                                 "  33,44\r\n"
                                 "\"Text\"=\"a\\\\b\\\"c\"\r\n"
                                 "@=\"default\"\r\n"
                                 "\"Expand\"=hex(2):41,00\r\n"),
                             "settings.reg", &error))
      << error;
  EXPECT_TRUE(store.HasKey(kKey));

  struct Case {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> bytes;  // as the registry hands them out
  };
  const Case cases[] = {
      {"ComPort", kRegBinary, {0x01}},
      {"Baudrate", kRegDword, {0x00, 0xE1, 0x00, 0x00}},  // 57600, little-endian
      {"Long", kRegBinary, {0x00, 0x11, 0x22, 0x33, 0x44}},
      {"Text", kRegSz, {'a', '\\', 'b', '"', 'c', 0}},  // a string comes with its zero
      {"", kRegSz, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
      {"Expand", 2, {0x41, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t buffer[16];
    std::memset(buffer, '?', sizeof buffer);
    uint32_t type = 99;
    uint32_t size = sizeof buffer;
    ASSERT_TRUE(store.QueryValue(kKey, c.name, &type, buffer, &size));
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), c.bytes);
    EXPECT_EQ(buffer[size], '?');  // nothing written past the value
  }
}

TEST(SettingsStore, QueryTooSmallFailsReportsSizeAndLeavesBufferAlone) {
  SettingsStore store;
  ASSERT_TRUE(store.LoadText(Reg("[HKEY_CURRENT_CONFIG\\QSB_Library]\n\"ComPort\"=hex:02,00\n"
                                 "\"Name\"=\"abc\"\n"),
                             "s.reg", nullptr));
  uint8_t byte = 0x5A;
  uint32_t type = 0;
  uint32_t size = 1;
  // Two bytes stored, one byte of room: the port read must not take the first byte.
  EXPECT_FALSE(store.QueryValue(kKey, "ComPort", &type, &byte, &size));
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(byte, 0x5A);

  // Three characters need four bytes with the terminator.
  uint8_t text[3] = {'?', '?', '?'};
  size = 3;
  EXPECT_FALSE(store.QueryValue(kKey, "Name", &type, text, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(text[0], '?');

  // Without a buffer the query is a size enquiry.
  size = 0;
  EXPECT_TRUE(store.QueryValue(kKey, "Name", &type, nullptr, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, kRegSz);
}

TEST(SettingsStore, KeysAndNamesIgnoreCaseAndMissingOnesFail) {
  SettingsStore store;
  ASSERT_TRUE(store.LoadText(Reg("; a comment\n[hkey_current_config\\qsb_library]\n"
                                 "\"comport\"=hex:03\n"),
                             "s.reg", nullptr));
  EXPECT_TRUE(store.HasKey(kKey));
  uint8_t byte = 0;
  uint32_t size = 1;
  EXPECT_TRUE(store.QueryValue(kKey, "COMPORT", nullptr, &byte, &size));
  EXPECT_EQ(byte, 3);
  EXPECT_FALSE(store.QueryValue(kKey, "Baudrate", nullptr, &byte, &size));
  EXPECT_FALSE(store.QueryValue("HKEY_CURRENT_CONFIG\\Other", "ComPort", nullptr, &byte, &size));
  EXPECT_FALSE(store.HasKey("HKEY_CURRENT_CONFIG"));
}

TEST(SettingsStore, PortTableKeepsFileOrderAndLaterValuesReplaceEarlier) {
  SettingsStore store;
  ASSERT_TRUE(store.LoadText(Reg("[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\n"
                                 "\"COM2\"=\"rfc2217://127.0.0.1:7000\"\n"
                                 "\"COM1\"=\"/dev/ttyUSB0\"\n"
                                 "\"COM9\"=dword:1\n"
                                 "\"COM3\"=\"sim:\"\n"
                                 "\"com1\"=\"/dev/ttyACM0\"\n"),
                             "s.reg", nullptr));
  const auto table = store.StringValues("HKEY_CURRENT_CONFIG\\QSB_Library\\Ports");
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(table, (std::vector<P>{{"COM2", "rfc2217://127.0.0.1:7000"},
                                   {"COM1", "/dev/ttyACM0"},
                                   {"COM3", "sim:"}}));
}

TEST(SettingsStore, ByteOrderMarksAndUtf16ExportsAreRead) {
  const std::string body = Reg("[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n\"ComPort\"=hex:02\r\n");
  std::string utf16 = "\xFF\xFE";
  for (char c : body) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  for (const std::string& text : {"\xEF\xBB\xBF" + body, utf16}) {
    SettingsStore store;
    std::string error;
    ASSERT_TRUE(store.LoadText(text, "s.reg", &error)) << error;
    uint8_t byte = 0;
    uint32_t size = 1;
    uint32_t type = 0;
    EXPECT_TRUE(store.QueryValue(kKey, "ComPort", &type, &byte, &size));
    EXPECT_EQ(byte, 2);
  }
}

TEST(SettingsStore, MalformedTextNamesTheLineAndLeavesNoSettings) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    const char* where;  // the error starts with this
  };
  const Case cases[] = {
      {"REGEDIT5\n", "bad.reg:1: "},
      {"", "bad.reg:1: "},
      {"Windows Registry Editor Version 5.00\n\"ComPort\"=hex:01\n", "bad.reg:2: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"ComPort\"=hex:1\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"ComPort\"=hex:01,\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"ComPort\"=hex:01 02\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"B\"=dword:123456789\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"B\"=dword:\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"B\"=dword:12g4\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"B\"=dword\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\"=\"open\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\"=\"a\\nb\"\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\"=\"a\" x\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\" \"a\"\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\nComPort=hex:01\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K\n", "bad.reg:2: "},
      {"Windows Registry Editor Version 5.00\n[-K]\n", "bad.reg:2: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\"=-\n", "bad.reg:3: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"S\"=qword:1\n", "bad.reg:3: "},
      // A continuation that runs off the end is reported at the value's first line.
      {"Windows Registry Editor Version 5.00\n[K]\n\n\"L\"=hex:01,\\\n", "bad.reg:4: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"A\"=hex:01\n\"L\"=hex:01,\\\n  zz\n",
       "bad.reg:4: "},
      {"Windows Registry Editor Version 5.00\n[K]\n\"Z\"=\"a\0b\"\n"s, "bad.reg:1: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SettingsStore store;
    // A good load first, so that a failed one is seen to drop what was there.
    ASSERT_TRUE(store.LoadText(Reg("[K]\n\"ComPort\"=hex:01\n"), "good.reg", nullptr));
    std::string error;
    EXPECT_FALSE(store.LoadText(c.text, "bad.reg", &error));
    EXPECT_EQ(error.rfind(c.where, 0), 0u) << error;
    EXPECT_FALSE(store.HasKey("K"));
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  testing::TempFolder folder_{"velmora-settings"};
  std::string dir_ = folder_.str();
};

TEST_F(SettingsFileTest, MissingFileIsEmptyStoreAndPresentFileIsRead) {
  SettingsStore store;
  std::string error = "stale";
  EXPECT_TRUE(store.LoadFile(dir_ + "/settings.reg", &error));
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(store.HasKey(kKey));

  std::ofstream(dir_ + "/settings.reg") << Reg("[HKEY_CURRENT_CONFIG\\QSB_Library]\n\"ComPort\"=hex:01\n");
  EXPECT_TRUE(store.LoadFile(dir_ + "/settings.reg", &error)) << error;
  EXPECT_TRUE(store.HasKey(kKey));

  std::ofstream(dir_ + "/settings.reg") << Reg("[HKEY_CURRENT_CONFIG\\QSB_Library]\n\"ComPort\"=hex:\n\"x\n");
  EXPECT_FALSE(store.LoadFile(dir_ + "/settings.reg", &error));
  EXPECT_EQ(error.rfind(dir_ + "/settings.reg:5: ", 0), 0u) << error;
  EXPECT_FALSE(store.HasKey(kKey));
}

TEST_F(SettingsFileTest, DefaultPathFollowsTheEnvironment) {
  const char* saved[3] = {getenv("VELMORA_SETTINGS"), getenv("XDG_CONFIG_HOME"), getenv("HOME")};
  const std::string keep[3] = {saved[0] ? saved[0] : "", saved[1] ? saved[1] : "",
                               saved[2] ? saved[2] : ""};
  setenv("HOME", "/home/tester", 1);
  unsetenv("VELMORA_SETTINGS");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsStore::DefaultPath(), "/home/tester/.config/velmora/settings.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(SettingsStore::DefaultPath(), "/home/tester/.config/velmora/settings.reg");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(SettingsStore::DefaultPath(), "/cfg/velmora/settings.reg");
  setenv("VELMORA_SETTINGS", "/etc/v.reg", 1);
  EXPECT_EQ(SettingsStore::DefaultPath(), "/etc/v.reg");
  const char* names[3] = {"VELMORA_SETTINGS", "XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) setenv(names[i], keep[i].c_str(), 1); else unsetenv(names[i]);
  }
}

}  // namespace
}  // namespace velmora
