// Watching a port for the next handset, as a line that updates handset after handset does
// between two updates. A handset is put on the line switched off, on its boot adapter: its boot
// ROM answers the boot probe. One switched on, or left in service mode, answers a ping or AT
// text at the configured rate instead; that look is taken every few probes only, since each
// change of the line's rate costs a settle time.
//
// Every look is short and shows no box: it may run all day. The port stays open between looks
// and is let go before the update's own Connect opens it.
#pragma once

#include <functional>
#include <string>

#include "link/link.h"

namespace velmora {

// A look waits at most this long for an answer before the next one may begin: the boot ROM's
// own answer window plus its start-up after DTR rises.
inline constexpr uint32_t kWatchProbeMs = 100;
// Every this many looks the port is also asked at the configured rate (ping and AT).
inline constexpr int kWatchRunningEvery = 4;

class HandsetWatch {
 public:
  HandsetWatch(Link& link, const LinkSettings& settings);
  ~HandsetWatch();
  HandsetWatch(const HandsetWatch&) = delete;
  HandsetWatch& operator=(const HandsetWatch&) = delete;

  enum class Seen { Handset, Nothing, NoPort };
  // One look. Opens the port first when it is not open (NoPort with the reason in *why when it
  // cannot be: not there, held by another program). whole: the configured rate is asked too,
  // whatever the turn.
  Seen Look(std::string* why, bool whole = false);
  // Lets the port go (the update's Connect opens it itself). Looking again opens it again.
  void Release();

  // Asks the handset on the port who it is, with no box and no log line: connects it (service
  // mode through its boot mode) and reads its answer to AT+CGSN into *answer. take(answer)
  // decides what follows: true leaves the handset in service mode and lets the port go, for
  // the update's Connect to find it there; false switches it off again.
  enum class Asked { NoAnswer, Left, Taken };
  Asked AskWhoIsThere(const std::function<bool(const std::string& answer)>& take,
                      std::string* answer);

 private:
  bool OpenForProbes(std::string* why);
  bool BootRomAnswers();
  bool RunningHandsetAnswers();
  bool SetBootFormat(bool boot);

  Link& link_;
  const LinkSettings& settings_;
  LinkHandle handle_ = kNoLink;
  int looks_ = 0;
};

}  // namespace velmora
