// RFC 2217 client. The stream from the server mixes data, telnet option talk and COM-PORT-OPTION
// answers and notifications; one state machine takes it apart wherever the reads split it.
#include "rfc2217/rfc2217_device.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/tcp_socket.h"
#include "rfc2217/telnet.h"

namespace velmora {

using namespace telnet;

namespace {

// Option states on each side.
constexpr uint8_t kOff = 0;
constexpr uint8_t kAsked = 1;
constexpr uint8_t kOn = 2;

// Received data the program has not read yet; beyond this the oldest is lost, as a UART overruns.
constexpr size_t kMaxBuffered = 1 << 20;
// A write with no write time-out configured still gets a bound for handing its bytes to TCP.
constexpr int64_t kSendSlackUs = 2'000'000;

std::vector<uint8_t> Be32(uint32_t v) {
  std::vector<uint8_t> bytes(4);
  StoreBe32(bytes.data(), v);
  return bytes;
}

// kSocketReadable / kSocketWritable / kSocketBroken as they came, 0 when none in time, -1 on
// a failed wait.
int WaitFd(SocketId fd, bool read, bool write, int64_t us) {
  SocketWait wait{fd, read, write, 0};
  const int r = WaitSockets(&wait, 1, us);
  return r > 0 ? wait.ready : r;
}

// The URL as the user wrote it, whether the address kept its "//" or not.
std::string Url(const std::string& address) {
  return address.compare(0, 2, "//") == 0 ? "rfc2217:" + address : "rfc2217://" + address;
}

bool SplitAddress(const std::string& address, std::string* host, std::string* port,
                  std::string* error) {
  std::string a = address;
  if (a.size() >= 2 && a.compare(0, 2, "//") == 0) a = a.substr(2);
  while (!a.empty() && a.back() == '/') a.pop_back();
  if (a.find_first_of("?/") != std::string::npos) {
    *error = Url(address) + ": only host:port is understood";
    return false;
  }
  size_t colon;
  if (!a.empty() && a[0] == '[') {
    const size_t close = a.find(']');
    if (close == std::string::npos || close + 1 >= a.size() || a[close + 1] != ':') {
      *error = Url(address) + ": expected [address]:port";
      return false;
    }
    *host = a.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = a.rfind(':');
    if (colon == std::string::npos) {
      *error = Url(address) + ": expected host:port";
      return false;
    }
    *host = a.substr(0, colon);
  }
  *port = a.substr(colon + 1);
  bool digits = !port->empty() && port->size() <= 5;
  for (char c : *port) digits = digits && c >= '0' && c <= '9';
  if (host->empty() || !digits || std::stoi(*port) < 1 || std::stoi(*port) > 65535) {
    *error = Url(address) + ": expected host:port with a port 1..65535";
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Rfc2217Device> Rfc2217Device::Open(const std::string& address, Clock& clock,
                                                   std::string* error, OpenFailure* kind) {
  return Open(address, clock, error, Options{}, kind);
}

std::unique_ptr<Rfc2217Device> Rfc2217Device::Open(const std::string& address, Clock& clock,
                                                   std::string* error, const Options& options,
                                                   OpenFailure* kind) {
  // A malformed address, a name that does not resolve, a host that refuses or does not answer
  // and a server without the option stay so however often they are tried. A server that takes
  // the connection and then falls silent or hangs up may be serving another client.
  auto fail = [&](const std::string& text, OpenFailure how) -> std::unique_ptr<Rfc2217Device> {
    if (error) *error = text;
    if (kind) *kind = how;
    return nullptr;
  };
  std::string why;
  std::string host;
  std::string port;
  if (!SplitAddress(address, &host, &port, &why)) return fail(why, OpenFailure::Permanent);
  const Deadline deadline(clock, int64_t{options.connectTimeoutMs} * 1000);
  const SocketId fd = TcpConnect(host, port, clock, deadline.atUs(), &why);
  // A host that does not answer at all, or a listener that takes the connection but never
  // speaks telnet, is no port that will open later: said at once, not retried for a minute.
  const std::string timedOut = "cannot connect to " + host + ":" + port + ": timed out";
  if (fd == kNoSocket && deadline.LeftUs() <= 0) return fail(timedOut, OpenFailure::Permanent);
  // The reason starts with the host (and port) it concerns.
  if (fd == kNoSocket) return fail("rfc2217://" + why, OpenFailure::Permanent);
  std::unique_ptr<Rfc2217Device> device(new Rfc2217Device(fd, clock, options));
  if (!device->Negotiate(&why)) {
    if (device->negotiationSilent_)
      return fail(timedOut + " (no telnet negotiation from the server)", OpenFailure::Permanent);
    return fail(Url(address) + ": " + why,
                device->comPortRefused_ ? OpenFailure::Permanent : OpenFailure::Busy);
  }
  return device;
}

std::unique_ptr<Rfc2217Device> Rfc2217Device::Adopt(int fd, Clock& clock, std::string* error,
                                                    const Options& options) {
  if (fd < 0) {
    if (error) *error = "no connection";
    return nullptr;
  }
  std::unique_ptr<Rfc2217Device> device(new Rfc2217Device(fd, clock, options));
  std::string why;
  if (!device->Negotiate(&why)) {
    if (error) *error = why;
    return nullptr;
  }
  return device;
}

Rfc2217Device::~Rfc2217Device() { Lose(); }

void Rfc2217Device::Lose() {
  CloseSocket(fd_);
  fd_ = kNoSocket;
}

bool Rfc2217Device::Negotiate(std::string* error) {
  std::vector<uint8_t> hello;
  for (uint8_t option : {kBinary, kSga}) {
    AppendOption(hello, kWill, option);
    AppendOption(hello, kDo, option);
  }
  AppendOption(hello, kWill, kComPort);
  usState_[kBinary] = usState_[kSga] = usState_[kComPort] = kAsked;
  themState_[kBinary] = themState_[kSga] = kAsked;
  const Deadline deadline(clock_, int64_t{options_.connectTimeoutMs} * 1000);
  if (!SendAll(hello, deadline)) {
    *error = "connection lost during negotiation";
    return false;
  }
  // The server takes the option either by DO (for our WILL) or by offering its own WILL.
  while (usState_[kComPort] != kOn && themState_[kComPort] != kOn) {
    if (comPortRefused_) {
      *error = "the server does not offer COM-PORT-OPTION";
      return false;
    }
    if (fd_ == kNoSocket) {
      *error = "connection lost during negotiation";
      return false;
    }
    const int64_t left = deadline.LeftUs();
    if (left <= 0) {
      *error = "no telnet negotiation from the server";
      negotiationSilent_ = true;
      return false;
    }
    Pump(left);
  }
  // Ask for the line settings in force (value 0 asks), so that the record and the write pacing
  // are right before the first configuration.
  std::vector<Reply> answers;
  if (!Command({{kSetBaudRate, Be32(0)}, {kSetDataSize, {0}}, {kSetParity, {0}}, {kSetStopSize, {0}}},
               &answers) ||
      answers.size() != 4) {
    *error = "the server does not answer line-settings requests";
    return false;
  }
  const std::vector<uint8_t>& baud = answers[0].value;
  if (baud.size() >= 4) {
    config_.baudRate = LoadBe32(baud.data());
  }
  if (!answers[1].value.empty() && answers[1].value[0] >= 5 && answers[1].value[0] <= 8) {
    config_.byteSize = answers[1].value[0];
  }
  // A code the option does not define counts as no parity, one stop bit.
  if (!answers[2].value.empty() && !ParityFromCode(answers[2].value[0], &config_.parity)) {
    config_.parity = kParityNone;
  }
  if (!answers[3].value.empty() && !StopBitsFromCode(answers[3].value[0], &config_.stopBits)) {
    config_.stopBits = kOneStopBit;
  }
  config_.binary = true;
  return true;
}

bool Rfc2217Device::SendAll(const std::vector<uint8_t>& bytes, const Deadline& deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (fd_ == kNoSocket) return false;
    const long r = SocketSend(fd_, bytes.data() + sent, bytes.size() - sent);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0) {
      Lose();
      return false;
    }
    const int64_t left = deadline.LeftUs();
    if (left <= 0) return false;
    // While the server's input is full, keep taking its output, or both sides would wait on
    // each other.
    const int ev = WaitFd(fd_, true, true, left);
    if (ev < 0) {
      Lose();
      return false;
    }
    if (ev & (kSocketReadable | kSocketBroken)) Pump(0);
  }
  return true;
}

void Rfc2217Device::Pump(int64_t waitUs) {
  if (fd_ == kNoSocket) return;
  const int ev = WaitFd(fd_, true, false, waitUs);
  if (ev < 0) {
    Lose();
    return;
  }
  if (ev == 0) return;
  uint8_t buffer[4096];
  const long r = SocketReceive(fd_, buffer, sizeof buffer);
  if (r > 0) {
    Parse(buffer, static_cast<size_t>(r));
  } else if (r < 0) {
    Lose();  // the server closed the connection or it broke
  }
}

void Rfc2217Device::Parse(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    switch (telnet_.Process(bytes[i])) {
      case Decoder::Event::Data:
        if (rx_.size() >= kMaxBuffered) rx_.pop_front();
        rx_.push_back(telnet_.data());
        break;
      case Decoder::Event::Option: OnOption(telnet_.verb(), telnet_.option()); break;
      case Decoder::Event::Subnegotiation: OnSubnegotiation(); break;
      case Decoder::Event::None: break;
    }
  }
}

void Rfc2217Device::SendOption(uint8_t verb, uint8_t option) {
  std::vector<uint8_t> out;
  AppendOption(out, verb, option);
  SendAll(out, Deadline(clock_, int64_t{options_.ackTimeoutMs} * 1000));
}

// Option talk in the manner of the "Q method": answer only changes of state, so that two sides
// that both ask never loop.
void Rfc2217Device::OnOption(uint8_t verb, uint8_t option) {
  const bool weSupport = option == kBinary || option == kSga || option == kComPort;
  const bool theySupport = weSupport;
  switch (verb) {
    case kDo:
      if (!weSupport) {
        SendOption(kWont, option);
      } else if (usState_[option] != kOn) {
        if (usState_[option] == kOff) SendOption(kWill, option);
        usState_[option] = kOn;
      }
      break;
    case kDont:
      if (option == kComPort && usState_[option] != kOn && themState_[option] != kOn) {
        comPortRefused_ = true;
      }
      if (usState_[option] == kOn) SendOption(kWont, option);
      usState_[option] = kOff;
      break;
    case kWill:
      if (!theySupport) {
        SendOption(kDont, option);
      } else if (themState_[option] != kOn) {
        if (themState_[option] == kOff) SendOption(kDo, option);
        themState_[option] = kOn;
      }
      break;
    case kWont:
      if (themState_[option] == kOn) SendOption(kDont, option);
      themState_[option] = kOff;
      break;
    default:
      break;
  }
}

void Rfc2217Device::OnSubnegotiation() {
  const std::vector<uint8_t>& sub = telnet_.sub();
  if (sub.size() < 2 || sub[0] != kComPort) return;
  const uint8_t code = sub[1];
  if (code == kNotifyLineState) {
    if (sub.size() >= 3) lineState_ = sub[2];
  } else if (code == kNotifyModemState) {
    if (sub.size() >= 3) modemState_ = sub[2];
  } else if (code >= kServerOffset) {
    // Flow-control suspend and resume (108, 109) need no answer; replies are kept for Command.
    if (replies_.size() < 64) {
      replies_.push_back({code, std::vector<uint8_t>(sub.begin() + 2, sub.end()), rx_.size()});
    }
  }
}

bool Rfc2217Device::Command(const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& commands,
                            std::vector<Reply>* answers) {
  if (fd_ == kNoSocket) return false;
  Pump(0);  // a connection the server already closed fails here at once
  if (fd_ == kNoSocket) return false;
  replies_.clear();
  std::vector<uint8_t> out;
  std::vector<Expect> expected;
  for (const auto& [command, value] : commands) {
    AppendComPortCommand(out, command, value.data(), value.size());
    // A request (value zero) may be answered with anything; a setting must come back as sent.
    const bool request = std::all_of(value.begin(), value.end(), [](uint8_t b) { return b == 0; });
    expected.push_back({static_cast<uint8_t>(command + kServerOffset),
                        request ? std::vector<uint8_t>{} : value});
  }
  const Deadline deadline(clock_, int64_t{options_.ackTimeoutMs} * 1000);
  if (!SendAll(out, deadline)) return false;
  if (answers) answers->assign(expected.size(), Reply{});
  size_t matched = 0;
  size_t used = 0;
  while (matched < expected.size()) {
    for (; used < replies_.size(); ++used) {
      const Reply& r = replies_[used];
      for (size_t i = 0; i < expected.size(); ++i) {
        Expect& e = expected[i];
        if (e.seen || e.code != r.code) continue;
        if (!e.value.empty() && e.value != r.value) return false;  // the server did not take it
        e.seen = true;
        if (answers) (*answers)[i] = r;
        ++matched;
        break;
      }
    }
    if (matched == expected.size()) break;
    if (fd_ == kNoSocket) return false;
    const int64_t left = deadline.LeftUs();
    if (left <= 0) return false;
    Pump(left);
  }
  return true;
}

bool Rfc2217Device::SetConfig(const SerialConfig& c) {
  if (fd_ == kNoSocket || c.baudRate == 0 || c.byteSize < 5 || c.byteSize > 8 || c.parity > kParitySpace ||
      c.stopBits > kTwoStopBits) {
    return false;
  }
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> commands;
  if (!configured_ || c.baudRate != config_.baudRate) commands.push_back({kSetBaudRate, Be32(c.baudRate)});
  if (!configured_ || c.byteSize != config_.byteSize) commands.push_back({kSetDataSize, {c.byteSize}});
  if (!configured_ || c.parity != config_.parity) commands.push_back({kSetParity, {ParityCode(c.parity)}});
  if (!configured_ || c.stopBits != config_.stopBits) {
    commands.push_back({kSetStopSize, {StopSizeCode(c.stopBits)}});
  }
  const auto flow = [](const SerialConfig& s) {
    if (s.outxCtsFlow || s.rtsControl == kRtsControlHandshake) return kControlHardware;
    if (s.outX || s.inX) return kControlXonXoff;
    return kControlNoFlow;
  };
  if (!configured_ || flow(c) != flow(config_)) commands.push_back({kSetControl, {flow(c)}});
  // Applying a record sets the lines to what its modes say.
  bool dtr = dtr_;
  bool rts = rts_;
  if (c.dtrControl != kDtrControlHandshake) {
    dtr = c.dtrControl == kDtrControlEnable;
    if (!dtrKnown_ || dtr != dtr_) commands.push_back({kSetControl, {dtr ? kControlDtrOn : kControlDtrOff}});
  }
  if (c.rtsControl != kRtsControlHandshake) {
    rts = c.rtsControl != kRtsControlDisable;
    if (!rtsKnown_ || rts != rts_) commands.push_back({kSetControl, {rts ? kControlRtsOn : kControlRtsOff}});
  }
  if (!commands.empty() && !Command(commands, nullptr)) return false;
  config_ = c;
  configured_ = true;
  if (c.dtrControl != kDtrControlHandshake) {
    dtr_ = dtr;
    dtrKnown_ = true;
  }
  if (c.rtsControl != kRtsControlHandshake) {
    rts_ = rts;
    rtsKnown_ = true;
  }
  return true;
}

bool Rfc2217Device::GetConfig(SerialConfig* config) {
  if (fd_ == kNoSocket || !config) return false;
  *config = config_;
  return true;
}

bool Rfc2217Device::SetTimeouts(const SerialTimeouts& timeouts) {
  if (fd_ == kNoSocket) return false;
  timeouts_ = timeouts;
  return true;
}

size_t Rfc2217Device::TakeData(uint8_t* buffer, size_t n) {
  const size_t take = std::min(n, rx_.size());
  std::copy_n(rx_.begin(), take, buffer);
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(take));
  return take;
}

