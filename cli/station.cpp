#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "cli/station_events.h"
#include "cli/station_files.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"
#include "station/board.h"
#include "station/page.h"

namespace velmora {
namespace {

// A log of a run is a few kilobytes; the IMEI is near its start.
constexpr size_t kMaxLogBytes = 64 * 1024 * 1024;

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size()) break;
    size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

// The in-process simulated handset is one per process: "sim:" twice is two handsets.
bool IsOwnHandset(const std::string& port) { return port.rfind("sim:", 0) == 0; }

bool AddPort(std::vector<StationPort>* ports, StationPort port, const std::string& where,
             std::string* why) {
  for (const StationPort& other : *ports) {
    if (other.port == port.port && !IsOwnHandset(port.port)) {
      *why = where + "port " + port.port + " is named twice";
      return false;
    }
    if (other.logPath == port.logPath) {
      *why = where + "log file " + port.logPath + " is named twice";
      return false;
    }
  }
  ports->push_back(std::move(port));
  return true;
}

}  // namespace

std::string DefaultStationLog(size_t index, const std::string& port) {
  std::string safe;
  for (char c : port) {
    const bool keep = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                      c == '-' || c == '.';
    safe += keep ? c : '_';
  }
  return "velmora-station-" + std::to_string(index) + "-" + safe + ".log";
}

bool ParseStationText(const std::string& text, const std::string& fileName,
                      std::vector<StationPort>* ports, std::string* why) {
  ports->clear();
  size_t start = 0;
  int lineNumber = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    const std::string where = fileName + ": line " + std::to_string(lineNumber) + ": ";
    if (words.size() > 2) {
      *why = where + "expected a port and at most a log file, found " +
             std::to_string(words.size()) + " words";
      return false;
    }
    StationPort port;
    port.port = words[0];
    port.line = lineNumber;
    port.logPath = words.size() == 2 ? words[1] : DefaultStationLog(ports->size() + 1, words[0]);
    if (!AddPort(ports, std::move(port), where, why)) return false;
  }
  if (ports->empty()) {
    *why = fileName + ": names no port";
    return false;
  }
  return true;
}

bool StationFromPorts(const std::vector<std::string>& given, std::vector<StationPort>* ports,
                      std::string* why) {
  ports->clear();
  for (const std::string& p : given) {
    StationPort port;
    port.port = p;
    port.logPath = DefaultStationLog(ports->size() + 1, p);
    if (!AddPort(ports, std::move(port), "--port: ", why)) return false;
  }
  return true;
}

std::string StationOutcome(int status) {
  switch (status) {
    case 0: return "succeeded";
    case 1: return "failed";
    case 2: return "not connected";
    case 64: return "usage error";
    case 129: case 130: case 143: return "interrupted";
    default: return "ended with " + std::to_string(status);
  }
}

std::string ImeiFromLog(const std::string& log) {
  const size_t at = log.find("IMEI: ");
  if (at == std::string::npos) return {};
  const size_t from = at + 6;
  size_t end = from;
  while (end < log.size() && log[end] != '\r' && log[end] != '\n') ++end;
  return log.substr(from, end - from);
}

std::string FormatStationSummary(const std::vector<StationResult>& results) {
  size_t portWidth = 4;
  size_t imeiWidth = 4;
  size_t outcomeWidth = 7;
  for (const StationResult& r : results) {
    portWidth = std::max(portWidth, r.port.size());
    imeiWidth = std::max(imeiWidth, std::max<size_t>(r.imei.size(), 1));
    outcomeWidth = std::max(outcomeWidth, StationOutcome(r.status).size());
  }
  const auto pad = [](const std::string& s, size_t width) {
    return s + std::string(width - s.size() + 2, ' ');
  };
  char number[64];
  std::string text = pad("Port", portWidth) + pad("IMEI", imeiWidth) + pad("Outcome", outcomeWidth) +
                     "    Time     CPU  Log\n";
  int succeeded = 0;
  for (const StationResult& r : results) {
    if (r.status == 0) ++succeeded;
    std::snprintf(number, sizeof number, "%7.1fs %6.2fs  ", r.seconds, r.cpuSeconds);
    text += pad(r.port, portWidth) + pad(r.imei.empty() ? "-" : r.imei, imeiWidth) +
            pad(StationOutcome(r.status), outcomeWidth) + number + r.logPath + "\n";
  }
  text += std::to_string(results.size()) + " handsets: " + std::to_string(succeeded) +
          " succeeded, " + std::to_string(results.size() - static_cast<size_t>(succeeded)) +
          " did not\n";
  return text;
}

