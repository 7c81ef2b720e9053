#include "app/continuous.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "handset/session.h"
#include "platform/child_process.h"
#include "platform/record_file.h"
#include "platform/regular_file.h"
#include "update/handset_backup.h"

namespace velmora {
namespace {

// A list of IMEIs grows by one line of 16 bytes a handset: a year of a busy line is far below.
constexpr size_t kMaxDoneListBytes = 64 * 1024 * 1024;

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

PortState StateOfPhase(RunPhase phase) {
  switch (phase) {
    case RunPhase::Connecting: return PortState::Connecting;
    case RunPhase::Writing: return PortState::Writing;
    case RunPhase::CollectingGarbage: return PortState::CollectingGarbage;
    case RunPhase::Verifying: return PortState::Verifying;
  }
  return PortState::Writing;
}

// An answer as a log line shows it: printable characters only (a handset's text may hold
// line ends).
std::string Printable(const std::string& text) {
  std::string shown;
  for (char c : text)
    if (c >= ' ' && c <= '~') shown += c;
  return shown;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", s);
  return text;
}

}  // namespace

const char* PortStateName(PortState state) {
  switch (state) {
    case PortState::Waiting: return "waiting";
    case PortState::NotAvailable: return "not available";
    case PortState::Connecting: return "connecting";
    case PortState::Writing: return "writing";
    case PortState::CollectingGarbage: return "collecting garbage";
    case PortState::Verifying: return "verifying";
    case PortState::Done: return "done";
    case PortState::Failed: return "failed";
    case PortState::Skipped: return "skipped";
    case PortState::Stopped: return "stopped";
  }
  return "waiting";
}

HandsetLine::HandsetLine(DialogModel& model, HandsetWatch& watch, Clock& clock, LineOptions options)
    : model_(model), watch_(watch), clock_(clock), options_(std::move(options)) {
  model_.SetPhaseListener([this](RunPhase phase, int percent) {
    const PortState state = StateOfPhase(phase);
    // The port's progress is the map blocks' alone: the undo file's read-out before the first
    // change, and a garbage collection's read-out and write-back, report percents of their own
    // that once showed as "writing 100 %" before a block was written. It starts at 0 with the
    // writing and moves only with the blocks written (and read back).
    const bool blocks = state == PortState::Writing || state == PortState::Verifying;
    if (blocks && percent >= 0) blocksProgress_ = percent;
    const int progress = blocks ? std::max(blocksProgress_, 0) : -1;
    if (state == status_.state && progress == status_.progress) return;
    if (state != status_.state) status_.stateSinceMs = WallMs();
    status_.state = state;
    status_.progress = progress;
    Publish();
  });
}

HandsetLine::~HandsetLine() { model_.SetPhaseListener(nullptr); }

void HandsetLine::Publish() {
  if (sink_) sink_(status_);
}

void HandsetLine::Log(const std::string& line) {
  model_.Log(line);
  model_.RefreshLog();
}

void HandsetLine::SetState(PortState state, bool log, const std::string& why) {
  const bool changed = state != status_.state || status_.stateSinceMs == 0;
  if (!changed) return;
  status_.state = state;
  status_.stateSinceMs = WallMs();
  if (state != PortState::Writing) status_.progress = -1;
  if (state == PortState::Waiting) status_.imei.clear();
  Publish();
  if (!log) return;
  switch (state) {
    case PortState::Waiting: Log("Waiting for a handset on " + options_.port + "\r\n"); break;
    case PortState::NotAvailable:
      Log(options_.port + " is not available (" + why + "); trying again every second\r\n");
      break;
    case PortState::Stopped: Log("Stopped taking handsets on " + options_.port + "\r\n"); break;
    default: break;
  }
}

void HandsetLine::Pause(uint32_t ms) {
  if (options_.idle) options_.idle();
  clock_.SleepMs(ms);
}

bool HandsetLine::AwaitHandset() {
  for (;;) {
    if (Stopping()) return false;
    // Looks begin kLookIntervalMs apart, whatever each took: a look at an empty port takes
    // 100 ms and one at the configured rate too over 400, which added to a full interval made a
    // handset put on the line wait up to 0.7 s for its boot probe.
    const int64_t lookUs = clock_.NowUs();
    std::string why;
    switch (watch_.Look(&why)) {
      case HandsetWatch::Seen::Handset: return true;
      case HandsetWatch::Seen::NoPort:
        SetState(PortState::NotAvailable, true, why);
        Pause(kPortRetryMs);
        break;
      case HandsetWatch::Seen::Nothing: {
        SetState(PortState::Waiting, true);
        const int64_t leftUs = lookUs + int64_t{kLookIntervalMs} * 1000 - clock_.NowUs();
        Pause(leftUs > 0 ? static_cast<uint32_t>((leftUs + 999) / 1000) : 0);
        break;
      }
    }
  }
}

HandsetLine::Next HandsetLine::AwaitRemoval() {
  bool told = false;
  bool toldUnknown = false;
  int64_t askAtUs = clock_.NowUs();  // asked at once: the next handset may be on already
  for (;;) {
    if (Stopping()) return Next::Stop;
    std::string why;
    // The whole look each time: a handset still running answers only the slower half of it.
    if (watch_.Look(&why, /*whole=*/true) != HandsetWatch::Seen::Handset) return Next::Gone;
    if (!told) Log("Waiting for the handset to be taken away from " + options_.port + "\r\n");
    told = true;
    if (clock_.NowUs() >= askAtUs) {
      // An empty port between two handsets may never be seen: the operator may swap them
      // between two looks, or while the last record was being stored. Only an IMEI tells a
      // handset from the one before; an answer that is none cannot, and is left alone.
      std::string answer;
      const HandsetWatch::Asked asked = watch_.AskWhoIsThere(
          [this](const std::string& imei) {
            return !Stopping() && IsImei(imei) && imei != lastImei_;
          },
          &answer);
      if (asked == HandsetWatch::Asked::Taken) {
        Log("Another handset is on " + options_.port + " (IMEI " + answer + ")\r\n");
        return Next::Next;
      }
      if (asked == HandsetWatch::Asked::Left && !IsImei(answer) && !toldUnknown) {
        Log("The handset on " + options_.port + " answers no IMEI (\"" + Printable(answer) +
            "\"): it cannot be told from the one before and is left until taken away\r\n");
        toldUnknown = true;
      }
      askAtUs = clock_.NowUs() + int64_t{kAskWhoIsThereMs} * 1000;
    }
    Pause(kLookIntervalMs);
  }
}

bool HandsetLine::DoneBefore(const std::string& imei) const {
  if (done_.count(imei) != 0) return true;
  if (options_.doneListPath.empty()) return false;
  std::string text;
  if (!ReadRegularFile(options_.doneListPath, &text, nullptr, kMaxDoneListBytes)) return false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    // A list edited on another system may end its lines in CR LF.
    const size_t length = end > at && text[end - 1] == '\r' ? end - at - 1 : end - at;
    if (text.compare(at, length, imei) == 0) return true;
    at = end + 1;
  }
  return false;
}

