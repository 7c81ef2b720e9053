// Low latency for USB serial adapters, on a pseudo-terminal standing in for the adapter's tty
// and a device tree of its own: the ftdi_sio latency timer set to 1 ms while the port is open
// and put back after, left alone for other drivers, and named in the notes when the system
// does not allow it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/usb_latency.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class UsbLatencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    path = ::ptsname(master);
    slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
  }
  void TearDown() override {
    ::close(slave);
    ::close(master);
  }
  // The pty's entry in the tree, bound to driver, with a latency_timer holding timer.
  fs::path Adapter(const std::string& driver, const std::string& timer) {
    const fs::path device = root / "devices/usb1/1-1/1-1:1.0" / fs::path(path).filename();
    fs::create_directories(device);
    fs::create_directories(root / "bus/usb-serial/drivers" / driver);
    fs::create_directory_symlink(root / "bus/usb-serial/drivers" / driver, device / "driver");
    std::ofstream(device / "latency_timer") << timer << "\n";
    const fs::path entry = root / "class/tty" / fs::path(path).filename();
    fs::create_directories(entry);
    fs::create_directory_symlink(device, entry / "device");
    return device / "latency_timer";
  }

  int master = -1;
  int slave = -1;
  std::string path;
  testing::TempFolder folder{"velmora-latency"};
  fs::path root = folder.path();
};

TEST_F(UsbLatencyTest, FtdiTimerIsOneMillisecondWhileOpenAndPutBackAfter) {
  const fs::path timer = Adapter("ftdi_sio", "16");
  std::vector<std::string> notes;
  LatencyTuning tuning = LatencyTuning::Apply(slave, path, root.string(), &notes);
  EXPECT_EQ(Read(timer), "1\n");
  // A pseudo-terminal has no low-latency flag: nothing is said about it.
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], path + ": the adapter's latency_timer set from 16 to 1 ms while the port is open");
  tuning.Restore(slave);
  EXPECT_EQ(Read(timer), "16\n");
}

TEST_F(UsbLatencyTest, OtherDriversAndTimersAlreadyLowAreLeftAlone) {
  for (const char* driver : {"ftdi_sio", "cp210x"}) {
    SCOPED_TRACE(driver);
    fs::remove_all(root);
    const std::string before = std::string(driver) == "ftdi_sio" ? "1" : "16";
    const fs::path timer = Adapter(driver, before);
    std::vector<std::string> notes;
    LatencyTuning tuning = LatencyTuning::Apply(slave, path, root.string(), &notes);
    EXPECT_TRUE(notes.empty());
    tuning.Restore(slave);
    EXPECT_EQ(Read(timer), before + "\n");
  }
  std::vector<std::string> notes;
  LatencyTuning::Apply(slave, path, (root / "no-tree").string(), &notes);
  EXPECT_TRUE(notes.empty());
}

TEST_F(UsbLatencyTest, TimerThatMayNotBeWrittenIsNamedAndLeftAsItWas) {
  const fs::path timer = Adapter("ftdi_sio", "16");
  ::chmod(timer.c_str(), 0444);
  // Root may write anything: the attempt is made by an ordinary user in a child process.
  const pid_t child = ::fork();
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    std::vector<std::string> notes;
    LatencyTuning tuning = LatencyTuning::Apply(slave, path, root.string(), &notes);
    tuning.Restore(slave);
    const std::string expected = path + ": the adapter's latency_timer stays at 16 ms: setting it "
                                        "to 1 ms is not allowed (Permission denied); every answer "
                                        "may wait that long";
    ::_exit(notes.size() == 1 && notes[0] == expected ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read(timer), "16\n");
}

}  // namespace
}  // namespace velmora
