// Frame round trips over an RFC 2217 line to a local server that answers every frame with the
// same frame, paced as a handset at the line's baud rate would send it. The least an exchange
// can take is the request's and the answer's wire time; what the client adds on top of that
// (scheduling, polling, copying) is reported as excess_us and as the ratio to the wire time.
// The link must add no sleeps or polling delays of its own, so the ratio should stay near 1.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/link.h"
#include "ports/port_namer.h"
#include "rfc2217/rfc2217_device.h"
#include "support/rfc2217_test_server.h"

namespace velmora {
namespace {

class NoUser final : public UserInteraction {
 public:
  int ShowMessageBox(const std::string&, MessageIcon) override { return 1; }
};

SerialConfig Line8N1(uint32_t baud) {
  SerialConfig c;
  c.baudRate = baud;
  c.binary = true;
  c.rtsControl = kRtsControlEnable;
  return c;
}

void Report(benchmark::State& state, int64_t totalUs, int64_t exchanges, size_t frameBytes,
            uint32_t baud) {
  const double wireUs = 2.0 * static_cast<double>(frameBytes) * static_cast<double>(ByteWireTimeUs(Line8N1(baud)));
  const double meanUs = static_cast<double>(totalUs) / static_cast<double>(exchanges);
  state.counters["wire_us"] = wireUs;
  state.counters["exchange_us"] = meanUs;
  state.counters["excess_us"] = meanUs - wireUs;
  state.counters["ratio"] = meanUs / wireUs;
}

// The device alone: one write of the frame, one read of the whole answer.
void BM_DeviceFrameExchange(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  const auto dataBytes = static_cast<uint8_t>(state.range(1));
  testing::TestRfc2217Server server({.frameEcho = true});
  RealClock clock;
  std::string error;
  auto device = Rfc2217Device::Open(server.address(), clock, &error);
  if (!device || !device->SetConfig(Line8N1(baud)) || !device->SetTimeouts({0, 0, 250, 0, 250})) {
    state.SkipWithError(("cannot open the line: " + error).c_str());
    return;
  }
  std::vector<uint8_t> frame = {5, dataBytes, static_cast<uint8_t>(5 ^ dataBytes)};
  for (uint8_t i = 0; i < dataBytes; ++i) frame.push_back(static_cast<uint8_t>(i * 37));
  std::vector<uint8_t> answer(frame.size());
  int64_t totalUs = 0;
  int64_t exchanges = 0;
  for (auto _ : state) {
    const int64_t start = clock.NowUs();
    if (device->Write(frame.data(), frame.size()) != static_cast<int>(frame.size()) ||
        device->Read(answer.data(), answer.size()) != static_cast<int>(answer.size()) || answer != frame) {
      state.SkipWithError("exchange failed");
      return;
    }
    totalUs += clock.NowUs() - start;
    ++exchanges;
  }
  Report(state, totalUs, exchanges, frame.size(), baud);
}

// The same through the link library: WriteFrame, then ReadFrame (header, then data).
void BM_LinkFrameExchange(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  const auto dataBytes = static_cast<uint8_t>(state.range(1));
  testing::TestRfc2217Server server({.frameEcho = true});
  RealClock clock;
  PortNamer namer(clock);
  namer.SetTarget("COM1", "rfc2217://" + server.address());
  NoUser user;
  Link link(clock, namer, user);
  const LinkHandle h = link.Open(0, baud);
  if (h == kNoLink) {
    state.SkipWithError(("Open failed: " + namer.last_error()).c_str());
    return;
  }
  std::vector<uint8_t> data(dataBytes);
  for (uint8_t i = 0; i < dataBytes; ++i) data[i] = static_cast<uint8_t>(i * 37);
  uint8_t type = 0;
  uint8_t length = 0;
  uint8_t in[kMaxFrameData] = {};
  int64_t totalUs = 0;
  int64_t exchanges = 0;
  for (auto _ : state) {
    const int64_t start = clock.NowUs();
    if (!link.WriteFrame(h, 5, dataBytes, data.data()) || !link.ReadFrame(h, &type, &length, in) ||
        type != 5 || length != dataBytes) {
      state.SkipWithError("exchange failed");
      break;
    }
    totalUs += clock.NowUs() - start;
    ++exchanges;
  }
  link.Close(h);
  if (exchanges) Report(state, totalUs, exchanges, 3u + dataBytes, baud);
}

BENCHMARK(BM_DeviceFrameExchange)
    ->ArgsProduct({{57600, 115200}, {1, 32}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_LinkFrameExchange)
    ->ArgsProduct({{57600, 115200}, {1, 32}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