std::string HandsetLine::Gate(const std::string& answer) {
  // An answer that is no IMEI names no handset: it is never looked up in the done list nor
  // added to it, so two such handsets are never taken for one.
  const std::string imei = IsImei(answer) ? answer : std::string();
  status_.imei = imei;
  lastImei_ = imei;
  Publish();
  if (options_.again || imei.empty() || !DoneBefore(imei)) return {};
  return "IMEI " + imei + " was updated at this station before: switched off, not updated again " +
         "(--again updates it)\r\n";
}

void HandsetLine::Finish(RunOutcome outcome, bool interrupted, const std::string& error,
                         double seconds, double cpu) {
  HandsetTally& t = status_.tally;
  const char* said = "failed";
  PortState state = PortState::Failed;
  switch (outcome) {
    case RunOutcome::Succeeded: ++t.succeeded; said = "succeeded"; state = PortState::Done; break;
    case RunOutcome::Skipped: ++t.skipped; said = "was turned away"; state = PortState::Skipped; break;
    case RunOutcome::Failed: case RunOutcome::NotConnected:
      // A handset cut short by a second interrupt is counted as touched, not as failed.
      if (interrupted) {
        ++t.interrupted;
        said = "was interrupted";
      } else {
        ++t.failed;
      }
      break;
  }
  if (outcome != RunOutcome::Skipped) {
    t.seconds += seconds;
    t.cpuSeconds += cpu;
  }
  if (outcome == RunOutcome::Failed || outcome == RunOutcome::NotConnected)
    status_.lastError = error.empty() ? std::string("not connected") : error;
  if (outcome == RunOutcome::Succeeded && !status_.imei.empty()) {
    done_.insert(status_.imei);
    std::string why;
    if (!options_.doneListPath.empty() &&
        !AppendWholeLine(options_.doneListPath, status_.imei + "\n", &why))
      Log("The list of handsets done cannot be written (" + why + ")\r\n");
  }
  status_.handsetSinceMs = 0;
  status_.stateSinceMs = 0;  // the counts changed: told even when the state is the same
  SetState(state);
  Log("Handset " + (status_.imei.empty() ? std::string("without IMEI") : status_.imei) + " on " +
      options_.port + " " + said + " after " + Seconds(seconds) + " s; so far " +
      std::to_string(t.succeeded) + " succeeded, " + std::to_string(t.failed) + " failed, " +
      (t.interrupted > 0 ? std::to_string(t.interrupted) + " interrupted, " : std::string()) +
      std::to_string(t.skipped) + " turned away\r\n");
}

