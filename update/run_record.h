// What one run did, block by block, for the run record a production line keeps: every block
// handled with its operation, outcome and status code, the garbage collections, and every file
// that holds handset data because of the run. The engine fills it when it is given one; the
// front end adds what it knows (map, port, times) and writes it out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

enum class BlockOutcome : uint8_t { Done, Failed, VerifyFailed, Interrupted };

struct BlockRecord {
  int32_t number = 0;
  uint8_t area = 0;       // the map's area code
  uint8_t operation = 0;  // the map's operation code
  BlockOutcome outcome = BlockOutcome::Done;
  uint32_t status = 0;        // block-store status of the failure, 0 when done
  int32_t verifyByte = -1;    // first differing byte of a failed read-back, -1 none
};

struct SavedFile {
  std::string kind;  // "backup" (mapsave.eel) or "write-ahead" (kept after a failure)
  std::string path;  // absolute
};

struct RunRecord {
  std::vector<BlockRecord> blocks;
  int garbageCollections = 0;
  std::vector<SavedFile> savedFiles;
  std::string imei;  // as the handset sent it
};

// Short names of the map's codes and of outcomes, as they appear in the record and the plan.
const char* OperationName(uint8_t operation);
const char* AreaName(uint8_t area);
const char* BlockOutcomeName(BlockOutcome outcome);

}  // namespace velmora
