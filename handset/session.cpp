#include "handset/session.h"

#include <cstring>

#include "platform/byte_order.h"

namespace velmora {

using namespace protocol;

namespace {

// Connect (the port's open loop is in session.h).
constexpr int kSwitchOffPings = 300;         // 30 s for the handset to power down
constexpr int kServiceModeAttempts = 4;
constexpr int kServiceModePings = 200;       // 20 s for the service program to come up
constexpr uint32_t kPingIntervalMs = 100;

// AT switch to the service protocol.
constexpr uint32_t kAtBaudRates[] = {19200, 115200, 57600, 38400};
constexpr uint32_t kAtFallbackBaudRate = 19200;
constexpr uint32_t kAtAnswerWaitMs = 500;
constexpr uint8_t kAtReplyRoom = 20;

// Boot mode.
constexpr uint8_t kBootParity = kParityEven;
constexpr int kBootDrainBytes = 16;  // whatever the boot program leaves on the line

// kSlowestSessionBaudRate must stay the slowest of the rates set here.
static_assert(kAtFallbackBaudRate >= kSlowestSessionBaudRate && kBootBaudRate >= kSlowestSessionBaudRate);
static_assert([] {
  for (uint32_t rate : kAtBaudRates)
    if (rate < kSlowestSessionBaudRate) return false;
  return true;
}());

// IMEI.
constexpr size_t kImeiChars = 15;
constexpr size_t kImeiQuotedTextLength = 25;  // +CGSN: "<15 digits>"<CR>: one more to skip
constexpr size_t kAtImeiTagSkip = 7;            // the tag and the blank after it
constexpr size_t kImeiQuotedTagSkip = 8;      // ... and the opening quote
constexpr size_t kImeiBareStart = 2;          // no tag: past the CR LF before the digits
// A frame of 32 data bytes has room for 30 characters of text after the first byte.
constexpr size_t kMaxAnswerText = kMaxFrameData - 2;
constexpr int kImeiFallbackStart = 2;
// Further answer frames dropped after the IMEI; a handset chattering on is not waited out.
constexpr int kMaxImeiDrainFrames = 16;

constexpr char kOpenFailedText[] =
    "Can't open seriell interface!\nIt might be used by an other program!";
constexpr char kSwitchOffFailedText[] = "Error switching off mobile!";
constexpr char kServiceModeFailedText[] =
    "Error switching service mode!\nYou have to use a boot adapter (boot configuration)!";

// Copies at most kImeiChars characters of text[from, end), stopping at a zero, into the
// 16-character buffer, which ends up zero-filled behind them.
void CopyImei(char* imei, const uint8_t* text, size_t from, size_t end) {
  std::memset(imei, 0, kImeiChars + 1);
  for (size_t i = 0; i < kImeiChars && from + i < end && text[from + i] != 0; ++i)
    imei[i] = static_cast<char>(text[from + i]);
}

}  // namespace

HandsetSession::HandsetSession(Link& link, UserInteraction& ui, const LinkSettings& settings)
    : link_(link), ui_(ui), settings_(settings) {}

bool IsImei(const std::string& answer) {
  if (answer.size() != kImeiChars) return false;
  for (char c : answer)
    if (c < '0' || c > '9') return false;
  return true;
}

bool HandsetSession::Connect(bool quiet) {
  Clock& clock = link_.clock();
  quiet_ = quiet;
  handle_ = kNoLink;
  openFailure_.clear();
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (attempt > 0) clock.SleepMs(kOpenRetryMs);
    handle_ = link_.Open(settings_.portIndex, settings_.baudRate);
    if (handle_ != kNoLink) break;
    // Only a port that another program holds may come free; one that does not exist, is
    // refused to us or names an unreachable server is reported at once.
    if (link_.LastOpenError().kind == OpenFailure::Permanent) break;
  }
  if (handle_ == kNoLink) {
    openFailure_ = link_.LastOpenError().text;
    if (quiet_) return false;
    if (log_ && !openFailure_.empty()) log_(openFailure_ + "\r\n");
    ui_.ShowMessageBox(openFailure_.empty() ? std::string(kOpenFailedText)
                                            : kOpenFailedText + std::string("\n") + openFailure_,
                       MessageIcon::Error);
    return false;
  }
  const LinkHandle h = handle_;

