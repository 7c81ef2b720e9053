// velmora-cli: the update run with a console face. The same start-up as the dialog (settings,
// embedded map, log header, unattended mode), then one update or, with --check, a map check.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/map_check.h"
#include "app/startup.h"
#include "cli/console_view.h"
#include "cli/run_timing.h"
#include "platform/clock.h"
#include "platform/command_line.h"
#include "sim/sim_handset.h"

namespace velmora {
namespace {

// Exit status of the console front end.
constexpr int kExitSuccess = 0;
constexpr int kExitUpdateFailed = 1;  // also: --check found the map bad
constexpr int kExitNoConnection = 2;

int Main(int argc, char** argv) {
  CLI::App app{
      "velmora-cli writes a mapping (numbered configuration blocks) into a handset's block\n"
      "store over a serial line. Without a handset at hand, --port sim: runs the update on\n"
      "the built-in simulated handset.\n\n"
      "Exit status: 0 success, 1 the update failed after the handset was connected\n"
      "(or --check found the map bad), 2 the handset could not be connected."};
  app.set_version_flag("--version", std::string(kVersionText) + " from " + kBuildDate + " " + kBuildTime);

  std::string mapPath;
  std::string port;
  std::string settingsPath;
  std::string timingPath;
  uint32_t baud = 0;
  bool check = false;
  bool showHandset = false;
  std::vector<std::string> words;
  app.add_option("--map", mapPath, "Map file to write; read in text mode as Open File reads it")
      ->check(CLI::ExistingFile);
  app.add_option("--port", port,
                 "Device for the configured port (COM1 unless the settings say otherwise): a path\n"
                 "such as /dev/ttyUSB0, rfc2217://HOST:PORT, or sim: / sim:PROFILE for the\n"
                 "simulated handset");
  app.add_option("--baud", baud, "Baud rate of the link (default: the settings, else 57600)")
      ->check(CLI::Range(1200u, 4000000u));
  app.add_option("--settings", settingsPath,
                 "Settings file in registry-export format (default: $VELMORA_SETTINGS, else\n"
                 "$XDG_CONFIG_HOME/velmora/settings.reg or ~/.config/velmora/settings.reg)");
  app.add_flag("--check", check, "Read and check the map only (no handset); exit 0 for a good map");
  app.add_option("--timing", timingPath,
                 "Write phase times and line counts of the run here (key=value; for the\n"
                 "whole-run benchmark)");
  app.add_flag("--show-handset", showHandset,
               "After the run, print what the simulated handset's block store holds");
  app.add_option("words", words,
                 "AUTOMATIC anywhere on the command line runs unattended: no waiting for Enter")
      ->check(CLI::IsMember({"AUTOMATIC"}));
  CLI11_PARSE(app, argc, argv);

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

  StartupOptions options;
  options.commandLine = CommandLineFromArgs(argc, argv);
  options.settingsPath = settingsPath;
  options.port = port;
  options.baudRate = baud;
  std::string warning;
  program.Initialise(options, &warning);
  view.SetUnattended(model.Unattended());
  if (!warning.empty()) std::fprintf(stderr, "warning: %s\n", warning.c_str());
  if (!mapPath.empty() && !model.OpenMapFile(mapPath)) return kExitUpdateFailed;

  if (check) {
    view.SetLive(true);
    return CheckMapText(model, model.MapText()) ? kExitSuccess : kExitUpdateFailed;
  }
  if (model.MapText() == nullptr && !model.Unattended()) {
    std::fprintf(stderr, "error: no map: give --map FILE (this program carries no sealed map)\n");
    return kExitUpdateFailed;
  }

  view.SetLive(true);
  const RunOutcome outcome = program.Start();
  if (!timingPath.empty() && !timing.WriteReport(timingPath))
    std::fprintf(stderr, "warning: cannot write the timing report to %s\n", timingPath.c_str());
  if (showHandset && program.simHandset() != nullptr)
    std::printf("\nThe simulated handset now holds:\n%s", program.simHandset()->Dump().c_str());
  switch (outcome) {
    case RunOutcome::Succeeded: return kExitSuccess;
    case RunOutcome::Failed: return kExitUpdateFailed;
    case RunOutcome::NotConnected: return kExitNoConnection;
  }
  return kExitUpdateFailed;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) { return velmora::Main(argc, argv); }
