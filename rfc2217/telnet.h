// Telnet and its COM-PORT-OPTION (RFC 2217): the codes and the escaping that both sides of
// the protocol use, the client device (platform/rfc2217_device.cpp) and the simulated
// handset's server (sim/rfc2217_session.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/serial_device.h"

namespace velmora::telnet {

// Commands.
constexpr uint8_t kIac = 255;  // "interpret as command"; a doubled 0xFF is one data byte
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;  // subnegotiation begins
constexpr uint8_t kSe = 240;  // subnegotiation ends

// Options.
constexpr uint8_t kBinary = 0;
constexpr uint8_t kEcho = 1;
constexpr uint8_t kSga = 3;  // suppress go-ahead
constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the code plus
// kServerOffset.
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaudRate = 1;  // four bytes, big-endian; 0 asks for the current rate
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kFlowSuspend = 8;
constexpr uint8_t kFlowResume = 9;
constexpr uint8_t kSetLineStateMask = 10;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
constexpr uint8_t kNotifyLineState = kServerOffset + 6;
constexpr uint8_t kNotifyModemState = kServerOffset + 7;

// SET-CONTROL values.
constexpr uint8_t kControlRequestFlow = 0;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlXonXoff = 2;
constexpr uint8_t kControlHardware = 3;
constexpr uint8_t kControlRequestBreak = 4;
constexpr uint8_t kControlBreakOn = 5;
constexpr uint8_t kControlBreakOff = 6;
constexpr uint8_t kControlRequestDtr = 7;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRequestRts = 10;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;
constexpr uint8_t kControlRequestFlowIn = 13;
constexpr uint8_t kControlNoFlowIn = 14;

// PURGE-DATA values.
constexpr uint8_t kPurgeReceive = 1;
constexpr uint8_t kPurgeTransmit = 2;
constexpr uint8_t kPurgeBoth = 3;

// Line settings in the option's codes: parity NONE=1, ODD=2, EVEN=3, MARK=4, SPACE=5 (the
// platform's codes plus one); stop bits 1=one, 2=two, 3=one and a half.
constexpr uint8_t ParityCode(uint8_t parity) {
  return parity <= kParitySpace ? static_cast<uint8_t>(parity + 1) : 1;
}
// false for a code outside 1..5 (0 asks for the current value).
constexpr bool ParityFromCode(uint8_t code, uint8_t* parity) {
  if (code < 1 || code > 5) return false;
  *parity = static_cast<uint8_t>(code - 1);
  return true;
}
constexpr uint8_t StopSizeCode(uint8_t stopBits) {
  return stopBits == kTwoStopBits ? 2 : (stopBits == kOne5StopBits ? 3 : 1);
}
constexpr bool StopBitsFromCode(uint8_t code, uint8_t* stopBits) {
  switch (code) {
    case 1: *stopBits = kOneStopBit; return true;
    case 2: *stopBits = kTwoStopBits; return true;
    case 3: *stopBits = kOne5StopBits; return true;
    default: return false;
  }
}

// Appends one data byte to a byte or char buffer, doubling 0xFF.
template <class Out>
void AppendEscaped(Out& out, uint8_t b) {
  using T = typename Out::value_type;
  out.push_back(static_cast<T>(b));
  if (b == kIac) out.push_back(static_cast<T>(kIac));
}

template <class Out>
void AppendOption(Out& out, uint8_t verb, uint8_t option) {
  using T = typename Out::value_type;
  out.push_back(static_cast<T>(kIac));
  out.push_back(static_cast<T>(verb));
  out.push_back(static_cast<T>(option));
}

// IAC SB COM-PORT-OPTION code value IAC SE, the value escaped.
template <class Out>
void AppendComPortCommand(Out& out, uint8_t code, const uint8_t* value, size_t n) {
  using T = typename Out::value_type;
  for (uint8_t b : {kIac, kSb, kComPort, code}) out.push_back(static_cast<T>(b));
  for (size_t i = 0; i < n; ++i) AppendEscaped(out, value[i]);
  out.push_back(static_cast<T>(kIac));
  out.push_back(static_cast<T>(kSe));
}

// Takes a telnet byte stream apart one byte at a time, wherever the reads split it: data bytes
// (a doubled 0xFF is one), option talk (WILL, WONT, DO, DONT and the option) and whole
// subnegotiations. Other commands (NOP, GA, ...) carry nothing for a serial line and are
// passed over; a subnegotiation longer than kMaxSubnegotiation is skipped to its end, and one
// broken by IAC and anything but IAC or SE is dropped.
class Decoder {
 public:
  enum class Event { None, Data, Option, Subnegotiation };
  static constexpr size_t kMaxSubnegotiation = 64;

  Event Process(uint8_t b);
  // After Event::Data: the byte. After Event::Option: verb and option.
  uint8_t data() const { return data_; }
  uint8_t verb() const { return verb_; }
  uint8_t option() const { return data_; }
  // After Event::Subnegotiation: its bytes between IAC SB and IAC SE, unescaped.
  const std::vector<uint8_t>& sub() const { return sub_; }

 private:
  enum class State { Data, Iac, Option, Sub, SubIac };
  void Keep(uint8_t b);

  State state_ = State::Data;
  uint8_t data_ = 0;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sub_;
  bool subOverflow_ = false;
};

}  // namespace velmora::telnet
