// Whole update runs against the simulated handset under the virtual clock: the dialog model,
// the update run, the engine, the handset services, the link library and the in-process
// simulated handset, wired as the program wires them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <random>
#include <string>

#include "app/dialog_model.h"
#include "app/dialog_run.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "link/link.h"
#include "mapfile/map_writer.h"
#include "platform/text_file.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"
#include "support/recording_view.h"
#include "update/backup_file.h"
#include "update/handset_operations.h"
#include "update/handset_backup.h"
#include "update/restore_run.h"
#include "update/plan_run.h"
#include "update/update_run.h"
#include "support/sim_opener.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::RecordingView;

std::string Example(const std::string& name) {
  std::string text;
  EXPECT_EQ(ReadMapFileText(std::string(VELMORA_SOURCE_DIR) + "/examples/" + name, &text),
            TextReadResult::Ok);
  return text;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using testing::SimOpener;

class Rig {
 public:
  explicit Rig(const std::string& profileText = "") {
    sim::SimProfile profile = sim::SimProfile::Default();
    std::string error;
    EXPECT_TRUE(sim::ParseSimProfile(profileText, &profile, &error)) << error;
    handset = std::make_unique<sim::SimHandset>(profile);
    opener = std::make_unique<SimOpener>(*handset, clock);
    link = std::make_unique<Link>(clock, *opener, model);
    store = std::make_unique<ServiceCommands>(*link);
    session = std::make_unique<HandsetSession>(*link, model, settings);
    ops = std::make_unique<HandsetUpdateOperations>(*session, *store, model);
    model.SetProgramPath("velmora");
    // A directory of its own: the tests of this file run in parallel processes.
    // A name no other process has taken (create_directory is false when it exists).
    std::random_device random;
    std::error_code ignored;
    do {
      backupDir = fs::path(::testing::TempDir()) / ("velmora-backup-" + std::to_string(random()));
    } while (!fs::create_directory(backupDir, ignored) && !ignored);
    fs::create_directories(backupDir / "tmp", ignored);
    ops->engine().SetBackupPlaces({(backupDir / "mapsave.eel").string(), (backupDir / "tmp").string()});
  }

  ~Rig() {
    std::error_code ignored;
    fs::remove_all(backupDir, ignored);
  }

  RunOutcome Run(const std::string& mapText) {
    map = mapText;
    model.SetMapText(map.c_str());
    return StartUpdate(model, *ops);
  }
  const sim::SimStoredBlock* Block(sim::SimArea area, uint16_t number) const {
    const auto& blocks = handset->area(area).blocks;
    auto it = blocks.find(number);
    return it == blocks.end() ? nullptr : &it->second;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (size_t at = model.logText().find(text); at != std::string::npos;
         at = model.logText().find(text, at + 1))
      ++n;
    return n;
  }

  VirtualClock clock;
  RecordingView view;
  DialogModel model{view};
  LinkSettings settings;  // COM1, 57600
  std::unique_ptr<sim::SimHandset> handset;
  std::unique_ptr<SimOpener> opener;
  std::unique_ptr<Link> link;
  std::unique_ptr<ServiceCommands> store;
  std::unique_ptr<HandsetSession> session;
  std::unique_ptr<HandsetUpdateOperations> ops;
  std::string map;
  fs::path backupDir;
};

// Every block of the mapping with operation write is in the handset with the map's data.
void ExpectWritten(const Rig& rig) {
  MapInfo info;
  ASSERT_TRUE(ReadMapInfo(rig.map.c_str(), &info));
  std::vector<MapBlock> blocks(static_cast<size_t>(info.blockCount));
  ASSERT_TRUE(ReadMapBlocks(rig.map.c_str(), blocks.data(), info));
  for (const MapBlock& b : blocks) {
    if (b.operation != kOpWrite) continue;
    SCOPED_TRACE(b.number);
    const auto* stored = rig.Block(b.area == kAreaEefull ? sim::SimArea::Eefull : sim::SimArea::Eelite,
                                   static_cast<uint16_t>(b.number));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->data, b.data);
    EXPECT_EQ(stored->version, b.version);
  }
}

TEST(EndToEnd, StandardMappingLogMatchesTheGoldenFile) {
  Rig rig;
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Succeeded);
  const fs::path goldenPath = fs::path(VELMORA_SOURCE_DIR) / "tests/update/golden/standard_run.log";
  // VELMORA_UPDATE_GOLDEN=1 rewrites the golden file from this run (review it before committing).
  if (std::getenv("VELMORA_UPDATE_GOLDEN") != nullptr)
    std::ofstream(goldenPath, std::ios::binary) << rig.model.logText();
  const std::string golden = ReadBytes(goldenPath);
  EXPECT_EQ(rig.model.logText(), golden);
  ExpectWritten(rig);
  const auto* record = rig.Block(sim::SimArea::Eefull, 5005);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->data[14], 11);
  EXPECT_EQ(record->data[15], 0x01);
  EXPECT_EQ(record->data[16], 0x00);
  EXPECT_EQ(record->data[17], 0x01);
  EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
  ASSERT_EQ(rig.view.boxes.size(), 1u);
  EXPECT_EQ(rig.view.boxes[0].icon, MessageIcon::Information);
}

