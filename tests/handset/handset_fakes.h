// Helpers for the handset tests: building and taking apart frames, and a small handset
// model that answers the session's requests on a ScriptedDevice according to the line state
// (baud rate, parity, DTR), with switches for the ways a real handset misbehaves.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "support/scripted_device.h"

namespace velmora::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(uint8_t type, const Bytes& data) { return protocol::FrameBytes(type, data); }

// A service reply frame: the bytes given, then their XOR.
inline Bytes ServiceFrame(Bytes data) {
  data.push_back(protocol::XorCheck(data.data(), data.size()));
  return Frame(0x14, data);
}
inline Bytes Echo(uint8_t code, const Bytes& results = {}) {
  Bytes d{code};
  d.insert(d.end(), results.begin(), results.end());
  return ServiceFrame(d);
}
inline Bytes Status(uint8_t statusByte) { return ServiceFrame({statusByte}); }

struct ParsedFrame {
  uint8_t type = 0;
  Bytes data;
};
// One write as a whole frame, when it is one.
inline std::optional<ParsedFrame> ParseFrame(const Bytes& w) {
  if (w.size() < 4 || w[2] != protocol::HeaderCheck(w[0], w[1]) || w.size() != w[1] + 3u)
    return std::nullopt;
  return ParsedFrame{w[0], Bytes(w.begin() + 3, w.end())};
}

inline Bytes Le16(uint16_t v) { return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)}; }
inline Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A handset on the far end of a ScriptedDevice. Frames are understood at frameBaud without
// parity, AT commands at atBaud, the boot ROM at 19200 with even parity while DTR is high.
class MiniHandset {
 public:
  enum class State { Off, Normal, Service };

  explicit MiniHandset(State s) : state(s) {}

  State state;
  uint32_t frameBaud = 57600;
  uint32_t atBaud = 115200;
  bool framesInNormal = false;      // set by the AT switch
  bool answersAtSwitch = true;
  bool acksSwitchOff = true;
  bool staysOnAfterSwitchOff = false;
  int64_t powerDownUs = 800000;     // pings still answered this long after the switch-off
  int silentBootAttempts = 0;       // DTR raises the boot ROM ignores (-1: all)
  int64_t serviceStartUs = 1500000; // from leaving boot mode until pings are answered
  Bytes modeReply = {0x3F, 0x07, 0x00};
  Bytes imeiAnswer = {};            // type-6 frame data for AT+CGSN; empty: no answer
  Bytes imeiFallback = {0x0A, 0x00};
  Bytes bootChatter = {0x13, 0x37, 0x00};  // what the boot program sends after its 0xA5

  // Counters for the assertions.
  int pings = 0;
  int switchOffs = 0;
  int bootProbes = 0;
  int bootStrings = 0;
  int atSwitches = 0;

  void Attach(ScriptedDevice& d, VirtualClock& clock) {
    clock_ = &clock;
    d.onWrite = [this](ScriptedDevice& dev, const Bytes& w) { OnWrite(dev, w); };
  }

 private:
  bool BootLine(const ScriptedDevice& d) const {
    return d.config.baudRate == 19200 && d.config.parity == kParityEven;
  }
  int DtrRaises(const ScriptedDevice& d) const {
    int n = 0;
    for (const auto& e : d.events) n += e.kind == ScriptedDevice::Kind::SetDtr && e.value == 1;
    return n;
  }
  bool PoweredDown() const {
    return state == State::Off && clock_->NowUs() >= offAtUs_;
  }

  void OnWrite(ScriptedDevice& d, const Bytes& w) {
    // Boot ROM: a switched-off handset listens on the boot line; the probe counts only while
    // DTR is high, the boot block follows after the handshake has dropped it again.
    if (PoweredDown() && BootLine(d)) {
      if (synced_ || d.dtr) BootByte(d, w);
      return;
    }
    if (bootLoaded_ && d.config.parity == kParityNone) {
      // Back on the framed line: the boot program starts the service program.
      bootLoaded_ = false;
      state = State::Service;
      serviceAtUs_ = clock_->NowUs() + serviceStartUs;
    }
    if (d.config.parity != kParityNone) return;
    if (d.config.baudRate == atBaud && state == State::Normal && !framesInNormal &&
        answersAtSwitch && w == Text("at^sqwe=1\r")) {
      ++atSwitches;
      framesInNormal = true;
      d.Feed(Text("\r\nOK\r\n"), 20000);
      return;
    }
    if (d.config.baudRate != frameBaud) return;
    auto f = ParseFrame(w);
    if (!f) return;
    OnFrame(d, *f);
  }

  void OnFrame(ScriptedDevice& d, const ParsedFrame& f) {
    const bool on = (state == State::Normal && framesInNormal) ||
                    (state == State::Service && clock_->NowUs() >= serviceAtUs_) ||
                    (state == State::Off && !PoweredDown() && staysOnAfterSwitchOff);
    const bool dying = state == State::Off && !PoweredDown();
    if (!on && !dying) return;
    const uint8_t first = f.data.empty() ? 0 : f.data[0];
    if (f.type == 2 && first == 0x14) {
      ++pings;
      d.Feed(testing::Frame(2, {0x14, 0xAA}), 2000);
    } else if (!dying && f.type == 5 && first == 0x3F) {
      d.Feed(testing::Frame(5, state == State::Service ? modeReply : Bytes{0x3F, 0x01, 0x00}),
             2000);
    } else if (!dying && f.type == 14 && first == 0x04) {
      ++switchOffs;
      if (!acksSwitchOff) return;
      d.Feed(testing::Frame(14, {0x04}), 2000);
      state = State::Off;
      offAtUs_ = staysOnAfterSwitchOff ? INT64_MAX : clock_->NowUs() + powerDownUs;
      framesInNormal = false;
    } else if (!dying && state == State::Service && f.type == 6 && !imeiAnswer.empty()) {
      d.Feed(testing::Frame(6, imeiAnswer), 5000);
    } else if (!dying && state == State::Service && f.type == 14 && first == 0x0A) {
      d.Feed(testing::Frame(14, imeiFallback), 2000);
    }
  }

  void BootByte(ScriptedDevice& d, const Bytes& w) {
    for (uint8_t b : w) {
      if (!synced_) {
        if (b != 0x55) continue;
        ++bootProbes;
        const int raises = DtrRaises(d);
        if (silentBootAttempts < 0 || raises <= silentBootAttempts) continue;
        synced_ = true;
        d.Feed({0xA0}, 1000);
        continue;
      }
      block_.push_back(b);
      if (block_.size() == 1u + block_[0] + 1u) {
        const uint8_t x = protocol::XorCheck(block_.data() + 1, block_.size() - 2);
        if (x == block_.back() && block_[0] == 104) {
          ++bootStrings;
          bootLoaded_ = true;
          d.Feed(Bytes{0xA5} + bootChatter, 1000);
        }
        block_.clear();
        synced_ = false;
      }
    }
  }

  VirtualClock* clock_ = nullptr;
  int64_t offAtUs_ = 0;
  int64_t serviceAtUs_ = 0;
  bool synced_ = false;
  bool bootLoaded_ = false;
  Bytes block_;
};

}  // namespace velmora::testing
