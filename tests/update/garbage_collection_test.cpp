// Garbage collection of the Eelite area and the backup file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "update/engine_fakes.h"
#include "platform/interrupt.h"
#include "platform/text_file.h"
#include "update/backup_file.h"
#include "update/handset_backup.h"
#include "update/engine.h"
#include "update/update_run.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

using testing::FakeBlockStore;
using testing::RecordingReporting;
using Op = FakeBlockStore::Op;
using Progress = RecordingReporting::Progress;

constexpr LinkHandle kLink = 7;
constexpr const char* kWarning = "ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n";
constexpr const char* kBackupError = "\r\nERROR: Can't backup EELITE (mapsave.eel) !\r\n";
constexpr const char* kBackupInfo =
    "\r\nIMPRORTANT INFO: Writing Backup from EELITE to mapsave.eel\r\n"
    "Use BLKTOOL -w mapsave.eel to restore data.\r\n";

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The write-ahead copies in a folder, as full paths.
std::vector<std::string> WriteAheadCopies(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kWriteAheadPrefix, 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// The handset backups written beside mapsave.eel in a folder, as full paths.
std::vector<std::string> Companions(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("mapsave-", 0) == 0 && name.ends_with(".vbk")) found.push_back(entry.path().string());
  }
  return found;
}

std::string RestoreLine(const std::string& path) {
  return "Or restore it with: velmora-cli --restore " + path + " --port COM1\r\n";
}

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

// Block 3 (25 bytes A0..B8, version 4) and block 7 (empty, version 255) as the restore tool
// reads them: every line end is CR CR LF.
const std::string kBackupOf3And7 =
    "\r\r\nBLOCK_NUMBER = 3\r\r\nBLOCK_SIZE   = 25\r\r\nBLOCK_VERSION = 4\r\r\nDATA_BYTES   = \r\r\n"
    "\r\r\n0xA0 0xA1 0xA2 0xA3 0xA4 0xA5 0xA6 0xA7 0xA8 0xA9 "
    "\r\r\n0xAA 0xAB 0xAC 0xAD 0xAE 0xAF 0xB0 0xB1 0xB2 0xB3 "
    "\r\r\n0xB4 0xB5 0xB6 0xB7 0xB8 "
    "\r\r\n\r\r\n"
    "\r\r\nBLOCK_NUMBER = 7\r\r\nBLOCK_SIZE   = 0\r\r\nBLOCK_VERSION = 255\r\r\nDATA_BYTES   = \r\r\n"
    "\r\r\n\r\r\n";

// path is a whole handset backup of the given kind and handset, holding blocks 3 and 7 as the
// store had them before the erase.
void ExpectHandsetBackupOf3And7(const std::string& path, const std::string& kind,
                                const std::string& imei = kUnknownImei) {
  HandsetBackup backup;
  std::string error;
  ASSERT_TRUE(ParseHandsetBackup(ReadBytes(path), &backup, &error)) << path << ": " << error;
  EXPECT_EQ(backup.kind, kind);
  EXPECT_EQ(backup.imei, imei);
  ASSERT_EQ(backup.blocks.size(), 2u);
  EXPECT_EQ(backup.blocks[0].number, 3);
  EXPECT_EQ(backup.blocks[0].version, 4);
  EXPECT_EQ(backup.blocks[0].area, kAreaEelite);
  EXPECT_EQ(backup.blocks[0].data, Bytes(25, 0xA0));
  EXPECT_EQ(backup.blocks[1].number, 7);
  EXPECT_EQ(backup.blocks[1].version, 255);
  EXPECT_TRUE(backup.blocks[1].data.empty());
}

class GarbageCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fallbackDir = dir + "/fallback";
    ASSERT_EQ(mkdir(fallbackDir.c_str(), 0700), 0);
    engine.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir, "COM1"});

    store.maxLogical = 10;
    store.Put(StoreArea::Eelite, 3, Bytes(25, 0xA0), 4);
    store.Put(StoreArea::Eelite, 7, {}, 255);
  }

  std::vector<uint16_t> WrittenNumbers() const {
    std::vector<uint16_t> numbers;
    for (const auto& c : store.journal)
      if (c.op == Op::Write) numbers.push_back(c.number);
    return numbers;
  }

  testing::TempFolder folder{"engine-gc"};
  std::string dir = folder.str();
  std::string fallbackDir;
  FakeBlockStore store;
  RecordingReporting reporting;
  UpdateEngine engine{store, reporting, nullptr};
};

TEST_F(GarbageCollectionTest, ReadsErasesAndWritesBackTheExistingBlocks) {
  ASSERT_TRUE(engine.CollectGarbage(kLink));

  int exists = 0;
  for (const auto& c : store.journal) {
    if (c.op != Op::Exists) continue;
    EXPECT_EQ(c.number, ++exists);
    EXPECT_EQ(c.area, StoreArea::Eelite);
  }
  EXPECT_EQ(exists, 10);
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 7}));
  ASSERT_EQ(store.area(StoreArea::Eelite).size(), 2u);
  EXPECT_EQ(store.area(StoreArea::Eelite)[3].data, Bytes(25, 0xA0));
  EXPECT_EQ(store.area(StoreArea::Eelite)[3].version, 4);
  EXPECT_EQ(store.area(StoreArea::Eelite)[7].version, 255);

  EXPECT_EQ(reporting.progress,
            (std::vector<Progress>{{"Garbage Collection reading EELite", 1, 10, 3},
                                   {"Garbage Collection reading EELite", 1, 10, 7},
                                   {"Garbage Collection writing EELite", 0, 1, 0},
                                   {"Garbage Collection writing EELite", 0, 1, 1}}));
  EXPECT_EQ(reporting.log,
            "Garbage Collection\r\nReading out max. 10 Blocks \r\n"
            "\r\nDeleting complete Eelite\r\nWriting back Blocks\r\n");
  EXPECT_TRUE(reporting.warnings.empty());
  EXPECT_FALSE(Exists(dir + "/mapsave.eel"));
}

TEST_F(GarbageCollectionTest, NoLogicalBlocksStillErasesAndSucceeds) {
  store.maxLogical = 0;
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  EXPECT_EQ(store.Ops(), (std::vector<Op>{Op::MaxLogical, Op::DeleteAll}));
  EXPECT_TRUE(reporting.progress.empty());
  EXPECT_EQ(reporting.log,
            "Garbage Collection\r\nReading out max. 0 Blocks \r\n"
            "\r\nDeleting complete Eelite\r\nWriting back Blocks\r\n");
}

TEST_F(GarbageCollectionTest, FailuresBeforeTheEraseLeaveTheAreaAlone) {
  struct Case {
    const char* name;
    Op op;
    std::string log;
  };
  const Case cases[] = {
      {"highest block number", Op::MaxLogical, ""},
      {"reading a block", Op::Read, "Garbage Collection\r\nReading out max. 10 Blocks \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBlockStore s;
    s.maxLogical = 10;
    s.Put(StoreArea::Eelite, 3, Bytes(25, 0xA0), 4);
    s.FailAll(c.op, kStatusErrorMobToPc);
    RecordingReporting rep;
    UpdateEngine eng{s, rep, nullptr};
    eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir, "COM1"});
    EXPECT_FALSE(eng.CollectGarbage(kLink));
    EXPECT_EQ(s.Count(Op::DeleteAll), 0);
    EXPECT_EQ(s.area(StoreArea::Eelite).size(), 1u);
    EXPECT_EQ(rep.log, c.log);
  }
}

