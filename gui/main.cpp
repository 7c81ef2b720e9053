// velmora: the update tool's dialog. The command line is read here, before the toolkit
// starts, so that --help and usage errors need no display.
#include <wx/init.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "gui/update_app.h"
#include "platform/command_line.h"
#include "platform/program_options.h"

int main(int argc, char** argv) {
  using velmora::gui::GuiOptions;
  CLI::App cli{
      "velmora writes a mapping (numbered configuration blocks) into a handset's block store\n"
      "over a serial line, from its dialog. Without a handset at hand, --port sim: runs the\n"
      "update on the built-in simulated handset.\n\n"
      "Exit status: 0 the update succeeded (unattended runs), 3 it failed or the settings\n"
      "could not be used, 2 the dialog was left with Exit or its close box, 64 a usage error."};
  velmora::AddVersionFlag(cli, "velmora");
  GuiOptions options;
  std::vector<std::string> words;
  cli.add_option("--map", options.mapPath,
                 "Map file to write, - for standard input; loaded as Open File loads it")
      ->check(velmora::ExistingFileOrStdin());
  cli.add_option("--port", options.port,
                 "Device for the configured port: a path such as /dev/ttyUSB0,\n"
                 "rfc2217://HOST:PORT, or sim: / sim:PROFILE for the simulated handset");
  cli.add_option("--baud", options.baudRate, "Baud rate of the link (default: the settings, else 57600)")
      ->check(CLI::Range(1200u, 4000000u));
  cli.add_option("--settings", options.settingsPath,
                 "Settings file in registry-export format (default: $VELMORA_SETTINGS, else\n"
                 "$XDG_CONFIG_HOME/velmora/settings.reg or ~/.config/velmora/settings.reg)");
  cli.add_option("words", words,
                 "AUTOMATIC anywhere on the command line runs the update at once and ends the\n"
                 "dialog when it is done")
      ->check(CLI::IsMember({"AUTOMATIC"}));
  if (const int status = velmora::ParseProgramOptions(cli, argc, argv); status >= 0) return status;
  // Before the toolkit takes its own options out of argv.
  options.commandLine = velmora::CommandLineFromArgs(argc, argv);

  wxApp::SetInstance(new velmora::gui::UpdateApp(std::move(options)));
  return wxEntry(argc, argv);
}
