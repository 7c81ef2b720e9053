// The main dialog: a thin view over DialogModel. It lays out dialog template 102, copies the
// model's log, status line, progress and control states into its controls, and routes the
// buttons to the start-up's Program (Start), the about box and Open File.
#pragma once

#include <wx/dialog.h>
#include <wx/string.h>

#include <functional>
#include <optional>
#include <string>

#include "app/dialog_model.h"
#include "app/log_feed.h"
#include "app/startup.h"
#include "gui/dialog_units.h"
#include "gui/gui_options.h"

class wxButton;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

namespace velmora::gui {

inline constexpr char kAboutMenuText[] = "&About Velmora...";
inline constexpr int kIdmAboutBox = 0x10;
inline constexpr int kIdmSaveHandset = 0x20;
inline constexpr char kMapFileDefaultExtension[] = "0a-";
inline constexpr char kMessageBoxCaption[] = "Velmora";

// The filter above is written as the common file dialogs of the program's first platform
// take it, closed by "||"; wxWidgets wants the pairs alone.
wxString WildcardFromFilter(const std::string& filter);
// A name typed without an extension that does not exist as typed gets the default
// extension, as the common open-file dialog does.
std::string WithDefaultExtension(const std::string& path, const std::string& extension);

// A progress state (low..high, position) as a wxGauge takes it (0..range, value), with the
// position held inside the range as a progress bar control holds it.
struct GaugeSpan {
  int range;
  int value;
};
GaugeSpan GaugeSpanFor(const ProgressState& progress);

// The log text as the log pane shows it: "\r\n" line ends become "\n".
wxString PaneText(const std::string& text);

class UpdateDialog final : public wxDialog {
 public:
  static constexpr DialogRect kSize{0, 0, 320, 258};

  explicit UpdateDialog(wxWindow* parent = nullptr);
  ~UpdateDialog() override;

  // The view the Program reports to; construct the Program with it.
  DialogView& view();

  // Test seams. The file chooser returns the chosen path, or nothing when cancelled; the
  // message box handler shows a box and returns the button pressed (1 = OK); the port
  // chooser is what the start-up runs when no settings hold a port.
  using FileChooser = std::function<std::optional<std::string>(wxWindow* parent)>;
  using MessageBoxHandler = std::function<int(const std::string& text, MessageIcon icon)>;
  using PortChooser = std::function<int(wxWindow* parent)>;
  void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
  // The chooser of "Save handset...": the backup file to write, or nothing when cancelled.
  void SetSaveChooser(FileChooser chooser) { chooseSave_ = std::move(chooser); }
  void SetMessageBoxHandler(MessageBoxHandler handler) { showBox_ = std::move(handler); }
  void SetPortChooser(PortChooser chooser) { choosePort_ = std::move(chooser); }

  // The dialog's initialisation: the start-up's steps (settings, port, embedded map, log
  // header), then the map file of the command line as Open File would load it, then, when
  // unattended, the Start command posted to the dialog itself for its modal loop.
  void Initialise(Program& program, StartupOptions options, const std::string& mapPath,
                  std::string* warning);

  // The result the update run or Exit ended the dialog with; 0 while it has not ended.
  int endResult() const { return endResult_; }
  bool running() const { return running_; }
  // Start updates handset after handset (the options' --continuous, --again, --count, --undo).
  void SetLine(const GuiOptions& options) { continuous_ = options; }

  // The event routing, as the buttons and the close box reach it.
  void OnAbout(wxCommandEvent& event);
  void OnStart(wxCommandEvent& event);
  void OnOpenFile(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);
  // "Save handset...": a backup of the connected handset into a file the user chooses.
  void SaveHandset();

 private:
  class View;

  void BuildControls();
  void ApplyTabStops();
  void ShowModel(const DialogModel& model);
  void ApplyControlState(const DialogModel& model, int id);
  int ShowBox(const std::string& text, MessageIcon icon);
  void End(int result);
  void OnClose(wxCloseEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void ShowAbout();
#ifdef __WXMSW__
  WXLRESULT MSWWindowProc(WXUINT message, WXWPARAM wParam, WXLPARAM lParam) override;
#endif

  std::unique_ptr<View> view_;
  Program* program_ = nullptr;
  FileChooser chooseFile_;
  FileChooser chooseSave_;
  MessageBoxHandler showBox_;
  PortChooser choosePort_;

  wxButton* exit_ = nullptr;
  wxButton* about_ = nullptr;
  wxButton* start_ = nullptr;
  wxGauge* progress_ = nullptr;
  wxTextCtrl* log_ = nullptr;
  wxStaticText* status_ = nullptr;
  wxButton* openFile_ = nullptr;

  LogFeed logFeed_;  // what of the model's log the pane holds already
  bool running_ = false;
  // --continuous: Start runs a line of handsets; closing asks it to stop after the handset.
  GuiOptions continuous_;
  bool lineRunning_ = false;
  bool closeRequested_ = false;
  int endResult_ = 0;
};

}  // namespace velmora::gui