TEST(EndToEnd, DeltaOverStandardRecordsProviderAndVersionWithoutWarning) {
  Rig rig;
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Succeeded);
  ASSERT_EQ(rig.Run(Example("Velmora_K72_2_BRD-Handel_11_0046.map")), RunOutcome::Succeeded);
  EXPECT_EQ(rig.Count("Delta-Mapping\r\n"), 1);
  EXPECT_EQ(rig.Count("Not the same Delta-Mapping-Version"), 0);
  ExpectWritten(rig);
  const auto& record = rig.Block(sim::SimArea::Eefull, 5005)->data;
  EXPECT_EQ(record[14], 11);    // still the standard mapping's software version
  EXPECT_EQ(record[15], 0x01);  // and its map version
  EXPECT_EQ(record[16], 0x01);
  EXPECT_EQ(record[17], 0x46);
}

TEST(EndToEnd, LargeMappingRunsOneGarbageCollectionAndKeepsEveryBlock) {
  Rig rig;
  std::map<uint16_t, std::vector<uint8_t>> before;
  for (const auto& [number, block] : rig.handset->area(sim::SimArea::Eelite).blocks)
    before[number] = block.data;
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Large_11_0002.map")), RunOutcome::Succeeded);
  EXPECT_EQ(rig.Count("Garbage Collection\r\nReading out max. 300 Blocks \r\n"), 1);
  EXPECT_EQ(rig.Count("\r\nDeleting complete Eelite\r\n"), 1);
  EXPECT_EQ(rig.Count("Writing back Blocks\r\n"), 1);
  ExpectWritten(rig);
  // Blocks the mapping did not touch survive the compaction unchanged.
  for (const auto& [number, data] : before) {
    if (number <= 40) continue;
    ASSERT_NE(rig.Block(sim::SimArea::Eelite, number), nullptr) << number;
    EXPECT_EQ(rig.Block(sim::SimArea::Eelite, number)->data, data);
  }
}

TEST(EndToEnd, WriteBackThatFailsForGoodLeavesTheBlocksInTheBackupFile) {
  // Every write-back command after the erase is refused: one warning, one retry, then the
  // backup file, and the block that needed the room fails the run.
  Rig rig("fault = writeback 1 5 always\n");
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Large_11_0002.map")), RunOutcome::Failed);
  EXPECT_EQ(rig.Count("ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n"), 1);
  EXPECT_EQ(rig.Count("\r\nIMPRORTANT INFO: Writing Backup from EELITE to mapsave.eel\r\n"), 1);
  EXPECT_EQ(rig.Count("Use BLKTOOL -w mapsave.eel to restore data.\r\n"), 1);
  EXPECT_EQ(rig.view.boxes.back().text, "Can't send mapping blocks to mobile!");
  const std::string backup = ReadBytes(rig.backupDir / "mapsave.eel");
  ASSERT_FALSE(backup.empty());
  // The file starts with a CR CR LF line end and holds every Eelite block that was read out.
  EXPECT_EQ(backup.rfind("\r\r\nBLOCK_NUMBER = 1\r\r\nBLOCK_SIZE   = ", 0), 0u);
  EXPECT_NE(backup.find("\r\r\nBLOCK_NUMBER = 20\r\r\n"), std::string::npos);
  EXPECT_EQ(backup.find("\n\n"), std::string::npos);

  // The restore command puts every saved block into a handset and reads each back.
  std::vector<MapBlock> saved;
  std::string error;
  ASSERT_TRUE(ParseBackupFile(backup, &saved, &error)) << error;
  Rig other;
  ASSERT_EQ(StartRestore(other.model, *other.ops, {"", true}, "mapsave.eel", saved), RunOutcome::Succeeded);
  for (const MapBlock& block : saved) {
    const sim::SimStoredBlock* stored = other.Block(sim::SimArea::Eelite, static_cast<uint16_t>(block.number));
    ASSERT_NE(stored, nullptr) << block.number;
    EXPECT_EQ(stored->data, block.data) << block.number;
    EXPECT_EQ(stored->version, block.version) << block.number;
  }
  EXPECT_EQ(other.Count(" restored\r\n"), static_cast<int>(saved.size()));
  EXPECT_EQ(other.view.boxes.back().text,
            "The Eelite blocks have been restored to mobile successfully!");
  EXPECT_EQ(other.handset->state(), sim::SimState::SwitchedOff);
}

