#include "gui/win32/native_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "app/dialog_model.h"
#include "app/log_feed.h"
#include "app/record_keeper.h"
#include "app/startup.h"
#include "gui/win32/dialog_text.h"
#include "gui/win32/resource.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/win32/text.h"

namespace velmora::gui {
namespace {

constexpr wchar_t kMapFileDefaultExtension[] = L"0a-";
constexpr wchar_t kMessageBoxCaption[] = L"Velmora";
// The MapFile-Info lines line up their values with tabs: one stop every 50 dialog units.
constexpr int kTabStopDlu = 50;
// The window's icons at 96 DPI, the DPI that sizes in pixels are given for; the About button's
// icon keeps a few pixels from its top edge.
constexpr int kBaseDpi = 96;
constexpr int kIconSize = 32;
constexpr int kSmallIconSize = 16;
constexpr LONG kAboutImageMargin = 6;

// Texts from the engine and file names are UTF-8; a text that is not valid UTF-8 (a map
// written by an older tool) is taken in the system's own code page, so that nothing vanishes
// from the log.
std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  UINT codePage = CP_UTF8;
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) {
    codePage = LegacyAnsiCodePage();
    n = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text.data(), size,
                      out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextW(dialog, IDC_VERSION, Wide(kVersionText).c_str());
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    default: break;
  }
  return FALSE;
}

// The port dialog's answer goes to the int its caller handed over: 0 = COM1 ... 3 = COM4, and
// -1 when no button was chosen or the dialog was cancelled with Esc.
INT_PTR CALLBACK PortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
      return TRUE;
    case WM_COMMAND: {
      auto* selected = reinterpret_cast<int*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
      if (LOWORD(wParam) == IDOK) {
        for (int i = 0; i < 4; ++i) {
          if (IsDlgButtonChecked(dialog, IDC_COM1 + i) == BST_CHECKED) *selected = i;
        }
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {  // Esc, although the Cancel button is hidden
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
    }
    default: break;
  }
  return FALSE;
}

class NativeDialog final : public DialogView {
 public:
  explicit NativeDialog(const GuiOptions& options) : options_(options), messageLog_(MessageLogPath()) {}

