// A line of handsets on the in-process simulated handset playing the operator, under the
// virtual clock: handset after handset, swapped at any moment, one updated before turned away,
// a stop between handsets, a port that is not there, a handset that is never taken away, a
// failed handset, handsets that answer no IMEI.
#include "app/continuous.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "mapfile/map_writer.h"
#include "sim/sim_handset.h"
#include "update/handset_backup.h"
#include "support/recording_view.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

// The whole log of the line: each run starts its log again with the header.
struct LineView : testing::RecordingView {
  std::string all;
  std::string last;
  void Refresh(const DialogModel& m) override {
    RecordingView::Refresh(m);
    const std::string& now = m.logText();
    all += now.compare(0, last.size(), last) == 0 ? now.substr(last.size()) : now;
    last = now;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
};

std::string MapText() {
  MapInfo info;
  info.product = 72;
  info.mapVersion = 0x12;
  info.swVersion = 11;
  std::vector<MapBlock> blocks;
  for (int32_t n : {30, 31}) {
    MapBlock block;
    block.number = n;
    block.area = kAreaEelite;
    block.operation = kOpCreate;
    block.size = 4;
    block.version = 1;
    block.data = {1, 2, 3, 4};
    blocks.push_back(block);
  }
  return FormatMapText(info, blocks);
}

class ContinuousTest : public ::testing::Test {
 protected:
  // A program on "sim:" with the profile's lines, the map loaded.
  void Start(const std::string& profile, const std::string& port = {}) {
    const std::string path = folder_.File("line.profile");
    std::ofstream(path) << profile;
    program_ = std::make_unique<Program>(view_, clock_);
    StartupOptions options;
    options.port = port.empty() ? "sim:" + path : port;
    std::string warning;
    program_->Initialise(options, &warning);
    ASSERT_EQ(program_->startupError(), "");
    program_->model().SetMapText(map_.c_str());
  }

  HandsetTally Run(LineOptions options) {
    options.port = "COM1";
    HandsetLine line(program_->model(), program_->watch(), clock_, options);
    line.OnStatus([this](const PortStatus& s) {
      statuses_.push_back(s);
      states_.push_back(PortStateName(s.state));
    });
    return line.Run([this](const HandsetGate& gate, std::string* error) {
      return program_->Start(error, gate);
    });
  }
  bool Saw(const std::string& state) const {
    return std::find(states_.begin(), states_.end(), state) != states_.end();
  }

  testing::TempFolder folder_{"velmora-line"};
  VirtualClock clock_;
  LineView view_;
  std::string map_ = MapText();
  std::unique_ptr<Program> program_;
  std::vector<PortStatus> statuses_;
  std::vector<std::string> states_;
};

constexpr char kThreeHandsets[] = "state = off\nhandsets = 3\nnext_after_ms = 1500\n";

TEST_F(ContinuousTest, UpdatesHandsetAfterHandsetAsTheyArePutOnTheLine) {
  Start(kThreeHandsets);
  LineOptions options;
  options.count = 3;
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.succeeded, 3);
  EXPECT_EQ(tally.failed, 0);
  EXPECT_EQ(program_->simHandset()->takenAway().size(), 3u);
  // Every handset got the map's blocks.
  for (const std::string& dump : program_->simHandset()->takenAway())
    EXPECT_NE(dump.find("Eelite 31"), std::string::npos) << dump;
  // Three IMEIs, each its own, in the order the handsets came.
  std::vector<std::string> imeis;
  for (const PortStatus& s : statuses_)
    if (s.state == PortState::Done) imeis.push_back(s.imei);
  EXPECT_EQ(imeis, (std::vector<std::string>{"351234567890128", "351234567890132",
                                             "351234567890140"}));
  for (const char* state : {"waiting", "connecting", "writing", "done", "stopped"})
    EXPECT_TRUE(Saw(state)) << state;
  // The port's waits are said once per change, not once per look: the first handset was on
  // the line from the start, the other two came after a wait each.
  EXPECT_EQ(view_.Count("Waiting for a handset on COM1\r\n"), 2u);
  EXPECT_GT(tally.seconds, 0);
  // Writing ends at 100 percent.
  bool full = false;
  for (const PortStatus& s : statuses_) full = full || (s.state == PortState::Writing && s.progress == 100);
  EXPECT_TRUE(full);
}

