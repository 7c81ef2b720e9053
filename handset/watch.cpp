#include "handset/watch.h"

#include <cstring>

#include "handset/session.h"
#include "protocol/handset_protocol.h"

namespace velmora {
namespace {

using namespace protocol;

// The boot ROM starts listening this long after DTR rises (as the boot sync waits).
constexpr uint32_t kRomSettleMs = 55;
constexpr uint32_t kRomAnswerMs = kWatchProbeMs - kRomSettleMs;
// A running handset answers a ping or AT text well within this.
constexpr uint32_t kRunningAnswerMs = 60;
constexpr uint8_t kAnswerRoom = 20;

}  // namespace

HandsetWatch::HandsetWatch(Link& link, const LinkSettings& settings)
    : link_(link), settings_(settings) {}

HandsetWatch::~HandsetWatch() { Release(); }

void HandsetWatch::Release() {
  if (handle_ == kNoLink) return;
  link_.ClearDtr(handle_);
  link_.Close(handle_);
  handle_ = kNoLink;
}

bool HandsetWatch::OpenForProbes(std::string* why) {
  handle_ = link_.Open(settings_.portIndex, settings_.baudRate);
  if (handle_ == kNoLink) {
    *why = link_.LastOpenError().text.empty() ? std::string("the port did not open")
                                              : link_.LastOpenError().text;
    return false;
  }
  looks_ = 0;
  if (!SetBootFormat(true)) {
    *why = "the port did not take the boot ROM's rate and parity";
    Release();
    return false;
  }
  return true;
}

bool HandsetWatch::SetBootFormat(bool boot) {
  return link_.Configure(handle_, boot ? kBootBaudRate : settings_.baudRate) == 1 &&
         link_.SetParity(handle_, boot ? kParityEven : kParityNone) == 1;
}

HandsetWatch::Seen HandsetWatch::Look(std::string* why, bool whole) {
  if (handle_ == kNoLink && !OpenForProbes(why)) return Seen::NoPort;
  if (BootRomAnswers()) return Seen::Handset;
  if (++looks_ % kWatchRunningEvery != 0 && !whole) return Seen::Nothing;
  const bool running = SetBootFormat(false) && RunningHandsetAnswers();
  if (!SetBootFormat(true)) {
    *why = "the port did not take the boot ROM's rate and parity";
    Release();
    return Seen::NoPort;
  }
  return running ? Seen::Handset : Seen::Nothing;
}

HandsetWatch::Asked HandsetWatch::AskWhoIsThere(
    const std::function<bool(const std::string& answer)>& take, std::string* answer) {
  Release();
  answer->clear();
  // A session of its own: no box to show (a quiet Connect shows none), no log to write.
  struct NoBoxes : UserInteraction {
    int ShowMessageBox(const std::string&, MessageIcon) override { return 1; }
  } noBoxes;
  HandsetSession session(link_, noBoxes, settings_);
  if (!session.Connect(/*quiet=*/true)) return Asked::NoAnswer;
  char imei[16] = {};
  if (session.ReadImei(session.handle(), imei) == 0) {
    session.CloseSession(session.handle());
    return Asked::NoAnswer;
  }
  *answer = imei;
  if (take && take(*answer)) {
    session.LetGo(session.handle());
    return Asked::Taken;
  }
  session.CloseSession(session.handle());
  return Asked::Left;
}

bool HandsetWatch::BootRomAnswers() {
  if (!link_.SetDtr(handle_)) return false;
  link_.clock().SleepMs(kRomSettleMs);
  uint8_t answer = 0;
  const bool answered = link_.PutByte(handle_, kBootProbe) == 1 &&
                        link_.GetByteTimed(handle_, &answer, kRomAnswerMs) == 1 &&
                        answer == kBootAnswer;
  link_.ClearDtr(handle_);
  link_.ClearErrors(handle_);
  return answered;
}

bool HandsetWatch::RunningHandsetAnswers() {
  LinkTimeOutScope quick(link_, handle_, kRunningAnswerMs);
  uint8_t type = 0, length = 0, data[kMaxFrameData];
  if (link_.RequestPing(handle_) &&
      link_.AwaitFrame(handle_, kFramePing, kPingProbe, &type, &length, data) == 1)
    return true;
  link_.Purge(handle_);
  if (!link_.WriteRaw(handle_, sizeof kAtAttention - 1,
                      reinterpret_cast<const uint8_t*>(kAtAttention)))
    return false;
  char answer[kAnswerRoom] = {};
  link_.ReadReply(handle_, kAnswerRoom, answer);
  return std::strstr(answer, kAtOk) != nullptr;
}

}  // namespace velmora