HandsetTally HandsetLine::Run(const RunHandset& runHandset) {
  int updated = 0;
  bool next = false;  // the next handset was found on a port that stayed occupied
  while (options_.count == 0 || updated < options_.count) {
    if (!next && !AwaitHandset()) break;
    next = false;
    watch_.Release();
    status_.imei.clear();
    lastImei_.clear();
    status_.handsetSinceMs = WallMs();
    blocksProgress_ = -1;  // not the previous handset's
    SetState(PortState::Connecting);
    const int64_t startUs = clock_.NowUs();
    const double startCpu = OwnCpuSeconds();
    std::string error;
    const RunOutcome outcome = runHandset(
        [this](const std::string& imei) { return Gate(imei); }, &error);
    Finish(outcome, options_.interrupted && options_.interrupted(), error,
           static_cast<double>(clock_.NowUs() - startUs) / 1e6, OwnCpuSeconds() - startCpu);
    if (outcome != RunOutcome::Skipped) ++updated;
    if (options_.count != 0 && updated >= options_.count) break;
    const Next after = AwaitRemoval();
    if (after == Next::Stop) break;
    next = after == Next::Next;
  }
  watch_.Release();
  SetState(PortState::Stopped, true);
  return status_.tally;
}

std::string HandsetLine::Summary(const std::string& port, const HandsetTally& t) {
  const int n = t.handsets();
  return port + ": " + std::to_string(n) + " handsets, " + std::to_string(t.succeeded) +
         " succeeded, " + std::to_string(t.failed) + " failed, " +
         (t.interrupted > 0 ? std::to_string(t.interrupted) + " interrupted, " : std::string()) +
         std::to_string(t.skipped) + " turned away, " +
         (n > 0 ? Seconds(t.seconds / n) : std::string("-")) + " s per handset, " +
         (n > 0 ? Seconds(t.cpuSeconds / n) : std::string("-")) + " s CPU per handset";
}

std::string PortLabel(const std::string& given, const LinkSettings& settings) {
  if (!given.empty()) return given;
  return settings.portIndex < 9 ? "COM" + std::to_string(settings.portIndex + 1)
                                : std::string("COM:");
}

HandsetTally RunDialogLine(Program& program, LineOptions options, const std::string& undoPath,
                           const RecordSetup& setup, bool* recordsKept) {
  DialogModel& model = program.model();
  const std::string port = options.port;
  model.SetBoxesToLog(true);
  HandsetLine line(model, program.watch(), program.clock(), std::move(options));
  const std::string perHandset = PerHandsetPath(undoPath);
  bool allKept = true;
  const HandsetTally tally = line.Run([&](const HandsetGate& gate, std::string* error) {
    program.SetUndo(perHandset);
    bool kept = true;
    const RunOutcome outcome = StartRecorded(program, setup, error, gate, &kept);
    allKept = allKept && kept;
    return outcome;
  });
  if (recordsKept != nullptr) *recordsKept = allKept;
  model.SetBoxesToLog(false);
  model.Log(HandsetLine::Summary(port, tally) + "\r\n");
  model.RefreshLog();
  return tally;
}

}  // namespace velmora
