// The Windows files behind the platform seams, run under Wine: text mode through the C runtime,
// wide-character file names, the registry as the settings store, serial ports that do not
// exist, the private folder and Winsock.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/record_file.h"
#include "ports/port_namer.h"
#include "platform/regular_file.h"
#include "platform/settings_store.h"
#include "platform/tcp_socket.h"
#include "platform/text_file.h"
#include "platform/win32/system_serial.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

// A folder of its own under the temporary folder, removed afterwards.
class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    std::error_code error;
    do {
      dir_ = fs::temp_directory_path() / ("velmora-win32-" + std::to_string(random()));
    } while (!fs::create_directory(dir_, error) && !error);
    ASSERT_FALSE(error) << error.message();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // UTF-8 path of a name in the folder.
  std::string Path(const std::string& name) const { return WideToUtf8(dir_.wstring()) + "\\" + name; }
  static std::string Bytes(const std::string& path) {
    std::ifstream in(fs::path(Utf8ToWide(path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(fs::path(Utf8ToWide(path)), std::ios::binary) << bytes;
  }

  fs::path dir_;
};

TEST_F(Win32Files, TextModeWritesTheBackupFilesLineEnds) {
  // The engine's lines end in "\r\n"; text mode makes that CR CR LF on disk, as on Linux.
  const struct {
    const char* text;
    const char* onDisk;
  } cases[] = {
      {"BLOCK_NUMBER = 3\r\n", "BLOCK_NUMBER = 3\r\r\n"},
      {"a\nb\n", "a\r\nb\r\n"},
      {"no line end", "no line end"},
      {"\r\n\r\n", "\r\r\n\r\r\n"},
  };
  for (const auto& c : cases) {
    const std::string path = Path("mapsave.eel");
    TextModeFile file;
    ASSERT_TRUE(file.Create(path));
    ASSERT_TRUE(file.Write(c.text));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Bytes(path), c.onDisk) << c.text;
  }
}

TEST_F(Win32Files, CreateExclusiveNeverReplacesAndSyncs) {
  const std::string path = Path("mapsave.eel");
  Put(path, "old");
  TextModeFile file;
  std::string why;
  EXPECT_FALSE(file.CreateExclusive(path, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(Bytes(path), "old");

  const std::string fresh = Path("fresh.eel");
  ASSERT_TRUE(file.CreateExclusive(fresh, &why)) << why;
  ASSERT_TRUE(file.Write("x\r\n"));
  EXPECT_TRUE(file.Sync());
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(Bytes(fresh), "x\r\r\n");
}

TEST_F(Win32Files, MapFilesAreReadInTextMode) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"[1]\r\n0x01\r\n", "[1]\n0x01\n"},
      {"lone\rcarriage\n", "lone\rcarriage\n"},       // a CR without LF stays
      {"before\x1a" "after", "before"},                // Ctrl-Z ends the file
      {"before\xff" "after", "before"},                // so does a byte 255
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::string path = Path("m.map");
    Put(path, c.bytes);
    std::string text = "stale";
    std::string why;
    ASSERT_EQ(ReadMapFileText(path, &text, &why), TextReadResult::Ok) << why;
    EXPECT_EQ(text, c.text);
  }
}

TEST_F(Win32Files, FileNamesKeepEveryCharacter) {
  const std::string name = "Kart\xC3\xA4 \xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0 \xE2\x82\xAC.map";
  const std::string path = Path(name);
  TextModeFile file;
  ASSERT_TRUE(file.Create(path));
  ASSERT_TRUE(file.Write("[5001]\n"));
  ASSERT_TRUE(file.Close());
  EXPECT_TRUE(fs::exists(dir_ / Utf8ToWide(name)));
  EXPECT_TRUE(PathExists(path));

  std::string text;
  std::string why;
  ASSERT_EQ(ReadMapFileText(path, &text, &why), TextReadResult::Ok) << why;
  EXPECT_EQ(text, "[5001]\n");
  std::string bytes;
  ASSERT_TRUE(ReadRegularFile(path, &bytes, &why)) << why;
  EXPECT_EQ(bytes, "[5001]\r\n");
  EXPECT_EQ(ListFiles(WideToUtf8(dir_.wstring()), "Kart", ".map"), std::vector<std::string>{name});

  const std::string renamed = Path("\xC3\xBC" "bertragen.map");
  ASSERT_TRUE(RenameWithoutReplacing(path, renamed, &why)) << why;
  EXPECT_FALSE(PathExists(path));
  EXPECT_TRUE(PathExists(renamed));
}

TEST_F(Win32Files, OnlyRegularFilesAreOpened) {
  std::string why;
  EXPECT_EQ(OpenRegularFile(WideToUtf8(dir_.wstring()), &why), -1);
  EXPECT_EQ(why, kNotARegularFile);
  why.clear();
  EXPECT_EQ(OpenRegularFile("NUL", &why), -1);
  EXPECT_EQ(why, kNotARegularFile);
  why.clear();
  EXPECT_EQ(OpenRegularFile(Path("missing.map"), &why), -1);
  EXPECT_FALSE(why.empty());
  EXPECT_NE(why, kNotARegularFile);
  std::string text;
  EXPECT_EQ(ReadMapFileText(WideToUtf8(dir_.wstring()), &text, &why), TextReadResult::CannotOpen);
}

