// velmora-sim against an independent RFC 2217 client: pyserial's, driven by a small script.
// The client boots the handset (DTR, 19200 8E1, 0x55 -> 0xA0, the boot block -> 0xA5), speaks
// frames at 57600 with 0xFF bytes in both directions, and vanishes in the middle of a frame.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "sim/sim_handset.h"
#include "platform/hex.h"

extern char** environ;

namespace velmora::sim {
namespace {

constexpr const char* kPython = "/usr/bin/python3";

bool HavePySerial() {
  const std::string cmd = std::string(kPython) + " -c 'import serial.rfc2217' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  std::array<char, 512> buf;
  while (fgets(buf.data(), buf.size(), p)) out += buf.data();
  pclose(p);
  return out;
}

std::string ProgramHex() {
  const auto program = ExpectedBootProgram();
  return HexText(program.data(), program.size());
}

// velmora-sim as a child process, its "listening on" line read within a bounded wait.
class SimServer {
 public:
  explicit SimServer(const std::string& dumpPath) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string dumpArg = dumpPath;
    const char* argv[] = {VELMORA_SIM_BINARY, "--state", "off", "--dump", dumpArg.c_str(), nullptr};
    if (posix_spawn(&pid_, VELMORA_SIM_BINARY, &fa, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1)
      line += c;
    close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) == 0) port_ = std::stoi(line.substr(prefix.size()));
  }
  ~SimServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  void Signal(int sig) { kill(pid_, sig); }
  // Exit status, or -1 when it did not end within the bound.
  int Wait(int boundMs) {
    RealClock clock;
    for (int waited = 0; waited < boundMs; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      clock.SleepMs(10);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

std::string ReadFileWithin(const std::string& path, const std::string& needle, int boundMs) {
  RealClock clock;
  for (int waited = 0; waited < boundMs; waited += 20) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    if (s.str().find(needle) != std::string::npos) return s.str();
    clock.SleepMs(20);
  }
  return {};
}

TEST(VelmoraSimServer, PySerialClientBootsAndSpeaksFrames) {
  if (!HavePySerial()) GTEST_SKIP() << "python3-serial is not installed";
  const std::string dump = ::testing::TempDir() + "velmora_sim_dump_" + std::to_string(getpid()) + ".txt";
  std::remove(dump.c_str());
  SimServer server(dump);
  ASSERT_GT(server.port(), 0) << "velmora-sim did not print its port";
  const std::string peer = std::string("timeout 60 ") + kPython + " " + VELMORA_SIM_PEER + " " +
                           std::to_string(server.port()) + " " + ProgramHex();

  const std::string first = RunCommand(peer);
  EXPECT_EQ(first,
            "sync a0\n"
            "boot a5\n"
            "ping 02020014aa\n"
            "mode 0503063f0700\n"
            "create 1402160101\n"
            "write 1402160202\n"
            "close 1402160303\n"
            "read 14061204ffff00fffb\n"
            "wrongbaud \n");

  // The same handset serves the next client: still in service mode, so the boot ROM is
  // silent, and the half frame the last client left behind did not stick.
  const std::string second = RunCommand(peer);
  EXPECT_EQ(second.substr(0, second.find("create")),
            "sync \n"
            "boot \n"
            "ping 02020014aa\n"
            "mode 0503063f0700\n");

  server.Signal(SIGUSR1);
  EXPECT_NE(ReadFileWithin(dump, "Eelite 100 4 1 ffff00ff\n", 5000), "") << "dump on request";
  std::remove(dump.c_str());
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(5000), 0);
  EXPECT_NE(ReadFileWithin(dump, "Eelite 100 4 1 ffff00ff\n", 100), "") << "dump at exit";
}

// The faults velmora-sim's help and its manual page give as examples are faults its table
// takes: a kind renamed or reworded there shows here.
TEST(VelmoraSimHelp, ExampleFaultsAreFaultsOfTheTable) {
  std::ifstream manual(std::string(VELMORA_SOURCE_DIR) + "/docs/man/velmora-sim.1");
  std::stringstream manualText;
  manualText << manual.rdbuf();
  const struct {
    const char* where;
    std::string text;
  } sources[] = {
      {"--help", RunCommand(std::string(VELMORA_SIM_BINARY) + " --help")},
      {"the manual page", manualText.str()},
  };
  for (const auto& source : sources) {
    SCOPED_TRACE(source.where);
    const size_t option = source.text.find("-fault");
    ASSERT_NE(option, std::string::npos) << source.text;
    const size_t open = source.text.find("e.g. \"", option);
    ASSERT_NE(open, std::string::npos) << source.text.substr(option);
    const size_t from = open + 6;
    const std::string example = source.text.substr(from, source.text.find('"', from) - from);
    SimFaults faults;
    std::string error;
    EXPECT_TRUE(ParseSimFault(example, &faults, &error)) << example << ": " << error;
    EXPECT_NE(FindSimFaultKind(example.substr(0, example.find(' '))), nullptr) << example;
    // Every kind of the table is listed, with the words it takes.
    for (const SimFaultKind& kind : SimFaultKinds()) {
      const std::string name(kind.name);
      const std::string listed = source.where == std::string("--help")
                                     ? "  " + name + (*kind.words ? " " : "") + kind.words
                                     : "\\fB" + name + "\\fR" + (*kind.words ? " " : "") + kind.words;
      EXPECT_NE(source.text.find(listed), std::string::npos) << "not listed: " << listed;
    }
  }
}

}  // namespace
}  // namespace velmora::sim