TEST(EndToEnd, ProductMismatchStopsBeforeAnyBlockIsWritten) {
  Rig rig("product = 85\n");
  const auto eeliteBefore = rig.handset->area(sim::SimArea::Eelite).consumed;
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Failed);
  EXPECT_EQ(rig.Count("Map-Product: 72  HW-Product: 85\r\nERROR: Wrong Mapping for this Mobile\r\n"), 1);
  EXPECT_EQ(rig.handset->area(sim::SimArea::Eelite).consumed, eeliteBefore);
  EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
}

// Failures of the run's table, caused by the handset itself.
struct HandsetFailure {
  const char* name;
  const char* profile;
  const char* error;
  const char* logged;
};

const HandsetFailure kHandsetFailures[] = {
    {"block refused", "fault = status 0x01 5 always\n", "Can't send mapping blocks to mobile!",
     "Block 30 not written\r\nError:No Space in Data Area\r\n"},
    {"no version record", "default_blocks = no\n", "Can't write Map version info to mobile!",
     "Block 5001 written\r\nWriting Map-Version to Mobile.\r\n"},
    {"short version record", "default_blocks = no\nblock = eefull 5005 1 *17\n",
     "Can't write Map version info to mobile!", "Writing Map-Version to Mobile.\r\n"},
};

// One new Eelite block and one Eefull block: nothing the handset must already hold.
std::string SmallMap() {
  MapInfo info;
  info.product = 72;
  info.mapVersion = 2;
  info.swVersion = 11;
  MapBlock eelite;
  eelite.number = 30;
  eelite.area = kAreaEelite;
  eelite.operation = kOpWrite;
  eelite.size = 45;
  eelite.data.assign(45, 0x5A);
  MapBlock eefull = eelite;
  eefull.number = 5001;
  eefull.area = kAreaEefull;
  eefull.size = 3;
  eefull.data = {1, 2, 3};
  return FormatMapText(info, {eelite, eefull});
}

TEST(EndToEnd, HandsetSideFailuresEndWithTheirErrorAndASwitchedOffHandset) {
  for (bool unattended : {false, true}) {
    for (const auto& f : kHandsetFailures) {
      SCOPED_TRACE(std::string(f.name) + (unattended ? " unattended" : ""));
      Rig rig(f.profile);
      rig.model.SetUnattended(unattended);
      ASSERT_EQ(rig.Run(SmallMap()), RunOutcome::Failed);
      EXPECT_EQ(rig.Count(f.logged), 1);
      EXPECT_EQ(rig.Count(std::string(f.error) + "\r\n"), 1);
      ASSERT_EQ(rig.view.boxes.size(), 1u);
      EXPECT_EQ(rig.view.boxes[0].text, f.error);
      EXPECT_EQ(rig.view.endResults, unattended ? std::vector<int>{3} : std::vector<int>{});
      EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
      EXPECT_FALSE(rig.handset->PortOpen());
    }
  }
}

TEST(EndToEnd, UnattendedSuccessEndsTheDialogWithOneAndNoBox) {
  Rig rig;
  rig.model.SetUnattended(true);
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Succeeded);
  EXPECT_TRUE(rig.view.boxes.empty());
  EXPECT_EQ(rig.view.endResults, std::vector<int>{1});
}

TEST(EndToEnd, BootRomThatNeverAnswersLeavesTheDialogOpen) {
  Rig rig("state = off\nfault = boot_silent\n");
  rig.model.SetUnattended(true);
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::NotConnected);
  ASSERT_EQ(rig.view.boxes.size(), 1u);
  EXPECT_EQ(rig.view.boxes[0].text,
            "Error switching service mode!\nYou have to use a boot adapter (boot configuration)!");
  EXPECT_TRUE(rig.view.endResults.empty());
  EXPECT_FALSE(rig.handset->PortOpen());
  EXPECT_TRUE(rig.model.enabled(kIdStart));
}

TEST(EndToEnd, NoMapUnattendedConnectsReadsTheImeiAndSwitchesTheHandsetOff) {
  Rig rig;
  rig.model.SetUnattended(true);
  rig.model.SetMapText(nullptr);
  EXPECT_EQ(StartUpdate(rig.model, *rig.ops), RunOutcome::Failed);
  EXPECT_EQ(rig.Count("IMEI: 351234567890128\r\n"), 1);
  EXPECT_EQ(rig.Count("Error reading map info!\r\n"), 1);
  EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
  EXPECT_EQ(rig.view.endResults, std::vector<int>{3});
}

