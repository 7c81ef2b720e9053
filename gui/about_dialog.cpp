#include "gui/about_dialog.h"

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "app/dialog_model.h"
#include "gui/program_icon.h"

namespace velmora::gui {
namespace {

constexpr DialogRect kIconRect{11, 17, 21, 20};
constexpr DialogRect kNameRect{40, 10, 119, 8};
constexpr DialogRect kVersionRect{40, 21, 119, 8};
constexpr DialogRect kLegalRect{40, 33, 188, 8};
constexpr DialogRect kOkRect{178, 7, 50, 14};
constexpr DialogRect kNoteRect{75, 50, 153, 8};

}  // namespace

AboutDialog::AboutDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "About Velmora", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
  SetClientSize(DluSize(this, kSize));

  // Template order is tab order: the icon, the texts, OK, the note.
  new wxStaticBitmap(this, wxID_ANY, ProgramIconBitmap(32), DluPosition(this, kIconRect),
                     DluSize(this, kIconRect));
  auto text = [this](int id, const char* label, const DialogRect& r) {
    auto* t = new wxStaticText(this, id, wxString(), DluPosition(this, r), DluSize(this, r),
                               wxST_NO_AUTORESIZE);
    // No prefix processing: an ampersand is shown as it is.
    t->SetLabelText(label);
    return t;
  };
  text(wxID_ANY, "Velmora", kNameRect);
  text(kIdAboutVersion, "VERSION", kVersionRect);
  text(wxID_ANY, kAboutLegalNotice, kLegalRect);
  auto* ok = new wxButton(this, kIdAboutOk, "OK", DluPosition(this, kOkRect), DluSize(this, kOkRect));
  ok->SetDefault();
  text(wxID_ANY, kAboutOrganisationNote, kNoteRect);

  // OK (identifier 1, not the toolkit's own OK identifier) closes the box; so does Esc.
  SetAffirmativeId(kIdAboutOk);
  SetEscapeId(kIdAboutOk);
  CentreOnParent();
}

bool AboutDialog::TransferDataToWindow() {
  versionText_ = kVersionText;
  if (auto* version = FindWindow(kIdAboutVersion)) version->SetLabel(versionText_);
  return wxDialog::TransferDataToWindow();
}

}  // namespace velmora::gui
