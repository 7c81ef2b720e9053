#include "sim/sim_profile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/hex.h"
#include "platform/regular_file.h"
#include "protocol/handset_protocol.h"

namespace velmora::sim {

namespace {

// A profile is a screenful of settings; anything far larger is not one.
constexpr size_t kMaxProfileBytes = 1 << 20;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> w;
  std::string x;
  while (in >> x) w.push_back(x);
  return w;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

template <typename T>
bool Num(const std::string& text, T* out, uint64_t max, const std::string& what, std::string* error) {
  uint64_t v = 0;
  if (!ParseNumber(text, max, &v)) {
    *error = "bad " + what + ": '" + text + "'";
    return false;
  }
  *out = static_cast<T>(v);
  return true;
}

bool ParseBool(const std::string& text, bool* out) {
  const std::string t = Lower(text);
  if (t == "1" || t == "yes" || t == "true" || t == "on") return *out = true, true;
  if (t == "0" || t == "no" || t == "false" || t == "off") return *out = false, true;
  return false;
}


bool Unescape(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out->push_back(in[i]);
      continue;
    }
    if (++i >= in.size()) return false;
    switch (in[i]) {
      case 'r': out->push_back('\r'); break;
      case 'n': out->push_back('\n'); break;
      case 't': out->push_back('\t'); break;
      case '\\': out->push_back('\\'); break;
      case 's': out->push_back(' '); break;  // a blank that survives trimming
      case 'x': {
        if (i + 2 >= in.size()) return false;
        const int hi = HexDigitValue(in[i + 1]), lo = HexDigitValue(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return true;
}

// A status given as one character ("5", "P", " " cannot be typed, so also numbers: 0x20).
bool ParseStatusByte(const std::string& text, uint8_t* out) {
  if (text.size() == 1) {
    *out = static_cast<uint8_t>(text[0]);
    return true;
  }
  uint64_t v = 0;
  if (!ParseNumber(text, 255, &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

bool ParseTimes(const std::string& text, int* out) {
  const std::string t = Lower(text);
  if (t == "once") return *out = 1, true;
  if (t == "always") return *out = -1, true;
  uint64_t v = 0;
  if (!ParseNumber(t, 1000000, &v) || v == 0) return false;
  *out = static_cast<int>(v);
  return true;
}

bool ParseArea(const std::string& text, SimArea* area) {
  const std::string t = Lower(text);
  if (t == "eelite") return *area = SimArea::Eelite, true;
  if (t == "eefull") return *area = SimArea::Eefull, true;
  return false;
}

bool ParseBlock(const std::string& value, SimProfile* p, std::string* error) {
  const auto w = Words(value);
  SimBlock b;
  if (w.size() != 4 || !ParseArea(w[0], &b.area)) {
    *error = "block wants: AREA NUMBER VERSION DATA";
    return false;
  }
  if (!Num(w[1], &b.number, 0xFFFF, "block number", error)) return false;
  if (!Num(w[2], &b.version, 0xFF, "block version", error)) return false;
  if (w[3] == "-") {
    // an empty block
  } else if (w[3][0] == '*') {
    uint16_t size = 0;
    if (!Num(w[3].substr(1), &size, 0xFFFF, "block size", error)) return false;
    b.data = SimPattern(b.number, size);
  } else {
    const std::string& h = w[3];
    if (h.size() % 2 != 0 || h.size() / 2 > 0xFFFF) {
      *error = "block data must be whole hex bytes";
      return false;
    }
    if (!ParseHex(h, &b.data)) {
      *error = "block data must be hex";
      return false;
    }
  }
  // A later line for the same block replaces the earlier one.
  std::erase_if(p->blocks, [&](const SimBlock& o) { return o.area == b.area && o.number == b.number; });
  p->blocks.push_back(std::move(b));
  return true;
}

}  // namespace

std::vector<uint8_t> SimPattern(uint16_t number, uint16_t size) {
  std::vector<uint8_t> d(size);
  for (uint16_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>((number * 16 + i) & 0xFF);
  return d;
}

SimProfile SimProfile::Default() {
  SimProfile p;
  for (uint16_t n = 1; n <= 20; ++n) p.blocks.push_back({SimArea::Eelite, n, 1, SimPattern(n, 100)});
  for (uint16_t n = 5001; n <= 5004; ++n) p.blocks.push_back({SimArea::Eefull, n, 1, SimPattern(n, 8)});
  // The map-version record: bytes 14..17 hold the version of the last mapping written.
  std::vector<uint8_t> record(32, 0);
  record[14] = 1;
  p.blocks.push_back({SimArea::Eefull, protocol::kMapVersionBlock, 1, record});
  return p;
}

std::string SimProfile::ImeiAnswer() const {
  if (!imeiText.empty()) return imeiText;
  return "\r\n+CGSN: " + imei + "\r\n";
}

namespace {

// Whether text holds a run of 15 decimal digits: an IMEI, if another handset's.
bool HoldsFifteenDigits(const std::string& text) {
  size_t run = 0;
  for (char c : text) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run == 15) return true;
  }
  return false;
}

}  // namespace

SimProfile SimProfile::ForHandset(uint32_t k) const {
  SimProfile handset = *this;
  if (k == 0) return handset;
  handset.imei = HandsetImei(imei, k);
  if (const auto at = imeiText.find(imei); at != std::string::npos) {
    handset.imeiText.replace(at, imei.size(), handset.imei);
  } else if (HoldsFifteenDigits(imeiText)) {
    handset.imeiText.clear();
  }
  return handset;
}

char LuhnCheckDigit(const std::string& digits) {
  // From the right, every other digit doubled, starting with the last: the check digit
  // that follows makes the sum of all a multiple of ten.
  int sum = 0;
  bool twice = true;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it, twice = !twice) {
    int d = *it - '0';
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string HandsetImei(const std::string& imei, uint32_t k) {
  if (k == 0) return imei;
  constexpr uint64_t kBodies = 100'000'000'000'000;  // 14 digits
  uint64_t body = 0;
  for (size_t i = 0; i < imei.size() && i < 14; ++i) body = body * 10 + static_cast<uint64_t>(imei[i] - '0');
  body = (body + k) % kBodies;
  std::string digits(14, '0');
  for (size_t i = 14; i-- > 0; body /= 10) digits[i] = static_cast<char>('0' + body % 10);
  return digits + LuhnCheckDigit(digits);
}

const char* SimStateName(SimState s) {
  switch (s) {
    case SimState::SwitchedOff: return "off";
    case SimState::BootMode: return "boot";
    case SimState::Starting: return "starting";
    case SimState::RunningNormally: return "normal";
    case SimState::ServiceMode: return "service";
  }
  return "?";
}

const char* SimAreaName(SimArea a) { return a == SimArea::Eelite ? "Eelite" : "Eefull"; }

namespace {

using FaultWords = std::vector<std::string>;

bool UnknownFault(const std::string& text, std::string* error) {
  *error = "unknown fault '" + text + "'";
  return false;
}

bool ParseCode(const FaultWords& w, ReplyFault* r, std::string* error) {
  return Num(w.size() > 1 ? w[1] : std::string(), &r->code, 0xFF, "command code", error);
}

// The optional repeat of a reply fault at word `at`, its last word.
bool ParseRepeat(const FaultWords& w, size_t at, const std::string& text, ReplyFault* r,
                 std::string* error) {
  if (w.size() <= at) return true;
  if (w.size() > at + 1 || !ParseTimes(w[at], &r->times)) {
    *error = "bad repeat in fault '" + text + "' (once, always or a count)";
    return false;
  }
  return true;
}

// "N" or "always" (-1) after a fault's position; what follows the position when it is left out
// is one.
bool ParseCountOrAlways(const std::string& text, int* count, const std::string& what, std::string* error) {
  if (Lower(text) == "always") return *count = -1, true;
  return Num(text, count, 1000000, what, error);
}

// A position counted from 1: the k-th command or chunk the fault strikes at.
bool ParsePosition(const std::string& text, int* at, const std::string& what, std::string* error) {
  if (!Num(text, at, 1000000, what + " index", error)) return false;
  if (*at < 1) {
    *error = "bad " + what + " index: counted from 1";
    return false;
  }
  return true;
}

bool ParseStatusFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  ReplyFault r{FaultKind::Status};
  if (!ParseCode(w, &r, error)) return false;
  if (w.size() < 3 || !ParseStatusByte(w[2], &r.status)) {
    *error = "status fault wants: status CODE BYTE [once|always|N]";
    return false;
  }
  if (!ParseRepeat(w, 3, text, &r, error)) return false;
  f->replies.push_back(r);
  return true;
}

template <FaultKind kKind>
bool ParseReplyFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  ReplyFault r{kKind};
  if (!ParseCode(w, &r, error) || !ParseRepeat(w, 2, text, &r, error)) return false;
  f->replies.push_back(r);
  return true;
}

bool ParsePendingFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  ReplyFault r{FaultKind::Pending};
  if (!ParseCode(w, &r, error)) return false;
  if (w.size() < 3) {
    *error = "pending fault wants: pending CODE N [once|always|M]";
    return false;
  }
  if (!Num(w[2], &r.pending, 100000, "pending count", error)) return false;
  if (!ParseRepeat(w, 3, text, &r, error)) return false;
  f->replies.push_back(r);
  return true;
}

bool ParseWritebackFault(const FaultWords& w, const std::string&, SimFaults* f, std::string* error) {
  if (w.size() < 2 || w.size() > 4 || !Num(w[1], &f->writebackFailAt, 1000000, "writeback index", error)) {
    if (error->empty()) *error = "writeback fault wants: writeback K [BYTE [N|always]]";
    return false;
  }
  if (w.size() >= 3 && !ParseStatusByte(w[2], &f->writebackStatus)) {
    *error = "bad writeback status";
    return false;
  }
  f->writebackFailCount = 1;
  return w.size() < 4 || ParseCountOrAlways(w[3], &f->writebackFailCount, "writeback count", error);
}

// A fault without words: it sets one flag.
template <bool SimFaults::*kFlag>
bool ParseFlagFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  if (w.size() != 1) return UnknownFault(text, error);
  f->*kFlag = true;
  return true;
}

bool ParseNoSwitchOffFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  if (w.size() > 2) return UnknownFault(text, error);
  if (w.size() == 2 && Lower(w[1]) != "ack") {
    *error = "no_switch_off takes only 'ack'";
    return false;
  }
  f->switchOff = w.size() == 2 ? SwitchOffFault::AckButStayOn : SwitchOffFault::Ignore;
  return true;
}

// A fault that strikes at the k-th service command.
template <int SimFaults::*kAt>
bool ParseLineFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  if (w.size() != 2) return UnknownFault(text, error);
  int at = 0;
  if (!ParsePosition(w[1], &at, Lower(w[0]), error)) return false;
  f->*kAt = at;
  return true;
}

bool ParseCorruptFault(const FaultWords& w, const std::string& text, SimFaults* f, std::string* error) {
  if (w.size() != 2 && w.size() != 3) return UnknownFault(text, error);
  if (!ParsePosition(w[1], &f->corruptChunkAt, "corrupt", error)) return false;
  f->corruptChunkCount = 1;
  return w.size() < 3 || ParseCountOrAlways(w[2], &f->corruptChunkCount, "corrupt count", error);
}

constexpr SimFaultKind kFaultKinds[] = {
    {"status", "CODE BYTE [once|always|N]", "answer command CODE with status BYTE", ParseStatusFault},
    {"lose", "CODE [once|always|N]", "execute, but the reply is lost", ParseReplyFault<FaultKind::Lose>},
    {"damage", "CODE [once|always|N]", "execute, reply with a wrong check byte",
     ParseReplyFault<FaultKind::Damage>},
    {"pending", "CODE N [once|always|M]", "N \"P\" replies before the real one", ParsePendingFault},
    {"writeback", "K [BYTE [N|always]]",
     "the K-th write-back after DeleteAllBlocks and N-1 more (or all) fail with BYTE",
     ParseWritebackFault},
    {"boot_silent", "", "the boot ROM never answers", ParseFlagFault<&SimFaults::bootSilent>},
    {"no_switch_off", "[ack]", "switch-off ignored (or acknowledged but not obeyed)", ParseNoSwitchOffFault},
    {"port_busy", "", "the port is held by another program", ParseFlagFault<&SimFaults::portBusy>},
    {"no_imei_at", "", "AT+CGSN is not answered", ParseFlagFault<&SimFaults::noImeiAt>},
    {"silent", "K", "from the K-th service command on, no answer at all", ParseLineFault<&SimFaults::silentAt>},
    {"power_off", "K", "the K-th service command switches the handset off",
     ParseLineFault<&SimFaults::powerOffAt>},
    {"drop", "K", "the K-th service command: the line goes away", ParseLineFault<&SimFaults::dropAt>},
    {"corrupt", "K [N|always]",
     "the K-th data chunk and N-1 more (or all) stored with a byte changed, yet acknowledged",
     ParseCorruptFault},
};

}  // namespace

