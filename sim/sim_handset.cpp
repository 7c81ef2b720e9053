#include "sim/sim_handset.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/byte_order.h"
#include "platform/hex.h"
#include "platform/serial_device.h"
#include "protocol/frame.h"
#include "protocol/handset_protocol.h"

namespace velmora::sim {

using namespace protocol;

namespace {

// The boot ROM's receiver: fixed, whatever the handset's own baud rate is.
constexpr LineFormat kBootRomFormat{kBootBaudRate, 8, kParityEven, kOneStopBit};

// The ROM answers a probe as soon as it has the byte; a fraction of a bit time.
constexpr int64_t kBootAnswerDelayUs = 200;
// A boot block arrives back to back; a pause this long means the host gave up on it and the
// ROM goes back to waiting for a probe.
constexpr int64_t kBootBlockGapUs = 500'000;
// A frame arrives in one write; a pause this long inside one means its rest was lost, so the
// receiver starts over rather than take the next frame's header as data.
constexpr int64_t kFrameGapUs = 50'000;
// An AT command is answered after its CR, once the modem has parsed it.
constexpr int64_t kAtReplyDelayUs = 5'000;
// Longest AT command line kept; a longer line is junk and is dropped.
constexpr size_t kMaxAtLine = 64;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// An AT command as the modem compares it: upper case, without the CR that ends it.
std::string AtCommandText(const char* text) {
  std::string s = Upper(text);
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

std::vector<uint8_t> AtFrameData(const std::string& text) {
  std::vector<uint8_t> data(1 + text.size());
  data[0] = kAtChannel;
  std::copy(text.begin(), text.end(), data.begin() + 1);
  return data;
}

void PutLe16(std::vector<uint8_t>* v, uint32_t x) {
  uint8_t b[2];
  StoreLe16(b, static_cast<uint16_t>(x));
  v->insert(v->end(), b, b + 2);
}
void PutLe32(std::vector<uint8_t>* v, uint32_t x) {
  uint8_t b[4];
  StoreLe32(b, x);
  v->insert(v->end(), b, b + 4);
}


}  // namespace

bool SameCharacterFormat(const LineFormat& a, const LineFormat& b) {
  return a.baudRate == b.baudRate && a.byteSize == b.byteSize && a.parity == b.parity;
}

int64_t WireTimeUs(const LineFormat& f) {
  SerialConfig c;
  c.baudRate = f.baudRate;
  c.byteSize = f.byteSize;
  c.parity = f.parity;
  c.stopBits = f.stopBits;
  return ByteWireTimeUs(c);
}

const std::vector<uint8_t>& ExpectedBootProgram() {
  static const std::vector<uint8_t> program = [] {
    constexpr BootString p = BootProgram(kBootParam1, kBootParam2, kBootParam3);
    return std::vector<uint8_t>(p.begin(), p.end());
  }();
  return program;
}

uint32_t SimStoreArea::LiveBytes() const {
  uint32_t live = 0;
  for (const auto& [number, block] : blocks) live += static_cast<uint32_t>(block.data.size()) + kBlockOverhead;
  return live;
}

SimHandset::SimHandset(const SimProfile& profile, const std::vector<SimBlock>* firstStore) : base_(profile) {
  Connect(0, firstStore ? *firstStore : profile.blocks);
  line_.format = ReceiverFormat();
}

void SimHandset::Connect(uint32_t k, const std::vector<SimBlock>& blocks) {
  profile_ = base_.ForHandset(k);
  onLine_ = static_cast<int>(k);
  eelite_ = SimStoreArea{};
  eefull_ = SimStoreArea{};
  eelite_.capacity = profile_.eeliteCapacity;
  eefull_.capacity = profile_.eefullCapacity;
  for (const SimBlock& b : blocks) {
    SimStoreArea& a = area(b.area);
    if (auto it = a.blocks.find(b.number); it != a.blocks.end())
      a.consumed -= static_cast<uint32_t>(it->second.data.size()) + kBlockOverhead;
    a.blocks[b.number] = {b.version, b.data};
    a.consumed += static_cast<uint32_t>(b.data.size()) + kBlockOverhead;
  }
  eelite_.consumed += profile_.garbage;
  EnterState(profile_.startState);
  // What the faults count starts again with the new handset.
  writebackCount_ = -1;
  chunkWrites_ = 0;
  serviceCommands_ = 0;
  firstServiceUs_ = INT64_MIN;
}

void SimHandset::TakeAway(int64_t t) {
  takenAway_.push_back(Dump());
  takenAwayUs_.push_back(t);
  onLine_ = -1;
  nextOnLineUs_ = t + int64_t{base_.nextAfterMs} * 1000;
}

std::string SimHandset::HandsetName(uint32_t k) const {
  return "handset " + std::to_string(k + 1) + " of " + std::to_string(base_.handsets) + " (IMEI " +
         HandsetImei(base_.imei, k) + ")";
}

std::string SimHandset::DumpAll() const {
  if (base_.handsets <= 1) return Dump();
  std::string s;
  for (size_t k = 0; k < takenAway_.size(); ++k)
    s += "# " + HandsetName(static_cast<uint32_t>(k)) + ": taken away\n" + takenAway_[k];
  if (onLine_ >= 0) s += "# " + HandsetName(static_cast<uint32_t>(onLine_)) + ": on the line\n" + Dump();
  return s;
}

LineFormat SimHandset::ReceiverFormat() const {
  switch (state_) {
    case SimState::SwitchedOff:
    case SimState::BootMode:
      return kBootRomFormat;
    default:
      return LineFormat{profile_.baudRate, 8, kParityNone, kOneStopBit};
  }
}

bool SimHandset::AcquirePort() {
  if (portOpen_ || profile_.faults.portBusy) return false;
  portOpen_ = true;
  return true;
}

void SimHandset::ReleasePort() { portOpen_ = false; }

int SimHandset::CommandCount(uint8_t code) const {
  const auto it = commandCounts_.find(code);
  return it == commandCounts_.end() ? 0 : it->second;
}

std::vector<SimByte> SimHandset::TakeOutput(int64_t uptoUs) {
  std::vector<SimByte> taken;
  while (!out_.empty() && out_.front().timeUs <= uptoUs) {
    taken.push_back(out_.front());
    out_.pop_front();
  }
  return taken;
}

void SimHandset::DiscardOutput() { out_.clear(); }

void SimHandset::ResetParsers() {
  bootLength_ = -1;
  bootBlock_.clear();
  atLine_.clear();
  rx_.Reset();
}

void SimHandset::EnterState(SimState s) {
  state_ = s;
  ResetParsers();
  if (s == SimState::SwitchedOff || s == SimState::RunningNormally || s == SimState::ServiceMode) {
    framesOn_ = false;
    // An open block's lock lives in the service program's memory; a restart loses it.
    if (s != SimState::ServiceMode) eelite_.lockedNumber = eefull_.lockedNumber = -1;
  }
}

void SimHandset::Settle(int64_t t) {
  if (onLine_ < 0 && takenAway_.size() < base_.handsets && t >= nextOnLineUs_) {
    Connect(static_cast<uint32_t>(takenAway_.size()), base_.blocks);
    onLineSinceUs_ = nextOnLineUs_;  // however late the next look at the line comes
    ++storeChanges_;  // a keeper of the store saves the new handset's
  }
  if (state_ == SimState::BootMode && t - lastBootByteUs_ > kBootBlockGapUs) EnterState(SimState::SwitchedOff);
  // The boot program hands over to the service program once it has had its start-up time
  // and the boot adapter's DTR line has been released.
  if (state_ == SimState::Starting && !line_.dtr && t >= std::max(readyUs_, dtrLowSinceUs_))
    EnterState(SimState::ServiceMode);
}

void SimHandset::AdvanceTo(int64_t tUs) { Settle(tUs); }

void SimHandset::SetLine(const LineState& line, int64_t t) {
  Settle(t);
  if (line_.dtr && !line.dtr) dtrLowSinceUs_ = t;
  line_ = line;
  Settle(t);
}

void SimHandset::Send(const std::vector<uint8_t>& bytes, int64_t t) {
  const LineFormat f = ReceiverFormat();
  const int64_t wire = WireTimeUs(f);
  int64_t at = std::max(t, txFreeUs_);
  const size_t first = out_.size();
  for (uint8_t b : bytes) {
    at += wire;
    out_.push_back({at, b, f});
  }
  txFreeUs_ = at;
  // An adapter in between hands the answer on only when its timer runs out after the last
  // byte; the line itself is free again as soon as the bytes are through.
  if (profile_.adapterLatencyMs > 0) {
    const int64_t handedOn = at + int64_t{profile_.adapterLatencyMs} * 1000;
    for (size_t i = first; i < out_.size(); ++i) out_[i].timeUs = handedOn;
  }
}

void SimHandset::SendFrame(uint8_t type, const std::vector<uint8_t>& data, int64_t t) {
  Send(FrameBytes(type, data), t);
}

void SimHandset::Receive(uint8_t b, const LineState& line, int64_t t) {
  SetLine(line, t);
  if (silent_ || lineDropped_ || onLine_ < 0) return;
  if (state_ == SimState::Starting || !SameCharacterFormat(line.format, ReceiverFormat())) {
    // Noise: a framing or parity error breaks whatever message was on its way.
    ++noiseBytes_;
    if (state_ == SimState::BootMode) EnterState(SimState::SwitchedOff);
    else ResetParsers();
    return;
  }
  switch (state_) {
    case SimState::SwitchedOff: OnBootRomByte(b, line, t); break;
    case SimState::BootMode: OnBootBlockByte(b, line, t); break;
    case SimState::RunningNormally:
      if (framesOn_) OnFrameByte(b, t);
      else OnAtByte(b, t);
      break;
    case SimState::ServiceMode: OnFrameByte(b, t); break;
    case SimState::Starting: break;
  }
}

void SimHandset::OnBootRomByte(uint8_t b, const LineState& line, int64_t t) {
  // The boot adapter holds DTR high while the ROM may be probed; without it the ROM is deaf.
  if (b != kBootProbe || !line.dtr || profile_.faults.bootSilent) return;
  Send({kBootAnswer}, t + kBootAnswerDelayUs);
  EnterState(SimState::BootMode);
  lastBootByteUs_ = t;
}

void SimHandset::OnBootBlockByte(uint8_t b, const LineState& line, int64_t t) {
  lastBootByteUs_ = t;
  if (bootLength_ < 0) {
    // A host that missed our 0xA0 probes again before it sends any block.
    if (b == kBootProbe && line.dtr) {
      Send({kBootAnswer}, t + kBootAnswerDelayUs);
      return;
    }
    bootLength_ = b;
    bootBlock_.clear();
    return;
  }
  if (bootBlock_.size() < static_cast<size_t>(bootLength_)) {
    bootBlock_.push_back(b);
    return;
  }
  // b is the block's XOR byte. Only the one program this ROM was made for is started; any
  // other block, or a damaged one, sends the ROM back to waiting for a probe, unanswered.
  const bool intact = XorCheck(bootBlock_.data(), bootBlock_.size()) == b;
  if (intact && bootBlock_ == ExpectedBootProgram()) {
    Send({kBootBlockAccepted}, t + kBootAnswerDelayUs);
    readyUs_ = txFreeUs_ + static_cast<int64_t>(profile_.bootStartMs) * 1000;
    EnterState(SimState::Starting);
  } else {
    EnterState(SimState::SwitchedOff);
  }
}

void SimHandset::OnAtByte(uint8_t b, int64_t t) {
  if (profile_.atEcho) Send({b}, t);
  if (b == '\n') return;
  if (b != '\r') {
    if (atLine_.size() >= kMaxAtLine) atLine_.clear();
    atLine_.push_back(static_cast<char>(b));
    return;
  }
  const std::string lineText = Upper(atLine_);
  atLine_.clear();
  // Whatever came before "AT" on the line is junk from earlier noise.
  const auto at = lineText.find("AT");
  if (at == std::string::npos) return;
  const std::string cmd = lineText.substr(at);
  std::string reply = kAtTextError;
  if (cmd == AtCommandText(kAtServiceProtocol) || cmd == AtCommandText(kAtServiceBoot)) {
    reply = kAtTextOk;
    framesOn_ = true;  // from now on the handset speaks frames
  } else if (cmd == AtCommandText(kAtAttention)) {
    reply = kAtTextOk;
  }
  Send(std::vector<uint8_t>(reply.begin(), reply.end()), t + kAtReplyDelayUs);
}

void SimHandset::OnFrameByte(uint8_t b, int64_t t) {
  if (t - lastFrameByteUs_ > kFrameGapUs) rx_.Reset();
  lastFrameByteUs_ = t;
  // The header check is the frame's only protection; the receiver slides past anything that
  // fails it.
  if (rx_.Push(b) != FrameDecoder::Step::Frame) return;
  ++framesReceived_;
  OnFrame(rx_.type(), std::vector<uint8_t>(rx_.data(), rx_.data() + rx_.length()), t);
}

void SimHandset::OnFrame(uint8_t type, const std::vector<uint8_t>& d, int64_t t) {
  const int64_t at = t + profile_.replyDelayUs;
  // Service messages and AT text in frames are the service program's; a normally running
  // handset drops them.
  if (state_ == SimState::ServiceMode && type == kFrameService) {
    OnServiceMessage(d, t);
  } else if (state_ == SimState::ServiceMode && type == kFrameAt) {
    OnAtFrame(d, at);
  } else if (d.size() == 1) {
    OnShortRequest(type, d[0], at);
  }
}

void SimHandset::OnAtFrame(const std::vector<uint8_t>& d, int64_t at) {
  if (d[0] != kAtChannel) return;
  const std::string cmd = Upper(std::string(d.begin() + 1, d.end()));
  if (cmd != kAtImei) {
    SendFrame(kFrameAt, AtFrameData(kAtFrameError), at);
    return;
  }
  if (profile_.faults.noImeiAt) return;
  // The answer text fills frames after the channel byte, then "OK" follows.
  const std::string text = profile_.ImeiAnswer();
  for (size_t i = 0; i < text.size(); i += kMaxAtFrameText) {
    SendFrame(kFrameAt, AtFrameData(text.substr(i, kMaxAtFrameText)), at);
  }
  SendFrame(kFrameAt, AtFrameData(kAtFrameOk), at);
}

void SimHandset::OnShortRequest(uint8_t type, uint8_t request, int64_t at) {
  const bool service = state_ == SimState::ServiceMode;
  if (type == kFramePing && request == kPingProbe) {
    SendFrame(kFramePing, {kPingProbe, kPingAnswer}, at);
  } else if (type == kFrameRequest && request == kRequestMode) {
    std::vector<uint8_t> r{kRequestMode};
    PutLe16(&r, service ? kServiceModeNumber : profile_.normalMode);
    SendFrame(kFrameRequest, r, at);
  } else if (type == kFrameControl && request == kControlSwitchOff) {
    OnSwitchOff(at);
  } else if (!service) {
    // The product number and the IMEI come from the service program only.
  } else if (type == kFrameRequest && request == kRequestProductId) {
    std::vector<uint8_t> r{kRequestProductId};
    PutLe16(&r, profile_.productNumber);
    SendFrame(kFrameRequest, r, at);
  } else if (type == kFrameControl && request == kControlImei) {
    std::vector<uint8_t> r(2 + profile_.imei.size());
    r[0] = kControlImei;
    r[1] = static_cast<uint8_t>(profile_.imei.size());
    std::copy(profile_.imei.begin(), profile_.imei.end(), r.begin() + 2);
    SendFrame(kFrameControl, r, at);
  }
}

void SimHandset::OnSwitchOff(int64_t at) {
  if (profile_.faults.switchOff == SwitchOffFault::Ignore) return;
  SendFrame(kFrameControl, {kControlSwitchOff}, at);
  if (profile_.faults.switchOff != SwitchOffFault::Obey) return;
  // The service program is switched off at the end of an update; a handset running normally
  // only so that its boot ROM can be reached.
  const bool updated = state_ == SimState::ServiceMode;
  EnterState(SimState::SwitchedOff);
  // On a production line the operator takes an updated handset away as soon as it is off.
  if (updated && base_.handsets > 1) TakeAway(txFreeUs_);
}

void SimHandset::OnServiceMessage(const std::vector<uint8_t>& msg, int64_t t) {
  const int64_t at = t + profile_.replyDelayUs;
  // The message carries its own check byte; a request that fails it, or is too short to
  // carry one, is answered "damaged" so that the host sends it again.
  if (msg.size() < 2 || XorCheck(msg.data(), msg.size() - 1) != msg.back()) {
    SendFrame(kFrameService, {kReplyDamaged, kReplyDamaged}, at);
    return;
  }
  const uint8_t code = msg[0];
  ++commandCounts_[code];
  if (firstServiceUs_ == INT64_MIN) firstServiceUs_ = t;
  const SimFaults& lineFaults = profile_.faults;
  ++serviceCommands_;
  if (lineFaults.dropAt > 0 && serviceCommands_ >= lineFaults.dropAt) lineDropped_ = true;
  if (lineFaults.silentAt > 0 && serviceCommands_ >= lineFaults.silentAt) silent_ = true;
  if (lineDropped_ || silent_) return;
  if (lineFaults.powerOffAt > 0 && serviceCommands_ == lineFaults.powerOffAt) {
    // The battery gave out: the request dies with the service program, the store stays.
    EnterState(SimState::SwitchedOff);
    return;
  }

  auto sendReply = [&](std::vector<uint8_t> r, int64_t when, bool damage) {
    uint8_t check = XorCheck(r.data(), r.size());
    if (damage) check ^= 0x01;
    r.push_back(check);
    SendFrame(kFrameService, r, when);
  };

  ReplyFault* fault = nullptr;
  for (ReplyFault& f : profile_.faults.replies) {
    if (f.code == code && f.times != 0) {
      fault = &f;
      if (f.times > 0) --f.times;
      break;
    }
  }
  if (fault && fault->kind == FaultKind::Status) {
    sendReply({fault->status}, at, false);
    return;
  }

  // A write-back after an erase that the flash refuses: counted over the Eelite commands
  // that write, as the compaction of the area issues them.
  if (writebackCount_ >= 0 && (code == kCmdCreateBlock || code == kCmdWriteBlockChunk)) {
    ++writebackCount_;
    const SimFaults& f = profile_.faults;
    const bool failing = writebackCount_ >= f.writebackFailAt &&
                         (f.writebackFailCount < 0 ||
                          writebackCount_ < f.writebackFailAt + f.writebackFailCount);
    if (failing) {
      sendReply({f.writebackStatus}, at, false);
      return;
    }
  }

  int64_t extraUs = 0;
  std::vector<uint8_t> reply = Execute(code, msg.data() + 1, msg.size() - 2, &extraUs);
  int64_t when = at + extraUs;
  if (!fault) {
    sendReply(reply, when, false);
    return;
  }
  switch (fault->kind) {
    case FaultKind::Lose: break;
    case FaultKind::Damage: sendReply(reply, when, true); break;
    case FaultKind::Pending: {
      const int64_t interval = static_cast<int64_t>(profile_.pendingIntervalMs) * 1000;
      for (int i = 0; i < fault->pending; ++i) {
        sendReply({kReplyPending}, when, false);
        when += interval;
      }
      sendReply(reply, when, false);
      break;
    }
    case FaultKind::Status: break;
  }
}

// What a block-store command arrived with: its code, the area it is for and its parameters.
struct SimHandset::StoreCommand {
  uint8_t code;
  SimStoreArea& area;
  bool eelite;
  const uint8_t* p;
  size_t n;
  int64_t* extraUs;
};

namespace {

std::vector<uint8_t> Status(uint8_t s) { return {s}; }

}  // namespace

std::vector<uint8_t> SimHandset::Execute(uint8_t code, const uint8_t* p, size_t n, int64_t* extraUs) {
  using Handler = std::vector<uint8_t> (SimHandset::*)(const StoreCommand&);
  // The parameter bytes each command takes: exactly so many, or at least so many for those
  // that carry data.
  static constexpr struct {
    uint8_t base;
    size_t params;
    bool carriesData;
    Handler run;
  } kCommands[] = {
      {kCmdCreateBlock, 5, false, &SimHandset::CreateBlock},
      {kCmdWriteBlockChunk, 4, true, &SimHandset::WriteBlockChunk},
      {kCmdCloseBlock, 2, false, &SimHandset::CloseBlock},
      {kCmdReadBlockChunk, 6, false, &SimHandset::ReadBlockChunk},
      {kCmdBlockExists, 2, false, &SimHandset::BlockExists},
      {kCmdDeleteBlock, 2, false, &SimHandset::DeleteBlock},
      {kCmdGetMaxLogicalBlock, 0, false, &SimHandset::GetMaxLogicalBlock},
      {kCmdGetMaxSpaceValues, 0, false, &SimHandset::GetMaxSpaceValues},
      {kCmdDeleteAllBlocks, 0, false, &SimHandset::DeleteAllBlocks},
      {kCmdWriteBlockPart, 4, true, &SimHandset::WriteBlockPart},
  };
  // Commands that exist for both areas: base code for Eelite, +0x10 for Eefull.
  uint8_t base = code;
  SimArea which = SimArea::Eelite;
  if (code >= kCmdCreateBlock + kEefullOffset && code <= kCmdDeleteBlock + kEefullOffset &&
      code != kCmdGetMaxLogicalBlock + kEefullOffset) {
    base = static_cast<uint8_t>(code - kEefullOffset);
    which = SimArea::Eefull;
  }
  for (const auto& command : kCommands) {
    if (command.base != base) continue;
    // A request whose length does not fit its command was damaged on the way.
    if (command.carriesData ? n < command.params : n != command.params) return Status(kReplyDamaged);
    return (this->*command.run)({code, area(which), which == SimArea::Eelite, p, n, extraUs});
  }
  return Status(kReplyUnknownCommand);
}

std::vector<uint8_t> SimHandset::CreateBlock(const StoreCommand& c) {
  SimStoreArea& a = c.area;
  const uint16_t number = LoadLe16(c.p), size = LoadLe16(c.p + 2);
  const uint8_t version = c.p[4];
  if (c.eelite && number > profile_.maxLogicalBlock) return Status(kReplyNoBlock);
  uint32_t reclaimed = 0;
  const auto old = a.blocks.find(number);
  // Eefull rewrites in place, so a replaced block gives its room back; Eelite's log
  // keeps the old copy until the area is erased.
  if (!c.eelite && old != a.blocks.end()) reclaimed = static_cast<uint32_t>(old->second.data.size()) + kBlockOverhead;
  const uint64_t need = uint64_t{size} + kBlockOverhead;
  if (need > uint64_t{a.Free()} + reclaimed) return Status(kReplyNoSpace);
  a.consumed = a.consumed - reclaimed + static_cast<uint32_t>(need);
  a.blocks[number] = {version, std::vector<uint8_t>(size, 0xFF)};
  ++storeChanges_;
  // A new create abandons an earlier block left open; it stays as far as it was written.
  a.lockedNumber = number;
  return Status(c.code);
}

// The open block a write or close names: its status byte when it is missing or not the one
// open, else 0 and the block in *block.
uint8_t SimHandset::OpenBlock(const StoreCommand& c, SimStoredBlock** block) {
  const uint16_t number = LoadLe16(c.p);
  const auto it = c.area.blocks.find(number);
  if (it == c.area.blocks.end()) return kReplyNoBlock;
  if (c.area.lockedNumber != number) return c.area.lockedNumber < 0 ? kReplyIdNotLocked : kReplyNotSameId;
  *block = &it->second;
  return 0;
}

std::vector<uint8_t> SimHandset::WriteBlockChunk(const StoreCommand& c) {
  SimStoredBlock* block = nullptr;
  if (const uint8_t refused = OpenBlock(c, &block)) return Status(refused);
  const uint16_t offset = LoadLe16(c.p + 2);
  const size_t count = c.n - 4;
  if (size_t{offset} + count > block->data.size()) return Status(kReplyBlockTooSmall);
  std::copy(c.p + 4, c.p + c.n, block->data.begin() + offset);
  ++storeChanges_;
  // Flash that took the chunk wrongly and said nothing: only reading it back shows it.
  if (count > 0 && Corrupts(++chunkWrites_)) block->data[offset] = static_cast<uint8_t>(~block->data[offset]);
  return Status(c.code);
}

std::vector<uint8_t> SimHandset::CloseBlock(const StoreCommand& c) {
  SimStoredBlock* block = nullptr;
  if (const uint8_t refused = OpenBlock(c, &block)) return Status(refused);
  c.area.lockedNumber = -1;
  return Status(c.code);
}

std::vector<uint8_t> SimHandset::ReadBlockChunk(const StoreCommand& c) {
  const uint16_t number = LoadLe16(c.p), offset = LoadLe16(c.p + 2), count = LoadLe16(c.p + 4);
  const auto it = c.area.blocks.find(number);
  if (it == c.area.blocks.end()) return Status(kReplyNoBlock);
  if (count > kMaxReadChunk || size_t{offset} + count > it->second.data.size()) return Status(kReplyBlockTooSmall);
  std::vector<uint8_t> r(1u + count);
  r[0] = c.code;
  std::copy_n(it->second.data.begin() + offset, count, r.begin() + 1);
  return r;
}

std::vector<uint8_t> SimHandset::BlockExists(const StoreCommand& c) {
  const auto it = c.area.blocks.find(LoadLe16(c.p));
  if (it == c.area.blocks.end()) return Status(kReplyNoBlock);
  std::vector<uint8_t> r{c.code};
  PutLe16(&r, static_cast<uint32_t>(it->second.data.size()));
  r.push_back(it->second.version);
  return r;
}

std::vector<uint8_t> SimHandset::DeleteBlock(const StoreCommand& c) {
  SimStoreArea& a = c.area;
  const uint16_t number = LoadLe16(c.p);
  const auto it = a.blocks.find(number);
  if (it == a.blocks.end()) return Status(kReplyNoBlock);
  if (a.lockedNumber == number) return Status(kReplyBlockInUse);
  if (!c.eelite) a.consumed -= static_cast<uint32_t>(it->second.data.size()) + kBlockOverhead;
  a.blocks.erase(it);
  ++storeChanges_;
  return Status(c.code);
}

std::vector<uint8_t> SimHandset::GetMaxLogicalBlock(const StoreCommand& c) {
  std::vector<uint8_t> r{c.code};
  PutLe16(&r, profile_.maxLogicalBlock);
  return r;
}

std::vector<uint8_t> SimHandset::GetMaxSpaceValues(const StoreCommand& c) {
  // Free now, free once the dead bytes are compacted away, the whole area.
  std::vector<uint8_t> r{c.code};
  PutLe32(&r, eelite_.Free());
  PutLe32(&r, eelite_.capacity > eelite_.LiveBytes() ? eelite_.capacity - eelite_.LiveBytes() : 0);
  PutLe32(&r, eelite_.capacity);
  return r;
}

std::vector<uint8_t> SimHandset::DeleteAllBlocks(const StoreCommand& c) {
  eelite_.blocks.clear();
  ++storeChanges_;
  eelite_.consumed = 0;
  eelite_.lockedNumber = -1;
  writebackCount_ = profile_.faults.writebackFailAt > 0 ? 0 : -1;
  *c.extraUs = static_cast<int64_t>(profile_.eraseMs) * 1000;
  return Status(c.code);
}

std::vector<uint8_t> SimHandset::WriteBlockPart(const StoreCommand& c) {
  const auto it = eefull_.blocks.find(LoadLe16(c.p));
  if (it == eefull_.blocks.end()) return Status(kReplyNoBlock);
  const uint16_t offset = LoadLe16(c.p + 2);
  if (size_t{offset} + (c.n - 4) > it->second.data.size()) return Status(kReplyBlockTooSmall);
  std::copy(c.p + 4, c.p + c.n, it->second.data.begin() + offset);
  ++storeChanges_;
  return Status(c.code);
}

namespace {

// A block's bytes in lower-case hexadecimal, "-" for an empty block, as the dump and the state
// file (and a profile's block lines) write them.
std::string BlockDataText(const std::vector<uint8_t>& data) {
  if (data.empty()) return "-";
  return HexText(data);
}

}  // namespace

std::string SimHandset::StateText() const {
  std::string s = "# velmora-sim state: the block store, as profile block lines\n";
  for (SimArea which : {SimArea::Eelite, SimArea::Eefull}) {
    for (const auto& [number, block] : area(which).blocks) {
      s += std::string("block = ") + (which == SimArea::Eelite ? "eelite " : "eefull ") +
           std::to_string(number) + " " + std::to_string(block.version) + " " +
           BlockDataText(block.data) + "\n";
    }
  }
  return s;
}

std::string SimHandset::Dump() const {
  std::string s = "# velmora-sim block store: AREA NUMBER SIZE VERSION DATA\n";
  char line[200];
  std::snprintf(line, sizeof line,
                "# Eelite capacity=%u consumed=%u live=%u garbage=%u free=%u max_logical_block=%u\n",
                eelite_.capacity, eelite_.consumed, eelite_.LiveBytes(), eelite_.Garbage(), eelite_.Free(),
                unsigned{profile_.maxLogicalBlock});
  s += line;
  std::snprintf(line, sizeof line, "# Eefull capacity=%u consumed=%u free=%u\n", eefull_.capacity,
                eefull_.consumed, eefull_.Free());
  s += line;
  for (SimArea which : {SimArea::Eelite, SimArea::Eefull}) {
    for (const auto& [number, block] : area(which).blocks) {
      std::snprintf(line, sizeof line, "%s %u %zu %u ", SimAreaName(which), unsigned{number}, block.data.size(),
                    unsigned{block.version});
      s += line + BlockDataText(block.data) + "\n";
    }
  }
  return s;
}

}  // namespace velmora::sim
