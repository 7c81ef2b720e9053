// Fault soak: whole update runs in this process against the simulated handset under the
// virtual clock, each with faults drawn at random from every kind of the simulator's fault
// table, and after every run the checks that must hold whatever went wrong:
//
//  - the run ended within the bound the protocol's time-outs imply (see RunBound below);
//  - success was reported only when the handset holds exactly the mapping and its version
//    record, and every block the mapping does not name is as it was (a handset that stores
//    blocks wrongly yet acknowledges them is run with --verify, which must catch it, in the
//    garbage collection's write-back too; a share of the other runs is verified as well);
//  - after a failure no Eelite block that existed before the run is lost: it is still in the
//    handset or in a backup file the run wrote (mapsave.eel or a handset backup, read back
//    whole);
//  - nothing leaks (the soak is run under AddressSanitizer, whose leak check ends it).
//
// Usage: velmora_soak [--runs N] [--seed S] [--verbose]
// Exit status 0 when no check failed.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/dialog_model.h"
#include "app/dialog_run.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "link/link.h"
#include "mapfile/mapfile.h"
#include "platform/text_file.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"
#include "support/recording_view.h"
#include "update/backup_file.h"
#include "update/handset_backup.h"
#include "update/engine.h"
#include "update/handset_operations.h"
#include "update/update_run.h"

namespace velmora::soak {
namespace {

namespace fs = std::filesystem;

// --- the time bound ---------------------------------------------------------------------
//
// Nothing in a run waits except for an answer to something it wrote, and for the port to
// open. So a run is bounded by the open retries plus, for every write, the longest wait an
// answer may take:
//   - the port: kOpenAttempts attempts kOpenRetryMs apart (the session's open loop);
//   - per write: a service reply is looked for in kServiceReplyReads frame reads, each at
//     most the long time-out (kLongCommandTimeoutMs); a "P" starts the same wait again, at
//     most kMaxPendingReplies times; and the write itself takes its bytes' time on the line
//     (at most a whole frame at the slowest rate the session sets, with parity: 12 bits a byte
//     leave room to spare).
//   Every other wait of the session (pings 100 ms apart, AT answers within 500 ms, boot-mode
//   answers) is shorter than that and also follows a write.
constexpr int64_t kOpenBoundUs = int64_t{kOpenAttempts} * kOpenRetryMs * 1000;
constexpr int64_t kFrameWireUs = (3 + kMaxFrameData) * 12 * 1'000'000 / kSlowestSessionBaudRate + 1;
constexpr int64_t kPerWriteBoundUs =
    int64_t{1 + kMaxPendingReplies} * kServiceReplyReads * kLongCommandTimeoutMs * 1000 + kFrameWireUs;
// A run past this much virtual time is stuck: its port fails from then on so that it ends.
constexpr int64_t kStuckUs = int64_t{48} * 3600 * 1'000'000;

int64_t RunBound(uint64_t writes) { return kOpenBoundUs + static_cast<int64_t>(writes) * kPerWriteBoundUs; }

// The in-process handset's port, counted, with a watchdog.
class CountingDevice final : public SerialDevice {
 public:
  CountingDevice(std::unique_ptr<SerialDevice> inner, Clock& clock, uint64_t& writes, bool& stuck)
      : inner_(std::move(inner)), clock_(clock), writes_(writes), stuck_(stuck) {}
  bool SetConfig(const SerialConfig& c) override { return Alive() && inner_->SetConfig(c); }
  bool GetConfig(SerialConfig* c) override { return Alive() && inner_->GetConfig(c); }
  bool SetTimeouts(const SerialTimeouts& t) override { return Alive() && inner_->SetTimeouts(t); }
  int Read(uint8_t* b, size_t n) override { return Alive() ? inner_->Read(b, n) : -1; }
  int Write(const uint8_t* d, size_t n) override {
    if (!Alive()) return -1;
    ++writes_;
    return inner_->Write(d, n);
  }
  bool SetDtr(bool high) override { return Alive() && inner_->SetDtr(high); }
  bool SetRts(bool high) override { return Alive() && inner_->SetRts(high); }
  bool Purge() override { return Alive() && inner_->Purge(); }
  bool ClearErrors() override { return Alive() && inner_->ClearErrors(); }

