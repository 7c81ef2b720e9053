// The update run behind the Start button: connect, identify the handset, read and check the
// mapping, write its blocks and version record, close, report.
// Errors in the update layer: the steps return true or false and have written their reason to
// the log through Reporting (a block failure carries its block-store status in BlockFailure);
// a whole run ends in a RunResult.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mapfile/mapfile.h"
#include "update/reporting.h"
#include "update/update_operations.h"

namespace velmora {

enum class RunOutcome { NotConnected, Failed, Succeeded, Skipped };

// How a run ended: NotConnected (Connect has shown why), Failed with the run's error text,
// Succeeded with an empty one, or Skipped (the handset gate turned the handset away; the
// text says why).
// The error of every run whose handset did not give its IMEI.
inline constexpr char kErrImei[] = "Error reading IMEI!";

struct RunResult {
  RunOutcome outcome = RunOutcome::NotConnected;
  std::string error;
};

// Runs one update of the mapping in mapText (null: no map data) from Connect to CloseSession:
// the handset is identified, the mapping read and checked, its blocks and version record
// written, and the handset switched off whatever failed after Connect. Its lines go to the log
// through `report`; the error text is returned for the caller to log and show.
// A line that updates handset after handset asks, once the IMEI is read, whether this handset
// is to be updated: "" yes, else the log line that says why not (the handset is then switched
// off untouched).
using HandsetGate = std::function<std::string(const std::string& imei)>;
RunResult UpdateRun(Reporting& report, UpdateOperations& ops, const char* mapText,
                    const HandsetGate& gate = {});

// The log line of the block that stopped the block writing.
void FormatBlockFailure(const BlockFailure& failure, MessageBuffer* message);

// A mapping read from a map text: the header, the records and their selection flags.
struct LoadedMap {
  MapInfo info;
  std::unique_ptr<MapBlock[]> blocks;
  std::unique_ptr<uint32_t[]> flags;
};

// The map steps of the run (read the header, log it, read the blocks, verify the checksum),
// with the run's log lines and messages. Returns the run's error text, empty on success.
std::string ReadCheckedMap(Reporting& report, const char* mapText, LoadedMap* map);

}  // namespace velmora
