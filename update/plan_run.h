// The plan of an update (--plan): what the run would do to each block of a mapping in the
// connected handset, and whether a garbage collection is likely, without writing anything.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "handset/block_store.h"
#include "mapfile/mapfile.h"
#include "update/reporting.h"
#include "update/update_operations.h"
#include "update/update_run.h"

namespace velmora {

// What the handset holds before the run, as far as the plan needs it.
struct HandsetSurvey {
  uint32_t freeSpace = 0;        // Eelite free space (the first space value)
  uint32_t compactedSpace = 0;   // the second space value: free once the area is compacted
  uint16_t highestBlock = 0;     // highest logical Eelite block number
  struct Existing {
    uint16_t size = 0;
    uint8_t version = 0;
  };
  // Blocks of the map's numbers that exist, by (area code, number). A number whose test
  // failed otherwise than "no such block" is in `unknown`.
  std::map<std::pair<uint8_t, int32_t>, Existing> existing;
  std::map<std::pair<uint8_t, int32_t>, uint32_t> unknown;  // status of the failed test
};

struct BlockPlan {
  int32_t number = 0;
  std::string line;            // "Block 30 Eelite: write, new block, 45 bytes"
  bool collectBefore = false;  // a garbage collection is likely to run before this block
  bool wouldFail = false;      // the handset is expected to refuse it
};

struct Plan {
  std::vector<BlockPlan> blocks;
  int collections = 0;
  bool anyFailure = false;
};

// Pure: the plan for the selected records against what the survey found. The Eelite room is
// followed through the blocks as the handset's log-structured area spends it: every write or
// create costs size + 12 bytes until the area is compacted.
Plan PlanBlocks(const MapBlock* blocks, const MapInfo& info, const uint32_t* flags,
                const HandsetSurvey& survey);

// Connects, reads the IMEI, the map, the product and what the handset holds, logs the plan,
// and switches the handset off. Writes nothing. Outcome Succeeded when the map fits the
// handset's product; Failed with the error text otherwise.
RunResult PlanRun(Reporting& report, UpdateOperations& ops, BlockStore& store,
                  const std::function<LinkHandle()>& handle, const char* mapText);

}  // namespace velmora