TEST_F(GarbageCollectionTest, ExistenceTestThatFailsOtherwiseThanNoBlockStopsBeforeTheErase) {
  // Block 3 exists; its existence test fails on the line or with a status. Erasing the area
  // now would lose it.
  for (uint32_t status : {kStatusErrorMobToPc, kStatusErrorPcToMob, kStatusUnknown, kStatusNotInitialised}) {
    SCOPED_TRACE(status);
    FakeBlockStore s;
    s.maxLogical = 10;
    s.Put(StoreArea::Eelite, 3, Bytes(25, 0xA0), 4);
    s.Put(StoreArea::Eelite, 7, {}, 255);
    s.AddFault([status](const FakeBlockStore::Call& c, int) {
      return c.op == Op::Exists && c.number == 3 ? status : 0u;
    });
    RecordingReporting rep;
    UpdateEngine eng{s, rep, nullptr};
    eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir, "COM1"});
    EXPECT_FALSE(eng.CollectGarbage(kLink));
    EXPECT_EQ(s.Count(Op::DeleteAll), 0);
    EXPECT_EQ(s.area(StoreArea::Eelite).size(), 2u);
  }
  // A block that is not there is only skipped.
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 7}));
}

TEST_F(GarbageCollectionTest, FailedEraseWritesNoBackup) {
  store.FailAll(Op::DeleteAll, kStatusErrorMobToPc);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(store.Count(Op::Write), 0);
  EXPECT_FALSE(Exists(dir + "/mapsave.eel"));
}

TEST_F(GarbageCollectionTest, FirstWriteBackFailureIsRetriedOnceAfterOneWarning) {
  store.FailNth(Op::Write, 1, kStatusNoSpace);
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 3, 7}));
  EXPECT_EQ(reporting.warnings, std::vector<std::string>{kWarning});
  EXPECT_EQ(store.area(StoreArea::Eelite).size(), 2u);
  EXPECT_FALSE(Exists(dir + "/mapsave.eel"));
}

TEST_F(GarbageCollectionTest, LaterFailureGoesToTheBackupWithoutWarningOrRetry) {
  store.FailNth(Op::Write, 1, kStatusNoSpace);
  store.FailNth(Op::Write, 3, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 3, 7}));
  EXPECT_EQ(reporting.warnings.size(), 1u);
  // Block 3 went back, and is in the backup all the same.
  EXPECT_EQ(ReadBytes(dir + "/mapsave.eel"), kBackupOf3And7);
  // Beside it, the same blocks named with their handset, which the restore line names.
  const std::vector<std::string> companions = Companions(dir);
  ASSERT_EQ(companions.size(), 1u);
  ExpectHandsetBackupOf3And7(companions[0], "backup");
  EXPECT_TRUE(reporting.log.ends_with(std::string("Writing back Blocks\r\n") + kWarning +
                                      kBackupInfo + "Backup written to " + dir +
                                      "/mapsave.eel\r\nHandset backup written to " +
                                      companions[0] + "\r\n" + RestoreLine(companions[0])))
      << reporting.log;
  // Every block is in the backups: the write-ahead copy has done its work.
  EXPECT_TRUE(WriteAheadCopies(fallbackDir).empty());
}

TEST_F(GarbageCollectionTest, RetryOfTheSameBlockFailingGoesToTheBackup) {
  store.FailAll(Op::Write, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 3}));
  EXPECT_EQ(reporting.warnings.size(), 1u);
  EXPECT_EQ(ReadBytes(dir + "/mapsave.eel"), kBackupOf3And7);
}

