// What both dialog views (wxWidgets on Linux, the native one on Windows) take from the command
// line and give back as the exit status. Nothing here knows a widget toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/record_keeper.h"
#include "platform/user_interaction.h"

namespace velmora {
class Program;
}

namespace velmora::gui {

// What the command line asks for, parsed before the dialog starts.
struct GuiOptions {
  std::string commandLine;   // the whole command line, program path first
  std::string mapPath;       // --map: loaded as Open File loads it
  std::string port;          // --port: the device behind the configured port
  std::string settingsPath;  // --settings
  uint32_t baudRate = 0;     // --baud; 0: from the settings
  bool verify = false;       // --verify: every block written is read back and compared
  std::string undoPath;      // --undo: what the update may change, kept before it starts
  bool continuous = false;   // --continuous: handset after handset
  bool again = false;        // --again
  int count = 0;             // --count, 0 no limit
  std::string records;       // --records: "" the default database, "none" none
};

// How the dialog keeps each run's record.
RecordSetup DialogRecordSetup(const GuiOptions& options);

// Parses the arguments (UTF-8, program first) into *options. -1: go on; otherwise the exit
// status, --help, --version or the parser's message having been printed.
int ParseGuiOptions(const std::vector<std::string>& arguments, GuiOptions* options);

// The file dialogs' filters, in the common dialogs' "text|pattern|...||" form.
inline constexpr char kMapFileFilter[] = "Talvex MAP Files (*.map)|*.map|All Files (*.*)|*.*||";
inline constexpr char kBackupFileFilter[] = "Handset backups (*.vbk)|*.vbk|All Files (*.*)|*.*||";
// The system menu's item beside About: every block of the handset into a handset backup, as
// velmora-cli --backup writes it.
inline constexpr char kSaveHandsetMenuText[] = "&Save handset...";

// Set to a file name, message boxes are appended to that file ("error: ", "warning: ",
// "info: " and the text) and confirmed at once instead of being shown, so that a run under
// test never waits for a hand on the mouse.
inline constexpr char kMessageLogVariable[] = "VELMORA_GUI_MESSAGE_LOG";

// The dialog's result when a termination request was held through a run: not one of the
// dialog's own results (1, 2, 3).
inline constexpr int kInterruptedResult = 100;

// Not a result the dialog gives: the start-up failed before it was shown; ends as a failure.
inline constexpr int kStartupFailedResult = 3;

// The process exit status for the dialog's result: 0 when the update succeeded (result 1),
// 3 when it failed (result 3), 2 when the dialog was left with Exit or the close box
// (result 2); anything else counts as a failure.
int ExitStatusForResult(int dialogResult);

// The Start button of a dialog asked for --continuous: handset after handset until the dialog
// is closed (closeRequested), an interrupt or --count, each with its own undo file; boxes go to
// the log. idle keeps the window alive between looks at the port. Returns the result the dialog
// ends with, or 0 when it stays open (attended, after --count).
int RunContinuousStart(Program& program, const GuiOptions& options,
                       const std::function<bool()>& closeRequested, std::function<void()> idle);

// Appends one message box to the message log: its kind, ": ", the text and "\n", the same
// bytes on every system.
void AppendMessageLog(const std::string& path, const std::string& text, MessageIcon icon);

// The message log's path from kMessageLogVariable, in UTF-8; "" when there is none.
std::string MessageLogPath();

}  // namespace velmora::gui