std::string FormatLineSummary(const std::vector<StationLineResult>& results) {
  size_t portWidth = 4;
  for (const StationLineResult& r : results) portWidth = std::max(portWidth, r.port.size());
  const auto pad = [](const std::string& text, size_t width) {
    return text + std::string(width - text.size() + 2, ' ');
  };
  // Interrupted handsets get their column only when there are any: the table of every other
  // line stays as it always was.
  const bool cut = std::any_of(results.begin(), results.end(),
                               [](const StationLineResult& r) { return r.interrupted > 0; });
  std::string text = pad("Port", portWidth) + "Handsets  Succeeded  Failed  " +
                     (cut ? "Interrupted  " : "") +
                     "Turned away  Per handset  CPU per handset  Log\n";
  StationLineResult all;
  char numbers[160];
  for (const StationLineResult& r : results) {
    const int n = r.succeeded + r.failed + r.interrupted;
    std::snprintf(numbers, sizeof numbers, "%8d  %9d  %6d  ", n, r.succeeded, r.failed);
    std::string row = numbers;
    if (cut) {
      std::snprintf(numbers, sizeof numbers, "%11d  ", r.interrupted);
      row += numbers;
    }
    std::snprintf(numbers, sizeof numbers, "%11d  %10.1fs  %14.2fs  ", r.skipped,
                  n > 0 ? r.seconds / n : 0.0, n > 0 ? r.cpuSeconds / n : 0.0);
    row += numbers;
    text += pad(r.port, portWidth) + row + r.logPath +
            (r.status == 0 || r.status == 1 ? "" : " (" + StationOutcome(r.status) + ")") + "\n";
    all.succeeded += r.succeeded;
    all.failed += r.failed;
    all.skipped += r.skipped;
    all.interrupted += r.interrupted;
  }
  text += std::to_string(all.succeeded + all.failed + all.interrupted) + " handsets: " +
          std::to_string(all.succeeded) + " succeeded, " + std::to_string(all.failed) +
          " failed, " +
          (cut ? std::to_string(all.interrupted) + " interrupted, " : std::string()) +
          std::to_string(all.skipped) + " turned away\n";
  return text;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

// How often the station reads what its programs told it: the page is this late at most.
constexpr auto kFollowInterval = std::chrono::milliseconds(100);

// Follows the programs' event files into the board, on a thread of its own: a page that is
// slow, or a file that grows fast, never holds up a program.
class StationFollower {
 public:
  StationFollower(StationBoard& board, const std::vector<std::string>& paths)
      : board_(board), last_(paths.size()) {
    for (const std::string& path : paths) tails_.emplace_back(path);
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stopping_) {
        ReadAll();
        wake_.wait_for(lock, kFollowInterval, [this] { return stopping_; });
      }
      ReadAll();
    });
  }
  ~StationFollower() { Stop(); }

  // Stops following once everything written so far has been read.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // The last state port i told (after Stop: its last of all).
  PortEvent Last(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_[i];
  }

 private:
  void ReadAll() {
    for (size_t i = 0; i < tails_.size(); ++i) {
      for (const std::string& line : tails_[i].ReadNew()) {
        PortEvent event;
        std::string record;
        bool isRecord = false;
        if (!ParseStationEvent(line, &event, &record, &isRecord)) continue;
        if (isRecord) {
          board_.AddRecord(record);
          continue;
        }
        last_[i] = event;
        PortRow row = board_.Row(i);
        row.state = event.state;
        row.imei = event.imei;
        row.progress = event.progress;
        row.stateSinceMs = event.stateSinceMs;
        row.handsetSinceMs = event.handsetSinceMs;
        row.succeeded = event.succeeded;
        row.failed = event.failed;
        row.skipped = event.skipped;
        row.handsetSeconds = event.seconds;
        row.lastError = event.lastError;
        board_.SetRow(i, row);
      }
    }
  }

  StationBoard& board_;
  std::vector<EventTail> tails_;
  std::vector<PortEvent> last_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