TEST_F(GarbageCollectionTest, BlocksNumberedFromFiveThousandAreNotSaved) {
  FakeBlockStore s;
  s.maxLogical = 5001;
  s.Put(StoreArea::Eelite, 5000, {1});
  s.Put(StoreArea::Eelite, 5001, {2});
  s.FailAll(Op::Write, kStatusNoSpace);
  RecordingReporting rep;
  UpdateEngine eng{s, rep, nullptr};
  eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir, "COM1"});
  EXPECT_FALSE(eng.CollectGarbage(kLink));
  EXPECT_TRUE(Exists(dir + "/mapsave.eel"));
  EXPECT_EQ(ReadBytes(dir + "/mapsave.eel"), "");
  // Nothing to save is not a place problem: no second file.
  EXPECT_FALSE(Exists(fallbackDir + "/mapsave.eel"));
  // mapsave.eel has no room for them, so the write-ahead copy keeps both blocks.
  const std::vector<std::string> copies = WriteAheadCopies(fallbackDir);
  ASSERT_EQ(copies.size(), 1u);
  HandsetBackup kept;
  std::string error;
  ASSERT_TRUE(ParseHandsetBackup(ReadBytes(copies[0]), &kept, &error)) << error;
  ASSERT_EQ(kept.blocks.size(), 2u);
  EXPECT_EQ(kept.blocks[0].number, 5000);
  EXPECT_EQ(kept.blocks[1].data, std::vector<uint8_t>{2});
  EXPECT_TRUE(Companions(dir).empty());
  EXPECT_TRUE(rep.log.ends_with(std::string(kBackupError) + "The Eelite blocks read out are kept in " +
                                copies[0] + "\r\n" + RestoreLine(copies[0])))
      << rep.log;
}

