// Dialog templates give positions and sizes in dialog units: a quarter of the dialog font's
// average character width across, an eighth of its height down. The dialogs are laid out
// from those numbers, so they keep their proportions with whatever font the desktop uses.
#pragma once

#include <wx/gdicmn.h>
#include <wx/window.h>

namespace velmora::gui {

// A control's place in a dialog template: x, y, width, height in dialog units.
struct DialogRect {
  int x, y, width, height;
};

inline wxPoint DluPosition(const wxWindow* dialog, const DialogRect& r) {
  return dialog->ConvertDialogToPixels(wxPoint(r.x, r.y));
}
inline wxSize DluSize(const wxWindow* dialog, const DialogRect& r) {
  return dialog->ConvertDialogToPixels(wxSize(r.width, r.height));
}

}  // namespace velmora::gui
