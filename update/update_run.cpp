#include "update/update_run.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "handset/block_store.h"
#include "update/engine_texts.h"

namespace velmora {
namespace {

constexpr char kErrMapInfo[] = "Error reading map info!";
constexpr char kErrMemory[] = "Out of memory!";
constexpr char kErrMapData[] = "Can't read map data!";
constexpr char kErrChecksum[] = "Wrong Checksum! Mapfile corrupt?";
constexpr char kErrProduct[] = "Wrong Mapping for this Mobile!";
constexpr char kErrBlocks[] = "Can't send mapping blocks to mobile!";
constexpr char kErrVersion[] = "Can't write Map version info to mobile!";
constexpr char kErrUndo[] = "Can't save the undo file: nothing written to mobile!";

std::string Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* fmt, ...) {
  char line[MessageBuffer::kSize];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  return line;
}

}  // namespace

std::string ReadCheckedMap(Reporting& report, const char* mapText, LoadedMap* map) {
  MapInfo& info = map->info;
  // The map reader writes no message of its own: the buffer logged after its failures holds
  // nothing, or what an earlier run left in it, and the log has always shown that.
  if (!ReadMapInfo(mapText, &info)) {
    report.Log(report.Message().c_str());
    report.Log("ERROR: Can't read map info! Mapfile corrupt?\r\n");
    report.Log("Please use mapping [Productname]_[1|2]_[Provider]_[SWV]_00xx.map\r\n");
    report.Log(
        "e.g. Velmora_K71_1_Standard_11_0001.map or Velmora_K71_2_BRD-Handel_11_0046.map");
    return kErrMapInfo;
  }
  report.Log(Printf("\r\nMapFile-Info\r\nProduct:\t%i\r\nProvider:\t0x%.2x\r\nMap-Version:\t0x%.2x"
                    "\r\nSWVersion:\t%i\r\nTime:\t%06d\r\nDate:\t%06d\r\n",
                    info.product, static_cast<unsigned>(info.provider),
                    static_cast<unsigned>(info.mapVersion), info.swVersion, info.time, info.date));
  report.RefreshLog();
  report.Log(info.provider == 0 ? "Standard-Mapping\r\n" : "Delta-Mapping\r\n");
  report.RefreshLog();

  map->blocks.reset(new (std::nothrow) MapBlock[static_cast<size_t>(info.blockCount)]);
  if (!map->blocks) return kErrMemory;

  report.Log("Read Data, please wait...\r\n");
  report.RefreshLog();
  if (!ReadMapBlocks(mapText, map->blocks.get(), info)) {
    report.Log(report.Message().c_str());
    return kErrMapData;
  }
  if (!VerifyMapChecksum(map->blocks.get(), info)) {
    report.Log(report.Message().c_str());
    return kErrChecksum;
  }
  report.Log("Checksum OK\r\n");

  map->flags.reset(new (std::nothrow) uint32_t[static_cast<size_t>(info.blockCount)]());
  if (!map->flags) return kErrMemory;
  return {};
}

RunResult UpdateRun(Reporting& report, UpdateOperations& ops, const char* mapText,
                    const HandsetGate& gate) {
  RunResult result;
  report.EnterPhase(RunPhase::Connecting);
  if (!ops.Connect()) {
    // Connect has shown its own message and closed the port.
    result.outcome = RunOutcome::NotConnected;
    return result;
  }

  std::string& error = result.error;
  LoadedMap map;
  char imei[100] = {};
  if (!ops.ReadImei(imei)) {
    error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    report.RefreshLog();
    if (std::string refused = gate ? gate(imei) : std::string(); !refused.empty()) {
      report.Log(refused);
      report.RefreshLog();
      ops.CloseSession();
      result.outcome = RunOutcome::Skipped;
      while (!refused.empty() && (refused.back() == '\n' || refused.back() == '\r')) refused.pop_back();
      result.error = std::move(refused);
      return result;
    }
    error = ReadCheckedMap(report, mapText, &map);
  }

  if (error.empty()) {
    ops.SelectBlocks(map.flags.get(), map.blocks.get(), map.info);
    BlockFailure failure;
    if (!ops.CheckProduct(map.info)) {
      error = kErrProduct;
      report.Log(report.Message().c_str());
      report.Log(Printf("Map-Product: %d  HW-Product: %d\r\n", map.info.product,
                        static_cast<int>(ops.HardwareProduct())));
      report.Log("ERROR: Wrong Mapping for this Mobile\r\n");
    } else if (!ops.BeforeFirstChange(map.blocks.get(), map.info)) {
      error = kErrUndo;
    } else if (!ops.WriteMapBlocks(map.blocks.get(), map.info, map.flags.get(), &failure)) {
      error = kErrBlocks;
      // The line stays in the buffer after it is logged, as every message line does.
      FormatBlockFailure(failure, &report.Message());
      report.Log(report.Message().c_str());
    } else {
      report.Log("Writing Map-Version to Mobile.\r\n");
      report.RefreshLog();
      if (!ops.WriteMapVersion(map.info)) error = kErrVersion;
    }
  }
  if (map.blocks) FreeMapBlocks(map.blocks.get(), map.info);
  map.blocks.reset();
  map.flags.reset();

  ops.CloseSession();
  result.outcome = error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

void FormatBlockFailure(const BlockFailure& failure, MessageBuffer* message) {
  if (failure.interrupted) {
    message->Format(texts::kBlockInterrupted, failure.number);
    return;
  }
  switch (failure.verify) {
    case BlockFailure::Verify::None:
      break;
    case BlockFailure::Verify::CannotRead:
      message->Format(texts::kVerifyCannotRead, failure.number,
                      StatusText(static_cast<int32_t>(failure.status)));
      return;
    case BlockFailure::Verify::Version:
      message->Format(texts::kVerifyVersion, failure.number,
                      static_cast<unsigned>(failure.readValue));
      return;
    case BlockFailure::Verify::Size:
      message->Format(texts::kVerifySize, failure.number, failure.verifyByte,
                      static_cast<unsigned>(failure.readValue));
      return;
    case BlockFailure::Verify::Data:
      message->Format(texts::kVerifyData, failure.number, failure.verifyByte);
      return;
  }
  message->Format(texts::kBlockNotWritten, failure.number,
                  StatusText(static_cast<int32_t>(failure.status)));
}

}  // namespace velmora
