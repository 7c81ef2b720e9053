// A line that updates handset after handset on one port: wait for the next handset, update it,
// wait for it to be taken away, and again, until told to stop or a count is reached. A handset
// whose IMEI was updated at this station before is switched off untouched (unless "again").
// Both front ends run it; a station runs one per port, each in its own program.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "app/dialog_model.h"
#include "app/record_keeper.h"
#include "app/startup.h"
#include "handset/watch.h"
#include "platform/clock.h"
#include "update/update_run.h"

namespace velmora {

// Looks at an empty port begin this far apart, whatever each took: calm enough to leave the
// line alone, quick enough that a handset put on it is found within half a second.
inline constexpr uint32_t kLookIntervalMs = 250;
// A port that is not there (an adapter unplugged) is tried again this often.
inline constexpr uint32_t kPortRetryMs = 1000;
// A port that stays occupied after a handset is asked who is there (its IMEI) at once and then
// this long after each answer: a handset swapped for the next between two looks is found by
// its IMEI, however quick the swap.
inline constexpr uint32_t kAskWhoIsThereMs = 5000;

enum class PortState {
  Waiting, NotAvailable, Connecting, Writing, CollectingGarbage, Verifying, Done, Failed, Skipped,
  Stopped
};
// "waiting", "not available", "connecting", "writing", "collecting garbage", "verifying",
// "done", "failed", "skipped", "stopped".
const char* PortStateName(PortState state);

struct HandsetTally {
  int succeeded = 0;
  int failed = 0;   // not connected included
  // Stopped in the middle by a second interrupt: recorded as "interrupted" with the blocks
  // written so far, counted as handsets and apart from the failed ones.
  int interrupted = 0;
  int skipped = 0;  // turned away as done before; not counted as handsets
  double seconds = 0;     // the updated handsets' runs together
  double cpuSeconds = 0;  // the program's processor time for them
  int handsets() const { return succeeded + failed + interrupted; }
};

struct PortStatus {
  PortState state = PortState::Waiting;
  std::string imei;         // the handset on the line, "" before its IMEI is read
  int progress = -1;        // percent of the map blocks written, while writing; -1 none
  int64_t stateSinceMs = 0;    // wall clock, ms since 1970
  int64_t handsetSinceMs = 0;  // when the current handset's run began, 0 none
  HandsetTally tally;
  std::string lastError;
};

struct LineOptions {
  std::string port;   // as the user named it, for the log
  int count = 0;      // stop after this many handsets (skipped ones not counted); 0 no limit
  bool again = false; // update a handset again that was updated here before
  // IMEIs updated at this station, one per line, shared by the station's ports; "" keeps them
  // in this program only.
  std::string doneListPath;
  // True once no new handset is to be begun (an interrupt, the dialog closed).
  std::function<bool()> stop;
  // True once the handset on the line is to be stopped before its next block (a second
  // interrupt): a run that then ends without success is counted as interrupted.
  std::function<bool()> interrupted;
  // Called between looks: a dialog keeps its window alive here.
  std::function<void()> idle;
};

class HandsetLine {
 public:
  // One handset's update as the front end runs it (its record, its undo file); the gate goes
  // to the update run. *error gets the run's error text.
  using RunHandset = std::function<RunOutcome(const HandsetGate& gate, std::string* error)>;
  using StatusSink = std::function<void(const PortStatus&)>;

  HandsetLine(DialogModel& model, HandsetWatch& watch, Clock& clock, LineOptions options);
  ~HandsetLine();
  // Told every change of state, IMEI, progress or counts.
  void OnStatus(StatusSink sink) { sink_ = std::move(sink); }
  // Runs until stopped or the count is reached; the counts at the end.
  HandsetTally Run(const RunHandset& runHandset);
  // The summary line of a port, without a line end: "PORT: N handsets, S succeeded, F failed,
  // K turned away, T s per handset, C s CPU per handset", with ", I interrupted" after the
  // failed ones when a handset was.
  static std::string Summary(const std::string& port, const HandsetTally& tally);

 private:
  bool AwaitHandset();
  // After a handset: Gone when the port was found empty, Next when another handset is on it
  // (found by its IMEI, and left in service mode for its update), Stop when told to stop.
  enum class Next { Gone, Next, Stop };
  Next AwaitRemoval();
  std::string Gate(const std::string& imei);
  void Finish(RunOutcome outcome, bool interrupted, const std::string& error, double seconds,
              double cpu);
  bool DoneBefore(const std::string& imei) const;
  void SetState(PortState state, bool log = false, const std::string& why = {});
  void Publish();
  void Log(const std::string& line);
  bool Stopping() const { return options_.stop && options_.stop(); }
  void Pause(uint32_t ms);

  DialogModel& model_;
  HandsetWatch& watch_;
  Clock& clock_;
  LineOptions options_;
  StatusSink sink_;
  PortStatus status_;
  int blocksProgress_ = -1;  // percent of the map blocks written of the handset on the line
  std::set<std::string> done_;
  std::string doneListError_;
  // The IMEI of the handset last run ("" when it gave none): the one a port that stays
  // occupied holds unless it answers another.
  std::string lastImei_;
};

// The port as the log of a line names it: the device given, else the configured COM port.
std::string PortLabel(const std::string& given, const LinkSettings& settings);

// The dialog's line of handsets (--continuous): the Start button's update again and again,
// each handset with its own undo file ("{imei}" put into undoPath), boxes into the log, the
// summary at the end of the log, each handset's record kept as setup says.
HandsetTally RunDialogLine(Program& program, LineOptions options, const std::string& undoPath,
                           const RecordSetup& setup, bool* recordsKept = nullptr);

}  // namespace velmora