TEST_F(Win32Files, OutputsTakeOnlyARegularFileOfTheirOwn) {
  Put(Path("record.json"), "old");
  Put(Path("map.map"), "map");
  ASSERT_TRUE(CreateHardLinkW(Utf8ToWide(Path("map-link.map")).c_str(),
                              Utf8ToWide(Path("map.map")).c_str(), nullptr));
  const std::vector<RunInput> inputs = {{"map file", Path("map.map")}};
  std::string why;
  EXPECT_TRUE(CheckOutputPath(Path("record.json"), LinkRule::Refuse, inputs, &why)) << why;
  EXPECT_TRUE(CheckOutputPath(Path("new.json"), LinkRule::Refuse, inputs, &why)) << why;
  // A folder, the null device and a COM port name are no files to write.
  const struct {
    std::string path;
    const char* reason;
  } refused[] = {
      {WideToUtf8(dir_.wstring()), "is a directory, not a regular file"},
      {"NUL", "is a character device, not a regular file"},
      {Path("map-link.map"), "is the map file"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.path);
    EXPECT_FALSE(CheckOutputPath(r.path, LinkRule::Follow, inputs, &why));
    EXPECT_NE(why.find(r.reason), std::string::npos) << why;
  }
  // The writers refuse the same and leave what they refuse alone.
  EXPECT_FALSE(ReplaceFileWhole("NUL", "x\n", &why));
  EXPECT_FALSE(AppendWholeLine(WideToUtf8(dir_.wstring()), "x\n", &why));
  EXPECT_TRUE(ReplaceFileWhole(Path("record.json"), "new\n", &why)) << why;
  EXPECT_EQ(Bytes(Path("record.json")), "new\n");
  // A whole new copy never lands on an existing file.
  EXPECT_FALSE(CreateFileWhole(Path("record.json"), "copy\n", &why));
  EXPECT_EQ(Bytes(Path("record.json")), "new\n");
  EXPECT_TRUE(CreateFileWhole(Path("copy.vbk"), "copy\n", &why)) << why;
  EXPECT_EQ(Bytes(Path("copy.vbk")), "copy\n");
}

