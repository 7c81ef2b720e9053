// The board the station writes and the page reads: rows, the records kept, the totals, and the
// wait for a change.
#include "station/board.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace velmora {
namespace {

using Json = nlohmann::json;

Json Snapshot(const StationBoard& board) { return Json::parse(board.SnapshotJson()); }

PortRow Row(const std::string& port, const std::string& state) {
  PortRow row;
  row.port = port;
  row.state = state;
  return row;
}

TEST(StationBoardTest, RowsAreReplacedWholeAndShownInOrder) {
  StationBoard board("Line 3", {Row("COM1", "waiting"), Row("/dev/ttyUSB0", "waiting")});
  PortRow row = Row("/dev/ttyUSB0", "writing");
  row.imei = "351234567890128";
  row.progress = 42;
  row.stateSinceMs = 1700000000123;
  row.lastError = "Can't send mapping blocks to mobile!";
  const uint64_t before = board.version();
  board.SetRow(1, row);
  EXPECT_GT(board.version(), before);
  EXPECT_EQ(board.Row(1).imei, "351234567890128");

  const Json s = Snapshot(board);
  EXPECT_EQ(s["title"], "Line 3");
  EXPECT_FALSE(s["finished"].get<bool>());
  ASSERT_EQ(s["ports"].size(), 2u);
  EXPECT_EQ(s["ports"][0]["port"], "COM1");
  EXPECT_EQ(s["ports"][0]["progress"], -1);
  const Json& p = s["ports"][1];
  EXPECT_EQ(p["state"], "writing");
  EXPECT_EQ(p["progress"], 42);
  EXPECT_EQ(p["state_since_ms"], 1700000000123);
  EXPECT_EQ(p["last_error"], "Can't send mapping blocks to mobile!");

  board.SetFinished(true);
  EXPECT_TRUE(Snapshot(board)["finished"].get<bool>());
}

TEST(StationBoardTest, IndexPastTheRowsChangesNothing) {
  StationBoard board("t", {Row("COM1", "waiting")});
  const uint64_t before = board.version();
  board.SetRow(1, Row("COM9", "done"));
  EXPECT_EQ(board.version(), before);
  EXPECT_EQ(board.Row(1).port, "");
  EXPECT_EQ(Snapshot(board)["ports"].size(), 1u);
}

TEST(StationBoardTest, TextThatIsNotUtf8StillGivesJson) {
  StationBoard board("t", {Row(std::string("COM\xff\xfe", 5), "failed")});
  PortRow row = board.Row(0);
  row.lastError = std::string("bad \xc3", 5);
  board.SetRow(0, row);
  EXPECT_NO_THROW(Snapshot(board));
}

TEST(StationBoardTest, KeepsTheNewestFiftyRecordsNewestFirst) {
  StationBoard board("t", {});
  for (int i = 0; i < 60; ++i) board.AddRecord(R"({"n":)" + std::to_string(i) + "}");
  const Json records = Snapshot(board)["records"];
  ASSERT_EQ(records.size(), StationBoard::kRecordsKept);
  EXPECT_EQ(records.front()["n"], 59);
  EXPECT_EQ(records.back()["n"], 10);
}

TEST(StationBoardTest, RecordsThatAreNotObjectsAreKeptOut) {
  StationBoard board("t", {});
  board.AddRecord(R"({"port":"COM1","outcome":"succeeded"})");
  const uint64_t before = board.version();
  for (const char* text : {"", "42", "[1,2]", "\"text\"", "null", "{\"cut\":", "{} {}", "{\"a\":1}x"}) {
    SCOPED_TRACE(text);
    board.AddRecord(text);
    EXPECT_EQ(board.version(), before);
  }
  const Json records = Snapshot(board)["records"];
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["port"], "COM1");
}

TEST(StationBoardTest, RecordsLeaveTheirBlockListOut) {
  StationBoard board("t", {});
  board.AddRecord(R"({"port":"COM1","blocks":[{"number":1}],"duration_ms":4314})");
  const Json record = Snapshot(board)["records"][0];
  EXPECT_FALSE(record.contains("blocks"));
  EXPECT_EQ(record["duration_ms"], 4314);
}

TEST(StationBoardTest, TotalsAddUpThePorts) {
  PortRow a = Row("COM1", "done");
  a.succeeded = 3, a.failed = 1, a.handsetSeconds = 40;
  PortRow b = Row("COM2", "waiting");
  b.succeeded = 1, b.skipped = 1, b.handsetSeconds = 20;
  StationBoard board("t", {a, b});
  const Json totals = Snapshot(board)["totals"];
  EXPECT_EQ(totals["succeeded"], 4);
  EXPECT_EQ(totals["failed"], 1);
  EXPECT_EQ(totals["skipped"], 1);
  EXPECT_EQ(totals["handsets"], 6);
  EXPECT_DOUBLE_EQ(totals["seconds_per_handset"].get<double>(), 10.0);

  const Json none = Snapshot(StationBoard("t", {Row("COM1", "waiting")}))["totals"];
  EXPECT_EQ(none["handsets"], 0);
  EXPECT_EQ(none["seconds_per_handset"], 0.0);
}

TEST(StationBoardTest, WaitForChangeTimesOutWithoutAChange) {
  StationBoard board("t", {Row("COM1", "waiting")});
  const uint64_t seen = board.version();
  EXPECT_EQ(board.WaitForChange(seen, std::chrono::milliseconds(10)), seen);
}

TEST(StationBoardTest, WaitForChangeWakesOnAWrite) {
  StationBoard board("t", {Row("COM1", "waiting")});
  const uint64_t seen = board.version();
  // The bound is only there so that a lost wake-up fails instead of hanging.
  auto waiter = std::async(std::launch::async,
                           [&] { return board.WaitForChange(seen, std::chrono::seconds(60)); });
  board.SetRow(0, Row("COM1", "connecting"));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_GT(waiter.get(), seen);
}

TEST(StationBoardTest, SnapshotShowsTheVersionItWasTakenAt) {
  StationBoard board("t", {Row("COM1", "waiting")});
  board.SetRow(0, Row("COM1", "connecting"));
  uint64_t version = 0;
  const Json s = Json::parse(board.SnapshotJson(&version));
  EXPECT_EQ(version, board.version());
  EXPECT_EQ(s["version"], version);
}

}  // namespace
}  // namespace velmora
