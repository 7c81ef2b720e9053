#include "gui/gui_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "platform/interrupt.h"
#include "options/program_options.h"

namespace velmora::gui {

int ParseGuiOptions(const std::vector<std::string>& arguments, GuiOptions* options) {
  CLI::App cli{
      "velmora writes a mapping (numbered configuration blocks) into a handset's block store\n"
      "over a serial line, from its dialog. Without a handset at hand, --port sim: runs the\n"
      "update on the built-in simulated handset.\n\n"
      "Exit status: 0 the update succeeded (unattended runs), 3 it failed or the settings\n"
      "could not be used, 2 the dialog was left with Exit or its close box, 64 a usage error,\n"
      "129/130/143 a SIGHUP/SIGINT/SIGTERM that arrived during a garbage collection ended the\n"
      "program once the blocks were back (128 + the signal's number)."};
  AddVersionFlag(cli, "velmora");
  std::vector<std::string> words;
  cli.add_option("--map", options->mapPath,
                 "Map file to write, - for standard input; loaded as Open File loads it")
      ->check(ExistingFileOrStdin());
  cli.add_option("--port", options->port,
                 "Device for the configured port: a path such as /dev/ttyUSB0,\n"
                 "rfc2217://HOST:PORT, or sim: / sim:PROFILE for the simulated handset");
  cli.add_option("--baud", options->baudRate, "Baud rate of the link (default: the settings, else 57600)")
      ->check(CLI::Range(1200u, 4000000u));
  cli.add_flag("--verify", options->verify,
               "Read every block back after writing it and compare; a difference fails the block");
  cli.add_option("--settings", options->settingsPath,
                 "Settings file in registry-export format (default: $VELMORA_SETTINGS, else\n"
                 "$XDG_CONFIG_HOME/velmora/settings.reg or ~/.config/velmora/settings.reg)");
  cli.add_option("words", words,
                 "AUTOMATIC anywhere on the command line runs the update at once and ends the\n"
                 "dialog when it is done")
      ->check(CLI::IsMember({"AUTOMATIC"}));
  std::vector<const char*> argv;
  argv.reserve(arguments.size());
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  return ParseProgramOptions(cli, static_cast<int>(argv.size()), argv.data());
}

int ExitStatusForResult(int dialogResult) {
  switch (dialogResult) {
    case 1: return 0;
    case 2: return 2;
    case kInterruptedResult: return InterruptExitStatus(HeldInterrupt() != 0 ? HeldInterrupt() : 2);
    default: return 3;
  }
}

void AppendMessageLog(const std::string& path, const std::string& text, MessageIcon icon) {
  const char* kind = "message";
  switch (icon) {
    case MessageIcon::Error: kind = "error"; break;
    case MessageIcon::Warning: kind = "warning"; break;
    case MessageIcon::Information: kind = "info"; break;
    case MessageIcon::Question: kind = "question"; break;
    case MessageIcon::None: break;
  }
  // Binary: a Windows C runtime would otherwise turn "\n" into "\r\n".
  if (std::FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fprintf(f, "%s: %s\n", kind, text.c_str());
    std::fclose(f);
  }
}

}  // namespace velmora::gui
