// velmora: the update tool's dialog. The command line is read here, before the toolkit
// starts, so that --help and usage errors need no display.
#include <wx/init.h>

#include "app/record_keeper.h"
#include "gui/update_app.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  velmora::gui::GuiOptions options;
  if (const int status = velmora::gui::ParseGuiOptions({argv, argv + argc}, &options); status >= 0)
    return status;
  // Read: other users no longer see a records server's password in the command line.
  velmora::HideRecordsPasswords(argc, argv);
  // Before the toolkit takes its own options out of argv.
  options.commandLine = velmora::CommandLineFromArgs(argc, argv);

  wxApp::SetInstance(new velmora::gui::UpdateApp(std::move(options)));
  return wxEntry(argc, argv);
}
