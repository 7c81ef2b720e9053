#include "gui/update_dialog.h"

#include "platform/interrupt.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/gauge.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#ifdef __WXMSW__
#include <wx/msw/wrapwin.h>
#endif

#include <algorithm>
#include <filesystem>

#include "gui/about_dialog.h"
#include "gui/port_dialog.h"
#include "gui/program_icon.h"

namespace velmora::gui {
namespace {

// Dialog template 102, in its own order (which is also the tab order: Exit takes the focus).
constexpr DialogRect kExitRect{181, 200, 132, 37};
constexpr DialogRect kWarningRect{7, 31, 189, 29};
constexpr DialogRect kAttentionRect{112, 16, 82, 8};
constexpr DialogRect kAboutRect{269, 7, 44, 40};
constexpr DialogRect kStartRect{7, 201, 132, 37};
constexpr DialogRect kProgressRect{136, 245, 177, 6};
constexpr DialogRect kLogRect{7, 60, 306, 133};
constexpr DialogRect kStatusRect{7, 243, 121, 8};
constexpr DialogRect kOpenFileRect{7, 7, 50, 14};

constexpr char kWarningText[] =
    "This program will write configuration data (mappings) to the mobile, connected to the PC. "
    "This process must not be interrupted!";
constexpr char kStatusTemplateText[] = "Garbage Collection reading EELite";

// The MapFile-Info lines line up their values with tabs, one stop every 50 dialog units.
constexpr int kTabStopDlu = 50;
constexpr int kTabStops = 12;

// Texts from the engine and file names from the system are UTF-8 when they are valid
// UTF-8 and otherwise taken byte for byte, so that no text vanishes from the log.
wxString ToWx(const std::string& text) {
  wxString s = wxString::FromUTF8(text.data(), text.size());
  if (s.empty() && !text.empty()) s = wxString(text.data(), wxConvISO8859_1, text.size());
  return s;
}

long IconStyle(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Error: return wxICON_ERROR;
    case MessageIcon::Warning: return wxICON_EXCLAMATION;
    case MessageIcon::Information: return wxICON_INFORMATION;
    case MessageIcon::Question: return wxICON_QUESTION;
    case MessageIcon::None: break;
  }
  return wxICON_NONE;
}

std::optional<std::string> RunOpenFileDialog(wxWindow* parent) {
  // No initial file name. Hiding the read-only check box and prompting before overwriting
  // have no counterpart in an open dialog here: there is neither box nor overwriting.
  wxFileDialog dialog(parent, "Open", wxString(), wxString(), WildcardFromFilter(kMapFileFilter),
                      wxFD_OPEN);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return WithDefaultExtension(dialog.GetPath().utf8_string(), kMapFileDefaultExtension);
}

std::optional<std::string> RunSaveFileDialog(wxWindow* parent) {
  wxFileDialog dialog(parent, "Save handset", wxString(), "handset.vbk",
                      WildcardFromFilter(kBackupFileFilter), wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() != wxID_OK) return std::nullopt;
  return dialog.GetPath().utf8_string();
}

}  // namespace

wxString WildcardFromFilter(const std::string& filter) {
  std::string pairs = filter;
  while (!pairs.empty() && pairs.back() == '|') pairs.pop_back();
  return ToWx(pairs);
}

std::string WithDefaultExtension(const std::string& path, const std::string& extension) {
  std::error_code error;
  if (path.empty() || extension.empty() || std::filesystem::exists(path, error)) return path;
  const std::filesystem::path name = std::filesystem::path(path).filename();
  if (name.empty() || name.has_extension() || name.string().front() == '.') return path;
  return path + "." + extension;
}

GaugeSpan GaugeSpanFor(const ProgressState& progress) {
  // A range whose top is not above its bottom shows an empty bar.
  if (progress.high <= progress.low) return {1, 0};
  const int range = progress.high - progress.low;
  const int value = std::clamp(static_cast<int>(progress.position) - progress.low, 0, range);
  return {range, value};
}

wxString PaneText(const std::string& text) { return ToWx(LfLineEnds(text)); }

class UpdateDialog::View final : public DialogView {
 public:
  explicit View(UpdateDialog& dialog) : dialog_(dialog) {}
  void Refresh(const DialogModel& model) override { dialog_.ShowModel(model); }
  int ShowMessageBox(const std::string& text, MessageIcon icon) override {
    return dialog_.ShowBox(text, icon);
  }
  void ControlChanged(const DialogModel& model, int id) override {
    dialog_.ApplyControlState(model, id);
  }
  void EndDialog(int result) override { dialog_.End(result); }

 private:
  UpdateDialog& dialog_;
};

