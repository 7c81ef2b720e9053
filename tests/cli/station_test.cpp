// Station mode's own parts: the station file, the log names, what an exit status means, the
// IMEI taken from a run's log, the summary table, and the files a station keeps in the state
// folder (and takes over from one that was killed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/station.h"
#include "cli/station_events.h"
#include "cli/station_files.h"
#include "platform/child_process.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

TEST(Station, FileNamesPortsAndTheirLogs) {
  const std::string text =
      "# bench 3\r\n"
      "usb:0403:6001:A1   left.log\r\n"
      "\r\n"
      "  rfc2217://127.0.0.1:7001   # the remote one\r\n"
      "sim:\n"
      "sim:\n";
  std::vector<StationPort> ports;
  std::string why;
  ASSERT_TRUE(ParseStationText(text, "bench.txt", &ports, &why)) << why;
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0].port, "usb:0403:6001:A1");
  EXPECT_EQ(ports[0].logPath, "left.log");
  EXPECT_EQ(ports[1].port, "rfc2217://127.0.0.1:7001");
  EXPECT_EQ(ports[1].logPath, "velmora-station-2-rfc2217___127.0.0.1_7001.log");
  EXPECT_EQ(ports[1].line, 4);
  // Each process has a simulated handset of its own.
  EXPECT_EQ(ports[3].logPath, "velmora-station-4-sim_.log");
}

TEST(Station, BadFilesAreRefusedWithTheLine) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"", "bench.txt: names no port"},
      {"# only a comment\n\n", "bench.txt: names no port"},
      {"/dev/ttyUSB0 a.log extra\n", "bench.txt: line 1: expected a port and at most a log file, found 3 words"},
      {"/dev/ttyUSB0\n/dev/ttyUSB1\n/dev/ttyUSB0\n", "bench.txt: line 3: port /dev/ttyUSB0 is named twice"},
      {"/dev/ttyUSB0 x.log\nsim: x.log\n", "bench.txt: line 2: log file x.log is named twice"},
  };
  for (const Case& c : cases) {
    std::vector<StationPort> ports;
    std::string why;
    EXPECT_FALSE(ParseStationText(c.text, "bench.txt", &ports, &why)) << c.text;
    EXPECT_EQ(why, c.why);
  }
  std::vector<StationPort> ports;
  std::string why;
  EXPECT_FALSE(StationFromPorts({"/dev/ttyUSB0", "/dev/ttyUSB0"}, &ports, &why));
  EXPECT_EQ(why, "--port: port /dev/ttyUSB0 is named twice");
}

TEST(Station, OutcomesImeiAndSummary) {
  EXPECT_EQ(StationOutcome(0), "succeeded");
  EXPECT_EQ(StationOutcome(2), "not connected");
  EXPECT_EQ(StationOutcome(143), "interrupted");
  EXPECT_EQ(StationOutcome(137), "ended with 137");
  EXPECT_EQ(ImeiFromLog("header\nIMEI: 351234567890128\r\nMapFile-Info"), "351234567890128");
  EXPECT_EQ(ImeiFromLog("Error switching service mode!\n"), "");

  std::vector<StationResult> results(2);
  results[0] = {"usb:0403:6001:A1", "a.log", "351234567890128", 0, 41.26, 0.5};
  results[1] = {"/dev/ttyUSB1", "b.log", "", 2, 60, 0.125};
  EXPECT_EQ(FormatStationSummary(results),
            "Port              IMEI             Outcome            Time     CPU  Log\n"
            "usb:0403:6001:A1  351234567890128  succeeded         41.3s   0.50s  a.log\n"
            "/dev/ttyUSB1      -                not connected     60.0s   0.12s  b.log\n"
            "2 handsets: 1 succeeded, 1 did not\n");
}


TEST(Station, LineSummaryCountsHandsetsPerPort) {
  std::vector<StationLineResult> lines(2);
  lines[0] = {"COM1", "a.log", 0, 3, 0, 1, 90.0, 1.5};
  lines[1] = {"rfc2217://127.0.0.1:4000", "b.log", 130, 1, 1, 0, 50.0, 0.5};
  EXPECT_EQ(FormatLineSummary(lines),
            "Port                      Handsets  Succeeded  Failed  Turned away  Per handset  "
            "CPU per handset  Log\n"
            "COM1                             3          3       0            1        30.0s"
            "            0.50s  a.log\n"
            "rfc2217://127.0.0.1:4000         2          1       1            0        25.0s"
            "            0.25s  b.log (interrupted)\n"
            "5 handsets: 4 succeeded, 1 failed, 1 turned away\n");
}