// However quickly the operator swaps one handset for the next, and however long the last
// handset's record takes to be stored, the port is never taken for the old handset: every
// handset is updated, and each once. The port that stays occupied is asked who is there.
TEST_F(ContinuousTest, EveryHandsetIsUpdatedOnceWhateverTheMomentOfTheSwap) {
  const struct {
    int swapMs;    // from a handset taken away to the next one on the line
    int recordMs;  // the record of each handset stored this slowly (a database held locked)
  } cases[] = {{0, 0}, {200, 0}, {1000, 0}, {500, 2000}, {0, 2000}, {1000, 2000}};
  for (const auto& c : cases) {
    SCOPED_TRACE("swap " + std::to_string(c.swapMs) + " ms, record " + std::to_string(c.recordMs) + " ms");
    statuses_.clear();
    view_.all.clear();
    Start("state = off\nhandsets = 3\nnext_after_ms = " + std::to_string(c.swapMs) + "\n");
    LineOptions options;
    options.count = 3;
    options.port = "COM1";
    // A line that sticks is stopped (and fails below) instead of waiting for ever.
    const int64_t until = clock_.NowUs() + int64_t{600} * 1000000;
    options.stop = [&] { return clock_.NowUs() > until; };
    HandsetLine line(program_->model(), program_->watch(), clock_, options);
    line.OnStatus([this](const PortStatus& s) { statuses_.push_back(s); });
    const HandsetTally tally = line.Run([&](const HandsetGate& gate, std::string* error) {
      const RunOutcome outcome = program_->Start(error, gate);
      clock_.SleepMs(static_cast<uint32_t>(c.recordMs));
      return outcome;
    });
    EXPECT_EQ(tally.succeeded, 3);
    EXPECT_EQ(tally.failed + tally.skipped, 0);
    std::vector<std::string> done;
    for (const PortStatus& s : statuses_)
      if (s.state == PortState::Done) done.push_back(s.imei);
    EXPECT_EQ(done, (std::vector<std::string>{"351234567890128", "351234567890132",
                                              "351234567890140"}));
    // Each handset went away holding the map; none was written twice (one "IMEI:" each).
    ASSERT_EQ(program_->simHandset()->takenAway().size(), 3u);
    for (const std::string& dump : program_->simHandset()->takenAway())
      EXPECT_NE(dump.find("Eelite 31"), std::string::npos) << dump;
    EXPECT_EQ(view_.Count("IMEI: "), 3u) << view_.all;
  }
}

TEST_F(ContinuousTest, HandsetsSwitchedOnOrInServiceModeAreFoundToo) {
  // Not on the boot adapter's probe: the slower look at the configured rate finds them.
  for (const char* state : {"normal", "service"}) {
    SCOPED_TRACE(state);
    Start(std::string("state = ") + state + "\nhandsets = 2\nnext_after_ms = 1500\n");
    LineOptions options;
    options.count = 2;
    EXPECT_EQ(Run(options).succeeded, 2);
    EXPECT_EQ(program_->simHandset()->takenAway().size(), 2u);
  }
}