UpdateDialog::UpdateDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Velmora", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX),
      view_(std::make_unique<View>(*this)),
      chooseFile_(RunOpenFileDialog),
      chooseSave_(RunSaveFileDialog),
      choosePort_(AskForPort) {
  SetClientSize(DluSize(this, kSize));
  SetIcons(ProgramIcons());
  BuildControls();

#ifdef __WXMSW__
  if (HMENU menu = ::GetSystemMenu(GetHWND(), FALSE)) {
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, kIdmAboutBox, wxString(kAboutMenuText).wc_str());
    ::AppendMenuW(menu, MF_STRING, kIdmSaveHandset, wxString(kSaveHandsetMenuText).wc_str());
  }
#else
  // GTK gives a dialog no system menu to add "&About Velmora..." to; the About button opens
  // the same box there, and the dialog's context menu (right button, or the menu key) holds
  // both items.
  Bind(wxEVT_CONTEXT_MENU, [this](wxContextMenuEvent&) {
    wxMenu menu;
    menu.Append(kIdmAboutBox, kAboutMenuText);
    menu.Append(kIdmSaveHandset, kSaveHandsetMenuText);
    menu.Bind(wxEVT_MENU, [this](wxCommandEvent&) { if (!running_) ShowAbout(); }, kIdmAboutBox);
    menu.Bind(wxEVT_MENU, [this](wxCommandEvent&) { SaveHandset(); }, kIdmSaveHandset);
    PopupMenu(&menu);
  });
#endif

  Bind(wxEVT_BUTTON, &UpdateDialog::OnAbout, this, kIdAbout);
  Bind(wxEVT_BUTTON, &UpdateDialog::OnStart, this, kIdStart);
  Bind(wxEVT_BUTTON, &UpdateDialog::OnOpenFile, this, kIdOpenFile);
  Bind(wxEVT_BUTTON, &UpdateDialog::OnExit, this, kIdExit);
  Bind(wxEVT_CLOSE_WINDOW, &UpdateDialog::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, &UpdateDialog::OnCharHook, this);
  Centre();
}

UpdateDialog::~UpdateDialog() = default;

DialogView& UpdateDialog::view() { return *view_; }