TEST_F(GarbageCollectionTest, UncreatableBackupGoesToTheSecondPlaceAndSaysWhere) {
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", fallbackDir, "COM1"});
  store.FailNth(Op::Write, 1, kStatusNoSpace);
  store.FailNth(Op::Write, 2, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(ReadBytes(fallbackDir + "/mapsave.eel"), kBackupOf3And7);
  const std::vector<std::string> companions = Companions(fallbackDir);
  ASSERT_EQ(companions.size(), 1u);
  EXPECT_TRUE(reporting.log.ends_with(std::string(kWarning) + kBackupError + kBackupInfo +
                                      "Backup written to " + fallbackDir + "/mapsave.eel\r\n" +
                                      "Handset backup written to " + companions[0] + "\r\n" +
                                      RestoreLine(companions[0])))
      << reporting.log;
}

TEST_F(GarbageCollectionTest, BothPlacesFailingKeepsTheWriteAheadCopyAndSaysWhere) {
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", fallbackDir, "COM1"});
  // A folder where the private mapsave.eel should go is no earlier backup: never moved aside.
  ASSERT_EQ(mkdir((fallbackDir + "/mapsave.eel").c_str(), 0700), 0);
  store.FailAll(Op::Write, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  const std::vector<std::string> copies = WriteAheadCopies(fallbackDir);
  ASSERT_EQ(copies.size(), 1u);
  ExpectHandsetBackupOf3And7(copies[0], "write-ahead");
  // The folder is named for what it is, and left alone.
  EXPECT_TRUE(reporting.log.ends_with(std::string(kWarning) + kBackupError +
                                      "Backup not written there: " + fallbackDir +
                                      "/mapsave.eel is a directory, not a regular file\r\n"
                                      "The Eelite blocks read out are kept in " + copies[0] +
                                      "\r\n" + RestoreLine(copies[0])))
      << reporting.log;
}

TEST_F(GarbageCollectionTest, DefaultPrivatePlaceIsTheUsersStateFolder) {
  const char* old = getenv("XDG_STATE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_STATE_HOME", fallbackDir.c_str(), 1);
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", "", "COM1"});
  store.FailAll(Op::Write, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1); else unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(ReadBytes(fallbackDir + "/velmora/mapsave.eel"), kBackupOf3And7);
  struct stat st {};
  ASSERT_EQ(stat((fallbackDir + "/velmora").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((fallbackDir + "/velmora/mapsave.eel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The write-ahead copy: on disk before the erase, as a handset backup, and gone once
// every block is back.
TEST_F(GarbageCollectionTest, WriteAheadCopyHoldsTheBlocksFromBeforeTheEraseToTheEnd) {
  std::vector<std::string> atErase;
  std::string bytesAtErase;
  store.AddFault([&](const FakeBlockStore::Call& c, int) {
    if (c.op == Op::DeleteAll) {
      atErase = WriteAheadCopies(fallbackDir);
      if (atErase.size() == 1) bytesAtErase = ReadBytes(atErase[0]);
    }
    return 0u;
  });
  engine.SetHandsetImei("351234567890128");
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  ASSERT_EQ(atErase.size(), 1u);
  EXPECT_TRUE(atErase[0].ends_with("-351234567890128.vbk")) << atErase[0];
  HandsetBackup copy;
  std::string error;
  ASSERT_TRUE(ParseHandsetBackup(bytesAtErase, &copy, &error)) << error;
  EXPECT_EQ(copy.imei, "351234567890128");
  EXPECT_EQ(copy.kind, "write-ahead");
  EXPECT_EQ(copy.blocks.size(), 2u);
  EXPECT_TRUE(WriteAheadCopies(fallbackDir).empty());
}

TEST_F(GarbageCollectionTest, NoPlaceForTheWriteAheadCopyErasesNothing) {
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", dir + "/missing-too", "COM1"});
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(store.Count(Op::DeleteAll), 0);
  EXPECT_EQ(store.area(StoreArea::Eelite).size(), 2u);
  EXPECT_NE(reporting.log.find("ERROR: Can't save a copy of the Eelite blocks before erasing them ("),
            std::string::npos)
      << reporting.log;
  EXPECT_TRUE(reporting.log.ends_with(". Nothing erased.\r\n")) << reporting.log;
  EXPECT_EQ(reporting.log.find("Deleting complete Eelite"), std::string::npos);
}

TEST_F(GarbageCollectionTest, FailedEraseKeepsTheWriteAheadCopy) {
  store.FailAll(Op::DeleteAll, kStatusErrorMobToPc);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  const std::vector<std::string> copies = WriteAheadCopies(fallbackDir);
  ASSERT_EQ(copies.size(), 1u);
  ExpectHandsetBackupOf3And7(copies[0], "write-ahead");
  EXPECT_TRUE(reporting.log.ends_with(RestoreLine(copies[0])));
}

// An earlier mapsave.eel, or something planted in its place, is never written over or through.
TEST_F(GarbageCollectionTest, WhatLiesAtTheBackupPathIsMovedAsideNeverOverwritten) {
  struct Case {
    const char* name;
    bool symlink;
  };
  for (const Case& c : {Case{"earlier backup", false}, Case{"symlink", true}}) {
    SCOPED_TRACE(c.name);
    const std::string target = dir + "/target";
    std::filesystem::remove(dir + "/mapsave.eel");
    {
      std::ofstream(target, std::ios::binary) << "EARLIER";
    }
    if (c.symlink) {
      ASSERT_EQ(symlink(target.c_str(), (dir + "/mapsave.eel").c_str()), 0);
    } else {
      std::filesystem::copy_file(target, dir + "/mapsave.eel");
    }
    FakeBlockStore s;
    s.maxLogical = 10;
    s.Put(StoreArea::Eelite, 3, Bytes(25, 0xA0), 4);
    s.Put(StoreArea::Eelite, 7, {}, 255);
    s.FailAll(Op::Write, kStatusNoSpace);
    RecordingReporting rep;
    UpdateEngine eng{s, rep, nullptr};
    eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir, "COM1"});
    EXPECT_FALSE(eng.CollectGarbage(kLink));

    EXPECT_EQ(ReadBytes(target), "EARLIER");
    struct stat st {};
    ASSERT_EQ(lstat((dir + "/mapsave.eel").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadBytes(dir + "/mapsave.eel"), kBackupOf3And7);
    const size_t kept = rep.log.find("Earlier backup kept as " + dir + "/mapsave-");
    ASSERT_NE(kept, std::string::npos) << rep.log;
    const size_t start = kept + std::string("Earlier backup kept as ").size();
    const std::string keptAs = rep.log.substr(start, rep.log.find("\r\n", start) - start);
    EXPECT_TRUE(keptAs.ends_with(".eel")) << keptAs;
    EXPECT_EQ(ReadBytes(keptAs), "EARLIER");
    std::filesystem::remove(keptAs);
  }
}

// A termination request while the blocks exist only in memory and the write-ahead copy waits
// for the write-back; the run then stops at the next block.
TEST_F(GarbageCollectionTest, TerminationRequestIsHeldUntilTheWriteBackIsDone) {
  InstallInterruptHandlers();
  ClearHeldInterrupt();
  store.AddFault([](const FakeBlockStore::Call& c, int ordinal) {
    if (c.op == Op::Write && ordinal == 1) raise(SIGTERM);
    return 0u;
  });
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 7}));
  EXPECT_EQ(HeldInterrupt(), SIGTERM);

  MapInfo info;
  info.blockCount = 1;
  MapBlock block;
  block.number = 12;
  block.area = kAreaEefull;
  block.operation = kOpWrite;
  const uint32_t flags[] = {1};
  BlockFailure failure;
  EXPECT_FALSE(engine.WriteMapBlocks(kLink, &block, info, flags, &failure));
  EXPECT_TRUE(failure.interrupted);
  MessageBuffer line;
  FormatBlockFailure(failure, &line);
  EXPECT_STREQ(line.c_str(), "Interrupted: block 12 and the blocks after it not written\r\n");
  EXPECT_EQ(WrittenNumbers(), (std::vector<uint16_t>{3, 7}));
  ClearHeldInterrupt();
}

class BackupFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir + "/mapsave.eel";
    ASSERT_TRUE(file.Create(path));
  }
  void TearDown() override { file.Close(); }
  std::string Finish() {
    EXPECT_TRUE(file.Close());
    return ReadBytes(path);
  }
  static MapBlock Record(int32_t number, uint8_t area, std::vector<uint8_t> data,
                         uint8_t version = 0) {
    MapBlock b;
    b.number = number;
    b.area = area;
    b.size = static_cast<int32_t>(data.size());
    b.version = version;
    b.data = std::move(data);
    return b;
  }

  testing::TempFolder folder{"engine-backup"};
  std::string dir = folder.str();
  std::string path;
  TextModeFile file;
};

TEST_F(BackupFileTest, SavesEachEeliteNumberBelowTheLimitOnceInAscendingOrder) {
  const std::vector<MapBlock> records = {
      Record(9, kAreaEelite, {0x09}),
      Record(5000, kAreaEelite, {0x50}),
      Record(4, kAreaEelite, {0x0F}, 1),
      Record(4, kAreaEelite, {0xEE}, 2),  // a second record of number 4: not saved
      Record(1, kAreaEefull, {0x01}),    // outside the Eelite range
  };
  ASSERT_TRUE(WriteBackupFile(file, records.data(), static_cast<int32_t>(records.size())));
  EXPECT_EQ(Finish(),
            "\r\r\nBLOCK_NUMBER = 4\r\r\nBLOCK_SIZE   = 1\r\r\nBLOCK_VERSION = 1\r\r\n"
            "DATA_BYTES   = \r\r\n\r\r\n0x0F \r\r\n\r\r\n"
            "\r\r\nBLOCK_NUMBER = 9\r\r\nBLOCK_SIZE   = 1\r\r\nBLOCK_VERSION = 0\r\r\n"
            "DATA_BYTES   = \r\r\n\r\r\n0x09 \r\r\n\r\r\n");
}

TEST_F(BackupFileTest, TenBytesMakeOneFullLine) {
  const std::vector<MapBlock> records = {Record(2, kAreaEelite, Bytes(10, 0xF6), 0x80)};
  ASSERT_TRUE(WriteBackupFile(file, records.data(), 1));
  EXPECT_EQ(Finish(),
            "\r\r\nBLOCK_NUMBER = 2\r\r\nBLOCK_SIZE   = 10\r\r\nBLOCK_VERSION = 128\r\r\n"
            "DATA_BYTES   = \r\r\n\r\r\n0xF6 0xF7 0xF8 0xF9 0xFA 0xFB 0xFC 0xFD 0xFE 0xFF "
            "\r\r\n\r\r\n");
}

TEST_F(BackupFileTest, NothingQualifyingLeavesTheFileEmpty) {
  const std::vector<MapBlock> records = {Record(5000, kAreaEelite, {1}),
                                         Record(3, kAreaEefull, {1})};
  EXPECT_FALSE(WriteBackupFile(file, records.data(), 2));
  EXPECT_FALSE(WriteBackupFile(file, records.data(), 0));
  EXPECT_FALSE(WriteBackupFile(file, records.data(), -1));
  EXPECT_EQ(Finish(), "");
}

TEST_F(BackupFileTest, SizeFieldBeyondTheDataWritesOnlyTheDataHeld) {
  MapBlock odd = Record(-3, kAreaEelite, {0xAA, 0xBB});
  odd.size = 1000;
  ASSERT_TRUE(WriteBackupFile(file, &odd, 1));
  EXPECT_EQ(Finish(),
            "\r\r\nBLOCK_NUMBER = -3\r\r\nBLOCK_SIZE   = 1000\r\r\nBLOCK_VERSION = 0\r\r\n"
            "DATA_BYTES   = \r\r\n\r\r\n0xAA 0xBB \r\r\n\r\r\n");
}

// Reading a backup file back for the restore command.
TEST(BackupReaderTest, ReadsBackWhatTheWriterWrote) {
  std::vector<MapBlock> blocks;
  std::string error;
  ASSERT_TRUE(ParseBackupFile(kBackupOf3And7, &blocks, &error)) << error;
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].number, 3);
  EXPECT_EQ(blocks[0].size, 25);
  EXPECT_EQ(blocks[0].version, 4);
  EXPECT_EQ(blocks[0].data, Bytes(25, 0xA0));
  EXPECT_EQ(blocks[0].area, kAreaEelite);
  EXPECT_EQ(blocks[0].operation, kOpWrite);
  EXPECT_EQ(blocks[1].number, 7);
  EXPECT_EQ(blocks[1].version, 255);
  EXPECT_TRUE(blocks[1].data.empty());

  // Plain LF line ends, as an editor may leave them, read the same.
  std::string lf = kBackupOf3And7;
  std::erase(lf, '\r');
  std::vector<MapBlock> again;
  ASSERT_TRUE(ParseBackupFile(lf, &again, &error)) << error;
  EXPECT_EQ(again[0].data, blocks[0].data);
}