std::span<const SimFaultKind> SimFaultKinds() { return kFaultKinds; }

const SimFaultKind* FindSimFaultKind(const std::string& name) {
  const std::string wanted = Lower(name);
  for (const SimFaultKind& k : kFaultKinds) {
    if (wanted == k.name) return &k;
  }
  return nullptr;
}

std::string SimFaultUsage() {
  std::string text;
  for (const SimFaultKind& k : kFaultKinds) {
    std::string synopsis = std::string("  ") + k.name + (*k.words ? " " : "") + k.words;
    synopsis.resize(std::max<size_t>(synopsis.size() + 2, 34), ' ');
    text += synopsis + k.usage + "\n";
  }
  return text;
}

std::vector<SimFaultWord> SimFaultWords(const SimFaultKind& kind) {
  std::vector<SimFaultWord> parts;
  bool optional = false;
  for (std::string w : Words(kind.words)) {
    // Once a part may be left out, so may every part after it (they nest inside it).
    if (w.front() == '[') optional = true;
    std::erase(w, '[');
    std::erase(w, ']');
    parts.push_back({w, optional});
  }
  return parts;
}

bool ParseSimFault(const std::string& faultText, SimFaults* f, std::string* error) {
  const auto w = Words(faultText);
  if (w.empty()) {
    *error = "empty fault";
    return false;
  }
  const SimFaultKind* kind = FindSimFaultKind(w[0]);
  if (kind == nullptr) return UnknownFault(faultText, error);
  return kind->parse(w, faultText, f, error);
}

