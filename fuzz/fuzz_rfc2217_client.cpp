// The RFC 2217 client device against a server that sends the fuzz bytes: the telnet
// negotiation, the COM-PORT-OPTION commands and their answers, and the data path. The server
// is the other end of a socket pair in this process. Its bytes come in pieces, one each time
// the device looks at the clock, so answers arrive while the device waits for them; once
// the input is used up the server hangs up, so no wait ever outlasts the input. Time is
// virtual: every look at the clock moves it on by a millisecond.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "rfc2217/rfc2217_device.h"

namespace {

class ServerClock final : public velmora::Clock {
 public:
  ServerClock(int fd, std::deque<std::vector<uint8_t>> pieces) : fd_(fd), pieces_(std::move(pieces)) {}
  ~ServerClock() override {
    if (fd_ >= 0) close(fd_);
  }
  int64_t NowUs() override {
    Serve();
    now_ += 1000;
    return now_;
  }
  void SleepUs(int64_t us) override {
    if (us > 0) now_ += us;
  }

 private:
  void Serve() {
    if (fd_ < 0) return;
    uint8_t sink[4096];
    while (recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    if (pieces_.empty()) {
      shutdown(fd_, SHUT_WR);  // the device sees the end of the stream and stops waiting
      return;
    }
    const std::vector<uint8_t>& piece = pieces_.front();
    if (send(fd_, piece.data(), piece.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) shutdown(fd_, SHUT_WR);
    pieces_.pop_front();
  }

  int fd_;
  std::deque<std::vector<uint8_t>> pieces_;
  int64_t now_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<uint8_t> ops;
  const int count = in.ConsumeIntegralInRange<int>(0, 16);
  for (int i = 0; i < count; ++i) ops.push_back(in.ConsumeIntegral<uint8_t>());
  std::deque<std::vector<uint8_t>> pieces;
  // Every piece holds at least a byte: an empty one would leave the device waiting in real time.
  while (in.remaining_bytes() > 0) {
    std::vector<uint8_t> piece = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 64));
    if (!piece.empty()) pieces.push_back(std::move(piece));
  }

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) __builtin_trap();
  ServerClock clock(pair[1], std::move(pieces));
  std::string error;
  auto device = velmora::Rfc2217Device::Adopt(pair[0], clock, &error, velmora::Rfc2217Device::Options{});
  if (!device) return 0;

  velmora::SerialConfig config;
  config.baudRate = 57600;
  velmora::SerialTimeouts timeouts;
  timeouts.readConstant = 100;
  timeouts.readMultiplier = 2;
  uint8_t buffer[256];
  for (uint8_t op : ops) {
    switch (op % 8) {
      case 0:
        config.baudRate = op & 0x80 ? 19200 : 57600;
        config.parity = op & 0x40 ? velmora::kParityEven : velmora::kParityNone;
        device->SetConfig(config);
        break;
      case 1:
        device->GetConfig(&config);
        break;
      case 2:
        timeouts.readInterval = op >> 3;
        device->SetTimeouts(timeouts);
        break;
      case 3: {
        const size_t n = 1 + (op >> 3);
        const int got = device->Read(buffer, n);
        if (got > static_cast<int>(n) || got < -1) __builtin_trap();
        break;
      }
      case 4: {
        for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(0xF0 + i);
        const size_t n = 1 + (op >> 3);
        const int put = device->Write(buffer, n);
        if (put != static_cast<int>(n) && put != -1) __builtin_trap();
        break;
      }
      case 5:
        device->SetDtr(op & 0x80);
        device->SetRts(op & 0x40);
        break;
      case 6:
        device->Purge();
        break;
      case 7:
        device->ClearErrors();
        break;
    }
  }
  return 0;
}
