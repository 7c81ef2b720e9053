// Garbage collection of the Eelite area and the backup file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine_fakes.h"
#include "platform/text_file.h"
#include "update/engine.h"

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
  return stat(path.c_str(), &st) == 0;
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

class GarbageCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "engine-gc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fallbackDir = dir + "/fallback";
    ASSERT_EQ(mkdir(fallbackDir.c_str(), 0700), 0);
    engine.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir});

    store.maxLogical = 10;
    store.Put(StoreArea::Eelite, 3, Bytes(25, 0xA0), 4);
    store.Put(StoreArea::Eelite, 7, {}, 255);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::vector<uint16_t> WrittenNumbers() const {
    std::vector<uint16_t> numbers;
    for (const auto& c : store.journal)
      if (c.op == Op::Write) numbers.push_back(c.number);
    return numbers;
  }

  std::string dir;
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
    eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir});
    EXPECT_FALSE(eng.CollectGarbage(kLink));
    EXPECT_EQ(s.Count(Op::DeleteAll), 0);
    EXPECT_EQ(s.area(StoreArea::Eelite).size(), 1u);
    EXPECT_EQ(rep.log, c.log);
  }
}

TEST_F(GarbageCollectionTest, FailedExistenceTestOnlySkipsTheBlock) {
  store.AddFault([](const FakeBlockStore::Call& c, int) {
    return c.op == Op::Exists && c.number == 3 ? kStatusErrorMobToPc : 0u;
  });
  ASSERT_TRUE(engine.CollectGarbage(kLink));
  EXPECT_EQ(WrittenNumbers(), std::vector<uint16_t>{7});
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
  EXPECT_TRUE(reporting.log.ends_with(std::string("Writing back Blocks\r\n") + kWarning +
                                      kBackupInfo));
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
  eng.SetBackupPlaces({dir + "/mapsave.eel", fallbackDir});
  EXPECT_FALSE(eng.CollectGarbage(kLink));
  EXPECT_TRUE(Exists(dir + "/mapsave.eel"));
  EXPECT_EQ(ReadBytes(dir + "/mapsave.eel"), "");
  EXPECT_TRUE(rep.log.ends_with(kBackupError));
  // Nothing to save is not a place problem: no second file.
  EXPECT_FALSE(Exists(fallbackDir + "/mapsave.eel"));
}

TEST_F(GarbageCollectionTest, UncreatableBackupGoesToTheSecondPlaceAndSaysWhere) {
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", fallbackDir});
  store.FailNth(Op::Write, 1, kStatusNoSpace);
  store.FailNth(Op::Write, 2, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_EQ(ReadBytes(fallbackDir + "/mapsave.eel"), kBackupOf3And7);
  EXPECT_TRUE(reporting.log.ends_with(std::string(kWarning) + kBackupError + kBackupInfo +
                                      "Backup written to " + fallbackDir + "/mapsave.eel\r\n"))
      << reporting.log;
}

TEST_F(GarbageCollectionTest, BothPlacesFailingLogsTheErrorLineOnce) {
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", dir + "/missing-too"});
  store.FailAll(Op::Write, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  EXPECT_TRUE(reporting.log.ends_with(std::string(kWarning) + kBackupError)) << reporting.log;
}

TEST_F(GarbageCollectionTest, DefaultSecondPlaceIsTheTemporaryDirectory) {
  const char* old = getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", fallbackDir.c_str(), 1);
  engine.SetBackupPlaces({dir + "/missing/mapsave.eel", ""});
  store.FailAll(Op::Write, kStatusNoSpace);
  EXPECT_FALSE(engine.CollectGarbage(kLink));
  if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(ReadBytes(fallbackDir + "/mapsave.eel"), kBackupOf3And7);
}

class BackupFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "engine-backup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    path = pattern + "/mapsave.eel";
    ASSERT_TRUE(file.Create(path));
  }
  void TearDown() override {
    file.Close();
    std::filesystem::remove_all(dir);
  }
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

  std::string dir;
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

}  // namespace
}  // namespace velmora