// A handset put on a watched line is found within half a second, whatever moment of the looks
// it comes at: the operator's pause is swept across a whole cycle of four looks (one of them
// at the configured rate too, the longest) in 50 ms steps.
TEST_F(ContinuousTest, AHandsetPutOnTheLineIsFoundWithinHalfASecond) {
  int64_t slowestUs = 0, sumUs = 0;
  int found = 0;
  for (int pauseMs = 1500; pauseMs < 1500 + 1800; pauseMs += 50) {
    SCOPED_TRACE(pauseMs);
    statuses_.clear();
    Start("state = off\nhandsets = 2\nnext_after_ms = " + std::to_string(pauseMs) + "\n");
    std::vector<int64_t> waitsUs;
    LineOptions options;
    options.count = 2;
    options.port = "COM1";
    HandsetLine line(program_->model(), program_->watch(), clock_, options);
    PortState before = PortState::Stopped;
    line.OnStatus([&](const PortStatus& s) {
      // Found: the line turns to connecting; the first handset was there from the start.
      const int64_t putUs = program_->simHandset()->onLineSinceUs();
      if (s.state == PortState::Connecting && before != PortState::Connecting && putUs != INT64_MIN)
        waitsUs.push_back(clock_.NowUs() - putUs);
      before = s.state;
    });
    const HandsetTally tally = line.Run([this](const HandsetGate& gate, std::string* error) {
      return program_->Start(error, gate);
    });
    ASSERT_EQ(tally.succeeded, 2);
    ASSERT_EQ(waitsUs.size(), 1u) << "the second handset was put there while the line looked";
    EXPECT_GE(waitsUs[0], 0);
    EXPECT_LE(waitsUs[0], 500'000);
    slowestUs = std::max(slowestUs, waitsUs[0]);
    sumUs += waitsUs[0];
    ++found;
  }
  // Looks begin a quarter of a second apart: on average a handset waits about half of that,
  // more for the longer look.
  EXPECT_LT(sumUs / found, 250'000) << "slowest " << slowestUs << " us";
}

TEST_F(ContinuousTest, AHandsetUpdatedBeforeIsTurnedAwayUnlessAgain) {
  const struct {
    bool again;
    int succeeded, skipped;
  } cases[] = {{false, 1, 1}, {true, 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.again);
    statuses_.clear();
    view_.all.clear();
    const std::string done = folder_.File(c.again ? "again.done" : "done.done");
    // A list may come with either line end.
    std::ofstream(done, std::ios::binary) << (c.again ? "351234567890128\n" : "351234567890128\r\n");
    Start("state = off\nhandsets = 2\nnext_after_ms = 1500\n");
    LineOptions options;
    options.count = 2 - c.skipped;
    options.again = c.again;
    options.doneListPath = done;
    const HandsetTally tally = Run(options);
    EXPECT_EQ(tally.succeeded, c.succeeded);
    EXPECT_EQ(tally.skipped, c.skipped);
    EXPECT_EQ(view_.Count("IMEI 351234567890128 was updated at this station before"),
              c.again ? 0u : 1u);
    // The list now holds every handset updated, for the station's other ports.
    const std::string list = testing::ReadWholeFile(done);
    EXPECT_NE(list.find("351234567890132\n"), std::string::npos) << list;
    // The handset turned away kept its store: nothing of the map was written into it.
    const std::string first = program_->simHandset()->takenAway().at(0);
    EXPECT_EQ(first.find("Eelite 31") != std::string::npos, c.again) << first;
  }
}

TEST_F(ContinuousTest, AStopBeginsNoNewHandsetAndAHandsetLeftOnTheLineIsWaitedFor) {
  // One handset that stays: after its update the line waits for it to be taken away, says so
  // once, and a stop then ends the line without a second update.
  Start("state = off\n");
  LineOptions options;
  const int64_t until = 120 * 1000000;
  options.stop = [&] { return clock_.NowUs() > until; };
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.succeeded, 1);
  EXPECT_EQ(view_.Count("Waiting for the handset to be taken away from COM1\r\n"), 1u);
  // Asked who it is, it gave its own IMEI again: switched off again, left, never updated twice.
  EXPECT_EQ(view_.Count("IMEI: "), 1u);
  EXPECT_EQ(view_.Count("Another handset"), 0u);
  EXPECT_EQ(states_.back(), "stopped");
  EXPECT_EQ(view_.Count("Stopped taking handsets on COM1\r\n"), 1u);
}

TEST_F(ContinuousTest, APortThatIsNotThereIsTriedAgainAndSaidOnce) {
  Start("", folder_.File("no-such-device"));
  LineOptions options;
  options.stop = [&] { return clock_.NowUs() > 10 * 1000000; };
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.handsets(), 0);
  EXPECT_TRUE(Saw("not available"));
  EXPECT_EQ(view_.Count("COM1 is not available ("), 1u);
  EXPECT_NE(view_.all.find("no-such-device"), std::string::npos) << view_.all;
}

TEST_F(ContinuousTest, AFailedHandsetIsCountedWithItsErrorAndTheLineGoesOn) {
  // The first handset is of another product: its update fails; the operator puts the next on.
  Start("state = off\nproduct = 99\nhandsets = 2\nnext_after_ms = 1500\n");
  LineOptions options;
  options.count = 2;
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.failed, 2);
  EXPECT_EQ(statuses_.back().lastError, "Wrong Mapping for this Mobile!");
  EXPECT_TRUE(Saw("failed"));
  EXPECT_EQ(HandsetLine::Summary("COM1", tally).substr(0, 54),
            "COM1: 2 handsets, 0 succeeded, 2 failed, 0 turned away");
}

