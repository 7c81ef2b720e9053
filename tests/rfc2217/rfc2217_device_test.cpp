// The RFC 2217 client against two peers: pyserial's own server around a loop-back port (an
// independent implementation of the protocol) and a small scripted server of ours for the
// stream cases that need exact control over what arrives when.
#include "rfc2217/rfc2217_device.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/rfc2217_test_server.h"

extern char** environ;

namespace velmora {
namespace {

using testing::TestRfc2217Server;

// Real time, but sleeps cost nothing: they only move the clock on. Write pacing can then be
// checked exactly without waiting for it.
class SkippingClock final : public Clock {
 public:
  int64_t NowUs() override { return real_.NowUs() + skippedUs_; }
  void SleepUs(int64_t us) override {
    if (us > 0) {
      skippedUs_ += us;
      sleptUs += us;
    }
  }
  int64_t sleptUs = 0;

 private:
  RealClock real_;
  int64_t skippedUs_ = 0;
};

SerialConfig Record(uint32_t baud, uint8_t parity = kParityNone) {
  SerialConfig c;
  c.baudRate = baud;
  c.parity = parity;
  c.binary = true;
  c.parityCheck = true;
  c.rtsControl = kRtsControlEnable;
  return c;
}

std::vector<uint8_t> AllByteValues() {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  return all;
}

// ---- against our scripted server ----

TEST(Rfc2217Stream, TelnetAndNotificationsAnywhereEvenSplitAreTakenOut) {
  // Each case is sent in pieces, and the client takes each piece in before the next is sent:
  // by reading the data bytes the piece completes, or, where it completes none, by a short
  // read that finds nothing (the piece is already on the loop-back interface when it begins).
  // So every boundary falls between two reads.
  struct Piece {
    std::vector<uint8_t> bytes;
    size_t dataCompleted;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    std::vector<uint8_t> data;
    uint8_t modemState;
  };
  const Case cases[] = {
      {"doubled 0xFF split", {{{0x41, 0xFF}, 1}, {{0xFF, 0x42}, 2}}, {0x41, 0xFF, 0x42}, 0},
      {"modem notification split three ways",
       {{{0x41, 0xFF, 0xFA, 0x2C}, 1}, {{0x6B, 0x30, 0xFF}, 0}, {{0xF0, 0x42}, 1}}, {0x41, 0x42}, 0x30},
      {"0xFF inside a notification value",
       {{{0xFF, 0xFA, 0x2C, 0x6B, 0xFF}, 0}, {{0xFF, 0xFF, 0xF0, 0x42}, 1}}, {0x42}, 0xFF},
      {"line state, unknown option, NOP and an option offer",
       {{{0x41, 0xFF, 0xFA, 0x2C, 0x6A, 0x60, 0xFF, 0xF0, 0xFF, 0xFA, 0x63, 1, 2, 0xFF, 0xF0}, 1},
        {{0xFF, 0xF1, 0x42, 0xFF, 0xFB, 0x01, 0x43}, 2}},
       {0x41, 0x42, 0x43}, 0},
      {"broken subnegotiation is dropped", {{{0x41, 0xFF, 0xFA, 0x2C, 0x6B, 0x11, 0xFF, 0x42, 0x43}, 2}},
       {0x41, 0x43}, 0},
      {"overlong subnegotiation is skipped",
       {{{0x41, 0xFF, 0xFA, 0x2C, 0x6B}, 1}, {std::vector<uint8_t>(300, 0x55), 0}, {{0xFF, 0xF0, 0x42}, 1}},
       {0x41, 0x42}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRfc2217Server server({});
    RealClock clock;
    std::string error;
    auto device = Rfc2217Device::Open(server.address(), clock, &error);
    ASSERT_NE(device, nullptr) << error;
    ASSERT_TRUE(device->SetTimeouts({0, 0, 2000, 0, 2000}));
    std::vector<uint8_t> got;
    for (const Piece& piece : c.pieces) {
      server.SendRaw(piece.bytes);
      if (piece.dataCompleted == 0) {
        ASSERT_TRUE(device->SetTimeouts({0, 0, 50, 0, 50}));
        uint8_t none;
        ASSERT_EQ(device->Read(&none, 1), 0);
        ASSERT_TRUE(device->SetTimeouts({0, 0, 2000, 0, 2000}));
        continue;
      }
      std::vector<uint8_t> buffer(piece.dataCompleted);
      ASSERT_EQ(device->Read(buffer.data(), buffer.size()), static_cast<int>(buffer.size()));
      got.insert(got.end(), buffer.begin(), buffer.end());
    }
    // Nothing more than the data came through.
    ASSERT_TRUE(device->SetTimeouts({0, 0, 20, 0, 20}));
    uint8_t extra;
    EXPECT_EQ(device->Read(&extra, 1), 0);
    EXPECT_EQ(got, c.data);
    EXPECT_EQ(device->modem_state(), c.modemState);
    EXPECT_TRUE(device->connected());
  }
}

TEST(Rfc2217Stream, DataFfIsDoubledOnTheWay) {
  TestRfc2217Server server({});
  RealClock clock;
  std::string error;
  auto device = Rfc2217Device::Open(server.address(), clock, &error);
  ASSERT_NE(device, nullptr) << error;
  ASSERT_TRUE(device->SetConfig(Record(115200)));
  const std::vector<uint8_t> out = {0xFF, 0x01, 0xFF, 0xFF, 0xF0};
  ASSERT_EQ(device->Write(out.data(), out.size()), 5);
  // The server takes its data out of the telnet stream: undoubled, it would have seen commands.
  for (int i = 0; i < 200 && server.data().size() < out.size(); ++i) clock.SleepMs(5);
  EXPECT_EQ(server.data(), out);
}

TEST(Rfc2217Stream, WritesArePacedAtTheLineSpeedFromTheEndOfTheLastWrite) {
  TestRfc2217Server server({});
  SkippingClock clock;
  std::string error;
  auto device = Rfc2217Device::Open(server.address(), clock, &error);
  ASSERT_NE(device, nullptr) << error;
  // Right after opening, the server's own settings (9600 8N1) already pace.
  SerialConfig c;
  ASSERT_TRUE(device->GetConfig(&c));
  EXPECT_EQ(c.baudRate, 9600u);

  ASSERT_TRUE(device->SetConfig(Record(19200, kParityEven)));  // 11 bits a byte
  const int64_t byteUs = ByteWireTimeUs(Record(19200, kParityEven));
  EXPECT_EQ(byteUs, 573);
  std::vector<uint8_t> block(100, 0x55);

  int64_t start = clock.NowUs();
  ASSERT_EQ(device->Write(block.data(), block.size()), 100);
  const int64_t firstEnd = clock.NowUs();
  EXPECT_GE(firstEnd - start, 100 * byteUs);
  ASSERT_EQ(device->Write(block.data(), 10), 10);
  EXPECT_GE(clock.NowUs() - firstEnd, 10 * byteUs);

  // After the line has been idle, a write waits for its own bytes only.
  clock.SleepUs(1'000'000);
  clock.sleptUs = 0;
  start = clock.NowUs();
  ASSERT_EQ(device->Write(block.data(), 1), 1);
  EXPECT_GE(clock.NowUs() - start, byteUs);
  EXPECT_LE(clock.sleptUs, byteUs);
}

TEST(Rfc2217Stream, ServerThatDoesNotSpeakTheProtocolFailsTheOpenInTime) {
  RealClock clock;
  std::string error;
  {
    TestRfc2217Server silent({.confirmComPort = false});
    EXPECT_EQ(Rfc2217Device::Open(silent.address(), clock, &error, {.connectTimeoutMs = 200}), nullptr);
    EXPECT_NE(error.find("negotiation"), std::string::npos) << error;
  }
  {
    TestRfc2217Server refusing({.confirmComPort = false, .refuseComPort = true});
    EXPECT_EQ(Rfc2217Device::Open(refusing.address(), clock, &error), nullptr);
    EXPECT_NE(error.find("COM-PORT-OPTION"), std::string::npos) << error;
  }
  {
    TestRfc2217Server mute({.answerCommands = false});
    EXPECT_EQ(Rfc2217Device::Open(mute.address(), clock, &error, {.ackTimeoutMs = 100}), nullptr);
  }
  // Nobody listening.
  std::string address;
  {
    TestRfc2217Server gone({});
    address = gone.address();
  }
  EXPECT_EQ(Rfc2217Device::Open(address, clock, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(Rfc2217Stream, UnansweredSettingFailsAfterTheBoundAndTheRecordStays) {
  TestRfc2217Server server({});
  RealClock clock;
  std::string error;
  auto device = Rfc2217Device::Open(server.address(), clock, &error, {.ackTimeoutMs = 100});
  ASSERT_NE(device, nullptr) << error;
  ASSERT_TRUE(device->SetConfig(Record(57600)));
  server.set_answer_commands(false);
  EXPECT_FALSE(device->SetConfig(Record(19200, kParityEven)));
  EXPECT_FALSE(device->SetDtr(true));
  EXPECT_FALSE(device->Purge());
  SerialConfig c;
  ASSERT_TRUE(device->GetConfig(&c));
  EXPECT_EQ(c, Record(57600));
  server.set_answer_commands(true);
  EXPECT_TRUE(device->SetDtr(true));
  const auto commands = server.commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), (std::vector<uint8_t>{5, 8}));  // SET-CONTROL, DTR on
}

// ---- against pyserial's server ----

class PyserialServer {
 public:
  bool Start(std::string* why) {
    if (std::system("/usr/bin/python3 -c 'import serial.rfc2217' >/dev/null 2>&1") != 0) {
      *why = "/usr/bin/python3 cannot import serial (Debian python3-serial is not installed)";
      return false;
    }
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char python[] = "/usr/bin/python3";
    char script[] = VELMORA_RFC2217_LOOP_SERVER;
    char* argv[] = {python, script, nullptr};
    const int rc = posix_spawn(&pid_, python, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (rc != 0) {
      pid_ = -1;
      *why = "cannot start /usr/bin/python3";
      return false;
    }
    const std::string line = Line();
    if (line.rfind("PORT ", 0) != 0) {
      *why = "the server script did not start: \"" + line + "\"";
      return false;
    }
    address_ = "127.0.0.1:" + line.substr(5);
    return true;
  }
  ~PyserialServer() {
    if (in_ >= 0) {
      Ask("quit");
      close(in_);
    }
    if (pid_ > 0) {
      // The script ends on "quit"; give it a moment, then make sure.
      for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        usleep(10'000);
      }
      if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (out_ >= 0) close(out_);
  }
  const std::string& address() const { return address_; }

  // Sends a command and returns the answer line (empty after 5 s without one).
  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    if (command == "quit") return {};
    return Line();
  }

 private:
  std::string Line() {
    std::string line;
    for (;;) {
      const size_t nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) return {};
      char chunk[256];
      const ssize_t r = read(out_, chunk, sizeof chunk);
      if (r <= 0) return {};
      buffered_.append(chunk, static_cast<size_t>(r));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::string address_;
};

class Rfc2217Pyserial : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!server_.Start(&why)) GTEST_SKIP() << why;
    std::string error;
    device_ = Rfc2217Device::Open(server_.address(), clock_, &error);
    ASSERT_NE(device_, nullptr) << error;
  }

  RealClock clock_;
  PyserialServer server_;
  std::unique_ptr<Rfc2217Device> device_;
};

TEST_F(Rfc2217Pyserial, LineSettingsAndModemLinesReachTheServer) {
  SerialConfig first;
  ASSERT_TRUE(device_->GetConfig(&first));
  EXPECT_EQ(first.baudRate, 9600u);  // the loop port's own setting, asked for at open

  struct Step {
    const char* what;
    std::function<bool(Rfc2217Device&)> act;
    const char* state;
  };
  SerialConfig seven = Record(115200, kParityOdd);
  seven.byteSize = 7;
  seven.stopBits = kTwoStopBits;
  const Step steps[] = {
      {"open record", [](Rfc2217Device& d) { return d.SetConfig(Record(57600)); },
       "STATE baud=57600 bytesize=8 parity=N stopbits=1 dtr=0 rts=1"},
      {"boot mode", [](Rfc2217Device& d) { return d.SetConfig(Record(19200, kParityEven)); },
       "STATE baud=19200 bytesize=8 parity=E stopbits=1 dtr=0 rts=1"},
      {"DTR up", [](Rfc2217Device& d) { return d.SetDtr(true); },
       "STATE baud=19200 bytesize=8 parity=E stopbits=1 dtr=1 rts=1"},
      {"RTS down", [](Rfc2217Device& d) { return d.SetRts(false); },
       "STATE baud=19200 bytesize=8 parity=E stopbits=1 dtr=1 rts=0"},
      {"record drops DTR, raises RTS", [](Rfc2217Device& d) { return d.SetConfig(Record(19200, kParityEven)); },
       "STATE baud=19200 bytesize=8 parity=E stopbits=1 dtr=0 rts=1"},
      {"frame format", [&](Rfc2217Device& d) { return d.SetConfig(seven); },
       "STATE baud=115200 bytesize=7 parity=O stopbits=2 dtr=0 rts=1"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(s.act(*device_));
    EXPECT_EQ(server_.Ask("state"), s.state);
  }
  SerialConfig now;
  ASSERT_TRUE(device_->GetConfig(&now));
  EXPECT_EQ(now, seven);
}

TEST_F(Rfc2217Pyserial, EveryByteValueComesBackThroughTheLoop) {
  ASSERT_TRUE(device_->SetConfig(Record(115200)));
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 3000, 0, 3000}));
  std::vector<uint8_t> out = AllByteValues();
  out.insert(out.end(), {0xFF, 0xFF, 0xFF, 0xF0, 0xFA});
  ASSERT_EQ(device_->Write(out.data(), out.size()), static_cast<int>(out.size()));
  // Taken back in reads of uneven sizes.
  std::vector<uint8_t> in;
  for (size_t chunk = 1; in.size() < out.size(); chunk = chunk * 3 + 1) {
    std::vector<uint8_t> buffer(std::min(chunk, out.size() - in.size()));
    const int64_t start = clock_.NowMs();
    ASSERT_EQ(device_->Read(buffer.data(), buffer.size()), static_cast<int>(buffer.size()));
    EXPECT_LT(clock_.NowMs() - start, 1500);  // returned when its bytes were in
    in.insert(in.end(), buffer.begin(), buffer.end());
  }
  EXPECT_EQ(in, out);
}

TEST_F(Rfc2217Pyserial, PurgeDropsWhatCameBack) {
  ASSERT_TRUE(device_->SetConfig(Record(115200)));
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 2000, 0, 2000}));
  const std::vector<uint8_t> out = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(device_->Write(out.data(), out.size()), 8);
  uint8_t b = 0;
  ASSERT_EQ(device_->Read(&b, 1), 1);
  ASSERT_TRUE(device_->Purge());
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 100, 0, 100}));
  EXPECT_EQ(device_->Read(&b, 1), 0);
  // The line still works afterwards.
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 2000, 0, 2000}));
  ASSERT_EQ(device_->Write(out.data(), 1), 1);
  ASSERT_EQ(device_->Read(&b, 1), 1);
  EXPECT_EQ(b, 1);
}

TEST_F(Rfc2217Pyserial, DroppedConnectionFailsEverythingAtOnce) {
  ASSERT_TRUE(device_->SetConfig(Record(57600)));
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 5000, 0, 5000}));
  ASSERT_EQ(server_.Ask("drop"), "DROPPED");
  uint8_t b = 0;
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(device_->Read(&b, 1), -1);
  EXPECT_LT(clock_.NowMs() - start, 2500);  // not the 5 s time-out
  EXPECT_FALSE(device_->connected());
  EXPECT_EQ(device_->Write(&b, 1), -1);
  EXPECT_EQ(device_->Read(&b, 1), -1);
  EXPECT_FALSE(device_->SetConfig(Record(19200)));
  EXPECT_FALSE(device_->SetDtr(true));
  EXPECT_FALSE(device_->SetRts(true));
  EXPECT_FALSE(device_->Purge());
  EXPECT_FALSE(device_->ClearErrors());
  EXPECT_FALSE(device_->SetTimeouts({}));
  SerialConfig c;
  EXPECT_FALSE(device_->GetConfig(&c));
}

}  // namespace
}  // namespace velmora