TEST(EndToEnd, ReadBackCatchesABlockTheHandsetStoredWronglyAndAcknowledged) {
  // The third data chunk (bytes 40..44 of block 30) lands with its first byte inverted.
  for (bool verify : {true, false}) {
    SCOPED_TRACE(verify ? "verify" : "no verify");
    Rig rig("fault = corrupt 3\n");
    rig.ops->engine().SetVerify(verify);
    RunRecord record;
    rig.ops->engine().SetRecord(&record);
    const RunOutcome outcome = rig.Run(SmallMap());
    const auto* stored = rig.Block(sim::SimArea::Eelite, 30);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->data[40], 0xA5);
    EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
    EXPECT_EQ(record.imei, "351234567890128");
    if (verify) {
      EXPECT_EQ(outcome, RunOutcome::Failed);
      EXPECT_EQ(rig.Count("Block 30 verify failed at byte 40\r\n"
                          "Can't send mapping blocks to mobile!\r\n"), 1);
      EXPECT_EQ(rig.Count("Block 5001 written"), 0);
      ASSERT_EQ(record.blocks.size(), 1u);
      EXPECT_EQ(record.blocks[0].outcome, BlockOutcome::VerifyFailed);
    } else {
      // Without the read-back the handset's word is taken: the run succeeds.
      EXPECT_EQ(outcome, RunOutcome::Succeeded);
      EXPECT_EQ(record.blocks.size(), 2u);
    }
  }
}

// Eelite blocks the large mapping does not name, so that its garbage collection writes back
// blocks that only the handset has.
constexpr const char* kBlocksOutsideTheMap =
    "block = eelite 100 3 *90\nblock = eelite 101 3 *90\nblock = eelite 102 4 *17\n";

// The block lines of a simulated handset's dump, without its bookkeeping (free space, garbage).
std::string StoredBlocks(const sim::SimHandset& handset) {
  std::istringstream in(handset.Dump());
  std::string blocks;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') blocks += line + "\n";
  }
  return blocks;
}

// Runs the large mapping under --verify on a handset that holds kBlocksOutsideTheMap and
// acknowledges every chunk but stores the given ones wrongly.
struct CorruptingRun {
  explicit CorruptingRun(const std::string& fault)
      : rig(std::string(kBlocksOutsideTheMap) + (fault.empty() ? "" : "fault = " + fault + "\n")) {
    rig.ops->engine().SetVerify(true);
    outcome = rig.Run(Example("Velmora_K72_1_Large_11_0002.map"));
  }
  // The collection's write-back caught a block stored wrongly.
  bool CaughtInWriteBack() const {
    const std::string& log = rig.model.logText();
    const size_t writingBack = log.find("Writing back Blocks\r\n");
    const size_t warning = log.find("ERROR: Can't write back data to Mobile.");
    return writingBack != std::string::npos && warning != std::string::npos &&
           log.rfind(" verify failed at byte ", warning) > writingBack;
  }
  Rig rig;
  RunOutcome outcome;
};

TEST(EndToEnd, VerifiedRunNeverSucceedsWithABlockStoredWrongly) {
  // One chunk stored wrongly, tried all through a run that compacts the Eelite area: map
  // blocks, the blocks the collection writes back (some only the handset has) and those after
  // it. A verified success must leave exactly the intended blocks; a block caught in the
  // write-back is retried once after the warning, as a refused write-back is.
  CorruptingRun plain("");
  ASSERT_EQ(plain.outcome, RunOutcome::Succeeded);
  ASSERT_EQ(plain.rig.Count("Writing back Blocks\r\n"), 1);
  const std::string intended = StoredBlocks(*plain.rig.handset);
  const int chunks = plain.rig.handset->chunkWrites();
  ASSERT_GT(chunks, 100);

  int retriedInWriteBack = 0;
  for (int k = 1; k <= chunks; k += 5) {
    SCOPED_TRACE("corrupt " + std::to_string(k));
    CorruptingRun run("corrupt " + std::to_string(k));
    if (run.outcome == RunOutcome::Succeeded) {
      EXPECT_EQ(StoredBlocks(*run.rig.handset), intended);
      if (run.CaughtInWriteBack()) ++retriedInWriteBack;
    } else {
      EXPECT_EQ(run.outcome, RunOutcome::Failed);
      EXPECT_FALSE(run.CaughtInWriteBack());
      EXPECT_EQ(run.rig.Count(" verify failed at byte "), 1);
    }
  }
  EXPECT_GT(retriedInWriteBack, 0) << "no corrupted chunk fell into the collection's write-back";
}

TEST(EndToEnd, BlockStoredWronglyAgainInTheWriteBackGoesToTheBackup) {
  // From some chunk of the write-back on, every chunk lands wrongly: the warned retry fails
  // too, the read-out goes to mapsave.eel as the collection's backup, and the run fails.
  CorruptingRun plain("");
  std::map<int32_t, std::vector<uint8_t>> outside;
  for (uint16_t number : {uint16_t{100}, uint16_t{101}, uint16_t{102}})
    outside[number] = plain.rig.Block(sim::SimArea::Eelite, number)->data;

  for (int k = 1; k <= plain.rig.handset->chunkWrites(); ++k) {
    CorruptingRun run("corrupt " + std::to_string(k) + " always");
    if (!run.CaughtInWriteBack()) continue;
    SCOPED_TRACE("corrupt " + std::to_string(k) + " always");
    EXPECT_EQ(run.outcome, RunOutcome::Failed);
    EXPECT_EQ(run.rig.Count("ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n"), 1);
    EXPECT_EQ(run.rig.Count("\r\nIMPRORTANT INFO: Writing Backup from EELITE to mapsave.eel\r\n"), 1);
    EXPECT_EQ(run.rig.Count("\r\nERROR: Cant do garbage collection\r\n"), 1);
    EXPECT_EQ(run.rig.view.boxes.back().text, "Can't send mapping blocks to mobile!");
    std::vector<MapBlock> saved;
    std::string error;
    ASSERT_TRUE(ParseBackupFile(ReadBytes(run.rig.backupDir / "mapsave.eel"), &saved, &error))
        << error;
    // The blocks only the handset had are saved as they were.
    int found = 0;
    for (const MapBlock& block : saved) {
      const auto was = outside.find(block.number);
      if (was == outside.end()) continue;
      EXPECT_EQ(block.data, was->second) << block.number;
      ++found;
    }
    EXPECT_EQ(found, 3);
    return;
  }
  FAIL() << "no chunk index put the first corrupted chunk into the write-back";
}

