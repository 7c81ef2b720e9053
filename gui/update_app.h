// The application object: builds the process-wide objects and the main dialog, runs the
// dialog modally (its loop is the program's only one) and ends with the dialog.
#pragma once

#include <wx/app.h>

#include "gui/gui_options.h"


namespace velmora::gui {

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
