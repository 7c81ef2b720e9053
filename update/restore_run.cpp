#include "update/restore_run.h"

#include "handset/session.h"
#include "update/handset_backup.h"

#include "update/backup_run.h"

namespace velmora {
namespace {

bool OnlyEelite(const std::vector<MapBlock>& blocks, const RestoreIdentity& identity) {
  if (identity.exact && (!identity.absent.empty() || !identity.ranges.empty())) return false;
  for (const MapBlock& block : blocks)
    if (block.area != kAreaEelite) return false;
  return true;
}

// What exists beyond the numbers the backup asked for, up to what a backup would ask for now:
// blocks made since, which the backup could not have named as absent.
std::vector<BlockRef> BeyondTheBackup(const std::vector<BackupRange>& ranges, uint16_t highest) {
  std::vector<BlockRef> beyond;
  for (const BlockRef& ref : BackupBlockRefs(highest)) {
    bool asked = false;
    for (const BackupRange& r : ranges)
      asked = asked || (r.area == ref.area && ref.number >= r.first && ref.number <= r.last);
    if (!asked) beyond.push_back(ref);
  }
  return beyond;
}

}  // namespace

const char* RestoredText(const std::vector<MapBlock>& blocks, const RestoreIdentity& identity) {
  return OnlyEelite(blocks, identity) ? kRestoredText : kStoreRestoredText;
}

const char* RestoreFailedText(const std::vector<MapBlock>& blocks, const RestoreIdentity& identity) {
  return OnlyEelite(blocks, identity) ? kRestoreFailedText : kStoreRestoreFailedText;
}

RunResult RestoreRun(Reporting& report, UpdateOperations& ops, const std::string& path,
                     const std::vector<MapBlock>& blocks, const RestoreIdentity& identity) {
  RunResult result;
  if (!ops.Connect()) return result;

  char imei[100] = {};
  if (!ops.ReadImei(imei)) {
    result.error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    // A handset that answers no IMEI cannot be shown to be the one a backup names.
    const std::string connected = IsImei(imei) ? std::string(imei) : kUnknownImei;
    const bool foreign = !identity.imei.empty() && identity.imei != kUnknownImei &&
                         identity.imei != connected;
    if (foreign && !identity.otherHandset) {
      // Another handset's settings would overwrite this one's: nothing is written.
      report.Log("ERROR: " + path + " holds the blocks of handset " + identity.imei +
                 ", not of the connected handset " + connected +
                 ". Nothing written (--other-handset writes them all the same).\r\n");
      report.RefreshLog();
      result.error = kRestoreOtherHandsetText;
      ops.CloseSession();
      result.outcome = RunOutcome::Failed;
      return result;
    }
    if (foreign) {
      report.Log("Writing the blocks of handset " + identity.imei + " into handset " + connected +
                 " on purpose (--other-handset)\r\n");
    }
    report.Log("Restoring " + std::to_string(blocks.size()) + " blocks from " + path + "\r\n");
    report.RefreshLog();
    bool back = ops.RestoreBlocks(blocks);
    if (back && identity.exact && !identity.absent.empty()) {
      report.Log("Deleting the blocks that were not there: " + std::to_string(identity.absent.size()) +
                 "\r\n");
      report.RefreshLog();
      back = ops.DeleteBlocks(identity.absent);
    }
    if (back && identity.exact && !identity.ranges.empty()) {
      // Blocks made above the highest number of the backup's time were never named in it: the
      // handset says again how far its numbers go, and what lies beyond the backup goes.
      uint16_t highest = 0;
      back = ops.HighestBlock(&highest);
      const std::vector<BlockRef> beyond = back ? BeyondTheBackup(identity.ranges, highest)
                                                : std::vector<BlockRef>();
      if (!beyond.empty()) {
        report.Log("Deleting the blocks beyond the backup's numbers, up to the highest block number " +
                   std::to_string(highest) + "\r\n");
        report.RefreshLog();
        back = ops.DeleteBlocks(beyond);
      }
    }
    if (back) {
      report.Log(std::string(RestoredText(blocks, identity)) + "\r\n");
      report.RefreshLog();
    } else {
      result.error = RestoreFailedText(blocks, identity);
    }
  }
  ops.CloseSession();
  result.outcome = result.error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

}  // namespace velmora