 private:
  bool Alive() {
    if (clock_.NowUs() > kStuckUs) stuck_ = true;
    return !stuck_;
  }
  std::unique_ptr<SerialDevice> inner_;
  Clock& clock_;
  uint64_t& writes_;
  bool& stuck_;
};

struct SoakOpener : DeviceOpener {
  SoakOpener(sim::SimHandset& h, Clock& c) : handset(h), clock(c) {}
  std::unique_ptr<SerialDevice> Open(const std::string& name) override {
    if (name != "COM1") return nullptr;
    auto device = sim::OpenSimDevice(handset, clock);
    if (!device) return nullptr;
    return std::make_unique<CountingDevice>(std::move(device), clock, writes, stuck);
  }
  sim::SimHandset& handset;
  Clock& clock;
  uint64_t writes = 0;
  bool stuck = false;
};

// --- the faults -------------------------------------------------------------------------
//
// Every kind of the simulator's fault table is drawn, its words filled in from what they name,
// so that a kind added there is soaked without a change here.

// The service command codes the engine sends: Eelite and their Eefull twins (+0x10).
const uint8_t kCodes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                          0x11, 0x12, 0x13, 0x14, 0x15, 0x17, 0x1A, 0x1C};
// Every status byte the handset may answer: the codes' bytes and one it never means.
const char* const kStatusBytes[] = {"0", "1", "2", "3", "4", "5", "6", "7", "0x20", "0x58"};

struct Fault {
  std::string kind;  // for the tally
  std::string text;  // for the simulator
};

template <typename T>
const T& Pick(std::mt19937_64& rng, const T* items, size_t n) {
  return items[std::uniform_int_distribution<size_t>(0, n - 1)(rng)];
}

int Between(std::mt19937_64& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

std::string Hex(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v);
  return b;
}

std::vector<std::string> Choices(const std::string& text) {
  std::vector<std::string> choices;
  std::stringstream in(text);
  for (std::string c; std::getline(in, c, '|');) choices.push_back(c);
  return choices;
}

// Fills in one fault's words.
class FaultDraw {
 public:
  FaultDraw(std::mt19937_64& rng, const sim::SimFaultKind& kind) : rng_(rng), kind_(kind) {}

  Fault Draw() {
    Fault f{kind_.name, kind_.name};
    for (const sim::SimFaultWord& word : sim::SimFaultWords(kind_)) {
      // A part left out leaves out the rest with it.
      if (word.optional && Between(rng_, 0, 2) == 0) break;
      const std::vector<std::string> choices = Choices(word.choices);
      const std::string& choice = Pick(rng_, choices.data(), choices.size());
      f.text += " " + Value(choice, choices.size() > 1);
    }
    if (storm_) f.kind += " storm";
    return f;
  }

 private:
  std::string Value(const std::string& word, bool repeat) {
    if (word == "CODE") {
      // The erase of the garbage collection is reached only through it: it gets a share of
      // its own.
      code_ = Between(rng_, 0, 3) == 0 ? 0x09 : Pick(rng_, kCodes, std::size(kCodes));
      return Hex(code_);
    }
    if (word == "BYTE") {
      std::string status = Pick(rng_, kStatusBytes, std::size(kStatusBytes));
      // "No such block" to an existence test is the handset's word that a block is not there,
      // which no program can tell from the truth: the block would be taken as absent.
      if (code_ == 0x05 && status == "2") status = "4";
      return status;
    }
    // A position: the write-backs after an erase are few, service commands and chunks many.
    if (word == "K") return std::to_string(Between(rng_, 1, kind_.name == std::string("writeback") ? 30 : 400));
    // A count among other choices repeats the fault; on its own it is one of "P" replies,
    // sometimes a storm of them.
    if (repeat && (word == "N" || word == "M")) return std::to_string(Between(rng_, 2, 5));
    if (word == "N" || word == "M") {
      storm_ = Between(rng_, 0, 1) == 1;
      return std::to_string(storm_ ? Between(rng_, 8, 20) : Between(rng_, 1, 4));
    }
    return word;  // a word of its own: "once", "always", "ack"
  }

