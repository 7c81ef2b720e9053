// File names beyond ASCII on the dialogs' command line and in their message log. On Windows the
// C runtime's narrow calls (getenv, fopen, the option parser's own file check) would take these
// UTF-8 names in the ANSI code page and miss the file; this test program has no manifest that
// makes UTF-8 that code page, so it sees what the program's own code does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "gui/gui_options.h"
#include "platform/file_system.h"
#include "platform/record_file.h"
#include "platform/regular_file.h"
#include "support/temp_folder.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/text.h"
#endif

namespace velmora::gui {
namespace {

// "Kartendatei-ü-日本": a Latin letter the Western ANSI code page has, and two it has not.
const std::string kFolderName = "Kartendatei-\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC";

void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  SetEnvironmentVariableW(Utf8ToWide(name).c_str(), value.empty() ? nullptr : Utf8ToWide(value).c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

class NonAsciiPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = JoinPath(temp_.str(), kFolderName);
    std::error_code error;
    std::filesystem::create_directory(
        std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(folder_.data()), folder_.size())), error);
    ASSERT_FALSE(error) << error.message();
  }
  std::string Path(const std::string& name) const { return JoinPath(folder_, name); }

  testing::TempFolder temp_;
  std::string folder_;
};

TEST_F(NonAsciiPaths, MapOnTheCommandLineIsFoundOrRefusedWithTheParsersWords) {
  std::string why;
  ASSERT_TRUE(CreateFileWhole(Path("Standard.map"), "[MapFile-Info]\n", &why)) << why;
  struct Case {
    std::string path;
    int status;
    std::string message;  // on stderr, "" for none
  };
  const std::vector<Case> cases = {
      {Path("Standard.map"), -1, ""},
      {Path("missing.map"), 64, "--map: File does not exist: " + Path("missing.map")},
      {folder_, 64, "--map: File is actually a directory: " + folder_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    GuiOptions options;
    ::testing::internal::CaptureStderr();
    const int status = ParseGuiOptions({"velmora", "--map", c.path}, &options);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, c.status);
    if (c.message.empty()) {
      EXPECT_EQ(err, "");
      EXPECT_EQ(options.mapPath, c.path);
    } else {
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
  }
}

TEST_F(NonAsciiPaths, MessageLogNamedInTheEnvironmentGetsEveryBoxAsTheSameBytes) {
  const std::string log = Path("boxes.txt");
  SetVariable(kMessageLogVariable, log);
  const std::string named = MessageLogPath();
  SetVariable(kMessageLogVariable, "");
  ASSERT_EQ(named, log);
  EXPECT_EQ(MessageLogPath(), "");

  AppendMessageLog(named, "Wrong Mapping for this Mobile!", MessageIcon::Error);
  AppendMessageLog(named, "Mapping written\nto the handset", MessageIcon::Information);
  std::string bytes;
  std::string why;
  ASSERT_TRUE(ReadRegularFile(log, &bytes, &why)) << why;
  EXPECT_EQ(bytes, "error: Wrong Mapping for this Mobile!\ninfo: Mapping written\nto the handset\n");
}

}  // namespace
}  // namespace velmora::gui
