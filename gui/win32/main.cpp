// velmora.exe: the update tool's dialog on Windows. A program without a console of its own:
// --help, --version, usage errors and warnings go to the console it was started from.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gui/gui_options.h"
#include "gui/win32/native_dialog.h"
#include "platform/command_line.h"
#include "platform/standard_streams.h"

namespace {

// Started from a console window, a GUI program has no standard handles; it borrows the
// parent's console. Started with redirected handles (a script, Wine), it keeps them.
void UseParentConsole() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  std::FILE* ignored = nullptr;
  ignored = std::freopen("CONOUT$", "w", stdout);
  ignored = std::freopen("CONOUT$", "w", stderr);
  (void)ignored;
}

}  // namespace

int main(int argc, char** argv) {
  UseParentConsole();
  // --help, --version and warnings: the same bytes as on Linux.
  velmora::UseBinaryStandardStreams();
  velmora::gui::GuiOptions options;
  if (const int status = velmora::gui::ParseGuiOptions(velmora::ProcessArguments(argc, argv), &options);
      status >= 0) {
    std::fflush(stdout);
    return status;
  }
  options.commandLine = velmora::ProcessCommandLine(argc, argv);
  return velmora::gui::RunNativeDialog(options);
}
