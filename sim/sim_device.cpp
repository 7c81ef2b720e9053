#include "sim/sim_device.h"

#include <algorithm>

namespace velmora::sim {

namespace {
// What a port is set to before anyone configures it.
constexpr uint32_t kPowerOnBaudRate = 9600;
}  // namespace

std::unique_ptr<SerialDevice> OpenSimDevice(SimHandset& handset, Clock& clock) {
  if (!handset.AcquirePort()) return nullptr;
  return std::make_unique<SimDevice>(handset, clock);
}

SimDevice::SimDevice(SimHandset& handset, Clock& clock) : handset_(handset), clock_(clock) {
  config_.baudRate = kPowerOnBaudRate;
  handset_.SetLine(Line(), clock_.NowUs());
}

SimDevice::~SimDevice() {
  // Closing a port releases its modem lines.
  dtr_ = rts_ = false;
  handset_.SetLine(Line(), clock_.NowUs());
  handset_.ReleasePort();
}

LineState SimDevice::Line() const {
  LineState s;
  s.format = {config_.baudRate, config_.byteSize, config_.parity, config_.stopBits};
  s.dtr = dtr_;
  s.rts = rts_;
  return s;
}

bool SimDevice::TakeOne(int64_t deadline, int64_t* lastUs) {
  while (handset_.HasOutput() && handset_.PeekOutput().timeUs <= deadline) {
    const SimByte b = handset_.PeekOutput();
    handset_.PopOutput();
    *lastUs = std::max(*lastUs, b.timeUs);
    if (SameCharacterFormat(b.format, Line().format)) {
      rx_.push_back(b.value);
      return true;
    }
    ++noiseBytes_;  // framing or parity error: the UART drops it
  }
  return false;
}

void SimDevice::Latch(int64_t t) {
  int64_t last = 0;
  while (TakeOne(t, &last)) {
  }
}

bool SimDevice::SetConfig(const SerialConfig& c) {
  if (c.baudRate == 0 || c.byteSize < 5 || c.byteSize > 8) return false;
  Latch(clock_.NowUs());
  config_ = c;
  // Applying the record sets the lines its control modes name.
  dtr_ = c.dtrControl == kDtrControlEnable;
  rts_ = c.rtsControl == kRtsControlEnable || c.rtsControl == kRtsControlHandshake;
  handset_.SetLine(Line(), clock_.NowUs());
  return true;
}

bool SimDevice::GetConfig(SerialConfig* c) {
  *c = config_;
  return true;
}

bool SimDevice::SetTimeouts(const SerialTimeouts& t) {
  timeouts_ = t;
  return true;
}

int SimDevice::Read(uint8_t* buffer, size_t n) {
  if (handset_.LineDropped()) return -1;
  if (n == 0) return 0;
  const int64_t now = clock_.NowUs();
  // All-zero time-outs return what is already there rather than wait without end.
  const int64_t deadline = now + ReadTotalUs(timeouts_, n);
  Latch(now);
  size_t got = 0;
  int64_t last = now;
  while (got < n) {
    if (rx_.empty() && !TakeOne(deadline, &last)) break;
    buffer[got++] = rx_.front();
    rx_.pop_front();
  }
  clock_.SleepUs((got == n ? last : deadline) - now);
  return static_cast<int>(got);
}

int SimDevice::Write(const uint8_t* data, size_t n) {
  if (handset_.LineDropped()) return -1;
  const int64_t start = clock_.NowUs();
  const int64_t wire = ByteWireTimeUs(config_);
  const LineState line = Line();
  for (size_t i = 0; i < n; ++i)
    handset_.Receive(data[i], line, start + wire * static_cast<int64_t>(i + 1));
  clock_.SleepUs(wire * static_cast<int64_t>(n));
  return static_cast<int>(n);
}

bool SimDevice::SetDtr(bool high) {
  dtr_ = high;
  handset_.SetLine(Line(), clock_.NowUs());
  return true;
}

bool SimDevice::SetRts(bool high) {
  rts_ = high;
  handset_.SetLine(Line(), clock_.NowUs());
  return true;
}

bool SimDevice::Purge() {
  // What has arrived is thrown away; what the handset is still sending keeps coming.
  Latch(clock_.NowUs());
  rx_.clear();
  return true;
}

bool SimDevice::ClearErrors() { return true; }

}  // namespace velmora::sim
