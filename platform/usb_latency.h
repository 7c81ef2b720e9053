// USB serial adapters hold what the handset sends until their buffer fills or a timer runs out
// (16 ms by default on the common FTDI chips), so every short answer of the protocol waits that
// long. While a port is open the program asks for low latency: the tty's ASYNC_LOW_LATENCY
// flag, and for ftdi_sio adapters the sysfs latency_timer of 1 ms; both are put back when the
// port closes. A setting the system does not allow is named in the log.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora {

inline constexpr const char* kDefaultSysfsRoot = "/sys";

class LatencyTuning {
 public:
  // Applies both settings to the open tty fd of devicePath. Lines for the log (what was set,
  // what was not allowed and why) go to *notes; a port without either setting (a pseudo-
  // terminal, a UART driver without the flag) gives none.
  static LatencyTuning Apply(int fd, const std::string& devicePath, const std::string& sysfsRoot,
                             std::vector<std::string>* notes);
  // Puts back what Apply changed.
  void Restore(int fd);

 private:
  bool flagSet_ = false;         // ASYNC_LOW_LATENCY was off and was set
  std::string timerPath_;        // latency_timer changed, to be written back
  std::string timerBefore_;
};

// Where the serial devices' notes go (the log); none by default.
void SetSerialNoteSink(std::function<void(const std::string&)> sink);
void SerialNote(const std::string& line);

}  // namespace velmora
