// The serial-port dialog, asked once at start-up when no link settings are stored: four radio
// buttons COM1..COM4, none of them selected at first, and OK.
#pragma once

#include <array>

#include <wx/dialog.h>
#include <wx/radiobut.h>

#include "gui/dialog_units.h"

namespace velmora::gui {

inline constexpr int kIdPortOk = 1;
inline constexpr int kIdPortCancel = 2;
inline constexpr int kIdCom1 = 1004;  // COM2..COM4 follow: 1005, 1006, 1007

class PortDialog final : public wxDialog {
 public:
  static constexpr DialogRect kSize{0, 0, 116, 170};

  explicit PortDialog(wxWindow* parent);

  // 0 = COM1 ... 3 = COM4, -1 when none was chosen or the dialog was cancelled.
  int selectedPort() const { return selectedPort_; }

  // OK copies the radio choice into selectedPort(); nothing else does.
  bool TransferDataFromWindow() override;

 private:
  void OnCharHook(wxKeyEvent& event);

  std::array<wxRadioButton*, 4> ports_{};
  // GTK radio groups always hold a selected button, so a hidden fifth one carries the
  // "nothing chosen yet" state.
  wxRadioButton* none_ = nullptr;
  int selectedPort_ = -1;
};

// Runs the port dialog modally and returns its choice, -1 for none.
int AskForPort(wxWindow* parent);

}  // namespace velmora::gui
