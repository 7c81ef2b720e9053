#include "cli/station.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "platform/child_process.h"
#include "platform/regular_file.h"

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

int RunStation(const std::string& program, const std::vector<std::string>& args,
               const std::vector<StationPort>& ports, std::FILE* out) {
  using Clock = std::chrono::steady_clock;
  ForwardTerminationToChildren();
  std::vector<StationResult> results(ports.size());
  std::map<int64_t, size_t> byChild;
  std::vector<Clock::time_point> started(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    StationResult& r = results[i];
    r.port = ports[i].port;
    r.logPath = ports[i].logPath;
    std::vector<std::string> childArgs = args;
    childArgs.push_back("--port");
    childArgs.push_back(ports[i].port);
    int64_t id = 0;
    std::string why;
    started[i] = Clock::now();
    if (!StartChild(program, childArgs, ports[i].logPath, &id, &why)) {
      std::fprintf(out, "%s: not started: %s\n", r.port.c_str(), why.c_str());
      r.status = 1;
      continue;
    }
    byChild[id] = i;
    std::fprintf(out, "%s: started, log in %s\n", r.port.c_str(), r.logPath.c_str());
  }
  std::fflush(out);

  ChildEnd end;
  while (WaitChild(&end)) {
    const auto it = byChild.find(end.id);
    if (it == byChild.end()) continue;
    StationResult& r = results[it->second];
    r.seconds = std::chrono::duration<double>(Clock::now() - started[it->second]).count();
    r.status = end.status;
    r.cpuSeconds = end.cpuSeconds;
    std::string log;
    if (ReadRegularFile(r.logPath, &log, nullptr, kMaxLogBytes)) r.imei = ImeiFromLog(log);
    std::fprintf(out, "%s: %s after %.1f s\n", r.port.c_str(), StationOutcome(r.status).c_str(),
                 r.seconds);
    std::fflush(out);
  }
  std::fprintf(out, "\n%s", FormatStationSummary(results).c_str());
  const bool all = std::all_of(results.begin(), results.end(),
                               [](const StationResult& r) { return r.status == 0; });
  return all ? 0 : 1;
}

}  // namespace velmora