TEST(BackupReaderTest, RefusesWhatIsNoBackupFileWithItsLine) {
  const std::string header = "\nBLOCK_NUMBER = 3\nBLOCK_SIZE   = 2\nBLOCK_VERSION = 1\nDATA_BYTES   = \n";
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"empty", "", "no block in the file"},
      {"text", "hello\n", "line 1: expected BLOCK_NUMBER = ..."},
      {"too few bytes", header + "0x01 \n", "block 3: 1 data bytes for a size of 2"},
      {"too many bytes", header + "0x01 0x02 0x03 \n", "line 6: block 3 has more data bytes than its size"},
      {"bad byte", header + "0x01 0xG2 \n", "line 6: expected data bytes such as 0x1F"},
      {"block 0", "BLOCK_NUMBER = 0\n", "line 1: block number must be 1 to 65535"},
      {"block 65536", "BLOCK_NUMBER = 65536\n", "line 1: block number must be 1 to 65535"},
      {"size", "BLOCK_NUMBER = 1\nBLOCK_SIZE   = 70000\n", "line 2: block size must be 0 to 65535"},
      {"version", "BLOCK_NUMBER = 1\nBLOCK_SIZE   = 0\nBLOCK_VERSION = 256\n",
       "line 3: block version must be 0 to 255"},
      {"cut in the header", "BLOCK_NUMBER = 1\nBLOCK_SIZE   = 0\n", "line 2: the file ends inside a block's header"},
      {"twice", header + "0x01 0x02\n" + header, "line 8: block 3 given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<MapBlock> blocks;
    std::string error;
    EXPECT_FALSE(ParseBackupFile(c.text, &blocks, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(blocks.empty());
  }
}

// The restore command's engine step: every block written back and read back to compare.
class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.SetBackupPlaces({dir + "/mapsave.eel", dir, "COM1"});
    ASSERT_TRUE(ParseBackupFile(kBackupOf3And7, &saved, nullptr));
    store.maxLogical = 10;
  }

  testing::TempFolder folder{"engine-restore"};
  std::string dir = folder.str();
  std::vector<MapBlock> saved;
  FakeBlockStore store;
  RecordingReporting reporting;
  UpdateEngine engine{store, reporting, nullptr};
};