void UpdateDialog::BuildControls() {
  auto at = [this](const DialogRect& r) { return DluPosition(this, r); };
  auto size = [this](const DialogRect& r) { return DluSize(this, r); };

  exit_ = new wxButton(this, kIdExit, "Exit", at(kExitRect), size(kExitRect));
  exit_->SetDefault();
  auto* warning = new wxStaticText(this, wxID_ANY, kWarningText, at(kWarningRect), size(kWarningRect),
                                   wxALIGN_LEFT | wxST_NO_AUTORESIZE);
  warning->Wrap(size(kWarningRect).GetWidth());
  new wxStaticText(this, wxID_ANY, "Attention!", at(kAttentionRect), size(kAttentionRect),
                   wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  about_ = new wxButton(this, kIdAbout, "About", at(kAboutRect), size(kAboutRect));
  about_->SetBitmap(ProgramIconBitmap(32));
  about_->SetBitmapPosition(wxTOP);
  start_ = new wxButton(this, kIdStart, "Start", at(kStartRect), size(kStartRect));
  progress_ = new wxGauge(this, kIdProgress, 100, at(kProgressRect), size(kProgressRect),
                          wxGA_HORIZONTAL | wxGA_SMOOTH);
  progress_->Hide();
  log_ = new wxTextCtrl(this, kIdLogPane, wxString(), at(kLogRect), size(kLogRect),
                        wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL | wxTE_RICH2 | wxTE_DONTWRAP);
  ApplyTabStops();
  status_ = new wxStaticText(this, kIdStatusLine, kStatusTemplateText, at(kStatusRect),
                             size(kStatusRect), wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
  status_->Hide();
  openFile_ = new wxButton(this, kIdOpenFile, "Open File", at(kOpenFileRect), size(kOpenFileRect));
  openFile_->Hide();
}

void UpdateDialog::ApplyTabStops() {
  // Tab positions are given in tenths of a millimetre.
  const int stepPx = ConvertDialogToPixels(wxSize(kTabStopDlu, 0)).GetWidth();
  const int dpi = GetDPI().GetWidth() > 0 ? GetDPI().GetWidth() : 96;
  wxArrayInt tabs;
  for (int i = 1; i <= kTabStops; ++i) tabs.Add(i * stepPx * 254 / dpi);
  wxTextAttr attr;
  attr.SetTabs(tabs);
  log_->SetDefaultStyle(attr);
  if (log_->GetLastPosition() > 0) log_->SetStyle(0, log_->GetLastPosition(), attr);
}

void UpdateDialog::Initialise(Program& program, StartupOptions options, const std::string& mapPath,
                              std::string* warning) {
  program_ = &program;
  if (!options.askPort) options.askPort = [this] { return choosePort_(this); };
  program.Initialise(options, warning);
  // Settings that cannot be used end the program before anything else happens.
  if (!program.startupError().empty()) return;
  // A map named on the command line is loaded as Open File loads it, header line included.
  if (!mapPath.empty()) program.model().OpenMapFile(mapPath);
  if (program.model().Unattended()) {
    // Posted, not run: the update starts once the modal loop runs, with the dialog on screen.
    // It goes to the dialog, not the button, so it arrives even when Start is disabled.
    auto* start = new wxCommandEvent(wxEVT_BUTTON, kIdStart);
    start->SetEventObject(start_);
    GetEventHandler()->QueueEvent(start);
  }
}

void UpdateDialog::ShowModel(const DialogModel& model) {
  // Only what is new goes to the pane: a refresh costs the same at the end of a long run as
  // at its start.
  const LogFeed::Change change = logFeed_.Next(model);
  if (change.replace) {
    log_->ChangeValue(ToWx(change.text));
    ApplyTabStops();
  } else if (!change.text.empty()) {
    log_->AppendText(ToWx(change.text));
  }
  log_->ShowPosition(log_->GetLastPosition());
  status_->SetLabelText(ToWx(model.statusText()));
  const GaugeSpan span = GaugeSpanFor(model.progress());
  progress_->SetRange(span.range);
  progress_->SetValue(span.value);

  Refresh();
  // The run holds the only thread; on GTK a repaint happens in the event loop, so let it
  // paint now. Input is harmless meanwhile: Start and Exit are disabled, and the handlers
  // and the close box refuse to act while a run is on.
  if (running_ && wxTheApp != nullptr) wxTheApp->Yield(true);
  Update();
}

void UpdateDialog::ApplyControlState(const DialogModel& model, int id) {
  wxWindow* control = FindWindow(id);
  if (control == nullptr) return;
  control->Enable(model.enabled(id));
  control->Show(model.shown(id));
}

int UpdateDialog::ShowBox(const std::string& text, MessageIcon icon) {
  if (showBox_) return showBox_(text, icon);
  wxString shown = PaneText(text);
  shown.Trim();
  wxMessageBox(shown, kMessageBoxCaption, wxOK | IconStyle(icon), this);
  return 1;  // OK, the only button
}

void UpdateDialog::End(int result) {
  // Each handset of a line ends as a run does; the line itself ends the dialog.
  if (lineRunning_) return;
  endResult_ = result;
  if (IsModal()) EndModal(result);
}

void UpdateDialog::ShowAbout() {
  AboutDialog about(this);
  about.ShowModal();
}

void UpdateDialog::OnAbout(wxCommandEvent&) {
  if (!running_) ShowAbout();
}

void UpdateDialog::OnStart(wxCommandEvent&) {
  if (running_ || program_ == nullptr) return;
  running_ = true;
  if (continuous_.continuous) {
    lineRunning_ = true;
    const int result = RunContinuousStart(
        *program_, continuous_, [this] { return closeRequested_; },
        [] { if (wxTheApp != nullptr) wxTheApp->Yield(true); });
    lineRunning_ = false;
    running_ = false;
    if (result != 0) End(result);
    return;
  }
  StartRecorded(*program_, DialogRecordSetup(continuous_));
  running_ = false;
  // A termination request held through a garbage collection ends the dialog now that the
  // handset's blocks are back; the program then exits as that request would have ended it.
  if (HeldInterrupt() != 0) End(kInterruptedResult);
}

void UpdateDialog::SaveHandset() {
  if (running_ || program_ == nullptr) return;
  const std::optional<std::string> path = chooseSave_(this);
  if (!path) return;
  running_ = true;
  program_->Backup(*path);
  running_ = false;
  if (HeldInterrupt() != 0) End(kInterruptedResult);
}

void UpdateDialog::OnOpenFile(wxCommandEvent&) {
  if (running_ || program_ == nullptr) return;
  const std::optional<std::string> path = chooseFile_(this);
  if (!path) return;
  program_->model().OpenMapFile(*path);
}

void UpdateDialog::OnExit(wxCommandEvent&) {
  if (!running_) End(kIdExit);
}

void UpdateDialog::OnClose(wxCloseEvent& event) {
  // The close box is the Exit command; like Exit it waits for the run to end. A line of
  // handsets finishes the one on the line and then ends the dialog.
  if (lineRunning_ && !closeRequested_) {
    closeRequested_ = true;
    program_->model().Log("Closing: the handset on the line is finished first\r\n");
    program_->model().RefreshLog();
  }
  if (running_ && event.CanVeto()) {
    event.Veto();
    return;
  }
  End(kIdExit);
}

void UpdateDialog::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_ESCAPE) {
    if (!running_) End(kIdExit);
    return;
  }
  event.Skip();
}

#ifdef __WXMSW__
WXLRESULT UpdateDialog::MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) {
  if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == kIdmAboutBox) {
    ShowAbout();
    return 0;
  }
  if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == kIdmSaveHandset) {
    SaveHandset();
    return 0;
  }
  return wxDialog::MSWWindowProc(message, wParam, lParam);
}
#endif

}  // namespace velmora::gui