// An answer to AT+CGSN that is no IMEI is logged as it came, but names no handset: it is not
// looked up in the done list nor added to it, and two such handsets are both updated.
TEST_F(ContinuousTest, HandsetsThatAnswerNoImeiAreNeverTakenForOneAnother) {
  const char* answers[] = {"\\r\\nERROR\\r\\n", "\\r\\nOK\\r\\n", "\\r\\n", "\\r\\nABCDEFGHIJKLMNO\\r\\n",
                           "\\r\\n35123456789012\\r\\n"};
  for (const char* answer : answers) {
    SCOPED_TRACE(answer);
    statuses_.clear();
    view_.all.clear();
    const std::string done = folder_.File("done.list");
    std::remove(done.c_str());
    Start(std::string("state = off\nhandsets = 2\nnext_after_ms = 1500\nimei_text = ") + answer + "\n");
    LineOptions options;
    options.count = 2;
    options.doneListPath = done;
    const HandsetTally tally = Run(options);
    EXPECT_EQ(tally.succeeded, 2);
    EXPECT_EQ(tally.skipped, 0);
    for (const PortStatus& s : statuses_) EXPECT_EQ(s.imei, "");
    EXPECT_EQ(testing::ReadWholeFile(done), "");
    EXPECT_EQ(view_.Count("Handset without IMEI on COM1 succeeded"), 2u) << view_.all;
  }
}

// Swapped at once, two handsets without an IMEI cannot be told apart: the second is left
// alone (and the log says why) rather than taken for a handset done twice.
TEST_F(ContinuousTest, ASwappedHandsetWithoutImeiIsLeftAndSaidOnce) {
  Start("state = off\nhandsets = 2\nnext_after_ms = 0\nimei_text = \\r\\nERROR\\r\\n\n");
  LineOptions options;
  options.stop = [&] { return clock_.NowUs() > int64_t{120} * 1000000; };
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.succeeded, 1);
  EXPECT_EQ(view_.Count("The handset on COM1 answers no IMEI (\"ERROR\"): it cannot be told "
                        "from the one before and is left until taken away\r\n"),
            1u)
      << view_.all;
}

// The port's progress is the map blocks' alone. With an undo file every block the map names is
// read out first (the run's read-out progress going to 100 %) before anything is written; that
// read-out once showed as "writing 100 %" before the first block, and so did the previous
// handset's last percent.
TEST_F(ContinuousTest, ProgressStartsAtZeroWithTheBlocksNotWithTheUndoReadOut) {
  Start("state = off\nhandsets = 2\nnext_after_ms = 1500\n");
  program_->SetUndo(PerHandsetPath(folder_.File("undo.vbk")));
  LineOptions options;
  options.count = 2;
  ASSERT_EQ(Run(options).succeeded, 2);
  // The read-out happened: an undo file per handset.
  EXPECT_TRUE(std::filesystem::exists(folder_.File("undo-351234567890128.vbk")));
  EXPECT_TRUE(std::filesystem::exists(folder_.File("undo-351234567890132.vbk")));
  int handsets = 0;
  int last = -1;
  PortState before = PortState::Waiting;
  for (const PortStatus& s : statuses_) {
    const bool blocks = s.state == PortState::Writing || s.state == PortState::Verifying;
    if (!blocks) {
      // Connecting (the undo read-out among it), done, waiting: no progress to show.
      EXPECT_EQ(s.progress, -1) << PortStateName(s.state);
    } else if (before == PortState::Connecting) {
      // The first word of the writing, before its first block: 0, not the read-out's 100.
      ++handsets;
      EXPECT_EQ(s.progress, 0) << "handset " << handsets;
      last = 0;
    } else {
      EXPECT_GE(s.progress, last);
      last = s.progress;
    }
    before = s.state;
  }
  EXPECT_EQ(handsets, 2);
  EXPECT_EQ(last, 100);
}

// A handset cut short by a second interrupt is one of the handsets, counted apart from the
// failed ones.
TEST_F(ContinuousTest, AHandsetCutShortIsCountedAsInterrupted) {
  Start("state = off\nproduct = 99\n");
  LineOptions options;
  options.count = 1;
  options.interrupted = [] { return true; };
  const HandsetTally tally = Run(options);
  EXPECT_EQ(tally.interrupted, 1);
  EXPECT_EQ(tally.failed, 0);
  EXPECT_EQ(tally.handsets(), 1);
  EXPECT_EQ(HandsetLine::Summary("COM1", tally).substr(0, 69),
            "COM1: 1 handsets, 0 succeeded, 0 failed, 1 interrupted, 0 turned away");
  EXPECT_EQ(view_.Count(" on COM1 was interrupted after "), 1u);
}

}  // namespace
}  // namespace velmora
