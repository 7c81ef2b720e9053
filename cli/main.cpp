// velmora-cli: the update run with a console face. The same start-up as the dialog (settings,
// embedded map, log header, unattended mode), then one update or, with --check, a map check.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/map_check.h"
#include "app/run_report.h"
#include "app/startup.h"
#include "cli/console_view.h"
#include "cli/run_timing.h"
#include "cli/station.h"
#include "container/loader.h"
#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/standard_streams.h"
#include "platform/interrupt.h"
#include "platform/output_file.h"
#include "options/program_options.h"
#include "platform/record_file.h"
#include "platform/regular_file.h"
#include "platform/self_path.h"
#include "platform/settings_store.h"
#include "platform/text_file.h"
#include "ports/usb_ports.h"
#include "sim/sim_handset.h"

namespace velmora {
namespace {

// Exit status of the console front end.
constexpr int kExitSuccess = 0;
constexpr int kExitUpdateFailed = 1;  // also: --check found the map bad
constexpr int kExitNoConnection = 2;
constexpr int kExitUsage = 64;

int ExitStatus(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded: return kExitSuccess;
    case RunOutcome::Failed: return kExitUpdateFailed;
    case RunOutcome::NotConnected: return kExitNoConnection;
  }
  return kExitUpdateFailed;
}

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Succeeded: return "succeeded";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::NotConnected: return "not-connected";
  }
  return "failed";
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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