bool ApplySimSetting(SimProfile* p, const std::string& rawKey, const std::string& value,
                     std::string* error) {
  const std::string key = Lower(Trim(rawKey));
  if (key == "product") return Num(value, &p->productNumber, 0xFFFF, "product", error);
  if (key == "imei") {
    if (value.empty() || value.size() > 15 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      *error = "imei must be up to 15 digits";
      return false;
    }
    p->imei = value;
    return true;
  }
  if (key == "imei_text") {
    std::string t;
    // data byte 0 of the answer frame leaves room for 31 text bytes
    if (!Unescape(value, &t) || t.size() > 31) {
      *error = "imei_text must be at most 31 characters (escapes \\r \\n \\t \\s \\\\ \\xHH)";
      return false;
    }
    p->imeiText = t;
    return true;
  }
  if (key == "state") {
    const std::string v = Lower(value);
    if (v == "off") p->startState = SimState::SwitchedOff;
    else if (v == "normal" || v == "on") p->startState = SimState::RunningNormally;
    else if (v == "service") p->startState = SimState::ServiceMode;
    else {
      *error = "state must be off, normal or service";
      return false;
    }
    return true;
  }
  if (key == "baud") {
    if (!Num(value, &p->baudRate, 4000000, "baud", error)) return false;
    if (p->baudRate == 0) return *error = "baud must not be 0", false;
    return true;
  }
  if (key == "normal_mode") {
    if (!Num(value, &p->normalMode, 0xFFFF, "normal_mode", error)) return false;
    if (p->normalMode == 7) return *error = "mode 7 is service mode", false;
    return true;
  }
  if (key == "at_echo") {
    if (!ParseBool(value, &p->atEcho)) return *error = "at_echo must be 0 or 1", false;
    return true;
  }
  if (key == "eelite_capacity") return Num(value, &p->eeliteCapacity, 0xFFFFFFFF, "eelite_capacity", error);
  if (key == "eefull_capacity") return Num(value, &p->eefullCapacity, 0xFFFFFFFF, "eefull_capacity", error);
  if (key == "garbage") return Num(value, &p->garbage, 0xFFFFFFFF, "garbage", error);
  if (key == "max_logical_block") return Num(value, &p->maxLogicalBlock, 0xFFFF, "max_logical_block", error);
  if (key == "default_blocks") {
    bool keep = true;
    if (!ParseBool(value, &keep)) return *error = "default_blocks must be yes or no", false;
    if (!keep) {
      p->blocks.clear();
      p->garbage = 0;
    }
    return true;
  }
  if (key == "block") return ParseBlock(value, p, error);
  if (key == "fault") return ParseSimFault(value, &p->faults, error);
  if (key == "reply_delay_us") return Num(value, &p->replyDelayUs, 10000000, "reply_delay_us", error);
  if (key == "adapter_latency_ms")
    return Num(value, &p->adapterLatencyMs, 255, "adapter_latency_ms", error);
  if (key == "boot_start_ms") return Num(value, &p->bootStartMs, 100000, "boot_start_ms", error);
  if (key == "pending_interval_ms") return Num(value, &p->pendingIntervalMs, 100000, "pending_interval_ms", error);
  if (key == "erase_ms") return Num(value, &p->eraseMs, 100000, "erase_ms", error);
  if (key == "handsets") {
    if (!Num(value, &p->handsets, 1000000, "handsets", error)) return false;
    if (p->handsets == 0) return *error = "handsets must be at least 1", false;
    return true;
  }
  if (key == "next_after_ms") return Num(value, &p->nextAfterMs, 3600000, "next_after_ms", error);
  *error = "unknown setting '" + key + "'";
  return false;
}

bool ParseSimProfile(const std::string& text, SimProfile* p, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const auto eq = line.find('=');
    std::string err;
    if (eq == std::string::npos) {
      err = "expected key = value";
    } else if (ApplySimSetting(p, line.substr(0, eq), Trim(line.substr(eq + 1)), &err)) {
      continue;
    }
    *error = "line " + std::to_string(lineNo) + ": " + err;
    return false;
  }
  return true;
}

bool LoadSimProfile(const std::string& path, SimProfile* p, std::string* error) {
  // A FIFO or a device named as the profile is refused at once instead of blocking the open.
  std::string text;
  std::string why;
  if (!ReadRegularFile(path, &text, &why, kMaxProfileBytes)) {
    *error = path + ": cannot read profile: " + why;
    return false;
  }
  if (!ParseSimProfile(text, p, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace velmora::sim