TEST(Station, LineSummaryCountsInterruptedHandsetsApart) {
  // Two ports stopped by a second interrupt, each in its second handset: four handsets touched.
  std::vector<StationLineResult> lines(2);
  lines[0] = {"COM1", "a.log", 130, 1, 0, 0, 20.0, 1.0, 1};
  lines[1] = {"COM2", "b.log", 130, 1, 0, 1, 30.0, 1.0, 1};
  EXPECT_EQ(FormatLineSummary(lines),
            "Port  Handsets  Succeeded  Failed  Interrupted  Turned away  Per handset  "
            "CPU per handset  Log\n"
            "COM1         2          1       0            1            0        10.0s"
            "            0.50s  a.log (interrupted)\n"
            "COM2         2          1       0            1            1        15.0s"
            "            0.50s  b.log (interrupted)\n"
            "4 handsets: 2 succeeded, 0 failed, 2 interrupted, 1 turned away\n");
}

TEST(StationEvents, StatusAndRecordLinesGoThereAndBackAndAnythingElseIsSkipped) {
  PortEvent sent;
  sent.state = "writing";
  sent.imei = "351234567890128";
  sent.progress = 37;
  sent.stateSinceMs = 1796964258521;
  sent.succeeded = 2;
  sent.failed = 1;
  sent.interrupted = 1;
  sent.seconds = 61.5;
  sent.lastError = "Wrong Mapping for this Mobile!\n\"quoted\"";
  PortEvent got;
  std::string record;
  bool isRecord = true;
  ASSERT_TRUE(ParseStationEvent(FormatStatusEvent(sent), &got, &record, &isRecord));
  EXPECT_FALSE(isRecord);
  EXPECT_EQ(got.state, sent.state);
  EXPECT_EQ(got.imei, sent.imei);
  EXPECT_EQ(got.progress, 37);
  EXPECT_EQ(got.stateSinceMs, sent.stateSinceMs);
  EXPECT_EQ(got.succeeded, 2);
  EXPECT_EQ(got.failed, 1);
  EXPECT_EQ(got.interrupted, 1);
  EXPECT_DOUBLE_EQ(got.seconds, 61.5);
  EXPECT_EQ(got.lastError, sent.lastError);

  ASSERT_TRUE(ParseStationEvent(FormatRecordEvent("{\"imei\":\"1\",\"outcome\":\"succeeded\"}"),
                                &got, &record, &isRecord));
  EXPECT_TRUE(isRecord);
  EXPECT_EQ(record, "{\"imei\":\"1\",\"outcome\":\"succeeded\"}");

  for (const char* bad : {"", "{", "[]", "{\"status\":3}", "{\"record\":\"text\"}",
                          "{\"status\":{\"progress\":\"lots\"}}", "{\"other\":{}}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseStationEvent(bad, &got, &record, &isRecord));
  }
}

TEST(StationEvents, ATailHandsOutWholeLinesOnlyAsTheFileGrows) {
  testing::TempFolder folder("velmora-events");
  const std::string path = folder.File("port.events");
  EventTail tail(path);
  EXPECT_TRUE(tail.ReadNew().empty());  // not there yet
  std::ofstream out(path, std::ios::binary);
  out << "one\ntw" << std::flush;
  EXPECT_EQ(tail.ReadNew(), std::vector<std::string>{"one"});
  out << "o\nthree\n" << std::flush;
  EXPECT_EQ(tail.ReadNew(), (std::vector<std::string>{"two", "three"}));
  EXPECT_TRUE(tail.ReadNew().empty());
  // A piece at a time when lines come faster than one read takes.
  out << "four\nfive\n" << std::flush;
  EXPECT_EQ(tail.ReadNew(3), std::vector<std::string>{});
  EXPECT_EQ(tail.ReadNew(3), std::vector<std::string>{"four"});
  EXPECT_EQ(tail.ReadNew(), std::vector<std::string>{"five"});
}

// The files of stations in a state folder, as a killed one leaves them: an owner file with its
// marks, events files and a done list.
struct StationFilesTest : ::testing::Test {
  testing::TempFolder folder{"velmora-station-files"};
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = folder.File(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  bool There(const std::string& name) const { return std::filesystem::exists(folder.path() / name); }
  static std::string Mark(const ProcessMark& m) {
    return std::to_string(m.id) + " " + std::to_string(m.started) + "\n";
  }
  // A station of two ports whose owner file holds these marks.
  void Leave(const std::string& stem, const std::string& marks, const std::string& done) {
    Write(stem + ".owner", marks);
    Write(stem + "-1.events", "{}\n");
    Write(stem + "-2.events", "{}\n");
    if (!done.empty()) Write(stem + ".done", done);
  }
};

TEST_F(StationFilesTest, AnEndedStationsFilesAreTakenOverAndALiveOnesLeft) {
  const ProcessMark self = OwnProcessMark();
  ASSERT_GT(self.id, 0);
  // This process under a later start time: the same id given to another process, so ended.
  ProcessMark gone = self;
  gone.started += 1;
  Leave("velmora-station-1-1-1", Mark(gone), "351234567890128\r\n351234567890132");
  Leave("velmora-station-2-2-1", Mark(gone) + Mark(self), "351234567890140\n");  // a program runs
  Leave("velmora-station-3-3-1", "not a mark\n", "351234567890157\n");          // not ours
  Write("velmora-station-1796964258521-1.events", "{}\n");                    // no owner file
  const std::string done = Write("mine.done", "351234567890165\n");
  std::vector<std::string> notes;
  TakeOverStationLeftovers(folder.str(), done, &notes);
  // The ended station's files are gone, its handsets now done at this station as well.
  for (const char* name : {"velmora-station-1-1-1.owner", "velmora-station-1-1-1-1.events",
                           "velmora-station-1-1-1-2.events", "velmora-station-1-1-1.done"})
    EXPECT_FALSE(There(name)) << name;
  EXPECT_EQ(testing::ReadWholeFile(done), "351234567890165\n351234567890128\n351234567890132\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("2 events file(s) removed"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("2 handset(s) done taken over"), std::string::npos) << notes[0];
  // The rest is left as it was.
  for (const char* name : {"velmora-station-2-2-1.owner", "velmora-station-2-2-1-1.events",
                           "velmora-station-2-2-1.done", "velmora-station-3-3-1.owner",
                           "velmora-station-3-3-1-2.events", "velmora-station-3-3-1.done",
                           "velmora-station-1796964258521-1.events"})
    EXPECT_TRUE(There(name)) << name;
}

TEST_F(StationFilesTest, AStationWithoutADoneListKeepsAnEndedOnesListForTheNextLine) {
  ProcessMark gone = OwnProcessMark();
  gone.started += 1;
  Leave("velmora-station-1-1-1", Mark(gone), "351234567890128\n");
  std::vector<std::string> notes;
  TakeOverStationLeftovers(folder.str(), "", &notes);
  EXPECT_FALSE(There("velmora-station-1-1-1-1.events"));
  EXPECT_TRUE(There("velmora-station-1-1-1.done"));
  EXPECT_TRUE(There("velmora-station-1-1-1.owner"));
  // The next continuous station takes it over.
  const std::string done = folder.File("mine.done");
  notes.clear();
  TakeOverStationLeftovers(folder.str(), done, &notes);
  EXPECT_EQ(testing::ReadWholeFile(done), "351234567890128\n");
  EXPECT_FALSE(There("velmora-station-1-1-1.done"));
  EXPECT_FALSE(There("velmora-station-1-1-1.owner"));
}

TEST_F(StationFilesTest, AStationsFilesCarryItsMarkAndGoWithIt) {
  std::string owner;
  {
    StationFiles files(2, true, folder.str());
    owner = files.owner();
    ASSERT_EQ(files.events().size(), 2u);
    // Its own files are never taken for an ended station's, by itself or by another.
    std::vector<std::string> notes;
    TakeOverStationLeftovers(folder.str(), folder.File("other.done"), &notes);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(testing::ReadWholeFile(owner), Mark(OwnProcessMark()));
    const std::string stem = owner.substr(0, owner.size() - std::string(".owner").size());
    for (const std::string& path : files.events()) EXPECT_EQ(path.rfind(stem + "-", 0), 0u) << path;
    EXPECT_EQ(files.doneList(), stem + ".done");
  }
  EXPECT_FALSE(std::filesystem::exists(owner));
}

}  // namespace
}  // namespace velmora