  std::mt19937_64& rng_;
  const sim::SimFaultKind& kind_;
  int code_ = 0;
  bool storm_ = false;
};

Fault DrawFault(std::mt19937_64& rng) {
  const std::span<const sim::SimFaultKind> kinds = sim::SimFaultKinds();
  return FaultDraw(rng, Pick(rng, kinds.data(), kinds.size())).Draw();
}

// --- one run ----------------------------------------------------------------------------

struct MapCase {
  std::string name;
  std::string text;
  MapInfo info;
  std::vector<MapBlock> blocks;
};

using Store = std::map<uint16_t, sim::SimStoredBlock>;

struct Tally {
  uint64_t runs = 0;
  std::map<std::string, uint64_t> faults;
  std::map<std::string, uint64_t> outcomes;
  uint64_t violations = 0;
  double worstRatio = 0;
  int64_t worstElapsedUs = 0;
  int64_t worstBoundUs = 0;
  uint64_t worstRun = 0;
};

bool SameBlock(const sim::SimStoredBlock& a, const sim::SimStoredBlock& b) {
  return a.version == b.version && a.data == b.data;
}

// Every file under the run's backup places, read back as a backup file.
std::map<uint16_t, std::vector<uint8_t>> BackedUp(const fs::path& dir, std::vector<std::string>* problems) {
  std::map<uint16_t, std::vector<uint8_t>> saved;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::vector<MapBlock> blocks;
    std::string error;
    const std::string text = s.str();
    if (LooksLikeHandsetBackup(text)) {
      // A handset backup must be whole; only its Eelite blocks stand in for the area.
      HandsetBackup backup;
      if (!ParseHandsetBackup(text, &backup, &error)) {
        problems->push_back("unreadable handset backup " + it->path().filename().string() + ": " + error);
        continue;
      }
      for (const MapBlock& b : backup.blocks) {
        if (b.area == kAreaEelite) blocks.push_back(b);
      }
    } else if (!ParseBackupFile(text, &blocks, &error)) {
      problems->push_back("unreadable backup file " + it->path().filename().string() + ": " + error);
      continue;
    }
    for (const MapBlock& b : blocks) saved[static_cast<uint16_t>(b.number)] = b.data;
  }
  return saved;
}