int Rfc2217Device::Read(uint8_t* buffer, size_t n) {
  if (!buffer && n) return -1;
  n = std::min<size_t>(n, INT_MAX);
  if (fd_ != kNoSocket) Pump(0);
  size_t got = TakeData(buffer, n);
  if (got == n) return static_cast<int>(got);
  // Bytes that arrived before the connection ended are still handed out; after them, failure.
  if (fd_ == kNoSocket) return got ? static_cast<int>(got) : -1;
  if (ReadWait::NoWait(timeouts_)) return static_cast<int>(got);
  ReadWait wait(clock_, timeouts_, n);
  for (;;) {
    const int64_t waitUs = wait.LeftUs(got);
    if (waitUs <= 0) return static_cast<int>(got);
    Pump(waitUs);
    const size_t more = TakeData(buffer + got, n - got);
    if (more) {
      got += more;
      wait.BytesCame();
    }
    if (got == n) return static_cast<int>(got);
    if (fd_ == kNoSocket) return got ? static_cast<int>(got) : -1;
  }
}

int Rfc2217Device::Write(const uint8_t* data, size_t n) {
  if (fd_ == kNoSocket || (!data && n)) return -1;
  n = std::min<size_t>(n, INT_MAX);
  Pump(0);  // notice a closed connection before handing bytes to it
  if (fd_ == kNoSocket) return -1;
  if (n == 0) return 0;
  std::vector<uint8_t> out;
  out.reserve(n + 8);
  for (size_t i = 0; i < n; ++i) AppendEscaped(out, data[i]);
  const int64_t now = clock_.NowUs();
  const int64_t wireUs = config_.baudRate ? ByteWireTimeUs(config_) * static_cast<int64_t>(n) : 0;
  int64_t sendBoundUs = WriteTotalUs(timeouts_, n);
  if (sendBoundUs == 0) sendBoundUs = 2 * wireUs + kSendSlackUs;
  if (!SendAll(out, Deadline(clock_, sendBoundUs))) return -1;
  // The line is a queue: these bytes go out after what was written before has gone, and the
  // write returns when the last of them has left, as on a local port.
  const int64_t start = std::max(now, lineFreeAtUs_);
  lineFreeAtUs_ = start + wireUs;
  clock_.SleepUs(lineFreeAtUs_ - clock_.NowUs());
  return static_cast<int>(n);
}

bool Rfc2217Device::SetDtr(bool high) {
  if (!Command({{kSetControl, {high ? kControlDtrOn : kControlDtrOff}}}, nullptr)) return false;
  dtr_ = high;
  dtrKnown_ = true;
  return true;
}

bool Rfc2217Device::SetRts(bool high) {
  if (!Command({{kSetControl, {high ? kControlRtsOn : kControlRtsOff}}}, nullptr)) return false;
  rts_ = high;
  rtsKnown_ = true;
  return true;
}

bool Rfc2217Device::Purge() {
  std::vector<Reply> answers;
  if (!Command({{kPurgeData, {kPurgeBoth}}}, &answers)) return false;
  // What came before the server's answer was in its buffers before the purge; what came after
  // it is new.
  const size_t stale = std::min(answers[0].dataBefore, rx_.size());
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(stale));
  return true;
}

bool Rfc2217Device::ClearErrors() {
  if (fd_ == kNoSocket) return false;
  Pump(0);
  if (fd_ == kNoSocket) return false;
  lineState_ = 0;
  return true;
}

}  // namespace velmora
