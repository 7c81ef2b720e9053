// Checking a map without a handset: the map steps of the update run with their log lines,
// followed by the number of blocks per operation and area.
#pragma once

#include "update/reporting.h"

namespace velmora {

// Logs what the run would log while reading the map, then a summary. True for a good map.
bool CheckMapText(Reporting& report, const char* mapText);

}  // namespace velmora