class Soak {
 public:
  Soak(uint64_t seed, bool verbose) : seed_(seed), verbose_(verbose) {
    for (const char* name : {"Velmora_K72_1_Standard_11_0001.map", "Velmora_K72_1_Large_11_0002.map",
                             "Velmora_K72_2_BRD-Handel_11_0046.map"}) {
      MapCase m;
      m.name = name;
      if (ReadMapFileText(std::string(VELMORA_SOURCE_DIR) + "/examples/" + name, &m.text) != TextReadResult::Ok ||
          !ReadMapInfo(m.text.c_str(), &m.info)) {
        std::fprintf(stderr, "velmora_soak: cannot read examples/%s\n", name);
        std::exit(2);
      }
      m.blocks.resize(static_cast<size_t>(m.info.blockCount));
      ReadMapBlocks(m.text.c_str(), m.blocks.data(), m.info);
      maps_.push_back(std::move(m));
    }
    std::string pattern = (fs::temp_directory_path() / "velmora-soak-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("velmora_soak: mkdtemp");
      std::exit(2);
    }
    base_ = pattern;
  }
  ~Soak() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  void Run(uint64_t index, Tally* tally) {
    std::mt19937_64 rng(seed_ * 0x9E3779B97F4A7C15ull + index);
    const MapCase& map = maps_[static_cast<size_t>(Between(rng, 0, static_cast<int>(maps_.size()) - 1))];
    sim::SimProfile profile = sim::SimProfile::Default();
    // Often an Eelite area so full that the mapping needs a garbage collection.
    if (Between(rng, 0, 1)) profile.garbage = static_cast<uint32_t>(Between(rng, 4000, 5600));
    std::vector<Fault> faults;
    for (int n = Between(rng, 0, 2); n > 0; --n) faults.push_back(DrawFault(rng));
    std::string faultList;
    for (const Fault& f : faults) {
      std::string error;
      if (!sim::ParseSimFault(f.text, &profile.faults, &error)) {
        std::fprintf(stderr, "velmora_soak: bad fault '%s': %s\n", f.text.c_str(), error.c_str());
        std::exit(2);
      }
      ++tally->faults[f.kind];
      faultList += (faultList.empty() ? "" : ", ") + f.text;
    }
    if (faults.empty()) ++tally->faults["none"];
    // A handset that stores wrongly is only run verified (without --verify its word is taken,
    // as specified); a share of the other runs is verified too.
    const bool verify = profile.faults.corruptChunkAt > 0 || Between(rng, 0, 3) == 0;
    if (verify) ++tally->faults["(verified run)"];

    const fs::path dir = base_ / std::to_string(index);
    std::error_code ec;
    fs::create_directories(dir, ec);

    VirtualClock clock;
    testing::RecordingView view;
    DialogModel model(view);
    model.SetProgramPath("velmora");
    model.SetUnattended(true);
    sim::SimHandset handset(profile);
    SoakOpener opener(handset, clock);
    Link link(clock, opener, model);
    ServiceCommands store(link);
    const LinkSettings settings;
    HandsetSession session(link, model, settings);
    HandsetUpdateOperations ops(session, store, model);
    UpdateEngine::BackupPlaces places = ops.engine().backupPlaces();
    places.primaryPath = (dir / kBackupFileName).string();
    places.privateDirectory = (dir / "private").string();
    ops.engine().SetBackupPlaces(places);
    ops.engine().SetVerify(verify);

    const Store eeliteBefore = handset.area(sim::SimArea::Eelite).blocks;
    const Store eefullBefore = handset.area(sim::SimArea::Eefull).blocks;
    model.SetMapText(map.text.c_str());
    const RunOutcome outcome = StartUpdate(model, ops);
    const int64_t elapsed = clock.NowUs();
    const int64_t bound = RunBound(opener.writes);

    std::vector<std::string> problems;
    if (opener.stuck) problems.push_back("the run was still going after 48 hours of line time");
    if (elapsed > bound) problems.push_back("ran " + std::to_string(elapsed / 1000) + " ms, bound " +
                                            std::to_string(bound / 1000) + " ms");
    if (outcome == RunOutcome::Succeeded) {
      CheckSucceeded(map, handset, eeliteBefore, eefullBefore, &problems);
    } else {
      CheckNothingLost(map, handset, eeliteBefore, dir, &problems);
    }
    const char* outcomeName = outcome == RunOutcome::Succeeded ? "succeeded"
                              : outcome == RunOutcome::Failed  ? "failed"
                                                               : "not connected";
    const bool collected = model.logText().find("Garbage") != std::string::npos ||
                           handset.CommandCount(0x09) > 0;
    ++tally->outcomes[std::string(outcomeName) + (collected ? " (with garbage collection)" : "")];
    ++tally->runs;
    const double ratio = static_cast<double>(elapsed) / static_cast<double>(bound);
    if (ratio > tally->worstRatio) {
      tally->worstRatio = ratio;
      tally->worstElapsedUs = elapsed;
      tally->worstBoundUs = bound;
      tally->worstRun = index;
    }
    if (!problems.empty() || verbose_) {
      std::printf("run %" PRIu64 ": %s, faults [%s]: %s, %.1f s of %.1f s\n", index, map.name.c_str(),
                  faultList.c_str(), outcomeName, static_cast<double>(elapsed) / 1e6,
                  static_cast<double>(bound) / 1e6);
      for (const std::string& p : problems) std::printf("  VIOLATION: %s\n", p.c_str());
    }
    tally->violations += problems.size();
    fs::remove_all(dir, ec);
  }

 private:
  static const sim::SimStoredBlock* Find(const Store& s, int32_t number) {
    auto it = s.find(static_cast<uint16_t>(number));
    return it == s.end() ? nullptr : &it->second;
  }