TEST(EndToEnd, RestorePutsBlocksBackIntoTheirOwnAreaAndOnlyIntoTheirOwnHandset) {
  // An Eefull block and an Eelite block as a backup holds them; the Eefull one was deleted
  // since, so it is made again before it is written.
  MapBlock eefull;
  eefull.area = kAreaEefull;
  eefull.number = 5001;
  eefull.size = 8;
  eefull.version = 3;
  eefull.data = {1, 2, 3, 4, 5, 6, 7, 8};
  MapBlock eelite = eefull;
  eelite.area = kAreaEelite;
  eelite.number = 4;
  eelite.version = 2;
  const std::vector<MapBlock> blocks = {eelite, eefull};

  const struct {
    const char* backupImei;
    bool otherHandset;
    RunOutcome outcome;
    const char* logged;
  } cases[] = {
      {"351234567890128", false, RunOutcome::Succeeded, "Block 5001 restored\r\n"},
      {"", false, RunOutcome::Succeeded, "Block 5001 restored\r\n"},
      {"490154203237518", false, RunOutcome::Failed,
       "holds the blocks of handset 490154203237518, not of the connected handset 351234567890128"},
      {"490154203237518", true, RunOutcome::Succeeded,
       "Writing the blocks of handset 490154203237518 into handset 351234567890128 on purpose"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.backupImei) + (c.otherHandset ? " other" : ""));
    Rig rig;
    rig.handset->area(sim::SimArea::Eefull).blocks.erase(5001);
    const std::string before = rig.handset->Dump();
    EXPECT_EQ(StartRestore(rig.model, *rig.ops, {c.backupImei, c.otherHandset}, "backup.vbk", blocks),
              c.outcome);
    EXPECT_EQ(rig.Count(c.logged), 1) << rig.model.logText();
    EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
    if (c.outcome == RunOutcome::Failed) {
      EXPECT_EQ(rig.handset->Dump(), before);  // nothing written into the wrong handset
      continue;
    }
    const auto* full = rig.Block(sim::SimArea::Eefull, 5001);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->data, eefull.data);
    EXPECT_EQ(full->version, 3);
    ASSERT_NE(rig.Block(sim::SimArea::Eelite, 4), nullptr);
    EXPECT_EQ(rig.Block(sim::SimArea::Eelite, 4)->data, eelite.data);
  }
}

TEST(EndToEnd, PlanWritesNothingAndForeseesTheGarbageCollectionTheRunMakes) {
  Rig rig;
  const std::string map = Example("Velmora_K72_1_Large_11_0002.map");
  const std::string before = rig.handset->Dump();
  const RunResult planned = PlanRun(rig.model, *rig.ops, *rig.store,
                                    [&] { return rig.session->handle(); }, map.c_str());
  EXPECT_EQ(planned.outcome, RunOutcome::Succeeded);
  EXPECT_EQ(rig.handset->Dump(), before);
  EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
  EXPECT_EQ(rig.Count("Garbage collection likely here\r\nBlock 30 Eelite: write, new block, 120 bytes\r\n"), 1);
  EXPECT_EQ(rig.Count("Block 1 Eelite: write, 100 -> 120 bytes\r\n"), 1);
  EXPECT_EQ(rig.Count("Garbage collections likely: 1\r\nThe mapping fits this handset\r\n"), 1);

  ASSERT_EQ(rig.Run(map), RunOutcome::Succeeded);
  EXPECT_EQ(rig.Count("Block 29 written\r\nGarbage Collection\r\n"), 1);

  Rig other("product = 85\n");
  EXPECT_EQ(PlanRun(other.model, *other.ops, *other.store, [&] { return other.session->handle(); },
                    map.c_str()).outcome,
            RunOutcome::Failed);
  EXPECT_EQ(other.Count("Map-Product: 72  HW-Product: 85\r\n"), 1);
  EXPECT_EQ(other.handset->state(), sim::SimState::SwitchedOff);
}

