// A scripted serial device for tests under the virtual clock: bytes to be received are queued
// with the time at which they arrive, every call is recorded, and a responder can answer
// each write. Reads advance the virtual clock exactly as a real port's total time-out would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/user_interaction.h"

namespace velmora::testing {

class ScriptedDevice : public SerialDevice {
 public:
  enum class Kind { Write, Read, SetDtr, SetRts, SetConfig, SetTimeouts, Purge, ClearErrors };
  struct Event {
    Kind kind;
    int64_t timeUs;              // virtual time when the call began
    std::vector<uint8_t> bytes = {};  // written or read bytes
    uint32_t value = 0;          // Read: bytes asked for; SetDtr/SetRts: 0/1; SetTimeouts: readConstant
    uint32_t timeoutMs = 0;      // Read: the total time-out in force
  };

  explicit ScriptedDevice(VirtualClock& clock) : clock_(clock) {}

  // Queues bytes that arrive delayUs after now (all at once).
  void Feed(const std::vector<uint8_t>& bytes, int64_t delayUs = 0) {
    for (uint8_t b : bytes) rx_.push_back({clock_.NowUs() + delayUs, b});
  }
  // Called after every successful write with the bytes written; may Feed replies.
  std::function<void(ScriptedDevice&, const std::vector<uint8_t>&)> onWrite;

  // Failure switches.
  int failWrites = 0;        // the next n writes fail
  bool failSetConfig = false;
  bool failGetConfig = false;
  bool failSetTimeouts = false;
  bool failRts = false;
  bool failDtr = false;
  bool failRead = false;
  bool chargeWireTime = true;  // writes advance the clock by the bytes' wire time

  // State as the program left it.
  SerialConfig config;
  SerialTimeouts timeouts;
  bool dtr = false;
  bool rts = false;
  std::vector<Event> events;

  // Everything written, in order.
  std::vector<uint8_t> Written() const {
    std::vector<uint8_t> all;
    for (const auto& e : events)
      if (e.kind == Kind::Write) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
  }
  std::vector<std::vector<uint8_t>> Writes() const {
    std::vector<std::vector<uint8_t>> w;
    for (const auto& e : events)
      if (e.kind == Kind::Write) w.push_back(e.bytes);
    return w;
  }
  int Count(Kind k) const {
    int n = 0;
    for (const auto& e : events) n += e.kind == k;
    return n;
  }
  size_t Pending() const { return rx_.size(); }

  bool SetConfig(const SerialConfig& c) override {
    events.push_back({Kind::SetConfig, clock_.NowUs(), {}, c.baudRate});
    if (failSetConfig) return false;
    config = c;
    return true;
  }
  bool GetConfig(SerialConfig* c) override {
    if (failGetConfig) return false;
    *c = config;
    return true;
  }
  bool SetTimeouts(const SerialTimeouts& t) override {
    events.push_back({Kind::SetTimeouts, clock_.NowUs(), {}, t.readConstant});
    if (failSetTimeouts) return false;
    timeouts = t;
    return true;
  }
  int Read(uint8_t* buffer, size_t n) override {
    const uint32_t total = timeouts.readMultiplier * static_cast<uint32_t>(n) + timeouts.readConstant;
    Event e{Kind::Read, clock_.NowUs(), {}, static_cast<uint32_t>(n), total};
    if (failRead) {
      events.push_back(e);
      return -1;
    }
    const int64_t deadline = clock_.NowUs() + static_cast<int64_t>(total) * 1000;
    size_t got = 0;
    int64_t last = clock_.NowUs();
    while (got < n && !rx_.empty() && rx_.front().first <= deadline) {
      last = rx_.front().first;
      buffer[got++] = rx_.front().second;
      e.bytes.push_back(rx_.front().second);
      rx_.pop_front();
    }
    clock_.AdvanceTo(got == n ? last : deadline);
    events.push_back(std::move(e));
    return static_cast<int>(got);
  }
  int Write(const uint8_t* data, size_t n) override {
    std::vector<uint8_t> bytes(data, data + n);
    events.push_back({Kind::Write, clock_.NowUs(), bytes});
    if (failWrites > 0) {
      --failWrites;
      return -1;
    }
    if (chargeWireTime && config.baudRate)
      clock_.SleepUs(ByteWireTimeUs(config) * static_cast<int64_t>(n));
    if (onWrite) onWrite(*this, bytes);
    return static_cast<int>(n);
  }
  bool SetDtr(bool high) override {
    events.push_back({Kind::SetDtr, clock_.NowUs(), {}, high ? 1u : 0u});
    if (failDtr) return false;
    dtr = high;
    return true;
  }
  bool SetRts(bool high) override {
    events.push_back({Kind::SetRts, clock_.NowUs(), {}, high ? 1u : 0u});
    if (failRts) return false;
    rts = high;
    return true;
  }
  bool Purge() override {
    events.push_back({Kind::Purge, clock_.NowUs(), {}});
    rx_.clear();
    return true;
  }
  bool ClearErrors() override {
    events.push_back({Kind::ClearErrors, clock_.NowUs(), {}});
    return true;
  }

 private:
  VirtualClock& clock_;
  std::deque<std::pair<int64_t, uint8_t>> rx_;
};

// Hands out test-owned devices by port name; can refuse opens to stand for a port held by
// another program. Closing the returned device does not destroy the test's device.
class FakeOpener : public DeviceOpener {
 public:
  void Add(const std::string& name, SerialDevice* device) { devices_[name] = device; }
  int failOpens = 0;  // the next n opens fail; -1 = every open fails
  int opens = 0;      // successful opens
  int attempts = 0;
  std::vector<std::string> names;  // every name asked for
  // What a refused open reports (held by another program unless a test says otherwise).
  OpenError failure{OpenFailure::Busy, ""};

  OpenError LastOpenError() const override { return failure; }

  std::unique_ptr<SerialDevice> Open(const std::string& name) override {
    ++attempts;
    names.push_back(name);
    if (failOpens < 0) return nullptr;
    if (failOpens > 0) {
      --failOpens;
      return nullptr;
    }
    auto it = devices_.find(name);
    if (it == devices_.end()) return nullptr;
    ++opens;
    return std::make_unique<Forwarding>(it->second);
  }

 private:
  class Forwarding : public SerialDevice {
   public:
    explicit Forwarding(SerialDevice* d) : d_(d) {}
    bool SetConfig(const SerialConfig& c) override { return d_->SetConfig(c); }
    bool GetConfig(SerialConfig* c) override { return d_->GetConfig(c); }
    bool SetTimeouts(const SerialTimeouts& t) override { return d_->SetTimeouts(t); }
    int Read(uint8_t* b, size_t n) override { return d_->Read(b, n); }
    int Write(const uint8_t* b, size_t n) override { return d_->Write(b, n); }
    bool SetDtr(bool h) override { return d_->SetDtr(h); }
    bool SetRts(bool h) override { return d_->SetRts(h); }
    bool Purge() override { return d_->Purge(); }
    bool ClearErrors() override { return d_->ClearErrors(); }

   private:
    SerialDevice* d_;
  };
  std::map<std::string, SerialDevice*> devices_;
};

// Records message boxes instead of showing them.
struct RecordingUi : public UserInteraction {
  std::vector<std::pair<std::string, MessageIcon>> boxes;
  int ShowMessageBox(const std::string& text, MessageIcon icon) override {
    boxes.emplace_back(text, icon);
    return 1;
  }
};

}  // namespace velmora::testing
