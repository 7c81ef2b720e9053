// The handset session: connect and bring the handset into service mode, read its product
// number and IMEI, switch it off. Operations return 1 on success and 0 on failure unless
// their comment says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/link.h"
#include "platform/clock.h"
#include "platform/user_interaction.h"

namespace velmora {

// Connect opens the port in this many attempts this far apart: another program may be letting
// go of it. Together with the slowest line rate Connect sets itself (the AT fallback and the
// boot ROM's rate; the configured rate aside) they bound how long a session can take.
inline constexpr int kOpenAttempts = 120;
inline constexpr uint32_t kOpenRetryMs = 500;
inline constexpr uint32_t kSlowestSessionBaudRate = 19200;

class HandsetSession {
 public:
  // settings: the configured port index and baud rate, read when Connect runs.
  HandsetSession(Link& link, UserInteraction& ui, const LinkSettings& settings);

  // Where Connect writes why the port did not open (one line ending in "\r\n"), before its
  // error box: the dialog's log. Without one the reason is only in the box.
  using LogSink = std::function<void(const std::string& line)>;
  void SetLog(LogSink log) { log_ = std::move(log); }

  // Opens the port and brings the handset into service mode. On failure an error box has
  // been shown and the port is closed. Returns true/false. quiet: no box and no log line (a
  // line asking who is on its port between two handsets).
  bool Connect(bool quiet = false);
  // The open link set by Connect (-1 when none).
  LinkHandle handle() const { return handle_; }
  // Why the last Connect could not open the port (the device and the system's reason), empty
  // when it opened or no reason is known. The error box shows it on the line after its text.
  const std::string& openFailure() const { return openFailure_; }

  int SelectServiceProtocol(LinkHandle h);
  int QueryMode(LinkHandle h, uint16_t* notServiceMode);
  int Ping(LinkHandle h);
  int SwitchOff(LinkHandle h);
  int WInitServiceMode(LinkHandle h);
  int ReadProductId(LinkHandle h, uint16_t* product);
  // imei must hold 16 characters; at most 15 are stored and the 16th is always zero.
  int ReadImei(LinkHandle h, char* imei);
  void CloseSession(LinkHandle h);
  // Closes the port and leaves the handset as it is (in service mode after Connect), for the
  // next Connect to find it there.
  void LetGo(LinkHandle h);

 private:
  // Shows the error box, closes the port and clears the open link; returns false.
  bool Fail(const char* text);

  Link& link_;
  UserInteraction& ui_;
  const LinkSettings& settings_;
  LinkHandle handle_ = kNoLink;
  std::string openFailure_;
  LogSink log_;
  bool quiet_ = false;
};

// Whether an answer to AT+CGSN is an IMEI: exactly 15 decimal digits. Anything else (ERROR,
// OK, nothing, letters) is logged as the handset sent it but never taken to name a handset.
bool IsImei(const std::string& answer);

}  // namespace velmora