  // A handset in normal operation may take the AT switch; if not, the boot mode below does it.
  SelectServiceProtocol(h);

  uint16_t notServiceMode = 1;
  if (QueryMode(h, &notServiceMode) && notServiceMode == 0) return true;

  if (Ping(h)) {
    // Running normally: it has to be off before its boot ROM listens.
    if (!SwitchOff(h)) return Fail(kSwitchOffFailedText);
    bool off = false;
    for (int i = 0; i < kSwitchOffPings && !off; ++i) {
      if (i > 0) clock.SleepMs(kPingIntervalMs);
      off = !Ping(h);
    }
    if (!off) return Fail(kSwitchOffFailedText);
  }

  bool booted = false;
  for (int i = 0; i < kServiceModeAttempts && !booted; ++i) booted = WInitServiceMode(h) == 1;
  if (!booted) return Fail(kServiceModeFailedText);

  for (int i = 0; i < kServiceModePings; ++i) {
    if (i > 0) clock.SleepMs(kPingIntervalMs);
    if (Ping(h)) return true;
  }
  return Fail(kServiceModeFailedText);
}

bool HandsetSession::Fail(const char* text) {
  if (!quiet_) ui_.ShowMessageBox(text, MessageIcon::Error);
  link_.Close(handle_);
  // A closed port must not be handed to anyone as the open link.
  handle_ = kNoLink;
  return false;
}

int HandsetSession::SelectServiceProtocol(LinkHandle h) {
  Clock& clock = link_.clock();
  uint32_t remembered = 0;
  if (!link_.GetConfiguration(h, &remembered)) return 0;

  char answer[kAtReplyRoom];
  for (uint32_t rate : kAtBaudRates) {
    if (!link_.Configure(h, rate)) return 0;
    link_.Purge(h);
    if (!link_.WriteRaw(h, sizeof kAtServiceProtocol - 1,
                            reinterpret_cast<const uint8_t*>(kAtServiceProtocol)))
      continue;
    clock.SleepMs(kAtAnswerWaitMs);
    answer[0] = '\0';
    link_.ReadReply(h, kAtReplyRoom, answer);  // an answer cut short may still hold OK
    if (std::strstr(answer, kAtOk)) {
      link_.Configure(h, remembered);
      return 1;
    }
  }

  if (!link_.Configure(h, kAtFallbackBaudRate)) return 0;
  // The boot switch goes out in two parts, each answered before the next is sent.
  const auto* bootSwitch = reinterpret_cast<const uint8_t*>(kAtServiceBoot);
  bool ok = link_.WriteRaw(h, static_cast<uint8_t>(kAtServiceBootFirstPart), bootSwitch) == 1;
  if (ok) {
    clock.SleepMs(kAtAnswerWaitMs);
    ok = link_.ReadReply(h, kAtReplyRoom, answer) == 1;
  }
  if (ok)
    ok = link_.WriteRaw(h, static_cast<uint8_t>(sizeof kAtServiceBoot - 1 - kAtServiceBootFirstPart),
                        bootSwitch + kAtServiceBootFirstPart) == 1;
  if (ok) {
    clock.SleepMs(kAtAnswerWaitMs);
    ok = link_.ReadReply(h, kAtReplyRoom, answer) == 1 && std::strstr(answer, kAtOk);
  }
  link_.Configure(h, remembered);
  return ok ? 1 : 0;
}

int HandsetSession::QueryMode(LinkHandle h, uint16_t* notServiceMode) {
  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (!link_.RequestMode(h)) return 0;
  if (!link_.AwaitFrame(h, kFrameRequest, kRequestMode, &type, &length, data)) return 0;
  if (length != 3) return 0;
  const uint16_t mode = LoadLe16(data + 1);
  *notServiceMode = mode == kServiceModeNumber ? 0 : 1;
  return 1;
}

