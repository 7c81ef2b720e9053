// The about box: program name, version, legal notice and an organisational note.
#pragma once

#include <wx/dialog.h>
#include <wx/string.h>

#include "gui/dialog_units.h"

namespace velmora::gui {

inline constexpr int kIdAboutVersion = 1012;
inline constexpr int kIdAboutOk = 1;

// The texts of the box that are ours to word.
inline constexpr char kAboutLegalNotice[] = "Copyright (c) 2002 Velmora developers";
inline constexpr char kAboutOrganisationNote[] = "Velmora service software team";

class AboutDialog final : public wxDialog {
 public:
  static constexpr DialogRect kSize{0, 0, 235, 65};

  explicit AboutDialog(wxWindow* parent);

  // The version text goes into control 1012 when the box is shown, as data exchange fills it.
  bool TransferDataToWindow() override;

 private:
  wxString versionText_;
};

}  // namespace velmora::gui