TEST_F(RestoreTest, WritesAndReadsBackEveryBlock) {
  ASSERT_TRUE(engine.RestoreBlocks(kLink, saved));
  EXPECT_EQ(store.area(StoreArea::Eelite)[3].data, Bytes(25, 0xA0));
  EXPECT_EQ(store.area(StoreArea::Eelite)[3].version, 4);
  EXPECT_EQ(store.area(StoreArea::Eelite)[7].version, 255);
  EXPECT_EQ(store.Count(Op::Read), 2);
  EXPECT_EQ(reporting.log, "Block 3 restored\r\nBlock 7 restored\r\n");
  EXPECT_EQ(reporting.progress, (std::vector<Progress>{{"Restoring EELite blocks", 0, 1, 0},
                                                       {"Restoring EELite blocks", 0, 1, 1}}));
}

TEST_F(RestoreTest, AFullAreaIsCompactedFirst) {
  store.freeSpace = 20;  // less than block 3's 25 bytes and their overhead
  ASSERT_TRUE(engine.RestoreBlocks(kLink, saved));
  EXPECT_EQ(store.Count(Op::DeleteAll), 1);
  EXPECT_EQ(store.area(StoreArea::Eelite)[3].data, Bytes(25, 0xA0));
}

TEST_F(RestoreTest, ABlockThatDoesNotComeBackFailsTheRestoreButNotTheOthers) {
  store.AddFault([](const FakeBlockStore::Call& c, int) {
    return c.op == Op::Write && c.number == 3 ? kStatusNoSpace : 0u;
  });
  EXPECT_FALSE(engine.RestoreBlocks(kLink, saved));
  EXPECT_TRUE(reporting.log.starts_with("Block 3 not restored\r\nError:")) << reporting.log;
  EXPECT_TRUE(reporting.log.ends_with("Block 7 restored\r\n")) << reporting.log;
}

TEST_F(RestoreTest, OtherDataReadBackIsAFailure) {
  // The handset acknowledges the write but holds an older copy of block 3.
  store.AddFault([this](const FakeBlockStore::Call& c, int) {
    if (c.op == Op::Read && c.number == 3) store.area(StoreArea::Eelite)[3].data[24] ^= 1;
    return 0u;
  });
  EXPECT_FALSE(engine.RestoreBlocks(kLink, saved));
  EXPECT_TRUE(reporting.log.starts_with("Block 3 not restored: the handset holds other data\r\n"))
      << reporting.log;
}

TEST_F(RestoreTest, GivesUpAfterThreeFailedBlocksInARow) {
  std::vector<MapBlock> many;
  for (int n = 1; n <= 6; ++n) {
    MapBlock b = saved[1];
    b.number = n;
    many.push_back(b);
  }
  store.FailAll(Op::Write, kStatusErrorMobToPc);
  EXPECT_FALSE(engine.RestoreBlocks(kLink, many));
  EXPECT_EQ(store.Count(Op::Write), 3);
  EXPECT_TRUE(reporting.log.ends_with("Stopped: 3 blocks not tried\r\n")) << reporting.log;
}

}  // namespace
}  // namespace velmora
