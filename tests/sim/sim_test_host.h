// A minimal host for driving the simulated handset through SimDevice under the virtual
// clock: configure the line, pulse DTR, send bytes, collect what comes back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "platform/hex.h"

namespace velmora::sim::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& text) {
  Bytes b;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  EXPECT_TRUE(ParseHex(digits, &b)) << text;
  return b;
}

// Bytes as "0A 1B ...", as the tests write them.
inline std::string ToHex(const Bytes& b) {
  std::string s;
  for (uint8_t x : b) {
    if (!s.empty()) s += ' ';
    AppendHex(&s, &x, 1, HexCase::Upper);
  }
  return s;
}

inline Bytes Frame(uint8_t type, const Bytes& data) { return protocol::FrameBytes(type, data); }

// A service message in a type-0x14 frame, check byte appended.
inline Bytes Service(const Bytes& msg) {
  Bytes m = msg;
  m.push_back(protocol::XorCheck(msg.data(), msg.size()));
  return Frame(0x14, m);
}

struct Host {
  explicit Host(const SimProfile& profile = SimProfile::Default(), const std::vector<SimBlock>* firstStore = nullptr)
      : handset(profile, firstStore) {
    device = OpenSimDevice(handset, clock);
    Configure(57600, kParityNone);
  }
  void Configure(uint32_t baud, uint8_t parity) {
    SerialConfig c;
    device->GetConfig(&c);
    c.baudRate = baud;
    c.parity = parity;
    device->SetConfig(c);
  }
  void Dtr(bool high) { device->SetDtr(high); }
  void Send(const Bytes& b) { device->Write(b.data(), b.size()); }
  void Send(const std::string& s) { Send(Bytes(s.begin(), s.end())); }
  // Everything that arrives within the window.
  Bytes Receive(uint32_t windowMs = 250, size_t atMost = 512) {
    SerialTimeouts t;
    t.readConstant = windowMs;
    device->SetTimeouts(t);
    Bytes b(atMost);
    const int n = device->Read(b.data(), b.size());
    b.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return b;
  }
  Bytes Exchange(const Bytes& request, uint32_t windowMs = 250) {
    Send(request);
    return Receive(windowMs);
  }
  std::string ReceiveText(uint32_t windowMs = 250) {
    const Bytes b = Receive(windowMs);
    return std::string(b.begin(), b.end());
  }
  // Runs the boot handshake and boot block the way the tool does; true on 0xA5.
  bool Boot(const Bytes& program = ExpectedBootProgram()) {
    Configure(19200, kParityEven);
    Dtr(true);
    clock.SleepUs(55'000);
    if (Exchange({0x55}, 45) != Bytes{0xA0}) return false;
    Dtr(false);
    Bytes block{static_cast<uint8_t>(program.size())};
    block.insert(block.end(), program.begin(), program.end());
    block.push_back(protocol::XorCheck(program.data(), program.size()));
    Send(block);
    const bool ok = Receive(60, 1) == Bytes{0xA5};
    Configure(57600, kParityNone);
    return ok;
  }

  VirtualClock clock;
  SimHandset handset;
  std::unique_ptr<SerialDevice> device;
};

inline SimProfile ProfileIn(SimState state) {
  SimProfile p = SimProfile::Default();
  p.startState = state;
  return p;
}

}  // namespace velmora::sim::testing
