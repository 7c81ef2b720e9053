// velmora-cli: the update run with a console face. The same start-up as the dialog (settings,
// embedded map, log header, unattended mode), then one update or, with --check, a map check.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/map_check.h"
#include "cli/console_view.h"
#include "cli/run_timing.h"
#include "container/loader.h"
#include "handset/service_commands.h"
#include "handset/session.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/port_namer.h"
#include "platform/settings_store.h"
#include "sim/sim_device.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"
#include "update/handset_operations.h"
#include "update/update_run.h"

namespace velmora {
namespace {

// Exit status of the console front end.
constexpr int kExitSuccess = 0;
constexpr int kExitUpdateFailed = 1;  // also: --check found the map bad
constexpr int kExitNoConnection = 2;

// The port name the link library opens for a port index: "COM1".."COM9", then "COM:".
std::string PortName(uint8_t index) {
  return std::string("COM") + static_cast<char>('1' + index);
}

// The simulated handset behind "sim:" lives as long as the program, across port opens.
class SimPort {
 public:
  explicit SimPort(Clock& clock) : clock_(clock) {}

  std::unique_ptr<SerialDevice> Open(const std::string& profilePath, std::string* error) {
    if (!handset_) {
      sim::SimProfile profile = sim::SimProfile::Default();
      if (!profilePath.empty() && !sim::LoadSimProfile(profilePath, &profile, error)) return nullptr;
      handset_ = std::make_unique<sim::SimHandset>(profile);
    }
    auto device = sim::OpenSimDevice(*handset_, clock_);
    if (!device) *error = "the simulated handset's port is in use";
    return device;
  }
  const sim::SimHandset* handset() const { return handset_.get(); }

 private:
  Clock& clock_;
  std::unique_ptr<sim::SimHandset> handset_;
};

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

  const std::string commandLine = CommandLineFromArgs(argc, argv);
  // As the program's own command line has always been searched: case-sensitive, anywhere.
  const bool unattended = commandLine.find("AUTOMATIC") != std::string::npos;

  ConsoleView view(stdout, stderr, isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0);
  view.SetUnattended(unattended);
  DialogModel model(view);
  model.SetUnattended(unattended);

  // Settings: a malformed file counts as no settings, as a missing registry key would.
  SettingsStore settings;
  std::string error;
  if (!settings.LoadFile(settingsPath.empty() ? SettingsStore::DefaultPath() : settingsPath, &error))
    std::fprintf(stderr, "warning: %s (settings ignored)\n", error.c_str());
  LinkSettings link;
  LinkReadSettings(settings, &link.portIndex, &link.baudRate);
  if (baud != 0) link.baudRate = baud;

  RealClock clock;
  SimPort simPort(clock);
  PortNamer namer(clock);
  namer.LoadTable(settings);
  namer.RegisterScheme("sim", [&simPort](const std::string& arg, std::string* why) {
    return simPort.Open(arg, why);
  });
  if (!port.empty()) namer.SetTarget(PortName(link.portIndex), port);

  EmbeddedMap embedded;
  std::string programPath;
  if (LoadEmbeddedMap(commandLine, model, &programPath, &embedded)) model.SetMapText(embedded.text);
  model.SetProgramPath(programPath);
  if (!mapPath.empty() && !model.OpenMapFile(mapPath)) return kExitUpdateFailed;

  if (check) {
    view.SetLive(true);
    return CheckMapText(model, model.MapText()) ? kExitSuccess : kExitUpdateFailed;
  }
  if (model.MapText() == nullptr && !unattended) {
    std::fprintf(stderr, "error: no map: give --map FILE (this program carries no sealed map)\n");
    return kExitUpdateFailed;
  }

  model.WriteLogHeader();
  view.SetLive(true);

  // With --timing the link sees counting decorators of its clock and devices; without it,
  // the real ones, untouched.
  RunTiming timing(clock);
  std::unique_ptr<DeviceOpener> countingOpener;
  if (!timingPath.empty()) countingOpener = timing.WrapOpener(namer);
  Link linkLibrary(timingPath.empty() ? static_cast<Clock&>(clock) : timing.LinkClock(),
                   countingOpener ? *countingOpener : static_cast<DeviceOpener&>(namer), model);
  ServiceCommands store(linkLibrary);
  HandsetSession session(linkLibrary, model, link);
  HandsetUpdateOperations ops(session, store, model);
  std::unique_ptr<UpdateOperations> timedOps;
  if (!timingPath.empty()) timedOps = timing.WrapOperations(ops);
  const RunOutcome outcome = UpdateRun(model, timedOps ? *timedOps : static_cast<UpdateOperations&>(ops));
  if (!timingPath.empty() && !timing.WriteReport(timingPath))
    std::fprintf(stderr, "warning: cannot write the timing report to %s\n", timingPath.c_str());

  if (showHandset && simPort.handset() != nullptr)
    std::printf("\nThe simulated handset now holds:\n%s", simPort.handset()->Dump().c_str());
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
