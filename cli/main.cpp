// velmora-cli: the update run with a console face. The same start-up as the dialog (settings,
// embedded map, log header, unattended mode), then one mode: an update, a map check, a plan, a
// restore, the port list, or a station of several ports. Main parses, dispatches, finishes.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/map_check.h"
#include "app/record_keeper.h"
#include "app/continuous.h"
#include "app/run_report.h"
#include "app/startup.h"
#include "cli/command_line.h"
#include "cli/console_view.h"
#include "cli/run_timing.h"
#include "cli/station.h"
#include "cli/station_events.h"
#include "container/digest.h"
#include "container/loader.h"
#include "platform/clock.h"
#include "platform/child_process.h"
#include "platform/command_line.h"
#include "platform/environment.h"
#include "platform/standard_streams.h"
#include "platform/interrupt.h"
#include "platform/output_file.h"
#include "options/program_options.h"
#include "options/run_options.h"
#include "platform/record_file.h"
#include "platform/regular_file.h"
#include "platform/self_path.h"
#include "platform/settings_store.h"
#include "platform/text_file.h"
#include "ports/usb_ports.h"
#include "records/records.h"
#include "sim/sim_handset.h"
#include "update/handset_backup.h"

namespace velmora {
namespace {

// Exit status of the console front end.
constexpr int kExitSuccess = 0;
constexpr int kExitUpdateFailed = 1;  // also: --check found the map bad
constexpr int kExitNoConnection = 2;

int ExitStatus(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded: return kExitSuccess;
    case RunOutcome::Failed: return kExitUpdateFailed;
    case RunOutcome::NotConnected: return kExitNoConnection;
    case RunOutcome::Skipped: return kExitSuccess;
  }
  return kExitUpdateFailed;
}

// The run's inputs, which no output may overwrite.
std::vector<RunInput> RunInputs(const std::string& mapPath, const std::string& settingsPath,
                                const std::string& stationPath, const std::string& restorePath) {
  std::vector<RunInput> inputs;
  if (mapPath != kStandardInputPath) inputs.push_back({"map file", mapPath});
  inputs.push_back({"settings file",
                    settingsPath.empty() ? SettingsStore::DefaultPath() : settingsPath});
  inputs.push_back({"station file", stationPath});
  inputs.push_back({"backup file", restorePath});
  return inputs;
}

// Checks every output the run will write before anything else happens, so that a bad path
// costs nothing: no port opened, no handset touched. False after the reason was printed.
bool CheckOutputs(const std::vector<std::pair<std::string, LinkRule>>& outputs,
                  const std::vector<RunInput>& inputs) {
  for (const auto& [path, links] : outputs) {
    if (path.empty()) continue;
    std::string why;
    if (!CheckOutputPath(path, links, inputs, &why)) {
      std::fprintf(stderr, "error: %s\n", why.c_str());
      return false;
    }
  }
  return true;
}

// Whether this program file carries a sealed map (the loader's boxes go to stderr).
bool CarriesSealedMap(const std::string& commandLine) {
  struct StderrBoxes : UserInteraction {
    int ShowMessageBox(const std::string& text, MessageIcon) override {
      std::fprintf(stderr, "%s\n", text.c_str());
      return 1;
    }
  } boxes;
  EmbeddedMap map;
  return LoadEmbeddedMap(commandLine, boxes, nullptr, &map);
}

constexpr const char* kNoMapError =
    "error: no map: give --map FILE (this program carries no sealed map)\n";

// Each line of a text, behind a prefix.
void PrintLines(std::FILE* out, const char* prefix, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::fprintf(out, "%s%s\n", prefix, text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

// history: the runs chosen, on stdout. 0, or 1 when the database cannot be read.
int RunHistory(const RunOptions& o, RecordsCommands& r) {
  records::HistoryRequest request = r.history;
  request.format = r.json ? records::HistoryFormat::Json
                   : r.csv ? records::HistoryFormat::Csv
                           : records::HistoryFormat::Table;
  std::string why;
  if (!r.mapFile.empty()) {
    std::string text;
    if (ReadMapFileText(r.mapFile, &text, &why) != TextReadResult::Ok) {
      std::fprintf(stderr, "error: map file %s: %s\n", r.mapFile.c_str(), why.c_str());
      return kExitUpdateFailed;
    }
    request.mapSha1 = Sha1Hex(text.c_str());
  }
  std::string out;
  if (!records::ShowHistory(o.records, request, &out, &why)) {
    std::fprintf(stderr, "error: %s\n", why.c_str());
    return kExitUpdateFailed;
  }
  std::fputs(out.c_str(), stdout);
  return kExitSuccess;
}

// records sync: 0 when the outbox is empty afterwards.
int RunRecordsSync(const RunOptions& o) {
  int delivered = 0;
  int waiting = 0;
  std::string why;
  const bool done = records::SyncOutbox(o.records, &delivered, &waiting, &why);
  std::printf("%d record(s) delivered, %d waiting in the outbox\n", delivered, waiting);
  if (done) return waiting == 0 ? kExitSuccess : kExitUpdateFailed;
  std::fprintf(stderr, "error: %s\n", why.c_str());
  return kExitUpdateFailed;
}

// Station mode: a velmora-cli of its own for each port, with what was asked of this one.
int RunAsStation(const RunOptions& o, const std::vector<std::string>& arguments,
                 const std::vector<RunInput>& inputs, const std::string& commandLine) {
  std::vector<StationPort> station;
  std::string why;
  std::string text;
  if (!o.stationPath.empty() && !ReadRegularFile(o.stationPath, &text, &why, 1 << 20)) {
    std::fprintf(stderr, "error: station file %s: %s\n", o.stationPath.c_str(), why.c_str());
    return kExitUpdateFailed;
  }
  if (!(o.stationPath.empty() ? StationFromPorts(o.ports, &station, &why)
                              : ParseStationText(text, o.stationPath, &station, &why))) {
    std::fprintf(stderr, "error: %s\n", why.c_str());
    return kExitUpdateFailed;
  }
  if (HasStationRefusedOption(o)) {
    std::fprintf(stderr,
                 "error: a station takes --map FILE, --baud, --settings, --verify, --plan, "
                 "--report-append, --records, --show-handset, --undo, --continuous, --again, --count and "
                 "--serve; not --map -, --report, --check, --restore, --backup or --timing\n");
    return kExitUsage;
  }
  // Every log a station empties is checked before the first handset is touched.
  std::vector<std::pair<std::string, LinkRule>> logs;
  for (const StationPort& s : station) logs.emplace_back(s.logPath, LinkRule::Refuse);
  if (!CheckOutputs(logs, inputs)) return kExitUpdateFailed;
  // Nobody answers at a station: without a map each handset would be connected for nothing.
  if (o.mapPath.empty() && !CarriesSealedMap(commandLine)) {
    std::fputs(kNoMapError, stderr);
    return kExitUpdateFailed;
  }
  // One undo file per handset: its IMEI goes into the name.
  RunOptions forwarded = o;
  forwarded.undoPath = PerHandsetPath(o.undoPath);
  // The programs get the server's URL without its password, and the password where libpq looks
  // for one: their environment, which only this user can read, never their command lines.
  std::string password;
  if (!RecordsForPrograms(o.records, &forwarded.records, &password, &why)) {
    std::fprintf(stderr, "error: %s\n", why.c_str());
    return kExitUsage;
  }
  if (!password.empty() && !SetEnvironmentValue("PGPASSWORD", password)) {
    std::fprintf(stderr, "error: cannot hand the records server's password on to the programs\n");
    return kExitUpdateFailed;
  }
  // The session the check before the run opened is the programs' to make, each its own.
  records::CloseKeptConnections();
  std::vector<std::string> args = StationArguments(forwarded);
  // Nobody answers a box at a station: every run is unattended.
  args.push_back("AUTOMATIC");
  // The children's logs start with the program's path: its real name, not a system alias.
  std::string self = SelfExecutableName();
  if (self.empty()) self = arguments.empty() ? std::string("velmora-cli") : arguments[0];
  StationSetup setup;
  setup.continuous = o.continuous;
  setup.serveAddress = o.serveAddress;
  return RunStation(self, args, station, stdout, setup);
}

int ListPorts(const RunOptions& o) {
  std::string where;
  const std::vector<SerialPortInfo> ports = SystemSerialPorts(o.sysfsRoot, &where);
  if (ports.empty()) std::fprintf(stderr, "No serial devices found under %s\n", where.c_str());
  std::fputs(FormatPortList(ports).c_str(), stdout);
  return kExitSuccess;
}

// How velmora-cli keeps the run's record (--report, --report-append, --records).
RecordSetup CliRecordSetup(const RunOptions& o) {
  RecordSetup setup;
  setup.program = "velmora-cli";
  setup.mode = !o.restorePath.empty() ? "restore"
               : !o.backupPath.empty() ? "backup"
               : o.plan                ? "plan"
                                       : "update";
  setup.mapFile = o.restorePath.empty() ? o.mapPath : o.restorePath;
  setup.mapFromModel = o.restorePath.empty();
  setup.verify = o.verify;
  setup.port = o.Port();
  setup.reportPath = o.reportPath;
  setup.reportAppendPath = o.reportAppendPath;
  setup.records = o.records;
  setup.textWanted = !o.stationEvents.empty();
  return setup;
}

// Writes the record and gives the exit status: a line that counts on its records must not
// take a run without one for a good run.
int Finished(RecordKeeper& record, int status, const char* outcome, const std::string& error) {
  return record.Finish(status, outcome, error) || status != kExitSuccess ? status : kExitUpdateFailed;
}

int Finished(RecordKeeper& record, RunOutcome outcome, const std::string& error) {
  // A request held through a garbage collection ends the program as that request would have.
  if (HeldInterrupt() != 0)
    return Finished(record, InterruptExitStatus(HeldInterrupt()), "interrupted", error);
  return Finished(record, ExitStatus(outcome), RunOutcomeName(outcome), error);
}

void ShowSimulatedHandset(const RunOptions& o, Program& program) {
  if (o.showHandset && program.simHandset() != nullptr)
    std::printf("\nThe simulated handset now holds:\n%s", program.simHandset()->DumpAll().c_str());
}

// The port's state and records for the station that started this program (--station-events).
class EventsToStation {
 public:
  explicit EventsToStation(std::string path) : path_(std::move(path)) {}
  void Status(const PortStatus& s) {
    PortEvent e;
    e.state = PortStateName(s.state);
    e.imei = s.imei;
    e.progress = s.progress;
    e.stateSinceMs = s.stateSinceMs;
    e.handsetSinceMs = s.handsetSinceMs;
    e.succeeded = s.tally.succeeded;
    e.failed = s.tally.failed;
    e.skipped = s.tally.skipped;
    e.interrupted = s.tally.interrupted;
    e.seconds = s.tally.seconds;
    e.cpuSeconds = s.tally.cpuSeconds;
    e.lastError = s.lastError;
    Append(FormatStatusEvent(e));
  }
  void Record(const std::string& recordJson) {
    if (!recordJson.empty()) Append(FormatRecordEvent(recordJson));
  }

 private:
  void Append(const std::string& line) {
    std::string why;
    // The station only shows these; the run goes on without them, and says so once.
    if (path_.empty() || AppendWholeLine(path_, line + "\n", &why) || warned_) return;
    std::fprintf(stderr, "warning: cannot tell the station this port's state: %s\n", why.c_str());
    warned_ = true;
  }
  std::string path_;
  bool warned_ = false;
};

// --continuous: handset after handset on the port, each with its record and undo file, then the
// port's summary. 0 when no handset failed and every record was kept.
int RunLine(const RunOptions& o, Program& program, Clock& clock) {
  SetFinishHandsetFirst(true);
  LineOptions options;
  options.port = PortLabel(o.Port(), program.linkSettings());
  options.count = static_cast<int>(o.count);
  options.again = o.again;
  options.doneListPath = o.stationDone;
  const bool forStation = !o.stationEvents.empty();
  options.stop = [forStation] {
    return LineStopRequested() != 0 || HeldInterrupt() != 0 || (forStation && StationGone());
  };
  options.interrupted = [] { return HeldInterrupt() != 0; };
  HandsetLine line(program.model(), program.watch(), clock, options);
  EventsToStation station(o.stationEvents);
  line.OnStatus([&station](const PortStatus& s) { station.Status(s); });
  const std::string undo = PerHandsetPath(o.undoPath);
  bool recordsKept = true;
  const HandsetTally tally = line.Run([&](const HandsetGate& gate, std::string* error) {
    RecordKeeper record(CliRecordSetup(o), program);
    program.SetUndo(undo);
    const RunOutcome outcome = program.Start(error, gate);
    ShowSimulatedHandset(o, program);
    // A second interrupt cuts the handset short: "interrupted", with the blocks written so far;
    // one that came only after the handset was done leaves its outcome as it was.
    const bool finished = outcome == RunOutcome::Succeeded || outcome == RunOutcome::Skipped;
    if (HeldInterrupt() != 0 && finished)
      Finished(record, ExitStatus(outcome), RunOutcomeName(outcome), *error);
    else
      Finished(record, outcome, *error);
    recordsKept = recordsKept && record.kept();
    station.Record(record.line());
    return outcome;
  });
  std::printf("\n%s\n", HandsetLine::Summary(options.port, tally).c_str());
  if (HeldInterrupt() != 0) return InterruptExitStatus(HeldInterrupt());
  return tally.failed == 0 && recordsKept ? kExitSuccess : kExitUpdateFailed;
}

// The files of the run that an undo file or backup named after a handset's IMEI must not be:
// its inputs, and what it writes besides (report, trail, timing, a station's lists).
std::vector<RunInput> RunFiles(const RunOptions& o, std::vector<RunInput> files) {
  files.push_back({"report file", o.reportPath});
  files.push_back({"report trail", o.reportAppendPath});
  files.push_back({"timing report", o.timingPath});
  files.push_back({"station's list of handsets done", o.stationDone});
  files.push_back({"station's events file", o.stationEvents});
  return files;
}

// An undo file or backup named outright (no "{imei}", one handset) that exists already: it is
// never replaced, so the run is refused before any port is touched. A line of handsets names
// each handset's file after its IMEI and writes beside an existing one. False after the message.
bool RefuseExistingCopies(const RunOptions& o, bool lineOfHandsets) {
  const struct {
    const std::string& path;
    const char* what;
    bool perHandset;
  } copies[] = {{o.undoPath, "undo file", lineOfHandsets}, {o.backupPath, "backup file", false}};
  for (const auto& c : copies) {
    if (c.path.empty() || c.perHandset || c.path.find(kImeiPlaceholder) != std::string::npos ||
        LookAtPath(c.path, false, nullptr) == PathKind::Missing)
      continue;
    std::fprintf(stderr,
                 "error: the %s %s exists: it is never replaced (move it away, or give another "
                 "name or one with {imei})\n",
                 c.what, c.path.c_str());
    return false;
  }
  return true;
}

// One handset: an update, or the check, plan or restore of the options.
int RunOne(const RunOptions& o, const std::string& commandLine, const std::vector<RunInput>& inputs) {
  // A termination request in the middle of a garbage collection waits for the blocks to be
  // back in the handset; anywhere else it ends the program as it always did.
  InstallInterruptHandlers();
  // A station's program hears the requests its station passes on.
  if (!o.stationEvents.empty()) FollowStation();
  ConsoleView view(stdout, stderr, isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0);
  RealClock clock;
  Program program(view, clock);
  DialogModel& model = program.model();

  // With --timing the link sees counting decorators of its clock and devices; without it,
  // the real ones, untouched.
  RunTiming timing(clock);
  if (!o.timingPath.empty()) {
    program.Instrument(
        timing.LinkClock(), [&timing](DeviceOpener& d) { return timing.WrapOpener(d); },
        [&timing](UpdateOperations& u) { return timing.WrapOperations(u); });
  }
  program.SetVerify(o.verify);
  program.SetUndo(o.undoPath);
  program.SetRunFiles(RunFiles(o, inputs));
  StartupOptions options;
  options.commandLine = commandLine;
  options.settingsPath = o.settingsPath;
  options.port = o.Port();
  options.baudRate = o.baudRate;
  options.sysfsRoot = o.sysfsRoot;
  // The map check opens no port: settings it does not need must not stop it.
  options.settingsNeeded = !o.check;
  RecordKeeper record(CliRecordSetup(o), program);

  program.SetRestoring(o.restorePath);
  std::string warning;
  program.Initialise(options, &warning);
  view.SetUnattended(model.Unattended());
  PrintLines(stderr, "warning: ", warning);
  if (!program.startupError().empty()) {
    PrintLines(stderr, "error: ", program.startupError());
    return Finished(record, kExitUpdateFailed, "failed", program.startupError());
  }
  if (!o.mapPath.empty() && !model.OpenMapFile(o.mapPath))
    return Finished(record, kExitUpdateFailed, "failed", "cannot read the map file " + o.mapPath);

  if (!o.restorePath.empty()) {
    view.SetLive(true);
    const RunOutcome restored = program.Restore(o.restorePath, o.otherHandset, o.exact);
    ShowSimulatedHandset(o, program);
    return Finished(record, restored, "");
  }
  const auto writeTiming = [&] {
    if (std::string why; !o.timingPath.empty() && !timing.WriteReport(o.timingPath, &why))
      std::fprintf(stderr, "warning: cannot write the timing report: %s\n", why.c_str());
  };
  if (!o.backupPath.empty()) {
    view.SetLive(true);
    const RunOutcome saved = program.Backup(o.backupPath);
    writeTiming();
    ShowSimulatedHandset(o, program);
    return Finished(record, saved, "");
  }
  if (o.check) {
    view.SetLive(true);
    return CheckMapText(model, model.MapText()) ? kExitSuccess : kExitUpdateFailed;
  }
  // Without a map there is nothing to write: the handset is not even connected, attended or
  // not (an unattended run would otherwise connect it only to fail and switch it off).
  if (model.MapText() == nullptr) {
    std::fputs(kNoMapError, stderr);
    return Finished(record, kExitUpdateFailed, "failed", "no map");
  }
  view.SetLive(true);
  if (o.continuous) return RunLine(o, program, clock);
  std::string error;
  if (o.plan) {
    const RunOutcome planned = program.Plan(&error);
    ShowSimulatedHandset(o, program);
    return Finished(record, ExitStatus(planned), RunOutcomeName(planned), error);
  }
  const RunOutcome outcome = program.Start(&error);
  writeTiming();
  ShowSimulatedHandset(o, program);
  return Finished(record, outcome, error);
}

int Main(int argc, char** argv) {
  UseBinaryStandardStreams();
  RunOptions o;
  std::vector<std::string> arguments;
  RecordsCommands recordsCommands;
  // Parsed in UTF-8 whatever the system's own code page: file names keep every character.
  arguments = ProcessArguments(argc, argv);
  if (const int status = ParseCliArguments(arguments, &o, &recordsCommands); status >= 0)
    return status;
  // Read: from here on other users do not see a password in this program's command line.
  HideRecordsPasswords(argc, argv);
  if (recordsCommands.historyGiven) return RunHistory(o, recordsCommands);
  if (recordsCommands.syncGiven) return RunRecordsSync(o);

  const std::vector<RunInput> inputs = RunInputs(o.mapPath, o.settingsPath, o.stationPath, o.restorePath);
  if (!CheckOutputs({{o.reportPath, LinkRule::Refuse},
                     {o.backupPath, LinkRule::Refuse},
                     {o.undoPath, LinkRule::Refuse},
                     {o.reportAppendPath, LinkRule::Follow},
                     {o.timingPath, LinkRule::Refuse}},
                    inputs))
    return kExitUpdateFailed;
  // A --records that can never take the record stops the run before any port is touched.
  {
    std::string why;
    switch (CheckRecordsBeforeRun(o.records, inputs, !o.check && !o.listPorts, &why)) {
      case RecordsCheck::Go: break;
      case RecordsCheck::Unreadable:
        std::fprintf(stderr, "error: %s\nRun with --help for more information.\n", why.c_str());
        return kExitUsage;
      case RecordsCheck::Refused:
        std::fprintf(stderr, "error: %s\n", why.c_str());
        return kExitUpdateFailed;
    }
  }
  const std::string commandLine = ProcessCommandLine(argc, argv);
  // The live page is a station's: one port with --serve is a station of one.
  const bool station = !o.stationPath.empty() || o.ports.size() > 1 || !o.serveAddress.empty();
  if (!RefuseExistingCopies(o, station || o.continuous)) return kExitUpdateFailed;
  if (station) {
    if (o.stationPath.empty() && o.ports.empty()) {
      std::fprintf(stderr, "--serve needs the ports to show: --station FILE or --port\n"
                           "Run with --help for more information.\n");
      return kExitUsage;
    }
    return RunAsStation(o, arguments, inputs, commandLine);
  }
  if (o.listPorts) return ListPorts(o);
  return RunOne(o, commandLine, inputs);
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) { return velmora::Main(argc, argv); }