TEST(EndToEnd, AdapterThatHoldsEachAnswerSlowsTheRunButDoesNotBreakIt) {
  // A 16 ms adapter between handset and host: every answer of the transfer waits that long.
  int64_t took[2] = {};
  uint64_t frames = 0;
  for (int held : {0, 1}) {
    Rig rig(held ? "adapter_latency_ms = 16\n" : "");
    const int64_t start = rig.clock.NowUs();
    ASSERT_EQ(rig.Run(SmallMap()), RunOutcome::Succeeded) << held;
    took[held] = rig.clock.NowUs() - start;
    ExpectWritten(rig);
    if (held == 0) frames = rig.handset->framesReceived();
  }
  // Every frame the handset took was answered 16 ms later.
  EXPECT_GE(took[1] - took[0], static_cast<int64_t>(frames) * 16000)
      << took[0] << " us plain, " << took[1] << " us held, " << frames << " frames";
}

// --- taking an update back ---

// The handset backup at path, read and checked whole.
HandsetBackup ReadBackup(const std::string& path) {
  HandsetBackup backup;
  std::string error;
  EXPECT_TRUE(ParseHandsetBackup(ReadBytes(path), &backup, &error)) << path << ": " << error;
  return backup;
}

// Puts a backup back as --restore does, exactly when asked (always for an undo file).
RunOutcome RestoreExactly(Rig& rig, const HandsetBackup& backup, bool exact) {
  RestoreIdentity identity;
  identity.imei = backup.imei;
  identity.exact = exact;
  for (const auto& [area, number] : backup.absent) identity.absent.push_back({area, number});
  return StartRestore(rig.model, *rig.ops, identity, "backup.vbk", backup.blocks);
}

TEST(EndToEnd, UndoFileTakesEveryKindOfRunBackByteForByte) {
  struct Case {
    const char* name;
    const char* profile;
    const char* map;
    RunOutcome outcome;
  };
  const Case cases[] = {
      {"standard mapping", "", "Velmora_K72_1_Standard_11_0001.map", RunOutcome::Succeeded},
      {"with a garbage collection", "", "Velmora_K72_1_Large_11_0002.map", RunOutcome::Succeeded},
      {"delta over standard", "", "Velmora_K72_2_BRD-Handel_11_0046.map", RunOutcome::Succeeded},
      // The battery gives out in the middle of the blocks: the blocks written so far stay.
      {"handset off half-way", "fault = power_off 300\n", "Velmora_K72_1_Large_11_0002.map",
       RunOutcome::Failed},
      {"a block refused", "fault = status 0x02 0x35 once\n", "Velmora_K72_1_Standard_11_0001.map",
       RunOutcome::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.profile);
    const std::string before = rig.handset->StateText();
    const std::string undoPath = (rig.backupDir / "undo-{imei}.vbk").string();
    rig.ops->SetUndoPath(undoPath);
    ASSERT_EQ(rig.Run(Example(c.map)), c.outcome) << rig.model.logText();
    ASSERT_NE(rig.handset->StateText(), before) << "the run changed nothing to take back";
    const std::string written = (rig.backupDir / "undo-351234567890128.vbk").string();
    EXPECT_EQ(rig.Count("Undo file written to " + written + "\r\n"), 1);
    const HandsetBackup undo = ReadBackup(written);
    EXPECT_EQ(undo.kind, kUndoBackupKind);
    EXPECT_EQ(undo.imei, "351234567890128");
    rig.ops->SetUndoPath("");
    ASSERT_EQ(RestoreExactly(rig, undo, true), RunOutcome::Succeeded) << rig.model.logText();
    EXPECT_EQ(rig.handset->StateText(), before);
  }
}

TEST(EndToEnd, BackupThenUpdateThenExactRestoreGivesTheStoreBack) {
  Rig rig;
  const std::string before = rig.handset->StateText();
  const std::string path = (rig.backupDir / "handset.vbk").string();
  ASSERT_EQ(StartBackup(rig.model, *rig.ops, path), RunOutcome::Succeeded) << rig.model.logText();
  EXPECT_EQ(rig.handset->StateText(), before) << "a backup changes nothing";
  const HandsetBackup backup = ReadBackup(path);
  EXPECT_EQ(backup.kind, kFullBackupKind);
  size_t stored = 0;
  for (sim::SimArea area : {sim::SimArea::Eelite, sim::SimArea::Eefull})
    stored += rig.handset->area(area).blocks.size();
  EXPECT_EQ(backup.blocks.size(), stored) << "every block of both areas";

  // A mapping that creates blocks the handset did not have: only an exact restore removes them.
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Large_11_0002.map")), RunOutcome::Succeeded);
  ASSERT_EQ(RestoreExactly(rig, backup, false), RunOutcome::Succeeded);
  EXPECT_NE(rig.handset->StateText(), before) << "blocks made by the update are left without --exact";
  ASSERT_EQ(RestoreExactly(rig, backup, true), RunOutcome::Succeeded) << rig.model.logText();
  EXPECT_EQ(rig.handset->StateText(), before);
}

