// The run record's JSON: strings escaped so that any map name, port or IMEI text still gives
// valid JSON, times in UTC whatever the system's zone, the map's digest, and the record's shape.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "app/run_report.h"
#include "mapfile/map_writer.h"

namespace velmora {
namespace {

// A delta mapping for product 72 with one Eelite block.
std::string DeltaMapText() {
  MapInfo info;
  info.product = 72;
  info.provider = 3;
  info.mapVersion = 0x12;
  info.swVersion = 11;
  MapBlock block;
  block.number = 30;
  block.area = kAreaEelite;
  block.operation = kOpWrite;
  block.size = 2;
  block.data = {1, 2};
  return FormatMapText(info, {block});
}

// What a reader of the record gets back: the text's characters, a byte that is not part of
// valid UTF-8 as the character of that number.
TEST(RunReport, StringsReadBackAsTheirTextAndInvalidUtf8NeverPassesThrough) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"say \"hi\" \\ there", R"("say \"hi\" \\ there")"},
      {"CR\r\nLF\ttab", R"("CR\r\nLF\ttab")"},
      {std::string("nul\0bell\x07\x1f\x7f", 11), R"("nul\u0000bell\u0007\u001f\u007f")"},
      {"M\xc3\xbcnchen \xe2\x82\xac \xf0\x9f\x93\xb1", "\"M\xc3\xbcnchen \xe2\x82\xac \xf0\x9f\x93\xb1\""},
      {"latin1 \xfc", R"("latin1 \u00fc")"},
      {"cut \xe2\x82", R"("cut \u00e2\u0082")"},
      {"overlong \xc0\xaf", R"("overlong \u00c0\u00af")"},
      {"surrogate \xed\xa0\x80", R"("surrogate \u00ed\u00a0\u0080")"},
      {"too high \xf4\x90\x80\x80", R"("too high \u00f4\u0090\u0080\u0080")"},
  };
  for (const Case& c : cases) {
    RunReport r;
    r.error = c.in;
    const nlohmann::json record = nlohmann::json::parse(FormatRunReport(r));
    EXPECT_EQ(record["error"], nlohmann::json::parse(c.out)) << c.in;
  }
}

