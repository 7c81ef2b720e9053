// The termios device against a pseudo-terminal pair: we hold the master side, the device
// under test opens the slave side as it would open /dev/ttyUSB0.
#include "platform/posix/system_serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

namespace velmora {
namespace {

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    path_ = ptsname(master_);
    std::string error;
    device_ = PosixSerialDevice::Open(path_, clock_, &error);
    ASSERT_NE(device_, nullptr) << error;
  }
  void TearDown() override {
    device_.reset();
    if (master_ >= 0) close(master_);
  }

  // Everything the device sent, as the other end of the line sees it, within a bound.
  std::vector<uint8_t> MasterRead(size_t n) {
    std::vector<uint8_t> got;
    const int64_t deadline = clock_.NowMs() + 2000;
    while (got.size() < n && clock_.NowMs() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buffer[512];
      const ssize_t r = read(master_, buffer, sizeof buffer);
      if (r <= 0) break;
      got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }
  void MasterWrite(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The line settings as the kernel holds them (the master reports the slave's).
  termios Line() {
    termios t{};
    EXPECT_EQ(tcgetattr(master_, &t), 0);
    return t;
  }

  SerialConfig LinkRecord(uint32_t baud) {
    SerialConfig c;
    c.baudRate = baud;
    c.binary = true;
    c.parityCheck = true;
    c.rtsControl = kRtsControlEnable;
    c.txContinueOnXoff = true;
    c.xonChar = 'n';
    c.xoffChar = 'f';
    c.errorChar = 'r';
    c.evtChar = 'v';
    return c;
  }

  RealClock clock_;
  int master_ = -1;
  std::string path_;
  std::unique_ptr<PosixSerialDevice> device_;
};

TEST_F(PtyTest, EveryByteValueCrossesBothWaysUnchanged) {
  ASSERT_TRUE(device_->SetConfig(LinkRecord(115200)));
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 2000, 0, 2000}));
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

  MasterWrite(all);
  std::vector<uint8_t> in(256, 0);
  ASSERT_EQ(device_->Read(in.data(), in.size()), 256);
  EXPECT_EQ(in, all);

  ASSERT_EQ(device_->Write(all.data(), all.size()), 256);
  EXPECT_EQ(MasterRead(256), all);
}

TEST_F(PtyTest, ReadReturnsAsSoonAsItsBytesAreInAndPartOfThemOnTimeOut) {
  ASSERT_TRUE(device_->SetConfig(LinkRecord(57600)));
  // A long total time-out that a complete read must not wait for.
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 10000, 0, 250}));
  MasterWrite({1, 2, 3, 4});
  uint8_t buffer[8] = {};
  int64_t start = clock_.NowMs();
  ASSERT_EQ(device_->Read(buffer, 4), 4);
  EXPECT_LT(clock_.NowMs() - start, 5000);

  // Fewer bytes than asked for: what arrived, after the whole time-out.
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 50, 0, 50}));
  MasterWrite({9, 8});
  start = clock_.NowMs();
  ASSERT_EQ(device_->Read(buffer, 8), 2);
  EXPECT_GE(clock_.NowMs() - start, 50);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(buffer[1], 8);

  // Nothing at all: 0, not a failure.
  EXPECT_EQ(device_->Read(buffer, 1), 0);
  // The multiplier counts per byte asked for.
  ASSERT_TRUE(device_->SetTimeouts({0, 20, 0, 0, 50}));
  start = clock_.NowMs();
  EXPECT_EQ(device_->Read(buffer, 4), 0);
  EXPECT_GE(clock_.NowMs() - start, 80);
}