std::vector<PortRow> FirstRows(const std::vector<StationPort>& ports) {
  std::vector<PortRow> rows;
  for (const StationPort& p : ports) {
    PortRow row;
    row.port = p.port;
    row.log = p.logPath;
    row.state = "connecting";
    row.stateSinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    rows.push_back(std::move(row));
  }
  return rows;
}

// The end of a station whose ports ran one handset each: the table of handsets.
int FinishOnce(const std::vector<StationResult>& results, std::FILE* out) {
  std::fprintf(out, "\n%s", FormatStationSummary(results).c_str());
  const bool all = std::all_of(results.begin(), results.end(),
                               [](const StationResult& r) { return r.status == 0; });
  return all ? 0 : 1;
}

// The end of a continuous station: the handsets of every port.
int FinishLines(const std::vector<StationResult>& results, StationFollower& follower,
                std::FILE* out) {
  std::vector<StationLineResult> lines;
  bool all = true;
  for (size_t i = 0; i < results.size(); ++i) {
    const PortEvent last = follower.Last(i);
    StationLineResult r;
    r.port = results[i].port;
    r.logPath = results[i].logPath;
    r.status = results[i].status;
    r.succeeded = last.succeeded;
    r.failed = last.failed;
    r.skipped = last.skipped;
    r.interrupted = last.interrupted;
    r.seconds = last.seconds;
    r.cpuSeconds = results[i].cpuSeconds;
    all = all && r.status == 0 && r.failed == 0;
    lines.push_back(r);
  }
  std::fprintf(out, "\n%s", FormatLineSummary(lines).c_str());
  return all ? 0 : 1;
}

}  // namespace

int RunStation(const std::string& program, const std::vector<std::string>& args,
               const std::vector<StationPort>& ports, std::FILE* out, const StationSetup& setup) {
  StationFiles files(ports.size(), setup.continuous);
  for (const std::string& note : files.notes()) std::fprintf(out, "%s\n", note.c_str());
  StationBoard board("Velmora station", FirstRows(ports));
  StationPage page(board);
  if (!setup.serveAddress.empty()) {
    std::string why;
    if (!page.Start(setup.serveAddress, &why)) {
      std::fprintf(out, "error: %s\n", why.c_str());
      return 1;
    }
    std::fprintf(out, "Station page: %s\n", page.Url().c_str());
  }
  StationFollower follower(board, files.events());
  ForwardTerminationToChildren();
  std::vector<StationResult> results(ports.size());
  std::map<int64_t, size_t> byChild;
  std::vector<SteadyClock::time_point> started(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    StationResult& r = results[i];
    r.port = ports[i].port;
    r.logPath = ports[i].logPath;
    std::vector<std::string> childArgs = args;
    childArgs.insert(childArgs.end(),
                     {"--port", ports[i].port, "--station-events", files.events()[i]});
    if (!files.doneList().empty())
      childArgs.insert(childArgs.end(), {"--station-done", files.doneList()});
    int64_t id = 0;
    std::string why;
    started[i] = SteadyClock::now();
    if (!StartChild(program, childArgs, ports[i].logPath, &id, &why)) {
      std::fprintf(out, "%s: not started: %s\n", r.port.c_str(), why.c_str());
      r.status = 1;
      continue;
    }
    byChild[id] = i;
    files.AddProgram(id);
    std::fprintf(out, "%s: started, log in %s\n", r.port.c_str(), r.logPath.c_str());
  }
  std::fflush(out);

  ChildEnd end;
  while (WaitChild(&end)) {
    const auto it = byChild.find(end.id);
    if (it == byChild.end()) continue;
    StationResult& r = results[it->second];
    r.seconds = std::chrono::duration<double>(SteadyClock::now() - started[it->second]).count();
    r.status = end.status;
    r.cpuSeconds = end.cpuSeconds;
    std::string log;
    if (ReadRegularFile(r.logPath, &log, nullptr, kMaxLogBytes)) r.imei = ImeiFromLog(log);
    std::fprintf(out, "%s: %s after %.1f s\n", r.port.c_str(), StationOutcome(r.status).c_str(),
                 r.seconds);
    std::fflush(out);
  }
  follower.Stop();
  board.SetFinished(true);
  return setup.continuous ? FinishLines(results, follower, out) : FinishOnce(results, out);
}

}  // namespace velmora
