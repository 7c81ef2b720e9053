// What the station's live page shows: one row per port, the newest run records and the totals.
// The station's threads write it, the page's server only reads it. Writers never wait on a
// reader: every call holds the one lock only to copy plain data in or out, and the snapshot's
// JSON text is written after the lock is released.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velmora {

struct PortRow {
  std::string port;           // as named on the command line or in the station file
  std::string state;          // "waiting", "connecting", "writing", "collecting garbage",
                              // "verifying", "done", "failed", "skipped", "not available", "stopped"
  std::string imei;           // "" when none yet
  int progress = -1;          // 0..100 while writing, -1 none
  int64_t stateSinceMs = 0;   // wall-clock ms since the epoch when the state began
  int64_t handsetSinceMs = 0; // wall-clock ms when the current handset's run began, 0 none
  int succeeded = 0, failed = 0, skipped = 0;
  double handsetSeconds = 0;  // the finished handsets' run times added up (for time per handset)
  std::string lastError;      // the last failure's text, "" none
  std::string log;            // the port's log file
};

class StationBoard {
 public:
  // Records kept for the page, the newest first.
  static constexpr size_t kRecordsKept = 50;

  StationBoard(std::string title, std::vector<PortRow> rows);

  // Replaces row `index` (an index past the rows is ignored) and bumps the version.
  void SetRow(size_t index, const PortRow& row);
  // A copy of row `index`; an empty row for an index past the rows.
  PortRow Row(size_t index) const;
  // One run record, the text of a JSON object (docs/run-record.md). Its `blocks` list is left
  // out: a map's blocks would make every snapshot large, and the page shows none of them. A text
  // that is not a JSON object is dropped, so that it can never break a snapshot.
  void AddRecord(const std::string& recordJson);
  // The station has ended; the page says so.
  void SetFinished(bool finished);

  // {"title","version","now_ms","finished","ports":[...],"records":[... newest first],
  //  "totals":{"succeeded","failed","skipped","handsets","seconds_per_handset"}}.
  // *version (when given) is the version the snapshot shows.
  std::string SnapshotJson(uint64_t* version = nullptr) const;
  uint64_t version() const;
  // Blocks until the version is above `seen` or the timeout passes; returns the version then.
  uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const;

 private:
  void Bump();  // with mutex_ held

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  const std::string title_;
  std::vector<PortRow> rows_;
  std::deque<std::string> records_;  // compact JSON objects, the newest first
  bool finished_ = false;
  uint64_t version_ = 0;
};

}  // namespace velmora