int HandsetSession::ReadProductId(LinkHandle h, uint16_t* product) {
  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (!link_.RequestProductId(h)) return 0;
  if (!link_.AwaitFrame(h, kFrameRequest, kRequestProductId, &type, &length, data))
    return 0;
  if (length != 3) return 0;
  *product = LoadLe16(data + 1);
  return 1;
}

int HandsetSession::Ping(LinkHandle h) {
  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (!link_.RequestPing(h)) return 0;
  if (!link_.AwaitFrame(h, kFramePing, kPingProbe, &type, &length, data)) return 0;
  return length == 2 && data[1] == kPingAnswer ? 1 : 0;
}

int HandsetSession::SwitchOff(LinkHandle h) {
  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (!link_.RequestSwitchOff(h)) return 0;
  return link_.AwaitFrame(h, kFrameControl, kControlSwitchOff, &type, &length, data);
}

int HandsetSession::WInitServiceMode(LinkHandle h) {
  uint32_t remembered = 0;
  if (!link_.GetConfiguration(h, &remembered)) return 0;
  if (!link_.Configure(h, kBootBaudRate)) return 0;
  if (!link_.SetParity(h, kBootParity) || !link_.BootSync(h) ||
      !link_.SendBootString(h, kBootParam1, kBootParam2, kBootParam3)) {
    link_.LeaveBootMode(h, remembered);
    return 0;
  }
  if (!link_.LeaveBootMode(h, remembered)) return 0;
  uint8_t byte = 0;
  for (int i = 0; i < kBootDrainBytes; ++i)
    if (!link_.GetByte(h, &byte)) break;
  return 1;
}

int HandsetSession::ReadImei(LinkHandle h, char* imei) {
  std::memset(imei, 0, kImeiChars + 1);
  if (!link_.SendAtCommand(h, kAtImei)) return 0;

  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (link_.AwaitFrame(h, kFrameAt, 0, &type, &length, data)) {
    // The text runs from data byte 1 to the frame's end, or to a zero byte before it.
    const uint8_t* text = data + 1;
    size_t textLength = length > 1 ? length - 1u : 0u;
    if (textLength > kMaxAnswerText) textLength = kMaxAnswerText;
    for (size_t i = 0; i < textLength; ++i)
      if (text[i] == 0) {
        textLength = i;
        break;
      }

    size_t start = kImeiBareStart;
    const size_t tagLength = sizeof kAtImeiTag - 1;
    for (size_t i = 0; i + tagLength <= textLength; ++i)
      if (std::memcmp(text + i, kAtImeiTag, tagLength) == 0) {
        start = i + (textLength == kImeiQuotedTextLength ? kImeiQuotedTagSkip : kAtImeiTagSkip);
        break;
      }
    // A start past the text's end leaves the IMEI empty.
    CopyImei(imei, text, start, textLength);

    for (int i = 0; i < kMaxImeiDrainFrames; ++i)
      if (!link_.AwaitFrame(h, kFrameAt, 0, &type, &length, data)) break;
    return 1;
  }

  // No AT interpreter answered: ask the handset's own IMEI request.
  if (!link_.WriteFrame(h, kFrameControl, 1, &kControlImei)) return 0;
  if (!link_.AwaitFrame(h, kFrameControl, kControlImei, &type, &length, data)) return 0;
  CopyImei(imei, data, kImeiFallbackStart, length);
  return 1;
}

void HandsetSession::CloseSession(LinkHandle h) {
  SwitchOff(h);
  link_.Close(h);
  if (h == handle_) handle_ = kNoLink;
}

void HandsetSession::LetGo(LinkHandle h) {
  link_.Close(h);
  if (h == handle_) handle_ = kNoLink;
}

}  // namespace velmora
