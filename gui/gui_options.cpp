#include "gui/gui_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "app/continuous.h"
#include "app/dialog_run.h"
#include "app/startup.h"
#include "platform/environment.h"
#include "platform/interrupt.h"
#include "platform/record_file.h"
#include "options/program_options.h"
#include "options/run_options.h"

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
  RunOptions run;
  AddRunOptions(cli, FrontEnd::Dialog, &run);
  std::vector<const char*> argv;
  argv.reserve(arguments.size());
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  const int status = ParseProgramOptions(cli, static_cast<int>(argv.size()), argv.data());
  options->mapPath = run.mapPath;
  options->port = run.Port();
  options->settingsPath = run.settingsPath;
  options->baudRate = run.baudRate;
  options->verify = run.verify;
  options->undoPath = run.undoPath;
  options->continuous = run.continuous;
  options->again = run.again;
  options->count = static_cast<int>(run.count);
  options->records = run.records;
  std::string why;
  const std::vector<RunInput> inputs = {{"map file", run.mapPath}, {"settings file", run.settingsPath}};
  // A database named that can never take the record stops the dialog before any port is
  // touched; the default one is opened when the record comes.
  if (status < 0 && CheckRecordsBeforeRun(run.records, inputs, !run.records.empty(), &why) != RecordsCheck::Go) {
    std::fprintf(stderr, "error: %s\n", why.c_str());
    return kStartupFailedResult;
  }
  return status;
}

RecordSetup DialogRecordSetup(const GuiOptions& options) {
  RecordSetup setup;
  setup.program = "velmora";
  setup.mapFile = options.mapPath;
  setup.verify = options.verify;
  setup.port = options.port;
  setup.records = options.records;
  return setup;
}

int RunContinuousStart(Program& program, const GuiOptions& options,
                       const std::function<bool()>& closeRequested, std::function<void()> idle) {
  SetFinishHandsetFirst(true);
  LineOptions line;
  line.port = PortLabel(options.port, program.linkSettings());
  line.count = options.count;
  line.again = options.again;
  line.stop = [&closeRequested] {
    return closeRequested() || LineStopRequested() != 0 || HeldInterrupt() != 0;
  };
  line.interrupted = [] { return HeldInterrupt() != 0; };
  line.idle = std::move(idle);
  bool recordsKept = true;
  const HandsetTally tally =
      RunDialogLine(program, line, options.undoPath, DialogRecordSetup(options), &recordsKept);
  if (HeldInterrupt() != 0 || LineStopRequested() != 0) return kInterruptedResult;
  if (closeRequested()) return kIdExit;
  if (program.model().Unattended()) return tally.failed == 0 && recordsKept ? kEndSuccess : kEndFailure;
  return 0;
}

int ExitStatusForResult(int dialogResult) {
  const int signal = HeldInterrupt() != 0 ? HeldInterrupt() : LineStopRequested();
  switch (dialogResult) {
    case 1: return 0;
    case 2: return 2;
    case kInterruptedResult: return InterruptExitStatus(signal != 0 ? signal : 2);
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
  // Bytes as given (no "\r\n" on Windows), through the system's own path functions, so that
  // any folder name reaches the file. A log that cannot be written loses the line: the box
  // counts as confirmed all the same.
  std::string why;
  AppendWholeLine(path, std::string(kind) + ": " + text + "\n", &why);
}

std::string MessageLogPath() { return EnvironmentValue(kMessageLogVariable); }

}  // namespace velmora::gui