  // The handset holds the mapping's blocks and version record, and nothing else changed.
  static void CheckSucceeded(const MapCase& map, const sim::SimHandset& handset, const Store& eeliteBefore,
                             const Store& eefullBefore, std::vector<std::string>* problems) {
    Store want[2] = {eeliteBefore, eefullBefore};
    std::set<std::pair<int, int>> created;  // created blocks: present, contents the handset's own
    for (const MapBlock& b : map.blocks) {
      const int a = b.area == kAreaEefull ? 1 : 0;
      const auto number = static_cast<uint16_t>(b.number);
      switch (b.operation) {
        case kOpWrite: want[a][number] = {b.version, b.data}; break;
        case kOpDelete: want[a].erase(number); break;
        case kOpCreate:
        case kOpDeleteCreate:
          want[a].erase(number);
          created.insert({a, number});
          break;
        default: break;
      }
    }
    auto& record = want[1][kMapVersionBlock].data;
    if (record.size() < kMapVersionMinSize) {
      problems->push_back("the version block is too small to check");
      return;
    }
    if (map.info.provider == 0) {
      record[kMapVersionSwOffset] = static_cast<uint8_t>(map.info.swVersion);
      record[kMapVersionStdMapOffset] = static_cast<uint8_t>(map.info.mapVersion);
    }
    record[kMapVersionProviderOffset] = static_cast<uint8_t>(map.info.provider);
    record[kMapVersionMapOffset] = static_cast<uint8_t>(map.info.mapVersion);

    const sim::SimArea areas[2] = {sim::SimArea::Eelite, sim::SimArea::Eefull};
    for (int a = 0; a < 2; ++a) {
      const Store& have = handset.area(areas[a]).blocks;
      for (const auto& [number, block] : want[a]) {
        const sim::SimStoredBlock* got = Find(have, number);
        if (!got) problems->push_back("reported success, but " + std::string(sim::SimAreaName(areas[a])) +
                                      " block " + std::to_string(number) + " is missing");
        else if (!SameBlock(*got, block))
          problems->push_back("reported success, but " + std::string(sim::SimAreaName(areas[a])) + " block " +
                              std::to_string(number) + " differs from what it should hold");
      }
      for (const auto& [number, block] : have) {
        if (!want[a].count(number) && !created.count({a, number}))
          problems->push_back("reported success, but " + std::string(sim::SimAreaName(areas[a])) + " block " +
                              std::to_string(number) + " should not be there");
      }
    }
  }

  // Every Eelite block that existed is still in the handset or in a backup file.
  static void CheckNothingLost(const MapCase& map, const sim::SimHandset& handset, const Store& eeliteBefore,
                               const fs::path& dir, std::vector<std::string>* problems) {
    std::set<int32_t> deletedByMap;
    for (const MapBlock& b : map.blocks)
      if (b.area == kAreaEelite && (b.operation == kOpDelete || b.operation == kOpDeleteCreate))
        deletedByMap.insert(b.number);
    const Store& now = handset.area(sim::SimArea::Eelite).blocks;
    std::map<uint16_t, std::vector<uint8_t>> saved;
    bool savedRead = false;
    for (const auto& [number, block] : eeliteBefore) {
      if (now.count(number) || deletedByMap.count(number)) continue;
      if (!savedRead) {
        saved = BackedUp(dir, problems);
        savedRead = true;
      }
      if (!saved.count(number)) {
        problems->push_back("Eelite block " + std::to_string(number) + " is lost: in neither the handset nor a backup");
      } else if (saved[number] != block.data) {
        bool mapData = false;  // the mapping's own data for the block is as good
        for (const MapBlock& b : map.blocks)
          mapData = mapData || (b.area == kAreaEelite && b.number == number && b.data == saved[number]);
        if (!mapData) problems->push_back("Eelite block " + std::to_string(number) + " was backed up wrong");
      }
    }
  }

  uint64_t seed_;
  bool verbose_;
  std::vector<MapCase> maps_;
  fs::path base_;
};

}  // namespace
}  // namespace velmora::soak

int main(int argc, char** argv) {
  uint64_t runs = 200;
  uint64_t seed = 1;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) runs = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--verbose") verbose = true;
    else {
      std::fprintf(stderr, "usage: velmora_soak [--runs N] [--seed S] [--verbose]\n");
      return 2;
    }
  }
  velmora::soak::Tally tally;
  {
    velmora::soak::Soak soak(seed, verbose);
    for (uint64_t i = 0; i < runs; ++i) soak.Run(i, &tally);
  }
  std::printf("runs: %" PRIu64 " (seed %" PRIu64 ")\n", tally.runs, seed);
  std::printf("faults by kind:\n");
  for (const auto& [kind, n] : tally.faults) std::printf("  %-22s %" PRIu64 "\n", kind.c_str(), n);
  std::printf("outcomes by kind:\n");
  for (const auto& [kind, n] : tally.outcomes) std::printf("  %-40s %" PRIu64 "\n", kind.c_str(), n);
  std::printf("invariant violations: %" PRIu64 "\n", tally.violations);
  std::printf("slowest run against its bound: run %" PRIu64 ", %.1f s of %.1f s (%.2f%%)\n", tally.worstRun,
              static_cast<double>(tally.worstElapsedUs) / 1e6, static_cast<double>(tally.worstBoundUs) / 1e6,
              100.0 * tally.worstRatio);
  return tally.violations == 0 ? 0 : 1;
}
