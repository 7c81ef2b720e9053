// The update run behind the Start button: connect, identify the handset, read and check the
// mapping, write its blocks and version record, close, report.
#pragma once

#include <memory>
#include <string>

#include "app/reporting.h"
#include "mapfile/mapfile.h"
#include "update/update_operations.h"

namespace velmora {

enum class RunOutcome { NotConnected, Failed, Succeeded };

// Runs one update. The outcome is also shown as the dialog shows it (log, message box,
// end code in unattended mode); it is returned for front ends that want an exit status.
RunOutcome UpdateRun(UpdateRunHost& host, UpdateOperations& ops);

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
