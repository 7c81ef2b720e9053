// The application object: builds the process-wide objects and the main dialog, runs the
// dialog modally (its loop is the program's only one) and ends with the dialog.
#pragma once

#include <wx/app.h>

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::gui {

// What the command line asks for, parsed before the toolkit starts.
struct GuiOptions {
  std::string commandLine;   // the whole command line, program path first
  std::string mapPath;       // --map: loaded as Open File loads it
  std::string port;          // --port: the device behind the configured port
  std::string settingsPath;  // --settings
  uint32_t baudRate = 0;     // --baud; 0: from the settings
};

// The process exit status for the dialog's result: 0 when the update succeeded (result 1),
// 3 when it failed (result 3), 2 when the dialog was left with Exit or the close box
// (result 2); anything else counts as a failure.
int ExitStatusForResult(int dialogResult);

// Set to a file name, message boxes are appended to that file ("error: ", "warning: ",
// "info: " and the text) and confirmed at once instead of being shown, so that a run under
// test never waits for a hand on the mouse.
inline constexpr char kMessageLogVariable[] = "VELMORA_GUI_MESSAGE_LOG";

class UpdateApp final : public wxApp {
 public:
  explicit UpdateApp(GuiOptions options);

  // The toolkit's own command-line parsing is skipped: main() has parsed it already.
  bool OnInit() override;
  int OnRun() override;

 private:
  GuiOptions options_;
};

}  // namespace velmora::gui
