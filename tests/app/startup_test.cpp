// The start-up's settings step and its ports: what the user is told about settings it cannot
// use, and a port that will never open reported at once, under the virtual clock.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/recording_view.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

using testing::RecordingView;

constexpr char kOpenFailed[] = "Can't open seriell interface!\nIt might be used by an other program!";

class StartupTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return folder_.File(name); }
  std::string Settings(const std::string& values) {
    const std::string path = Path("settings.reg");
    std::ofstream(path, std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"
        << values;
    return path;
  }

  testing::TempFolder folder_{"velmora-startup"};
  std::string dir_ = folder_.str();
  VirtualClock clock;
  RecordingView view;
};

TEST_F(StartupTest, SettingsValuesThatCannotBeUsedAreNamedWithWhatIsUsedInstead) {
  constexpr char kUnused[] =
      "\"Baudrate\" 115200 is not used without a good \"ComPort\"; 57600 baud is used instead";
  const struct {
    const char* what;
    std::string values;
    int asked;  // the port dialog's answer; -2: no dialog (the console)
    uint32_t baudOption;
    std::string warning;  // after "<file>: "; empty: none
    uint8_t portIndex;
    uint32_t baudRate;
  } cases[] = {
      {"good", "\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:0001c200\r\n", -2, 0, "", 1, 115200},
      {"port 0 on the console", "\"ComPort\"=hex:00\r\n\"Baudrate\"=dword:0001c200\r\n", -2, 0,
       "\"ComPort\"=hex:00 is no port (1 to 10); COM1 is used instead", 0, 115200},
      {"port 0 in the dialog", "\"ComPort\"=hex:00\r\n\"Baudrate\"=dword:0001c200\r\n", 2, 0,
       "\"ComPort\"=hex:00 is no port (1 to 10); COM3 is used instead", 2, 115200},
      {"port 11", "\"ComPort\"=hex:0b\r\n\"Baudrate\"=dword:0001c200\r\n", -2, 0,
       "\"ComPort\"=hex:0b is no port (1 to 10); COM1 is used instead", 0, 115200},
      {"port 10 is COM:", "\"ComPort\"=hex:0a\r\n\"Baudrate\"=dword:0001c200\r\n", -2, 0, "", 9,
       115200},
      {"port as a dword", "\"ComPort\"=dword:00000002\r\n\"Baudrate\"=dword:0001c200\r\n", -2, 0,
       "\"ComPort\" is not one byte of hex data; COM1 is used instead\n" + std::string(kUnused), 0,
       57600},
      {"no port", "\"Baudrate\"=dword:0001c200\r\n", -2, 0,
       "no \"ComPort\" value; COM1 is used instead\n" + std::string(kUnused), 0, 57600},
      {"baud 0", "\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:00000000\r\n", -2, 0,
       "\"Baudrate\" 0 is out of range (1 to 4000000); 57600 baud is used instead", 1, 57600},
      {"baud above 4000000", "\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:003d0901\r\n", -2, 0,
       "\"Baudrate\" 4000001 is out of range (1 to 4000000); 57600 baud is used instead", 1, 57600},
      {"baud 0 and --baud", "\"ComPort\"=hex:02\r\n\"Baudrate\"=dword:00000000\r\n", -2, 19200,
       "\"Baudrate\" 0 is out of range (1 to 4000000); 19200 baud is used instead", 1, 19200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Program program(view, clock);
    StartupOptions options;
    options.settingsPath = Settings(c.values);
    options.baudRate = c.baudOption;
    int asked = 0;
    if (c.asked != -2) options.askPort = [&] { return ++asked, c.asked; };
    std::string warning = "stale";
    program.Initialise(options, &warning);
    EXPECT_EQ(program.startupError(), "");
    std::string expected;
    for (size_t at = 0; at < c.warning.size();) {  // each line names the file
      const size_t end = std::min(c.warning.find('\n', at), c.warning.size());
      expected += (expected.empty() ? "" : "\n") + options.settingsPath + ": " +
                  c.warning.substr(at, end - at);
      at = end + 1;
    }
    EXPECT_EQ(warning, expected);
    EXPECT_EQ(program.linkSettings().portIndex, c.portIndex);
    EXPECT_EQ(program.linkSettings().baudRate, c.baudRate);
    EXPECT_EQ(asked, c.asked == 2 ? 1 : 0);
  }
}

TEST_F(StartupTest, SettingsThatCannotBeReadEndTheStartBeforeAnyPort) {
  const std::string fifo = Path("fifo.reg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer: an open would wait for ever
  const std::string malformed = Settings("\"ComPort\"=bogus\r\n");
  const struct {
    const char* what;
    std::string path;
    std::string port;
    std::string error;    // empty: the start goes on
    std::string warning;
  } cases[] = {
      {"missing", dir_ + "/missing.reg", "", "settings file " + dir_ + "/missing.reg: No such file or directory", ""},
      {"missing, with a port", dir_ + "/missing.reg", "sim:",
       "settings file " + dir_ + "/missing.reg: No such file or directory", ""},
      {"FIFO", fifo, "", "settings file " + fifo + ": not a regular file", ""},
      {"directory", dir_, "", "settings file " + dir_ + ": not a regular file", ""},
      {"malformed", malformed, "", malformed + ":4: ", ""},
      {"malformed, with a port", malformed, "sim:", "", malformed + ":4: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Program program(view, clock);
    StartupOptions options;
    options.settingsPath = c.path;
    options.port = c.port;
    bool asked = false;
    options.askPort = [&] { return asked = true, 0; };
    std::string warning;
    program.Initialise(options, &warning);
    if (c.error.empty()) {
      EXPECT_EQ(program.startupError(), "");
      EXPECT_EQ(warning.rfind(c.warning, 0), 0u) << warning;
      EXPECT_NE(warning.find("(settings ignored)"), std::string::npos) << warning;
    } else {
      EXPECT_EQ(program.startupError().rfind(c.error, 0), 0u) << program.startupError();
      EXPECT_FALSE(asked);  // stopped before the port dialog
      EXPECT_TRUE(program.model().logText().empty());  // and before the log header
    }
  }
}

TEST_F(StartupTest, SimulatedHandsetWithABadProfileIsReportedAtOnce) {
  const std::string unknown = Path("unknown.profile");
  std::ofstream(unknown) << "product = 85\nbogus = 1\n";
  const struct {
    std::string port;
    std::string reason;
  } cases[] = {
      {"sim:" + dir_ + "/missing.profile",
       "sim:" + dir_ + "/missing.profile: cannot read profile: No such file or directory"},
      {"sim:" + unknown, "sim:" + unknown + ": line 2: unknown setting 'bogus'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    RecordingView boxes;
    Program program(boxes, clock);
    StartupOptions options;
    options.settingsPath = Settings("\"ComPort\"=hex:01\r\n\"Baudrate\"=dword:0000e100\r\n");
    options.port = c.port;
    std::string warning;
    program.Initialise(options, &warning);
    program.model().SetMapText("[MapFileInfo]");
    const int64_t start = clock.NowUs();
    EXPECT_EQ(program.Start(), RunOutcome::NotConnected);
    EXPECT_LT(clock.NowUs() - start, 500'000);  // not one retry's pause
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, kOpenFailed + std::string("\n") + c.reason);
    // In the log before the box appears.
    EXPECT_NE(boxes.boxes[0].logAtBox.find(c.reason + "\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace velmora
