#include "update/plan_run.h"

#include <cstdarg>
#include <cstdio>

#include "update/engine.h"

namespace velmora {
namespace {

bool AreaOf(uint8_t code, StoreArea* area) {
  if (code == kAreaEelite) *area = StoreArea::Eelite;
  else if (code == kAreaEefull) *area = StoreArea::Eefull;
  else return false;
  return true;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// "new block, 45 bytes" / "45 bytes, as before" / "100 -> 120 bytes"; the version when it changes.
std::string SizeChange(const HandsetSurvey::Existing* old, const MapBlock& b) {
  const unsigned size = static_cast<uint16_t>(b.size);
  if (old == nullptr) return Format("new block, %u bytes", size);
  std::string text = old->size == size ? Format("%u bytes, as before", size)
                                       : Format("%u -> %u bytes", unsigned{old->size}, size);
  if (old->version != b.version)
    text += Format(", version %u -> %u", unsigned{old->version}, unsigned{b.version});
  return text;
}

}  // namespace

Plan PlanBlocks(const MapBlock* blocks, const MapInfo& info, const uint32_t* flags,
                const HandsetSurvey& survey) {
  Plan plan;
  // Free space now, and free space if the area were compacted now.
  int64_t freeNow = survey.freeSpace;
  int64_t freeCompacted = survey.compactedSpace;
  // What the handset holds as the plan goes on: a block written earlier in the map counts.
  auto existing = survey.existing;
  for (int32_t i = 0; i < info.blockCount; ++i) {
    const MapBlock& b = blocks[i];
    BlockPlan step;
    step.number = b.number;
    const std::string head = Format("Block %d %s: ", b.number, AreaName(b.area));
    if (flags[i] == 0) {
      step.line = head + "nothing";
      plan.blocks.push_back(step);
      continue;
    }
    StoreArea area = StoreArea::Eelite;
    const bool hasArea = AreaOf(b.area, &area);
    const auto key = std::make_pair(b.area, b.number);
    const auto found = existing.find(key);
    const HandsetSurvey::Existing* old = found == existing.end() ? nullptr : &found->second;
    const bool eelite = hasArea && area == StoreArea::Eelite;
    const uint32_t cost = static_cast<uint32_t>(static_cast<uint16_t>(b.size)) + protocol::kBlockOverhead;
    const uint32_t oldCost = old == nullptr ? 0 : old->size + protocol::kBlockOverhead;
    std::string what;
    switch (b.operation) {
      case kOpWrite: what = "write, " + SizeChange(old, b); break;
      case kOpCreate: what = "create, " + SizeChange(old, b); break;
      case kOpDelete: what = old ? Format("delete, %u bytes", unsigned{old->size}) : "delete"; break;
      case kOpDeleteCreate:
        what = "delete and create, " + SizeChange(old, b);
        break;
      default: what = Format("nothing (operation %u has no action)", unsigned{b.operation}); break;
    }
    std::string problem;
    const bool acts = b.operation == kOpWrite || b.operation == kOpCreate ||
                      b.operation == kOpDelete || b.operation == kOpDeleteCreate;
    if (acts && !hasArea) {
      problem = Format("area code %u names no area", unsigned{b.area});
    } else if (acts && survey.unknown.count(key) != 0) {
      what += Format(" (not known whether it exists: %s)",
                     StatusText(static_cast<int32_t>(survey.unknown.at(key))));
    } else if ((b.operation == kOpDelete || b.operation == kOpDeleteCreate) && old == nullptr) {
      problem = "no such block to delete";
    } else if (eelite && b.operation != kOpDelete && acts &&
               static_cast<uint16_t>(b.number) > survey.highestBlock) {
      problem = Format("above the highest logical block %u", unsigned{survey.highestBlock});
    }

    // The Eelite room: only a write tests it (and compacts the area first when short); a
    // create spends it without a test, a delete gives nothing back until the area is compacted.
    if (eelite && problem.empty()) {
      if (b.operation == kOpWrite) {
        if (freeNow <= static_cast<int64_t>(cost)) {
          step.collectBefore = true;
          ++plan.collections;
          freeNow = freeCompacted;
          if (freeNow <= static_cast<int64_t>(cost)) problem = "no room even after a garbage collection";
        }
      }
      // A create is sent without a test: a handset without the room refuses it.
      if ((b.operation == kOpCreate || b.operation == kOpDeleteCreate) && freeNow < cost)
        problem = "no room for it (a create does not compact the area)";
      if (b.operation != kOpDelete && problem.empty()) {
        freeNow -= cost;
        freeCompacted -= static_cast<int64_t>(cost) - oldCost;
      } else if (b.operation == kOpDelete) {
        freeCompacted += oldCost;
      }
    }
    if (problem.empty()) {
      if (b.operation == kOpDelete) {
        existing.erase(key);
      } else if (acts) {
        existing[key] = {static_cast<uint16_t>(b.size), b.version};
      }
    }
    step.line = head + what;
    if (!problem.empty()) {
      step.line += "; would fail: " + problem;
      step.wouldFail = true;
      plan.anyFailure = true;
    }
    plan.blocks.push_back(step);
  }
  return plan;
}

RunResult PlanRun(Reporting& report, UpdateOperations& ops, BlockStore& store,
                  const std::function<LinkHandle()>& handle, const char* mapText) {
  RunResult result;
  if (!ops.Connect()) return result;  // NotConnected: Connect has said why

  std::string& error = result.error;
  char imei[100] = {};
  LoadedMap map;
  if (!ops.ReadImei(imei)) {
    error = kErrImei;
  } else {
    imei[sizeof imei - 1] = '\0';
    report.Log(std::string("IMEI: ") + imei + "\r\n");
    report.RefreshLog();
    error = ReadCheckedMap(report, mapText, &map);
  }

  HandsetSurvey survey;
  bool fits = false;
  if (error.empty()) {
    ops.SelectBlocks(map.flags.get(), map.blocks.get(), map.info);
    fits = ops.CheckProduct(map.info);
    const LinkHandle h = handle();
    uint32_t freeSpace = 0;
    uint32_t second = 0;
    if (store.GetMaxSpaceValues(h, &freeSpace, &second) == 0 ||
        store.GetMaxLogicalBlock(h, &survey.highestBlock) == 0) {
      error = std::string("Can't read the handset's free space: ") +
              StatusText(static_cast<int32_t>(store.LastBlockStoreStatus()));
    }
    survey.freeSpace = freeSpace;
    survey.compactedSpace = second;
    for (int32_t i = 0; error.empty() && i < map.info.blockCount; ++i) {
      const MapBlock& b = map.blocks[static_cast<size_t>(i)];
      StoreArea area = StoreArea::Eelite;
      if (map.flags[static_cast<size_t>(i)] == 0 || !AreaOf(b.area, &area)) continue;
      const auto key = std::make_pair(b.area, b.number);
      if (survey.existing.count(key) != 0 || survey.unknown.count(key) != 0) continue;
      HandsetSurvey::Existing found;
      if (store.BlockExists(h, area, static_cast<uint16_t>(b.number), &found.size, &found.version) != 0)
        survey.existing[key] = found;
      else if (store.LastBlockStoreStatus() != kStatusNoBlock)
        survey.unknown[key] = store.LastBlockStoreStatus();
    }
  }

  if (error.empty()) {
    report.Log(Format("\r\nPlan: nothing is written\r\nHW-Product: %d\r\nEelite: %u bytes free, %u "
                      "when compacted; highest logical block %u\r\n",
                      static_cast<int>(ops.HardwareProduct()), survey.freeSpace,
                      survey.compactedSpace, unsigned{survey.highestBlock}));
    const Plan plan = PlanBlocks(map.blocks.get(), map.info, map.flags.get(), survey);
    for (const BlockPlan& step : plan.blocks) {
      if (step.collectBefore) report.Log("Garbage collection likely here\r\n");
      report.Log(step.line + "\r\n");
    }
    report.Log(plan.collections == 0
                   ? std::string("No garbage collection expected\r\n")
                   : Format("Garbage collections likely: %d\r\n", plan.collections));
    if (plan.anyFailure) report.Log("Some blocks would fail: see above\r\n");
    if (fits) {
      report.Log("The mapping fits this handset\r\n");
    } else {
      report.Log(Format("Map-Product: %d  HW-Product: %d\r\n", map.info.product,
                        static_cast<int>(ops.HardwareProduct())));
      report.Log("ERROR: Wrong Mapping for this Mobile\r\n");
      error = "Wrong Mapping for this Mobile!";
    }
    report.RefreshLog();
  }
  if (map.blocks) FreeMapBlocks(map.blocks.get(), map.info);
  ops.CloseSession();
  result.outcome = error.empty() ? RunOutcome::Succeeded : RunOutcome::Failed;
  return result;
}

}  // namespace velmora
