#include "gui/port_dialog.h"

#include <wx/button.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

namespace velmora::gui {
namespace {

constexpr DialogRect kPromptRect{7, 7, 102, 29};
constexpr DialogRect kGroupRect{7, 39, 102, 93};
// The template has always placed COM3 and COM4 one unit left of COM1 and COM2; here the four
// stand in one column.
constexpr DialogRect kPortRects[4] = {
    {40, 57, 36, 10}, {40, 76, 36, 10}, {40, 95, 36, 10}, {40, 114, 36, 10}};
constexpr DialogRect kOkRect{33, 149, 50, 14};
constexpr DialogRect kCancelRect{7, 149, 50, 14};

}  // namespace

PortDialog::PortDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Dialog", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
  SetClientSize(DluSize(this, kSize));

  auto* prompt = new wxStaticText(
      this, wxID_ANY, "Please select the serial interface, were the mobile is connected to:",
      DluPosition(this, kPromptRect), DluSize(this, kPromptRect), wxST_NO_AUTORESIZE);
  prompt->Wrap(DluSize(this, kPromptRect).GetWidth());
  new wxStaticBox(this, wxID_ANY, wxString(), DluPosition(this, kGroupRect), DluSize(this, kGroupRect));
  static constexpr const char* kNames[4] = {"COM1", "COM2", "COM3", "COM4"};
  for (int i = 0; i < 4; ++i) {
    ports_[i] = new wxRadioButton(this, kIdCom1 + i, kNames[i], DluPosition(this, kPortRects[i]),
                                  DluSize(this, kPortRects[i]), i == 0 ? wxRB_GROUP : 0);
  }
  none_ = new wxRadioButton(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(0, 0));
  none_->SetValue(true);
  none_->Hide();

  auto* ok = new wxButton(this, kIdPortOk, "OK", DluPosition(this, kOkRect), DluSize(this, kOkRect));
  ok->SetDefault();
  auto* cancel = new wxButton(this, kIdPortCancel, "Cancel", DluPosition(this, kCancelRect),
                              DluSize(this, kCancelRect));
  cancel->Hide();

  SetAffirmativeId(kIdPortOk);
  SetEscapeId(kIdPortCancel);
  // Esc cancels even though the Cancel button is hidden; the toolkit would only press a
  // visible one.
  Bind(wxEVT_CHAR_HOOK, &PortDialog::OnCharHook, this);
  CentreOnScreen();
}

bool PortDialog::TransferDataFromWindow() {
  selectedPort_ = -1;
  for (int i = 0; i < 4; ++i) {
    if (ports_[i]->GetValue()) selectedPort_ = i;
  }
  return wxDialog::TransferDataFromWindow();
}

void PortDialog::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE && IsModal()) {
    EndModal(kIdPortCancel);
    return;
  }
  event.Skip();
}

int AskForPort(wxWindow* parent) {
  PortDialog dialog(parent);
  dialog.ShowModal();
  return dialog.selectedPort();
}

}  // namespace velmora::gui
