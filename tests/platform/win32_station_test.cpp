// A station's requests on Windows: Ctrl-C and Ctrl-Break that reach the station are passed on to
// each of its programs once, through the pipe that is the program's standard input, and each
// program takes them as it would take its console's (Wine cannot send a console a Ctrl-Break:
// this is the station's own way of passing one on, run without one).
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/self_path.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr char kStopNote[] = "Stopping after the handset on the line; interrupt again to stop at once.";

class StationRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("velmora-station-" + std::to_string(random()));
    fs::create_directory(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // Starts station_child.exe MODE with its log; the child's id.
  int64_t Start(const std::string& mode) {
    const std::string helper = (fs::path(SelfExecutablePath()).parent_path() / "station_child.exe").string();
    int64_t id = 0;
    std::string why;
    EXPECT_TRUE(StartChild(helper, {mode}, Log(mode), &id, &why)) << why;
    return id;
  }
  std::string Log(const std::string& mode) const { return WideToUtf8((dir_ / (mode + ".log")).wstring()); }
  static std::string Text(const std::string& path) {
    std::ifstream in(fs::path(Utf8ToWide(path)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The exit status of every child, by its id, once all have ended.
  static std::map<int64_t, int> WaitAll() {
    std::map<int64_t, int> statuses;
    ChildEnd end;
    while (WaitChild(&end)) statuses[end.id] = end.status;
    return statuses;
  }

  fs::path dir_;
};

TEST_F(StationRequests, EachProgramTakesEachRequestOnceAsItsConsolesOwn) {
  const int64_t run = Start("run");
  const int64_t line = Start("line");
  PassOnTermination(15);  // Ctrl-Break at the station
  PassOnTermination(2);   // then Ctrl-C
  const std::map<int64_t, int> statuses = WaitAll();
  // A run outside a garbage collection ends at the first, as Ctrl-Break ends it on its own.
  EXPECT_EQ(statuses.at(run), 128 + 15);
  // A line finishes its handset after the first and stops at once at the second.
  EXPECT_EQ(statuses.at(line), 128 + 2);
  const std::string lineLog = Text(Log("line"));
  EXPECT_EQ(lineLog.find(kStopNote), lineLog.rfind(kStopNote)) << lineLog;
  EXPECT_NE(lineLog.find(kStopNote), std::string::npos) << lineLog;
  EXPECT_EQ(Text(Log("run")).find(kStopNote), std::string::npos);
}

TEST_F(StationRequests, AClosedConsoleAtTheStationIsARequestTooNotTheProgramsEnd) {
  const int64_t line = Start("line");
  PassOnTermination(1);
  PassOnTermination(1);
  const std::map<int64_t, int> statuses = WaitAll();
  EXPECT_EQ(statuses.at(line), 128 + 1);
  EXPECT_NE(Text(Log("line")).find(kStopNote), std::string::npos);
}

}  // namespace
}  // namespace velmora