int Main(int argc, char** argv) {
  CLI::App app{
      "velmora-cli writes a mapping (numbered configuration blocks) into a handset's block\n"
      "store over a serial line. Without a handset at hand, --port sim: runs the update on\n"
      "the built-in simulated handset.\n\n"
      "Exit status: 0 success, 1 the update failed after the handset was connected\n"
      "(or --check found the map bad, or the map, settings or an output could not be used),\n"
      "2 the handset could not be connected, 64 a usage error, 129/130/143 a SIGHUP/SIGINT/\n"
      "SIGTERM that arrived during a garbage collection ended the run once the blocks were\n"
      "back (128 + the signal's number)."};
  AddVersionFlag(app, "velmora-cli");

  std::string mapPath;
  std::string port;
  std::vector<std::string> portList;
  std::string stationPath;
  std::string settingsPath;
  std::string timingPath;
  std::string reportPath;
  std::string reportAppendPath;
  uint32_t baud = 0;
  std::string restorePath;
  bool check = false;
  bool otherHandset = false;
  bool showHandset = false;
  bool verify = false;
  bool plan = false;
  bool listPorts = false;
  std::string sysfsRoot = kDefaultSysfsRoot;
  std::vector<std::string> words;
  app.add_option("--map", mapPath,
                 "Map file to write, - for standard input; read in text mode as Open File reads it")
      ->check(ExistingFileOrStdin());
  app.add_option("--port", portList,
                 "Device for the configured port (COM1 unless the settings say otherwise): a path\n"
                 "such as /dev/ttyUSB0, a USB adapter by identity usb:VID:PID[:SERIAL],\n"
                 "rfc2217://HOST:PORT, or sim: / sim:PROFILE for the simulated handset.\n"
                 "Given more than once: station mode, one update per port at the same time")
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--station", stationPath,
                 "Station mode: update the handsets on the ports of this file (one port a line,\n"
                 "optionally followed by its log file; # comments) at the same time, each with\n"
                 "its own log, then print a summary; exit 0 only when every handset succeeded")
      ->excludes("--port");
  app.add_flag("--list-ports", listPorts,
               "List the serial devices with their USB identity (for --port usb:...) and driver");
  app.add_option("--sysfs-root", sysfsRoot,
                 "Root of the device tree that --list-ports and usb: ports read (default /sys;\n"
                 "for tests)");
  app.add_option("--baud", baud, "Baud rate of the link (default: the settings, else 57600)")
      ->check(CLI::Range(1200u, 4000000u));
  app.add_option("--settings", settingsPath,
                 "Settings file in registry-export format (default: $VELMORA_SETTINGS, else\n"
                 "$XDG_CONFIG_HOME/velmora/settings.reg or ~/.config/velmora/settings.reg)");
  app.add_flag("--check", check, "Read and check the map only (no handset); exit 0 for a good map");
  app.add_option("--restore", restorePath,
                 "Write the Eelite blocks of a backup file (mapsave.eel, or a write-ahead copy\n"
                 "left by an interrupted garbage collection) back into the handset and read each\n"
                 "back to compare; exit 0 when every block is back")
      ->excludes("--check");
  app.add_flag("--other-handset", otherHandset,
               "With --restore: write the blocks even when the backup names another handset\n"
               "than the connected one, or names none (a bare mapsave.eel); the log says so")
      ->needs("--restore");
  app.add_option("--timing", timingPath,
                 "Write phase times and line counts of the run here (key=value; for the\n"
                 "whole-run benchmark)");
  app.add_flag("--verify", verify,
               "Read every block back after writing or creating it and compare it with the map;\n"
               "a difference fails the block and the run")
      ->excludes("--check");
  app.add_option("--report", reportPath,
                 "Write the run's record here as one JSON object (replaced whole, never left\n"
                 "half-written; see docs/run-record.md)")
      ->excludes("--check");
  app.add_option("--report-append", reportAppendPath,
                 "Append the run's record to this file as one line of JSON (an audit trail)")
      ->excludes("--check");
  app.add_flag("--plan", plan,
               "Connect, read what the handset holds and print what the update would do to\n"
               "each block (write, create, delete, nothing; size changes; garbage collection);\n"
               "write nothing, switch the handset off; exit 0 when the map fits the handset")
      ->excludes("--check")
      ->excludes("--restore")
      ->excludes("--verify");
  app.add_flag("--show-handset", showHandset,
               "After the run, print what the simulated handset's block store holds");
  app.add_option("words", words,
                 "AUTOMATIC anywhere on the command line runs unattended: no waiting for Enter")
      ->check(CLI::IsMember({"AUTOMATIC"}));
  UseBinaryStandardStreams();
  // Parsed in UTF-8 whatever the system's own code page: file names keep every character.
  const std::vector<std::string> arguments = ProcessArguments(argc, argv);
  std::vector<const char*> utf8Argv;
  for (const std::string& argument : arguments) utf8Argv.push_back(argument.c_str());
  if (const int status = ParseProgramOptions(app, static_cast<int>(utf8Argv.size()), utf8Argv.data());
      status >= 0)
    return status;

  for (const std::string& p : portList) {
    if (p.empty()) {
      std::fprintf(stderr, "--port: an empty device name\nRun with --help for more information.\n");
      return kExitUsage;
    }
  }
  const std::vector<RunInput> inputs = RunInputs(mapPath, settingsPath, stationPath, restorePath);
  if (!CheckOutputs({{reportPath, LinkRule::Refuse},
                     {reportAppendPath, LinkRule::Follow},
                     {timingPath, LinkRule::Refuse}},
                    inputs))
    return kExitUpdateFailed;

  if (portList.size() == 1) port = portList[0];
  if (!stationPath.empty() || portList.size() > 1) {
    // Each port gets a velmora-cli of its own, with what was asked of this one.
    std::vector<StationPort> station;
    std::string why;
    std::string text;
    if (!stationPath.empty() && !ReadRegularFile(stationPath, &text, &why, 1 << 20)) {
      std::fprintf(stderr, "error: station file %s: %s\n", stationPath.c_str(), why.c_str());
      return kExitUpdateFailed;
    }
    if (!(stationPath.empty() ? StationFromPorts(portList, &station, &why)
                              : ParseStationText(text, stationPath, &station, &why))) {
      std::fprintf(stderr, "error: %s\n", why.c_str());
      return kExitUpdateFailed;
    }
    if (mapPath == kStandardInputPath || !reportPath.empty() || check || !restorePath.empty() ||
        !timingPath.empty()) {
      std::fprintf(stderr,
                   "error: a station takes --map FILE, --baud, --settings, --verify, --plan, "
                   "--report-append and --show-handset; not --map -, --report, --check, "
                   "--restore or --timing\n");
      return kExitUsage;
    }
    // Every log a station empties is checked before the first handset is touched.
    std::vector<std::pair<std::string, LinkRule>> logs;
    for (const StationPort& s : station) logs.emplace_back(s.logPath, LinkRule::Refuse);
    if (!CheckOutputs(logs, inputs)) return kExitUpdateFailed;
    // Nobody answers at a station: without a map each handset would be connected for nothing.
    if (mapPath.empty() &&
        !CarriesSealedMap(ProcessCommandLine(argc, argv))) {
      std::fputs(kNoMapError, stderr);
      return kExitUpdateFailed;
    }
    std::vector<std::string> args;
    if (!mapPath.empty()) args.insert(args.end(), {"--map", mapPath});
    if (baud != 0) args.insert(args.end(), {"--baud", std::to_string(baud)});
    if (!settingsPath.empty()) args.insert(args.end(), {"--settings", settingsPath});
    if (verify) args.push_back("--verify");
    if (plan) args.push_back("--plan");
    if (showHandset) args.push_back("--show-handset");
    if (!reportAppendPath.empty()) args.insert(args.end(), {"--report-append", reportAppendPath});
    if (sysfsRoot != kDefaultSysfsRoot) args.insert(args.end(), {"--sysfs-root", sysfsRoot});
    // Nobody answers a box at a station: every run is unattended.
    args.push_back("AUTOMATIC");
    // The children's logs start with the program's path: its real name, not a system alias.
    std::string self = SelfExecutableName();
    if (self.empty()) self = arguments.empty() ? std::string("velmora-cli") : arguments[0];
    return RunStation(self, args, station, stdout);
  }

  if (listPorts) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts(sysfsRoot);
    if (ports.empty()) std::fprintf(stderr, "No serial devices found under %s\n", sysfsRoot.c_str());
    std::fputs(FormatPortList(ports).c_str(), stdout);
    return kExitSuccess;
  }

  // A termination request in the middle of a garbage collection waits for the blocks to be
  // back in the handset; anywhere else it ends the program as it always did.
  InstallInterruptHandlers();
  ConsoleView view(stdout, stderr, isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0);
  RealClock clock;
  Program program(view, clock);
  DialogModel& model = program.model();

  // With --timing the link sees counting decorators of its clock and devices; without it,
  // the real ones, untouched.
  RunTiming timing(clock);
  if (!timingPath.empty()) {
    program.Instrument(
        timing.LinkClock(), [&timing](DeviceOpener& o) { return timing.WrapOpener(o); },
        [&timing](UpdateOperations& u) { return timing.WrapOperations(u); });
  }

  program.SetVerify(verify);

  StartupOptions options;
  options.commandLine = ProcessCommandLine(argc, argv);
  options.settingsPath = settingsPath;
  options.port = port;
  options.baudRate = baud;
  options.sysfsRoot = sysfsRoot;
  // The run's record, written at every end once the options were good.
  RunReport report;
  report.program = "velmora-cli";
  report.version = kReleaseVersion;
  report.mode = !restorePath.empty() ? "restore" : plan ? "plan" : "update";
  report.mapFile = restorePath.empty() ? mapPath : restorePath;
  report.verify = verify;
  report.startMs = NowMs();
  if (!reportPath.empty() || !reportAppendPath.empty()) program.SetRunRecord(&report.record);
  const auto finish = [&](int status, const char* outcome, const std::string& error) {
    if (reportPath.empty() && reportAppendPath.empty()) return status;
    report.endMs = NowMs();
    report.mapText = restorePath.empty() ? model.MapText() : nullptr;
    const uint8_t portIndex = program.linkSettings().portIndex;
    report.port = !port.empty() ? port
                  : portIndex < 9 ? "COM" + std::to_string(portIndex + 1)
                  : portIndex == 9 ? std::string("COM:") : std::string();
    report.baudRate = program.linkSettings().baudRate;
    report.hardwareProduct = program.HardwareProduct();
    report.outcome = outcome;
    report.error = error;
    report.exitStatus = status;
    const std::string line = FormatRunReport(report) + "\n";
    std::string why;
    bool kept = true;
    if (!reportPath.empty() && !ReplaceFileWhole(reportPath, line, &why)) {
      std::fprintf(stderr, "error: cannot write the run record: %s\n", why.c_str());
      kept = false;
    }
    if (!reportAppendPath.empty() && !AppendWholeLine(reportAppendPath, line, &why)) {
      std::fprintf(stderr, "error: cannot append the run record: %s\n", why.c_str());
      kept = false;
    }
    // A line that counts on its records must not take a run without one for a good run.
    return kept || status != kExitSuccess ? status : kExitUpdateFailed;
  };

  program.SetRestoring(restorePath);
  std::string warning;
  program.Initialise(options, &warning);
  view.SetUnattended(model.Unattended());
  PrintLines(stderr, "warning: ", warning);
  if (!program.startupError().empty()) {
    PrintLines(stderr, "error: ", program.startupError());
    return finish(kExitUpdateFailed, "failed", program.startupError());
  }
  if (!mapPath.empty() && !model.OpenMapFile(mapPath))
    return finish(kExitUpdateFailed, "failed", "cannot read the map file " + mapPath);

  if (!restorePath.empty()) {
    view.SetLive(true);
    const RunOutcome restored = program.Restore(restorePath, otherHandset);
    if (showHandset && program.simHandset() != nullptr)
      std::printf("\nThe simulated handset now holds:\n%s", program.simHandset()->Dump().c_str());
    if (HeldInterrupt() != 0)
      return finish(InterruptExitStatus(HeldInterrupt()), "interrupted", "");
    return finish(ExitStatus(restored), OutcomeName(restored), "");
  }
  if (check) {
    view.SetLive(true);
    return CheckMapText(model, model.MapText()) ? kExitSuccess : kExitUpdateFailed;
  }
  // Without a map there is nothing to write: the handset is not even connected, attended or
  // not (an unattended run would otherwise connect it only to fail and switch it off).
  if (model.MapText() == nullptr) {
    std::fputs(kNoMapError, stderr);
    return finish(kExitUpdateFailed, "failed", "no map");
  }

  view.SetLive(true);
  std::string error;
  if (plan) {
    const RunOutcome planned = program.Plan(&error);
    if (showHandset && program.simHandset() != nullptr)
      std::printf("\nThe simulated handset now holds:\n%s", program.simHandset()->Dump().c_str());
    return finish(ExitStatus(planned), OutcomeName(planned), error);
  }
  const RunOutcome outcome = program.Start(&error);
  if (std::string why; !timingPath.empty() && !timing.WriteReport(timingPath, &why))
    std::fprintf(stderr, "warning: cannot write the timing report: %s\n", why.c_str());
  if (showHandset && program.simHandset() != nullptr)
    std::printf("\nThe simulated handset now holds:\n%s", program.simHandset()->Dump().c_str());
  // A request held through a garbage collection ends the program as that request would have.
  if (HeldInterrupt() != 0) return finish(InterruptExitStatus(HeldInterrupt()), "interrupted", error);
  return finish(ExitStatus(outcome), OutcomeName(outcome), error);
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) { return velmora::Main(argc, argv); }