  int Run() {
    RealClock clock;
    Program program(*this, clock);
    program.SetVerify(options_.verify);
    program.SetUndo(options_.undoPath);
    // An undo file named after the IMEI must not turn out to be the map or the settings.
    program.SetRunFiles({{"map file", options_.mapPath}, {"settings file", options_.settingsPath}});
    program_ = &program;
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATE_DIALOG),
                                           nullptr, &NativeDialog::Proc, reinterpret_cast<LPARAM>(this));
    program_ = nullptr;
    if (result == -1) {
      std::fprintf(stderr, "velmora: the dialog could not be created (error %lu)\n", GetLastError());
      return kStartupFailedResult;
    }
    return static_cast<int>(result);
  }

  // --- DialogView ---
  void Refresh(const DialogModel& model) override {
    if (hwnd_ == nullptr) return;
    HWND log = GetDlgItem(hwnd_, IDC_LOG);
    const LogFeed::Change change = logFeed_.Next(model);
    if (change.replace) {
      SetWindowTextW(log, Wide(CrLfLineEnds(change.text)).c_str());
    } else if (!change.text.empty()) {
      // Only what is new goes to the pane: a refresh at the end of a long run costs what one
      // at its start does.
      const LRESULT end = GetWindowTextLengthW(log);
      SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(end), end);
      SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(Wide(CrLfLineEnds(change.text)).c_str()));
    }
    // Scrolled down by as many lines as it holds: the last line is in view.
    SendMessageW(log, EM_LINESCROLL, 0, SendMessageW(log, EM_GETLINECOUNT, 0, 0));
    SetDlgItemTextW(hwnd_, IDC_STATUS, Wide(model.statusText()).c_str());
    HWND progress = GetDlgItem(hwnd_, IDC_PROGRESS);
    const ProgressState& state = model.progress();
    SendMessageW(progress, PBM_SETRANGE, 0, MAKELPARAM(state.low, state.high));
    SendMessageW(progress, PBM_SETPOS, state.position, 0);
    // The run holds the only thread: repaint now, not when the loop next gets to it.
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  }

  int ShowMessageBox(const std::string& text, MessageIcon icon) override {
    if (!messageLog_.empty()) {
      AppendMessageLog(messageLog_, text, icon);
      return 1;
    }
    // The icons' numbers are the message box's own flags.
    return MessageBoxW(hwnd_, Wide(CrLfLineEnds(BoxText(text))).c_str(), kMessageBoxCaption,
                       MB_OK | static_cast<UINT>(icon));
  }

  void ControlChanged(const DialogModel& model, int id) override {
    if (hwnd_ == nullptr) return;
    HWND control = GetDlgItem(hwnd_, id);
    if (control == nullptr) return;
    EnableWindow(control, model.enabled(id) ? TRUE : FALSE);
    ShowWindow(control, model.shown(id) ? SW_SHOW : SW_HIDE);
  }

  void EndDialog(int result) override {
    // Each handset of a line ends as a run does; the line itself ends the dialog.
    if (lineRunning_) return;
    if (hwnd_ != nullptr) ::EndDialog(hwnd_, result);
  }

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
    auto* self = reinterpret_cast<NativeDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self != nullptr ? self->Handle(hwnd, message, wParam, lParam) : FALSE;
  }

  INT_PTR Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
      case WM_INITDIALOG:
        hwnd_ = hwnd;
        Initialise();
        return TRUE;
      case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
          ShowAbout();
          return TRUE;
        }
        if ((wParam & 0xFFF0) == IDM_SAVEHANDSET) {
          if (!running_) SaveHandset();
          return TRUE;
        }
        return FALSE;
      case WM_PAINT:
        if (!IsIconic(hwnd)) return FALSE;
        PaintIcon();
        return TRUE;
      case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon_);
      case WM_DPICHANGED:
        // Moved to a monitor of another DPI: the icons in its sizes. The system itself scales
        // the dialog (per-monitor awareness v2), hence FALSE.
        LoadIcons(LOWORD(wParam));
        return FALSE;
      case WM_COMMAND:
        return Command(LOWORD(wParam));
      default: return FALSE;
    }
  }

  void Initialise() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    wchar_t aboutText[64] = {};
    if (LoadStringW(instance, IDS_ABOUTBOX, aboutText, 64) > 0) {
      if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, aboutText);
        AppendMenuW(menu, MF_STRING, IDM_SAVEHANDSET, Wide(kSaveHandsetMenuText).c_str());
      }
    }
    LoadIcons(SystemDpi());
    HWND log = GetDlgItem(hwnd_, IDC_LOG);
    UINT tabStop = kTabStopDlu;
    SendMessageW(log, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
    // A long run's log is far beyond an edit control's default limit of 32767 characters.
    SendMessageW(log, EM_SETLIMITTEXT, 0, 0);

    StartupOptions startup;
    startup.commandLine = options_.commandLine;
    startup.settingsPath = options_.settingsPath;
    startup.port = options_.port;
    startup.baudRate = options_.baudRate;
    startup.askPort = [this] {
      int selected = -1;
      DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PORT_DIALOG), hwnd_, PortProc,
                      reinterpret_cast<LPARAM>(&selected));
      return selected;
    };
    std::string warning;
    program_->Initialise(startup, &warning);
    // Settings values that could not be used, and what is used instead; on the console.
    for (size_t at = 0; at < warning.size();) {
      size_t end = warning.find('\n', at);
      if (end == std::string::npos) end = warning.size();
      std::fprintf(stderr, "warning: %s\n", warning.substr(at, end - at).c_str());
      at = end + 1;
    }
    if (!program_->startupError().empty()) {
      // Settings the program cannot run with: said in an error box, and the program ends.
      program_->model().ShowMessageBox(program_->startupError(), MessageIcon::Error);
      ::EndDialog(hwnd_, kStartupFailedResult);
      return;
    }
    // A map named on the command line is loaded as Open File loads it, header line included.
    if (!options_.mapPath.empty()) program_->model().OpenMapFile(options_.mapPath);
    if (program_->model().Unattended()) {
      // Posted, not run: the update starts once the modal loop runs, with the dialog on
      // screen. It reaches the dialog even while the Start button is disabled.
      PostMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(hwnd_, IDC_START)));
    }
  }

  INT_PTR Command(int id) {
    switch (id) {
      case IDC_START:
        if (running_) return TRUE;
        if (options_.continuous) {
          RunLine();
          return TRUE;
        }
        running_ = true;
        StartRecorded(*program_, DialogRecordSetup(options_));
        running_ = false;
        // A termination request held through a garbage collection ends the dialog now that
        // the handset's blocks are back.
        if (HeldInterrupt() != 0) EndDialog(kInterruptedResult);
        return TRUE;
      case IDC_ABOUT:
        if (!running_) ShowAbout();
        return TRUE;
      case IDC_OPEN_FILE:
        if (!running_) OpenFile();
        return TRUE;
      case IDCANCEL:  // Exit, Esc and the close box
        if (lineRunning_ && !closeRequested_) {
          // A line of handsets finishes the one on the line and then ends the dialog.
          closeRequested_ = true;
          program_->model().Log("Closing: the handset on the line is finished first\r\n");
          program_->model().RefreshLog();
        }
        if (!running_) EndDialog(IDCANCEL);
        return TRUE;
      default: return FALSE;
    }
  }

  // --continuous: handset after handset; the dialog's messages are handled between looks.
  void RunLine() {
    running_ = lineRunning_ = true;
    const int result = RunContinuousStart(*program_, options_, [this] { return closeRequested_; },
                                          [this] { PumpMessages(); });
    running_ = lineRunning_ = false;
    if (result != 0) EndDialog(result);
  }

  void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (IsDialogMessageW(hwnd_, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  void ShowAbout() {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, AboutProc, 0);
  }

  // A common file dialog: the chosen path in UTF-8, or "" when cancelled.
  std::string ChooseFile(const char* filterText, const wchar_t* defaultExtension,
                         const wchar_t* initialName, DWORD flags, bool save) {
    const std::wstring filter = Wide(OpenFileFilter(filterText));
    wchar_t path[MAX_PATH * 4] = {};
    wcsncpy(path, initialName, MAX_PATH);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = path;
    ofn.nMaxFile = static_cast<DWORD>(sizeof path / sizeof path[0]);
    ofn.lpstrDefExt = defaultExtension;
    ofn.Flags = flags;
    if (!(save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn))) return std::string();
    return Utf8(path);
  }

  void OpenFile() {
    const std::string path = ChooseFile(kMapFileFilter, kMapFileDefaultExtension, L"",
                                        OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, false);
    if (!path.empty()) program_->model().OpenMapFile(path);
  }

  // "Save handset...": every block of the handset into a handset backup the user names.
  void SaveHandset() {
    const std::string path = ChooseFile(kBackupFileFilter, L"vbk", L"handset.vbk",
                                        OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST, true);
    if (path.empty()) return;  // cancelled
    running_ = true;
    program_->Backup(path);
    running_ = false;
    if (HeldInterrupt() != 0) EndDialog(kInterruptedResult);
  }

  static UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
  }

  // Icon 128 at the sizes the monitor's DPI asks for (32 and 16 pixels at 96 DPI), as the
  // window's icons and the About button's image.
  void LoadIcons(UINT dpi) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    const int size = MulDiv(kIconSize, static_cast<int>(dpi), kBaseDpi);
    const int smallSize = MulDiv(kSmallIconSize, static_cast<int>(dpi), kBaseDpi);
    HICON icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
    HICON smallIcon = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, smallSize, smallSize, 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    SetAboutImage(icon, size);
    if (icon_ != nullptr) DestroyIcon(icon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
    icon_ = icon;
    smallIcon_ = smallIcon;
  }

  // The About button shows the icon above its text, as the Linux dialog's button does. Without
  // common controls 6 a button takes no image list: the icon alone then, as buttons of old
  // showed it.
  void SetAboutImage(HICON icon, int size) {
    HWND about = GetDlgItem(hwnd_, IDC_ABOUT);
    HIMAGELIST images = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 1, 0);
    ImageList_AddIcon(images, icon);
    BUTTON_IMAGELIST list{images, {0, kAboutImageMargin, 0, 0}, BUTTON_IMAGELIST_ALIGN_TOP};
    if (SendMessageW(about, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&list))) {
      if (aboutImages_ != nullptr) ImageList_Destroy(aboutImages_);
      aboutImages_ = images;
      return;
    }
    ImageList_Destroy(images);
    SetWindowLongPtrW(about, GWL_STYLE, GetWindowLongPtrW(about, GWL_STYLE) | BS_ICON);
    SendMessageW(about, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
  }

  void PaintIcon() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(hwnd_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd_, &paint);
  }

  const GuiOptions& options_;
  std::string messageLog_;
  Program* program_ = nullptr;
  HWND hwnd_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  HIMAGELIST aboutImages_ = nullptr;
  LogFeed logFeed_;
  bool running_ = false;
  bool lineRunning_ = false;
  bool closeRequested_ = false;
};

}  // namespace

int RunNativeDialog(const GuiOptions& options) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // A termination request in the middle of a garbage collection waits for the blocks to be
  // back in the handset; anywhere else it ends the program as it always did.
  InstallInterruptHandlers();
  NativeDialog dialog(options);
  return ExitStatusForResult(dialog.Run());
}

}  // namespace velmora::gui
