// What each program of a station tells the station while it runs: its port's state as it
// changes and the record of every handset, as lines of JSON appended to a file of its own that
// the station reads as it grows. A file, not a pipe: a station that is slow to read never holds
// up an update, and it works the same on every system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct PortEvent {
  std::string state;  // as PortStateName says it
  std::string imei;
  int progress = -1;
  int64_t stateSinceMs = 0;
  int64_t handsetSinceMs = 0;
  int succeeded = 0;
  int failed = 0;
  int skipped = 0;
  int interrupted = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  std::string lastError;
};

// {"status":{...}} and {"record":RECORD}, each one line without its line end.
std::string FormatStatusEvent(const PortEvent& event);
std::string FormatRecordEvent(const std::string& recordJson);

// One line of such a file: a status (into *status, *isRecord false) or a record (its JSON text
// into *record, *isRecord true). False for anything else, which a reader skips.
bool ParseStationEvent(const std::string& line, PortEvent* status, std::string* record,
                       bool* isRecord);

// Reads a growing events file a piece at a time; only whole lines are handed out.
class EventTail {
 public:
  explicit EventTail(std::string path) : path_(std::move(path)) {}
  // The whole lines added since the last call (without their line ends), reading at most
  // maxBytes; a file not there yet gives none.
  std::vector<std::string> ReadNew(size_t maxBytes = 1 << 20);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint64_t offset_ = 0;
  std::string partial_;
};

}  // namespace velmora