TEST_F(Win32Files, RenamingNeverReplaces) {
  const std::string from = Path("a.eel");
  const std::string to = Path("b.eel");
  Put(from, "new");
  Put(to, "kept");
  std::string why;
  EXPECT_FALSE(RenameWithoutReplacing(from, to, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(Bytes(from), "new");
  EXPECT_EQ(Bytes(to), "kept");
}

TEST_F(Win32Files, PrivateFolderLivesUnderLocalAppData) {
  wchar_t saved[32768];
  const DWORD had = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, 32768);
  SetEnvironmentVariableW(L"LOCALAPPDATA", dir_.wstring().c_str());
  std::string why;
  const std::string folder = PrivateStateDirectory(&why);
  SetEnvironmentVariableW(L"LOCALAPPDATA", had ? saved : nullptr);
  EXPECT_EQ(folder, Path("Velmora")) << why;
  EXPECT_TRUE(fs::is_directory(dir_ / L"Velmora"));
}

TEST_F(Win32Files, SettingsFileNamedInTheEnvironmentKeepsEveryCharacter) {
  // "Kartendatei-ü-日本.reg": beyond the ANSI code page that getenv would have used.
  const std::string path = Path("Kartendatei-\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC.reg");
  SetEnvironmentVariableW(L"VELMORA_SETTINGS", Utf8ToWide(path).c_str());
  const std::string named = SettingsStore::DefaultPath();
  SetEnvironmentVariableW(L"VELMORA_SETTINGS", nullptr);
  EXPECT_EQ(named, path);
  EXPECT_EQ(SettingsStore::DefaultPath(), "");
}

// The registry keys are the program's, under HKEY_CURRENT_CONFIG: each case writes them, reads
// them through the store and removes them again.
class Win32Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_CONFIG, L"QSB_Library");
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_CONFIG, L"QSB_Library\\Ports", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &ports_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_CONFIG, L"QSB_Library", 0, KEY_ALL_ACCESS, &key_), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (ports_ != nullptr) RegCloseKey(ports_);
    if (key_ != nullptr) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_CONFIG, L"QSB_Library");
  }
  static void Set(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  static void SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
    Set(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

  HKEY key_ = nullptr;
  HKEY ports_ = nullptr;
};

TEST_F(Win32Registry, ValuesKeepTheirTypesAndSizes) {
  const uint8_t port = 2;
  const DWORD baud = 115200;
  Set(key_, L"ComPort", REG_BINARY, &port, 1);
  Set(key_, L"Baudrate", REG_DWORD, &baud, sizeof baud);
  SetString(ports_, L"COM2", L"rfc2217://127.0.0.1:7000");
  SetString(ports_, L"COM3", L"\\\\.\\COM12");

  SettingsStore store;
  std::string error;
  ASSERT_TRUE(store.LoadSystem(&error)) << error;
  uint32_t type = 0;
  uint8_t byte = 0;
  uint32_t size = 1;
  ASSERT_TRUE(store.QueryValue("HKEY_CURRENT_CONFIG\\QSB_Library", "ComPort", &type, &byte, &size));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(byte, 2);
  uint32_t rate = 0;
  size = sizeof rate;
  ASSERT_TRUE(store.QueryValue("HKEY_CURRENT_CONFIG\\QSB_Library", "Baudrate", &type,
                               reinterpret_cast<uint8_t*>(&rate), &size));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(rate, 115200u);

  VirtualClock clock;
  PortNamer namer(clock);
  namer.LoadTable(store);
  EXPECT_EQ(namer.TargetOf("COM2"), "rfc2217://127.0.0.1:7000");
  EXPECT_EQ(namer.TargetOf("com3"), "\\\\.\\COM12");
  EXPECT_EQ(namer.TargetOf("COM4"), "COM4");
  EXPECT_EQ(namer.TargetOf("COM:"), "COM10");
}

TEST_F(Win32Registry, AValueLongerThanItsBufferIsRefused) {
  const uint8_t twoBytes[2] = {1, 0};
  Set(key_, L"ComPort", REG_BINARY, twoBytes, 2);
  SettingsStore store;
  std::string error;
  ASSERT_TRUE(store.LoadSystem(&error)) << error;
  uint32_t type = 0;
  uint8_t byte = 0;
  uint32_t size = 1;
  EXPECT_FALSE(store.QueryValue("HKEY_CURRENT_CONFIG\\QSB_Library", "ComPort", &type, &byte, &size));
  EXPECT_EQ(size, 2u);
}

TEST_F(Win32Registry, NoKeyIsNoSettings) {
  RegDeleteTreeW(HKEY_CURRENT_CONFIG, L"QSB_Library");
  SettingsStore store;
  std::string error;
  EXPECT_TRUE(store.LoadSystem(&error)) << error;
  EXPECT_FALSE(store.HasKey("HKEY_CURRENT_CONFIG\\QSB_Library"));
}

TEST(Win32Serial, APortThatDoesNotExistFailsAtOnceWithItsName) {
  VirtualClock clock;
  std::string error;
  OpenFailure kind = OpenFailure::None;
  EXPECT_EQ(Win32SerialDevice::Open("COM97", clock, &error, &kind), nullptr);
  EXPECT_EQ(kind, OpenFailure::Permanent);
  EXPECT_EQ(error.rfind("COM97: ", 0), 0u) << error;
  EXPECT_EQ(clock.NowUs(), 0);
}

TEST(Win32Sockets, LoopbackConnectionCarriesBytesAndReportsTheClose) {
  std::string error;
  int port = 0;
  const SocketId listener = TcpListenLoopback(0, &port, &error);
  ASSERT_NE(listener, kNoSocket) << error;
  RealClock clock;
  const SocketId client = TcpConnect("127.0.0.1", std::to_string(port), clock, clock.NowUs() + 5'000'000, &error);
  ASSERT_NE(client, kNoSocket) << error;
  SocketWait wait{listener, true, false, 0};
  ASSERT_EQ(WaitSockets(&wait, 1, 5'000'000), 1);
  const SocketId server = TcpAccept(listener);
  ASSERT_NE(server, kNoSocket);

  EXPECT_EQ(SocketSend(client, "\xff\x00z", 3), 3);
  SocketWait readable{server, true, false, 0};
  ASSERT_EQ(WaitSockets(&readable, 1, 5'000'000), 1);
  char buffer[8] = {};
  ASSERT_EQ(SocketReceive(server, buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), std::string("\xff\x00z", 3));
  EXPECT_EQ(SocketReceive(server, buffer, sizeof buffer), 0);  // nothing more now

  CloseSocket(client);
  ASSERT_EQ(WaitSockets(&readable, 1, 5'000'000), 1);
  EXPECT_EQ(SocketReceive(server, buffer, sizeof buffer), -1);
  CloseSocket(server);
  CloseSocket(listener);
}

TEST(Win32Sockets, ARefusedConnectionSaysWhere) {
  std::string error;
  int port = 0;
  const SocketId listener = TcpListenLoopback(0, &port, &error);
  ASSERT_NE(listener, kNoSocket) << error;
  CloseSocket(listener);  // the port is free now: nobody listens
  RealClock clock;
  EXPECT_EQ(TcpConnect("127.0.0.1", std::to_string(port), clock, clock.NowUs() + 5'000'000, &error), kNoSocket);
  EXPECT_EQ(error.rfind("127.0.0.1:" + std::to_string(port) + ": ", 0), 0u) << error;
}

}  // namespace
}  // namespace velmora
