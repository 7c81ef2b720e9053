// The program's icon, drawn in code: a handset with a download arrow. It stands on the
// About button, in the about box and as the dialog's own icon.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>
#include <wx/image.h>

namespace velmora::gui {

// The icon at size x size pixels, with an alpha channel.
wxImage ProgramIconImage(int size);
inline wxBitmap ProgramIconBitmap(int size) { return wxBitmap(ProgramIconImage(size)); }
// 16, 32 and 48 pixels, for the window manager to choose from.
wxIconBundle ProgramIcons();

}  // namespace velmora::gui
