// Station mode: one update per port at the same time, each in a velmora-cli of its own with its
// own log file, then a summary table (port, IMEI, outcome, time, CPU). The program keeps its
// objects process-wide, so a process per port is what lets the runs go side by side.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora {

struct StationPort {
  std::string port;
  std::string logPath;
  int line = 0;  // in the station file, 0 for a --port
};

// Station file: one port per line, optionally followed by its log file; '#' starts a comment,
// blank lines are ignored. Log files not named are given DefaultStationLog. False with the
// reason (FILE: line N: ...) when a line is bad, a port is named twice or there is no port.
bool ParseStationText(const std::string& text, const std::string& fileName,
                      std::vector<StationPort>* ports, std::string* why);
// Ports given as several --port options; the same checks.
bool StationFromPorts(const std::vector<std::string>& ports, std::vector<StationPort>* out,
                      std::string* why);

// "velmora-station-N-PORT.log" with the port's characters that do not belong in a file name
// replaced by '_'; N counts from 1.
std::string DefaultStationLog(size_t index, const std::string& port);

// What an exit status of velmora-cli means, as the summary says it.
std::string StationOutcome(int status);
// The IMEI from a run's log ("IMEI: ..."), "" when the log has none.
std::string ImeiFromLog(const std::string& log);

struct StationResult {
  std::string port;
  std::string logPath;
  std::string imei;
  int status = 0;
  double seconds = 0;
  double cpuSeconds = 0;
};

std::string FormatStationSummary(const std::vector<StationResult>& results);

// What a station is asked beyond what it hands on to its programs.
struct StationSetup {
  bool continuous = false;   // every port runs handset after handset
  std::string serveAddress;  // "[HOST:]PORT" of the live page, "" none
};

// The end of one port of a continuous station, as its summary says it.
struct StationLineResult {
  std::string port;
  std::string logPath;
  int status = 0;
  int succeeded = 0;
  int failed = 0;
  int skipped = 0;
  double seconds = 0;     // the updated handsets' runs together
  double cpuSeconds = 0;  // the processor time of the port's program
  int interrupted = 0;    // cut short by a second interrupt, each with its record
};
// The table of ports and the total line; handsets cut short by a second interrupt are counted
// among the handsets and, when there are any, in a column and a count of their own.
std::string FormatLineSummary(const std::vector<StationLineResult>& results);

// Starts `program args... --port P` for every port with its log, waits for all, prints each end
// and the summary to out. With setup.continuous the programs run handset after handset and the
// summary counts handsets per port; with setup.serveAddress the live page follows every port.
// Returns 0 when every run (every handset) succeeded, else 1.
int RunStation(const std::string& program, const std::vector<std::string>& args,
               const std::vector<StationPort>& ports, std::FILE* out,
               const StationSetup& setup = {});

}  // namespace velmora
