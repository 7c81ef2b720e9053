#include "gui/update_app.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/startup.h"
#include "gui/update_dialog.h"
#include "platform/clock.h"
#include "platform/interrupt.h"

namespace velmora::gui {

UpdateApp::UpdateApp(GuiOptions options) : options_(std::move(options)) {}

bool UpdateApp::OnInit() {
  SetAppName("velmora");
  SetAppDisplayName("Velmora");
  return true;
}

int UpdateApp::OnRun() {
  // A termination request in the middle of a garbage collection waits for the blocks to be
  // back in the handset; anywhere else it ends the program as it always did.
  InstallInterruptHandlers();
  RealClock clock;
  auto* dialog = new UpdateDialog(nullptr);
  SetTopWindow(dialog);
  if (const std::string path = MessageLogPath(); !path.empty()) {
    dialog->SetMessageBoxHandler([path](const std::string& text, MessageIcon icon) {
      AppendMessageLog(path, text, icon);
      return 1;
    });
  }

  int result = 0;
  {
    Program program(dialog->view(), clock);
    program.SetVerify(options_.verify);
    program.SetUndo(options_.undoPath);
    // An undo file named after the IMEI must not turn out to be the map or the settings.
    program.SetRunFiles({{"map file", options_.mapPath}, {"settings file", options_.settingsPath}});
    StartupOptions startup;
    startup.commandLine = options_.commandLine;
    startup.settingsPath = options_.settingsPath;
    startup.port = options_.port;
    startup.baudRate = options_.baudRate;
    std::string warning;
    dialog->SetLine(options_);
    dialog->Initialise(program, startup, options_.mapPath, &warning);
    // Settings values that could not be used, and what is used instead; on the console.
    for (size_t at = 0; at < warning.size();) {
      const size_t end = std::min(warning.find('\n', at), warning.size());
      std::fprintf(stderr, "warning: %s\n", warning.substr(at, end - at).c_str());
      at = end + 1;
    }
    if (!program.startupError().empty()) {
      // Settings the program cannot run with: said in an error box, and the program ends.
      program.model().ShowMessageBox(program.startupError(), MessageIcon::Error);
      result = kStartupFailedResult;
    } else {
      result = dialog->ShowModal();
      // A later end (a record that could not be kept after the run ended the dialog) counts.
      if (dialog->endResult() != 0) result = dialog->endResult();
    }
    // The dialog goes while the Program it reports to still exists.
    dialog->Destroy();
    SetTopWindow(nullptr);
  }
  return ExitStatusForResult(result);
}

}  // namespace velmora::gui
