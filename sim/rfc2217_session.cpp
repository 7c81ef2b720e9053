#include "sim/rfc2217_session.h"

#include <algorithm>
#include <climits>

#include "platform/byte_order.h"
#include "platform/serial_device.h"
#include "rfc2217/telnet.h"

namespace velmora::sim {

using namespace telnet;

namespace {

// What a port is set to before the client configures it.
constexpr uint32_t kInitialBaudRate = 9600;
const char kSignatureText[] = "velmora-sim simulated handset";

bool Supported(uint8_t option) { return option == kBinary || option == kSga || option == kComPort; }

}  // namespace

Rfc2217Session::Rfc2217Session(SimHandset& handset, int64_t now) : handset_(handset) {
  line_.format = {kInitialBaudRate, 8, kParityNone, kOneStopBit};
  queuedLine_ = line_;
  hostLineFreeUs_ = now;
  handset_.DiscardOutput();  // whatever was on its way belonged to the last client
  handset_.SetLine(line_, now);
  // Binary both ways and no go-aheads; the client asks for COM-PORT-OPTION itself.
  for (auto [cmd, opt] : {std::pair{kWill, kBinary}, {kDo, kBinary}, {kWill, kSga}}) {
    (cmd == kWill ? weAsked_ : theyAsked_)[opt] = true;
    SendOption(cmd, opt);
  }
}

Rfc2217Session::~Rfc2217Session() {
  // The client is gone: its modem lines drop and nobody listens to the handset any more.
  LineState off = line_;
  off.dtr = off.rts = false;
  handset_.SetLine(off, std::max(hostLineFreeUs_, int64_t{0}));
  handset_.DiscardOutput();
}

void Rfc2217Session::SendOption(uint8_t command, uint8_t option) {
  AppendOption(netOut_, command, option);
}

void Rfc2217Session::OnNegotiation(uint8_t command, uint8_t option) {
  switch (command) {
    case kWill:
      if (!Supported(option)) return SendOption(kDont, option);
      if (theyAsked_[option]) theyAsked_[option] = false;
      else if (!they_[option]) SendOption(kDo, option);
      they_[option] = true;
      return;
    case kWont:
      if (theyAsked_[option]) theyAsked_[option] = false;
      else if (they_[option]) SendOption(kDont, option);
      they_[option] = false;
      return;
    case kDo:
      if (!Supported(option)) return SendOption(kWont, option);
      if (weAsked_[option]) weAsked_[option] = false;
      else if (!we_[option]) SendOption(kWill, option);
      we_[option] = true;
      return;
    case kDont:
      if (weAsked_[option]) weAsked_[option] = false;
      else if (we_[option]) SendOption(kWont, option);
      we_[option] = false;
      return;
    default:
      return;
  }
}

void Rfc2217Session::Reply(uint8_t code, const std::vector<uint8_t>& value) {
  AppendComPortCommand(netOut_, static_cast<uint8_t>(code + kServerOffset), value.data(),
                       value.size());
}

void Rfc2217Session::ChangeLine(const LineState& next, int64_t now) {
  // A change takes effect after the bytes already on their way, as in a UART's FIFO.
  const int64_t at = std::max(now, hostLineFreeUs_);
  queuedLine_ = next;
  pending_.push_back({at, false, 0, next});
}

void Rfc2217Session::OnPurge(uint8_t what, int64_t now) {
  if (what & kPurgeReceive) {
    // Receive side: what has reached the port is thrown away; bytes still being sent come.
    handset_.TakeOutput(now);
  }
  if (what & kPurgeTransmit) {
    std::erase_if(pending_, [](const HostEvent& e) { return e.isByte; });
    hostLineFreeUs_ = now;
    for (HostEvent& e : pending_) e.dueUs = std::min(e.dueUs, now);
  }
}

void Rfc2217Session::OnSubnegotiation() {
  const std::vector<uint8_t>& sub = telnet_.sub();
  if (sub.size() < 2 || sub[0] != kComPort) return;
  const uint8_t code = sub[1];
  const std::vector<uint8_t> v(sub.begin() + 2, sub.end());
  LineState next = queuedLine_;
  LineFormat& f = next.format;
  switch (code) {
    case kSignature:
      if (v.empty()) Reply(code, std::vector<uint8_t>(std::begin(kSignatureText), std::end(kSignatureText) - 1));
      return;
    case kSetBaudRate: {
      if (v.size() != 4) return;
      const uint32_t baud = LoadBe32(v.data());
      if (baud != 0) f.baudRate = baud;
      std::vector<uint8_t> answer(4);
      StoreBe32(answer.data(), f.baudRate);
      Reply(code, answer);
      break;
    }
    case kSetDataSize:
      if (v.size() != 1) return;
      if (v[0] >= 5 && v[0] <= 8) f.byteSize = v[0];
      Reply(code, {f.byteSize});
      break;
    case kSetParity:
      if (v.size() != 1) return;
      ParityFromCode(v[0], &f.parity);  // 0 (or nonsense) asks for the current one
      Reply(code, {ParityCode(f.parity)});
      break;
    case kSetStopSize: {
      if (v.size() != 1) return;
      StopBitsFromCode(v[0], &f.stopBits);
      Reply(code, {StopSizeCode(f.stopBits)});
      break;
    }
    case kSetControl: {
      if (v.size() != 1) return;
      uint8_t answer = v[0];
      switch (v[0]) {
        case kControlRequestFlow: case kControlNoFlow: answer = kControlNoFlow; break;  // only no flow control is wired
        case kControlRequestFlowIn: case kControlNoFlowIn: answer = kControlNoFlowIn; break;
        case kControlRequestBreak: case kControlBreakOff: answer = kControlBreakOff; break;
        case kControlBreakOn: answer = kControlBreakOn; break;
        case kControlRequestDtr: answer = next.dtr ? kControlDtrOn : kControlDtrOff; break;
        case kControlDtrOn: case kControlDtrOff: next.dtr = v[0] == kControlDtrOn; break;
        case kControlRequestRts: answer = next.rts ? kControlRtsOn : kControlRtsOff; break;
        case kControlRtsOn: case kControlRtsOff: next.rts = v[0] == kControlRtsOn; break;
        default: answer = kControlNoFlow; break;  // hardware and software flow control are not offered
      }
      Reply(code, {answer});
      break;
    }
    case kSetLineStateMask:
    case kSetModemStateMask:
      if (v.size() == 1) Reply(code, v);
      return;
    case kPurgeData:
      if (v.size() != 1 || v[0] < 1 || v[0] > 3) return;
      purgeRequest_ = v[0];
      Reply(code, v);
      return;
    default:
      return;  // flow-control suspend/resume and anything else: nothing to answer
  }
  if (!(next.format == queuedLine_.format) || next.dtr != queuedLine_.dtr || next.rts != queuedLine_.rts)
    lineChange_ = next;
}

void Rfc2217Session::OnDataByte(uint8_t b, int64_t now) {
  // The byte is on the line from when the line is free, and arrives one byte time later.
  const int64_t at = std::max(now, hostLineFreeUs_) + WireTimeUs(queuedLine_.format);
  hostLineFreeUs_ = at;
  pending_.push_back({at, true, b, queuedLine_});
}

void Rfc2217Session::OnNetworkBytes(const uint8_t* data, size_t n, int64_t now) {
  for (size_t i = 0; i < n; ++i) {
    switch (telnet_.Process(data[i])) {
      case Decoder::Event::Data: OnDataByte(telnet_.data(), now); break;
      case Decoder::Event::Option: OnNegotiation(telnet_.verb(), telnet_.option()); break;
      case Decoder::Event::Subnegotiation:
        purgeRequest_ = 0;
        lineChange_.reset();
        OnSubnegotiation();
        if (purgeRequest_) OnPurge(purgeRequest_, now);
        if (lineChange_) ChangeLine(*lineChange_, now);
        break;
      case Decoder::Event::None: break;
    }
  }
}

int64_t Rfc2217Session::NextDueUs() const {
  int64_t next = INT64_MAX;
  if (!pending_.empty()) next = pending_.front().dueUs;
  if (handset_.HasOutput()) next = std::min(next, handset_.PeekOutput().timeUs);
  return next;
}

void Rfc2217Session::Pump(int64_t now) {
  // Both directions in time order, so that each byte from the handset is judged with the
  // framing the port had when it arrived.
  for (;;) {
    const int64_t hostDue = pending_.empty() ? INT64_MAX : pending_.front().dueUs;
    const int64_t handsetDue = handset_.HasOutput() ? handset_.PeekOutput().timeUs : INT64_MAX;
    if (std::min(hostDue, handsetDue) > now) break;
    if (hostDue <= handsetDue) {
      const HostEvent e = pending_.front();
      pending_.pop_front();
      line_ = e.line;
      if (e.isByte) handset_.Receive(e.byte, e.line, e.dueUs);
      else handset_.SetLine(e.line, e.dueUs);
      continue;
    }
    const SimByte b = handset_.PeekOutput();
    handset_.PopOutput();
    if (!SameCharacterFormat(b.format, line_.format)) {
      ++noiseBytes_;
      continue;
    }
    AppendEscaped(netOut_, b.value);
  }
  handset_.AdvanceTo(now);
}

std::string Rfc2217Session::TakeNetworkOutput() {
  std::string out;
  out.swap(netOut_);
  return out;
}

}  // namespace velmora::sim
