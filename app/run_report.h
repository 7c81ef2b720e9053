// The run record of a production line: one JSON object per run (program, map, handset, port,
// times, every block handled, garbage collections, files saved, outcome and exit status),
// written whole to a file of its own (--report) or appended as one line to an audit trail
// (--report-append). docs/run-record.md describes the fields.
#pragma once

#include <cstdint>
#include <string>

#include "mapfile/mapfile.h"
#include "update/run_record.h"
#include "container/digest.h"

namespace velmora {

struct RunReport {
  std::string program;   // "velmora-cli"
  std::string version;   // the version line's version, e.g. "Version 1.3"
  std::string runId;     // made once per run (NewRunId); a database keeps a run once by it
  std::string mode = "update";  // "update" or "restore"
  std::string mapFile;   // as given ("-" standard input), empty for a sealed map
  const char* mapText = nullptr;  // the map text as read, null when there is none
  std::string port;      // as given to --port, else the COM name
  uint32_t baudRate = 0;
  bool verify = false;
  uint16_t hardwareProduct = 0;  // 0: never read
  int64_t startMs = 0;   // milliseconds since 1970-01-01 UTC
  int64_t endMs = 0;
  RunRecord record;      // IMEI, blocks, garbage collections, saved files
  std::string outcome;   // "succeeded", "failed", "not-connected", "interrupted"
  std::string error;     // the run's error text, empty on success
  int exitStatus = 0;
};

// The record as one line of JSON, without a line end.
std::string FormatRunReport(const RunReport& report);

// "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcTimeText(int64_t msSinceEpoch);


}  // namespace velmora
