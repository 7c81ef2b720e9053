// The dialog on Windows: the templates of the resource script, a thin view over the same
// DialogModel as the wxWidgets dialog on Linux.
#pragma once

#include "gui/gui_options.h"

namespace velmora::gui {

// Runs the main dialog modally (its loop is the program's only one) and returns the
// process exit status for its result.
int RunNativeDialog(const GuiOptions& options);

}  // namespace velmora::gui