TEST(RunReport, TimesAreUtcCalendarDates) {
  EXPECT_EQ(UtcTimeText(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(UtcTimeText(951782400000), "2000-02-29T00:00:00.000Z");
  EXPECT_EQ(UtcTimeText(1709251199999), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(UtcTimeText(4102444800123), "2100-01-01T00:00:00.123Z");
  EXPECT_EQ(UtcTimeText(-1), "1969-12-31T23:59:59.999Z");
}

TEST(RunReport, DigestOfTheMapText) {
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(RunReport, RecordCarriesTheRunFailedBlockAndSavedFiles) {
  const std::string map = DeltaMapText();

  RunReport r;
  r.program = "velmora-cli";
  r.version = "Version 1.3";
  r.mapFile = "C:\\maps\\a \"b\".map";
  r.mapText = map.c_str();
  r.port = "usb:0403:6001";
  r.baudRate = 115200;
  r.verify = true;
  r.hardwareProduct = 72;
  r.startMs = 1000;
  r.endMs = 3500;
  r.record.imei = "351234567890128";
  r.record.blocks = {{30, kAreaEelite, kOpWrite, BlockOutcome::VerifyFailed, 0, 7},
                     {5001, kAreaEefull, kOpCreate, BlockOutcome::Failed, 7, -1}};
  r.record.garbageCollections = 2;
  r.record.savedFiles = {{"backup", "/tmp/mapsave.eel"}};
  r.outcome = "failed";
  r.error = "Can't send mapping blocks to mobile!";
  r.exitStatus = 1;
  const std::string json = FormatRunReport(r);

  EXPECT_EQ(json.find('\n'), std::string::npos);
  for (const char* part : {
           R"("map_file":"C:\\maps\\a \"b\".map")",
           R"("map":{"product":72,"provider":3,"map_version":18,"sw_version":11,)",
           R"("blocks":1,"delta":true})",
           R"("port":"usb:0403:6001","baud":115200,"verify":true,"imei":"351234567890128",)",
           R"("hardware_product":72,"start":"1970-01-01T00:00:01.000Z",)",
           R"("end":"1970-01-01T00:00:03.500Z","duration_ms":2500,)",
           R"({"number":30,"area":"Eelite","operation":"write","outcome":"verify-failed",)",
           R"("status":0,"verify_byte":7})",
           R"({"number":5001,"area":"Eefull","operation":"create","outcome":"failed","status":7})",
           R"("garbage_collections":2,"saved_files":[{"kind":"backup","path":"/tmp/mapsave.eel"}])",
           R"("outcome":"failed","error":"Can't send mapping blocks to mobile!","exit_status":1})",
       }) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\nin " << json;
  }
  EXPECT_NE(json.find("\"map_sha1\":\"" + Sha1Hex(map) + "\""), std::string::npos);
}

TEST(RunReport, RunThatNeverReachedTheHandsetHasNullsNotGuesses) {
  RunReport r;
  r.outcome = "not-connected";
  r.exitStatus = 2;
  const std::string json = FormatRunReport(r);
  for (const char* part : {R"("map_sha1":null,"map":null)", R"("imei":null,"hardware_product":null)",
                           R"("blocks":[],"garbage_collections":0,"saved_files":[])",
                           R"("error":null,"exit_status":2})"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\nin " << json;
  }
}

TEST(RunReport, WholeRecordKeepsItsKeysInTheDocumentedOrder) {
  // Audit trails are compared line by line: every byte of a record, key order included.
  const std::string map = DeltaMapText();
  RunReport r;
  r.program = "velmora-cli";
  r.version = "Version 1.3";
  r.runId = "0123456789abcdef0123456789abcdef";
  r.mode = "restore";
  r.mapFile = "m.map";
  r.mapText = map.c_str();
  r.port = "sim:";
  r.baudRate = 57600;
  r.endMs = 1;
  r.record.blocks = {{1, kAreaEelite, kOpWrite, BlockOutcome::Done, 0, -1}};
  r.record.garbageCollections = 1;
  r.record.savedFiles = {{"write-ahead", "/w.vbk"}};
  r.outcome = "succeeded";
  EXPECT_EQ(FormatRunReport(r),
            R"({"record":"velmora-run","record_version":2,"run_id":"0123456789abcdef0123456789abcdef",)"
            R"("program":"velmora-cli",)"
            R"("version":"Version 1.3","mode":"restore","map_file":"m.map","map_sha1":")" +
                Sha1Hex(map) +
                R"(","map":{"product":72,"provider":3,"map_version":18,"sw_version":11,"time":0,)"
                R"("date":0,"checksum":77,"blocks":1,"delta":true},"port":"sim:","baud":57600,)"
                R"("verify":false,"imei":null,"hardware_product":null,)"
                R"("start":"1970-01-01T00:00:00.000Z","end":"1970-01-01T00:00:00.001Z",)"
                R"("duration_ms":1,"blocks":[{"number":1,"area":"Eelite","operation":"write",)"
                R"("outcome":"done","status":0}],"garbage_collections":1,)"
                R"("saved_files":[{"kind":"write-ahead","path":"/w.vbk"}],"outcome":"succeeded",)"
                R"("error":null,"exit_status":0})");
}

TEST(RunReport, RecordStringsAreValidUtf8JsonWhateverTheBytes) {
  // Every text field goes the same way; the error text stands for them. A byte that is not
  // part of valid UTF-8 becomes the character of its value, which is what "\u00XX" meant.
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"say \"hi\" \\ /", R"("say \"hi\" \\ /")"},
      {std::string("nul\0\x01\b\f\x1f\x7f", 9), "\"nul\\u0000\\u0001\\b\\f\\u001f\x7f\""},
      {"M\xc3\xbcnchen \xf0\x9f\x93\xb1", "\"M\xc3\xbcnchen \xf0\x9f\x93\xb1\""},
      {"latin1 \xfc", "\"latin1 \xc3\xbc\""},
      {"cut \xe2\x82", "\"cut \xc3\xa2\xc2\x82\""},
      {"overlong \xc0\xaf", "\"overlong \xc3\x80\xc2\xaf\""},
      {"surrogate \xed\xa0\x80", "\"surrogate \xc3\xad\xc2\xa0\xc2\x80\""},
  };
  for (const Case& c : cases) {
    RunReport r;
    r.error = c.in;
    r.record.savedFiles = {{"backup", c.in}};
    const std::string json = FormatRunReport(r);
    EXPECT_NE(json.find("\"error\":" + c.out + ",\"exit_status\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"path\":" + c.out + "}"), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace velmora
