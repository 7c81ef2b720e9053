// The Win32 serial device on a real COM port: under Wine, a Linux pseudo-terminal mapped as
// COMn in the prefix, with an echoing peer on its other end (scripts/wine_test.sh sets it up
// and names the port in VELMORA_TEST_COM_PORT). Without that variable every case is skipped.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/win32/system_serial.h"

namespace velmora {
namespace {

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class ComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("VELMORA_TEST_COM_PORT");
    if (name == nullptr || *name == '\0') GTEST_SKIP() << "VELMORA_TEST_COM_PORT names no port";
    std::string error;
    OpenFailure kind = OpenFailure::None;
    device_ = Win32SerialDevice::Open(name, clock_, &error, &kind);
    ASSERT_NE(device_, nullptr) << error;
    SerialConfig config;
    config.baudRate = 57600;
    config.binary = true;
    config.rtsControl = kRtsControlEnable;
    ASSERT_TRUE(device_->SetConfig(config));
    ASSERT_TRUE(device_->Purge());
  }

  // Reads until n bytes are in or the time-outs end it.
  std::string ReadUpTo(size_t n) {
    std::string got(n, '\0');
    const int r = device_->Read(reinterpret_cast<uint8_t*>(got.data()), n);
    EXPECT_GE(r, 0);
    got.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return got;
  }

  RealClock clock_;
  std::unique_ptr<Win32SerialDevice> device_;
};

TEST_F(ComPort, BaudRatesComeBackAsSet) {
  for (const uint32_t baud : {57600u, 19200u, 115200u}) {
    SerialConfig config;
    ASSERT_TRUE(device_->GetConfig(&config));
    config.baudRate = baud;
    ASSERT_TRUE(device_->SetConfig(config)) << baud;
    SerialConfig back;
    ASSERT_TRUE(device_->GetConfig(&back));
    EXPECT_EQ(back.baudRate, baud);
    EXPECT_EQ(back.byteSize, 8);
    EXPECT_EQ(back.stopBits, kOneStopBit);
  }
}

TEST_F(ComPort, EvenParityIsKept) {
  // The boot mode switches the link to 8E1 and back to 8N1.
  SerialConfig config;
  ASSERT_TRUE(device_->GetConfig(&config));
  config.parity = kParityEven;
  config.parityCheck = true;
  ASSERT_TRUE(device_->SetConfig(config));
  SerialConfig back;
  ASSERT_TRUE(device_->GetConfig(&back));
  // Linux forces 8N1 on a pseudo-terminal whatever is asked.
  if (back.parity == kParityNone) GTEST_SKIP() << "the port keeps no parity (a pseudo-terminal is always 8N1)";
  EXPECT_EQ(back.parity, kParityEven);
  config.parity = kParityNone;
  ASSERT_TRUE(device_->SetConfig(config));
  ASSERT_TRUE(device_->GetConfig(&back));
  EXPECT_EQ(back.parity, kParityNone);
}

TEST_F(ComPort, WritesComeBackFromThePeerAndReadsWaitForAll) {
  SerialTimeouts timeouts;
  timeouts.readConstant = 2000;
  timeouts.writeConstant = 2000;
  ASSERT_TRUE(device_->SetTimeouts(timeouts));
  const std::string frame("\x02\x05\x07hello\xff\x00", 10);
  ASSERT_EQ(device_->Write(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()),
            static_cast<int>(frame.size()));
  EXPECT_EQ(ReadUpTo(frame.size()), frame);
}

TEST_F(ComPort, AReadWithNothingComingEndsAtItsTimeOut) {
  SerialTimeouts timeouts;
  timeouts.readConstant = 300;
  ASSERT_TRUE(device_->SetTimeouts(timeouts));
  const int64_t start = clock_.NowUs();
  EXPECT_EQ(ReadUpTo(4), "");
  const int64_t waited = clock_.NowUs() - start;
  EXPECT_GE(waited, 250'000);  // it did wait (generous both ways: not a timing test)
  EXPECT_LT(waited, 5'000'000);
}

TEST_F(ComPort, NoTotalTimeOutReturnsWhatIsThere) {
  ASSERT_TRUE(device_->SetTimeouts(SerialTimeouts{}));
  EXPECT_EQ(ReadUpTo(8), "");
}

TEST_F(ComPort, PurgeDropsWhatArrived) {
  SerialTimeouts timeouts;
  timeouts.readConstant = 300;
  timeouts.writeConstant = 2000;
  ASSERT_TRUE(device_->SetTimeouts(timeouts));
  const std::string stale = "stale";
  ASSERT_EQ(device_->Write(reinterpret_cast<const uint8_t*>(stale.data()), stale.size()), 5);
  clock_.SleepMs(300);  // the echo is in
  ASSERT_TRUE(device_->Purge());
  EXPECT_TRUE(device_->ClearErrors());
  EXPECT_EQ(ReadUpTo(5), "");
}

TEST_F(ComPort, ModemLines) {
  // A pseudo-terminal has no modem lines; Wine refuses them there.
  if (!device_->SetDtr(true)) GTEST_SKIP() << "the port refuses DTR (a pseudo-terminal has no modem lines)";
  EXPECT_TRUE(device_->SetDtr(false));
  EXPECT_TRUE(device_->SetRts(true));
  EXPECT_TRUE(device_->SetRts(false));
}

TEST_F(ComPort, ASecondOpenFindsThePortHeld) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not enforce the exclusive open of a device";
  std::string error;
  OpenFailure kind = OpenFailure::None;
  EXPECT_EQ(Win32SerialDevice::Open(std::getenv("VELMORA_TEST_COM_PORT"), clock_, &error, &kind), nullptr);
  EXPECT_EQ(kind, OpenFailure::Busy) << error;
}

}  // namespace
}  // namespace velmora
