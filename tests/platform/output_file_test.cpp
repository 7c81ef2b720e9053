// Every output against every kind of path: the writers that replace a file, append to a trail
// or empty a station's log take a regular file of their own and nothing else, say what lies
// there, never block, and leave what they refuse exactly as it was.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/child_process.h"
#include "platform/output_file.h"
#include "platform/record_file.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) { return testing::ReadWholeFile(p.string()); }

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir / "target") << "kept";
    std::ofstream(dir / "own-file") << "an earlier record";
    std::ofstream(dir / "input") << "input";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "dir");
    fs::create_symlink(dir / "target", dir / "link-to-file");
    fs::create_symlink("/dev/null", dir / "link-to-device");
    fs::create_symlink(dir / "missing", dir / "dangling");
    fs::create_hard_link(dir / "input", dir / "input-hardlink");
    fs::create_symlink(dir / "input", dir / "link-to-input");
    socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "sock").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  void TearDown() override { ::close(socketFd); }
  std::string P(const std::string& name) const {
    return name.front() == '/' ? name : (dir / name).string();
  }

  testing::TempFolder folder{"velmora-output"};
  fs::path dir = folder.path();
  int socketFd = -1;
};

// How each output writes, as the program calls it.
struct Output {
  const char* name;
  LinkRule links;
  std::function<bool(const std::string& path, std::string* why)> write;
};

const Output kOutputs[] = {
    {"record (--report, --timing)", LinkRule::Refuse,
     [](const std::string& path, std::string* why) { return ReplaceFileWhole(path, "new\n", why); }},
    {"trail (--report-append)", LinkRule::Follow,
     [](const std::string& path, std::string* why) { return AppendWholeLine(path, "new\n", why); }},
    {"station log", LinkRule::Refuse,
     [](const std::string& path, std::string* why) {
       int64_t id = 0;
       if (!StartChild("/bin/true", {}, path, &id, why)) return false;
       ChildEnd end;
       return WaitChild(&end) && end.status == 0;
     }},
};

TEST_F(OutputFileTest, EachOutputAgainstEachKindOfPath) {
  // path, expected refusal ("" = taken) for the outputs that refuse links, and for the trail.
  const struct {
    const char* path;
    const char* refusedWhenLinksRefused;
    const char* refusedWhenLinksFollowed;
  } cases[] = {
      {"new-file", "", ""},
      {"own-file", "", ""},
      {"/dev/null", "/dev/null is a character device, not a regular file",
       "/dev/null is a character device, not a regular file"},
      {"fifo", "fifo is a FIFO, not a regular file", "fifo is a FIFO, not a regular file"},
      {"dir", "dir is a directory, not a regular file", "dir is a directory, not a regular file"},
      {"sock", "sock is a socket, not a regular file", "sock is a socket, not a regular file"},
      {"link-to-file", "link-to-file is a symbolic link", ""},
      {"link-to-device", "link-to-device is a symbolic link",
       "link-to-device is a character device, not a regular file"},
      {"dangling", "dangling is a symbolic link", "dangling is a symbolic link to nothing"},
  };
  for (const Output& output : kOutputs) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(output.name) + " to " + c.path);
      const std::string expected = output.links == LinkRule::Refuse ? c.refusedWhenLinksRefused
                                                                     : c.refusedWhenLinksFollowed;
      std::string why;
      EXPECT_EQ(CheckOutputPath(P(c.path), output.links, {}, &why), expected.empty()) << why;
      why.clear();
      const bool written = output.write(P(c.path), &why);
      EXPECT_EQ(written, expected.empty()) << why;
      if (!expected.empty()) {
        EXPECT_NE(why.find(expected), std::string::npos) << why;
      }
    }
    // What was refused is as it was; links still links, the device still a device.
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_directory(dir / "dir"));
    EXPECT_TRUE(fs::is_socket(dir / "sock"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_symlink(dir / "link-to-file"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    // Only the trail may reach the file behind a link, and only by adding to it.
    EXPECT_EQ(Read(dir / "target"), output.links == LinkRule::Follow ? "keptnew\n" : "kept");
    fs::remove(dir / "new-file");
    std::ofstream(dir / "target") << "kept";
  }
}

TEST_F(OutputFileTest, TrailThroughALinkAddsToTheFileItNames) {
  std::string why;
  ASSERT_TRUE(AppendWholeLine(P("link-to-file"), "line\n", &why)) << why;
  EXPECT_EQ(Read(dir / "target"), "keptline\n");
  EXPECT_TRUE(fs::is_symlink(dir / "link-to-file"));
}

TEST_F(OutputFileTest, AnInputUnderAnyNameIsNoOutput) {
  const std::vector<RunInput> inputs = {{"map file", P("input")}, {"settings file", ""}};
  for (const char* name : {"input", "input-hardlink", "link-to-input"}) {
    SCOPED_TRACE(name);
    std::string why;
    EXPECT_FALSE(CheckOutputPath(P(name), LinkRule::Follow, inputs, &why));
    EXPECT_NE(why.find("is the map file " + P("input") + " itself"), std::string::npos) << why;
  }
  std::string why;
  EXPECT_TRUE(CheckOutputPath(P("target"), LinkRule::Follow, inputs, &why)) << why;
  EXPECT_TRUE(CheckOutputPath(P("new-file"), LinkRule::Refuse, inputs, &why)) << why;
}

TEST_F(OutputFileTest, StationLogIsEmptiedOnlyWhenItIsTheLogsOwn) {
  std::ofstream(dir / "old.log") << "an earlier run's log";
  int64_t id = 0;
  std::string why;
  ASSERT_TRUE(StartChild("/bin/true", {}, P("old.log"), &id, &why)) << why;
  ChildEnd end;
  ASSERT_TRUE(WaitChild(&end));
  EXPECT_EQ(Read(dir / "old.log"), "");
}

}  // namespace
}  // namespace velmora