TEST(EndToEnd, ExactRestoreDeletesBlocksMadeAboveTheHighestNumberOfTheBackupsTime) {
  // The handset said 20 was its highest logical block number when the backup was made; later
  // the same store says 300 (another software), and an update made blocks above 20 that the
  // backup could never name as absent.
  Rig low("max_logical_block = 20\n");
  const std::string path = (low.backupDir / "handset.vbk").string();
  ASSERT_EQ(StartBackup(low.model, *low.ops, path), RunOutcome::Succeeded) << low.model.logText();
  const HandsetBackup backup = ReadBackup(path);
  const std::vector<BackupRange> asked = {
      {kAreaEelite, 1, 20}, {kAreaEefull, 1, 20}, {kAreaEefull, 5000, 5020}};
  EXPECT_EQ(backup.ranges, asked);
  const std::string before = low.handset->StateText();

  Rig rig("default_blocks = no\n" + before);
  ASSERT_EQ(rig.handset->StateText(), before);
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Large_11_0002.map")), RunOutcome::Succeeded);
  ASSERT_NE(rig.Block(sim::SimArea::Eelite, 30), nullptr) << "the update made no block above 20";
  RestoreIdentity identity;
  identity.imei = backup.imei;
  identity.exact = true;
  for (const auto& [area, number] : backup.absent) identity.absent.push_back({area, number});
  identity.ranges = backup.ranges;
  ASSERT_EQ(StartRestore(rig.model, *rig.ops, identity, "handset.vbk", backup.blocks), RunOutcome::Succeeded)
      << rig.model.logText();
  EXPECT_EQ(rig.handset->StateText(), before);
  EXPECT_EQ(rig.Count("Deleting the blocks beyond the backup's numbers, up to the highest block number 300\r\n"), 1);
  EXPECT_EQ(rig.Count("Block 30 deleted"), 1) << rig.model.logText();
  // The log and the box say what was put back: more than Eelite blocks.
  EXPECT_EQ(rig.Count("The blocks of the backup have been restored to mobile successfully!\r\n"), 1);
  EXPECT_EQ(rig.Count("The Eelite blocks have been restored"), 0);
}

TEST(EndToEnd, UndoFileThatCannotBeWrittenStopsTheRunBeforeAnyChange) {
  Rig rig;
  const std::string before = rig.handset->StateText();
  rig.ops->SetUndoPath((rig.backupDir / "no-such-folder" / "undo.vbk").string());
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Failed);
  EXPECT_EQ(rig.Count("Can't save the undo file: nothing written to mobile!\r\n"), 1);
  EXPECT_EQ(rig.handset->StateText(), before);
  EXPECT_EQ(rig.handset->state(), sim::SimState::SwitchedOff);
}

// --- undo files and backups never replace an original ---

// A second run for the same undo file name (a station started again after a kill, the handset
// brought back) keeps the earlier file, which alone holds what the handset held before the
// first run, names it in the log, and writes beside it.
TEST(EndToEnd, AnUndoFileOfAnEarlierRunIsKeptAndNamed) {
  Rig rig;
  const std::string first = (rig.backupDir / "undo-351234567890128.vbk").string();
  const std::string earlier = "the first run's undo file\n";
  std::ofstream(first, std::ios::binary) << earlier;
  rig.ops->SetUndoPath((rig.backupDir / "undo-{imei}.vbk").string());
  for (const char* beside : {"undo-351234567890128-2.vbk", "undo-351234567890128-3.vbk"}) {
    SCOPED_TRACE(beside);
    // The map's deletions make the second run fail: its undo file is written all the same.
    rig.Run(Example("Velmora_K72_1_Standard_11_0001.map"));
    EXPECT_EQ(ReadBytes(first), earlier);
    EXPECT_EQ(rig.Count("An earlier run of handset 351234567890128 left the undo file " + first +
                        ": kept (it holds the blocks from before that run)\r\n"),
              1)
        << rig.model.logText();
    const std::string written = (rig.backupDir / beside).string();
    EXPECT_EQ(rig.Count("Undo file written to " + written + "\r\n"), 1);
    EXPECT_EQ(ReadBackup(written).imei, "351234567890128");
  }
}