TEST_F(PtyTest, ConfigurationReachesTheLineAndReadsBack) {
  struct Case {
    uint32_t baud;
    uint8_t byteSize, parity, stopBits;
    speed_t code;  // B0 where the rate is not one of the fixed codes
  };
  const Case cases[] = {
      {57600, 8, kParityNone, kOneStopBit, B57600},
      {19200, 8, kParityEven, kOneStopBit, B19200},
      {38400, 7, kParityOdd, kTwoStopBits, B38400},
      {115200, 8, kParityMark, kOneStopBit, B115200},
      {9600, 5, kParitySpace, kOne5StopBits, B9600},
      {250000, 8, kParityNone, kOneStopBit, B0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    SerialConfig want = LinkRecord(c.baud);
    want.byteSize = c.byteSize;
    want.parity = c.parity;
    want.stopBits = c.stopBits;
    ASSERT_TRUE(device_->SetConfig(want));
    SerialConfig got;
    ASSERT_TRUE(device_->GetConfig(&got));
    EXPECT_EQ(got, want);  // including the fields the line cannot hold

    const termios t = Line();
    if (c.code != B0) {
      EXPECT_EQ(cfgetospeed(&t), c.code);
    }
    // The pseudo-terminal forces eight bits without parity; the rest of the frame stays.
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parity == kParityOdd || c.parity == kParityMark);
    EXPECT_EQ((t.c_cflag & CMSPAR) != 0, c.parity == kParityMark || c.parity == kParitySpace);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits != kOneStopBit);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK), 0u);  // raw, bytes as they come
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  }
}

TEST_F(PtyTest, RefusedRecordChangesNothing) {
  const SerialConfig good = LinkRecord(19200);
  ASSERT_TRUE(device_->SetConfig(good));
  SerialConfig bad[5] = {good, good, good, good, good};
  bad[0].byteSize = 9;
  bad[1].parity = 7;
  bad[2].stopBits = kOne5StopBits;  // only with five data bits
  bad[3].baudRate = 0;
  bad[4].stopBits = 3;
  for (const SerialConfig& b : bad) {
    EXPECT_FALSE(device_->SetConfig(b));
    SerialConfig now;
    ASSERT_TRUE(device_->GetConfig(&now));
    EXPECT_EQ(now, good);
    const termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), B19200);
  }
}

TEST_F(PtyTest, PurgeDropsWhatWasReceived) {
  ASSERT_TRUE(device_->SetConfig(LinkRecord(57600)));
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 1000, 0, 1000}));
  MasterWrite({1, 2, 3, 4, 5, 6});
  uint8_t b = 0;
  ASSERT_EQ(device_->Read(&b, 1), 1);  // the bytes are in
  EXPECT_TRUE(device_->Purge());
  EXPECT_TRUE(device_->ClearErrors());
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 50, 0, 50}));
  EXPECT_EQ(device_->Read(&b, 1), 0);
}

TEST_F(PtyTest, PortHeldByAnotherProgramDoesNotOpen) {
  std::string error;
  EXPECT_EQ(PosixSerialDevice::Open(path_, clock_, &error), nullptr);
  EXPECT_NE(error.find("held by another program"), std::string::npos) << error;
  device_.reset();
  EXPECT_NE(PosixSerialDevice::Open(path_, clock_, &error), nullptr) << error;
}

TEST_F(PtyTest, OtherEndGoneFailsInsteadOfWaiting) {
  ASSERT_TRUE(device_->SetTimeouts({0, 0, 5000, 0, 5000}));
  close(master_);
  master_ = -1;
  uint8_t b = 0;
  const int64_t start = clock_.NowMs();
  EXPECT_EQ(device_->Read(&b, 1), -1);
  EXPECT_LT(clock_.NowMs() - start, 2500);
}

TEST_F(PtyTest, ModemLinesOfALineWithoutThemAreNoFailure) {
  // A pseudo-terminal, like a three-wire cable, has no DTR or RTS to drive.
  EXPECT_TRUE(device_->SetDtr(true));
  EXPECT_TRUE(device_->SetRts(false));
}

TEST(PosixSerial, ModemLinesOnARealPort) {
  GTEST_SKIP() << "DTR and RTS need a real serial port with a loop-back plug; a pseudo-terminal "
                  "has no modem lines";
}

TEST(PosixSerial, WhatIsNotASerialPortDoesNotOpen) {
  RealClock clock;
  for (const char* path : {"/dev/null", "/nonexistent/ttyUSB0", "/tmp"}) {
    SCOPED_TRACE(path);
    std::string error;
    EXPECT_EQ(PosixSerialDevice::Open(path, clock, &error), nullptr);
    EXPECT_EQ(error.rfind(std::string(path) + ": ", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace velmora