// A name that, once the IMEI is filled in, is one of the run's own files is refused before the
// first change: the file and the handset stay as they were. The same for a backup.
TEST(EndToEnd, AFilledInNameThatIsARunFileIsRefused) {
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "backup" : "undo");
    Rig rig;
    const std::string map = (rig.backupDir / "351234567890128.map").string();
    const std::string mapText = Example("Velmora_K72_1_Standard_11_0001.map");
    std::ofstream(map, std::ios::binary) << mapText;
    const std::vector<RunInput> files = {{"map file", map}};
    const std::string before = rig.handset->StateText();
    const std::string named = (rig.backupDir / "{imei}.map").string();
    if (backup) {
      EXPECT_EQ(StartBackup(rig.model, *rig.ops, named, files), RunOutcome::Failed);
    } else {
      rig.ops->SetUndoPath(named);
      rig.ops->SetRunFiles(files);
      EXPECT_EQ(rig.Run(mapText), RunOutcome::Failed);
      EXPECT_EQ(rig.Count("Can't save the undo file: nothing written to mobile!\r\n"), 1);
    }
    EXPECT_EQ(rig.Count(map + " is the map file " + map + " itself"), 1) << rig.model.logText();
    EXPECT_EQ(ReadBytes(map), mapText);
    EXPECT_EQ(rig.handset->StateText(), before);
  }
}

TEST(EndToEnd, ABackupNamedAfterTheImeiIsWrittenBesideAnEarlierOne) {
  Rig rig;
  const std::string named = (rig.backupDir / "full-{imei}.vbk").string();
  const std::string first = (rig.backupDir / "full-351234567890128.vbk").string();
  ASSERT_EQ(StartBackup(rig.model, *rig.ops, named), RunOutcome::Succeeded) << rig.model.logText();
  const std::string kept = ReadBytes(first);
  EXPECT_EQ(ReadBackup(first).imei, "351234567890128");
  ASSERT_EQ(rig.Run(Example("Velmora_K72_1_Standard_11_0001.map")), RunOutcome::Succeeded);
  ASSERT_EQ(StartBackup(rig.model, *rig.ops, named), RunOutcome::Succeeded);
  EXPECT_EQ(ReadBytes(first), kept);
  const std::string second = (rig.backupDir / "full-351234567890128-2.vbk").string();
  EXPECT_EQ(rig.Count("The file " + first + " exists: kept\r\n"), 1) << rig.model.logText();
  EXPECT_EQ(rig.Count("blocks written to " + second + "\r\n"), 1);
  EXPECT_NE(ReadBytes(second), kept);
}

// --- what the handset calls its IMEI ---

// An answer to AT+CGSN that is no IMEI is logged as it came; the backup and undo file say
// "imei unknown", and each such handset's undo file gets a name of its own.
TEST(EndToEnd, AnAnswerThatIsNoImeiNamesNoHandset) {
  const struct {
    const char* answer;  // the profile's imei_text
    const char* logged;
  } cases[] = {
      {"\\r\\nERROR\\r\\n", "IMEI: ERROR\r\n"},
      {"\\r\\nOK\\r\\n", "IMEI: OK\r\n"},
      {"\\r\\n", "IMEI: \r\n"},
      {"\\r\\n+CGSN: 35123456789012X\\r\\n", "IMEI: 35123456789012X\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Rig rig(std::string("imei_text = ") + c.answer + "\n");
    const std::string full = (rig.backupDir / "full-{imei}.vbk").string();
    ASSERT_EQ(StartBackup(rig.model, *rig.ops, full), RunOutcome::Succeeded) << rig.model.logText();
    EXPECT_GE(rig.Count(c.logged), 1) << rig.model.logText();
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(rig.backupDir))
      if (entry.path().extension() == ".vbk") names.push_back(entry.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("full-unknown-", 0), 0u) << names[0];
    EXPECT_EQ(ReadBackup((rig.backupDir / names[0]).string()).imei, kUnknownImei);

    // Two runs with undo files: two files, neither taken for the other's, no "earlier run".
    rig.ops->SetUndoPath((rig.backupDir / "undo-{imei}.vbk").string());
    for (int run = 0; run < 2; ++run) rig.Run(Example("Velmora_K72_1_Standard_11_0001.map"));
    size_t undos = 0;
    for (const auto& entry : fs::directory_iterator(rig.backupDir)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("undo-unknown-", 0) != 0) continue;
      ++undos;
      EXPECT_EQ(ReadBackup(entry.path().string()).imei, kUnknownImei);
    }
    EXPECT_EQ(undos, 2u);
    EXPECT_EQ(rig.Count("An earlier run of handset"), 0);
  }
}

// A restore never takes an answer that is no IMEI for the handset a backup names.
TEST(EndToEnd, AHandsetWithoutImeiIsNotTheOneABackupNames) {
  Rig rig("imei_text = \\r\\nERROR\\r\\n\n");
  const std::string before = rig.handset->StateText();
  HandsetBackup backup;
  backup.imei = "ERROR";  // as a file written before answers were checked may say
  MapBlock block;
  block.number = 3;
  block.area = kAreaEelite;
  block.size = 2;
  block.version = 1;
  block.data = {1, 2};
  backup.blocks.push_back(block);
  EXPECT_EQ(RestoreExactly(rig, backup, false), RunOutcome::Failed);
  EXPECT_EQ(rig.Count("not of the connected handset unknown"), 1) << rig.model.logText();
  EXPECT_EQ(rig.handset->StateText(), before);
}

}  // namespace
}  // namespace velmora
