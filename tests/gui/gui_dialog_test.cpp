// The dialogs in a real X server, driven through their own controls: the main dialog's
// template and start-up states, Open File, runs on the simulated handset (interactive and
// unattended, inside the modal loop), Exit and the close box, the about box and the port
// dialog. Screenshots go to the build directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/gauge.h>
#include <wx/init.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/startup.h"
#include "gui/about_dialog.h"
#include "gui/port_dialog.h"
#include "gui/update_app.h"
#include "gui/update_dialog.h"
#include "platform/clock.h"

namespace velmora::gui {
namespace {

namespace fs = std::filesystem;

// --- the toolkit, once for the whole program ---

class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char arg0[] = "gui_dialog_test";
    static char* argv[] = {arg0, nullptr};
    wxApp::SetInstance(new wxApp);
    ASSERT_TRUE(wxEntryStart(argc, argv)) << "no X display";
    wxInitAllImageHandlers();
  }
  void TearDown() override { wxEntryCleanup(); }
};
const auto* const kWxEnvironment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

// --- driving the controls ---

// Presses a button as a click does: only a visible, enabled button can be pressed.
void Click(wxWindow* dialog, int id) {
  auto* button = wxDynamicCast(dialog->FindWindow(id), wxButton);
  ASSERT_NE(button, nullptr) << "no button " << id;
  ASSERT_TRUE(button->IsShown() && button->IsEnabled()) << "button " << id << " cannot be pressed";
  wxCommandEvent event(wxEVT_BUTTON, id);
  event.SetEventObject(button);
  button->GetEventHandler()->ProcessEvent(event);
}

void PressEscape(wxWindow* dialog) {
  wxKeyEvent key(wxEVT_CHAR_HOOK);
  key.m_keyCode = WXK_ESCAPE;
  key.SetEventObject(dialog);
  dialog->GetEventHandler()->ProcessEvent(key);
}

template <typename T>
T* FindModal() {
  for (wxWindow* window : wxTopLevelWindows) {
    if (auto* dialog = dynamic_cast<T*>(window); dialog != nullptr && dialog->IsModal()) return dialog;
  }
  return nullptr;
}

// Runs action on the modal dialog of type T once its loop runs (and, for the main dialog,
// once no update run is on). A dialog that never comes fails the test instead of hanging it.
template <typename T>
void WhenModal(std::function<void(T&)> action, int triesLeft = 500) {
  wxTheApp->CallAfter([action, triesLeft] {
    T* dialog = FindModal<T>();
    bool busy = false;
    if constexpr (std::is_same_v<T, UpdateDialog>) busy = dialog != nullptr && dialog->running();
    if (dialog != nullptr && !busy) return action(*dialog);
    if (triesLeft > 0) {
      wxMilliSleep(10);
      return WhenModal<T>(action, triesLeft - 1);
    }
    ADD_FAILURE() << "the expected modal dialog did not appear";
    for (wxWindow* window : wxTopLevelWindows) {
      if (auto* other = dynamic_cast<wxDialog*>(window); other != nullptr && other->IsModal())
        other->EndModal(-99);
    }
  });
}

// Lets the window appear and paint, then copies it from the screen into a PNG.
void SaveScreenshot(wxTopLevelWindow& window, const std::string& name) {
  window.Raise();
  for (int i = 0; i < 30; ++i) {
    wxTheApp->Yield(true);
    wxMilliSleep(10);
  }
  const wxRect rect = window.GetScreenRect();
  wxBitmap shot(rect.GetWidth(), rect.GetHeight(), 24);
  {
    wxScreenDC screen;
    wxMemoryDC memory(shot);
    memory.Blit(0, 0, rect.GetWidth(), rect.GetHeight(), &screen, rect.GetX(), rect.GetY());
  }
  const std::string path = std::string(VELMORA_GUI_SHOT_DIR) + "/" + name;
  EXPECT_TRUE(shot.SaveFile(path, wxBITMAP_TYPE_PNG)) << path;
}

std::string Text(wxWindow* window) { return window->GetLabel().utf8_string(); }

wxStaticText* StaticWithText(wxWindow* dialog, const std::string& text) {
  for (wxWindow* child : dialog->GetChildren()) {
    auto* label = dynamic_cast<wxStaticText*>(child);
    if (label == nullptr) continue;
    wxString shown = label->GetLabel();
    shown.Replace("\n", " ");  // wrapped lines
    if (shown.utf8_string() == text) return label;
  }
  return nullptr;
}

std::string ProgramPath() {
  std::error_code error;
  return fs::read_symlink("/proc/self/exe", error).string();
}

// --- the main dialog with a Program on a virtual clock ---

struct Box {
  std::string text;
  MessageIcon icon;
};

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes_.clear();
    onBox_ = nullptr;
    chosenFiles_.clear();
    dir_ = fs::temp_directory_path() / ("velmora-gui-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    dialog_ = new UpdateDialog(nullptr);
    program_ = std::make_unique<Program>(dialog_->view(), clock_);
    dialog_->SetMessageBoxHandler([this](const std::string& text, MessageIcon icon) {
      boxes_.push_back({text, icon});
      if (onBox_) onBox_();
      return 1;
    });
    dialog_->SetFileChooser([this](wxWindow*) -> std::optional<std::string> {
      if (chosenFiles_.empty()) return std::nullopt;
      std::optional<std::string> next = chosenFiles_.front();
      chosenFiles_.erase(chosenFiles_.begin());
      return next;
    });
  }
  void TearDown() override {
    program_.reset();
    delete dialog_;
    std::error_code error;
    fs::remove_all(dir_, error);
  }

  std::string Write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  std::string ComOneSettings() {
    return Write("settings.reg",
                 "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"
                 "\"ComPort\"=hex:01\r\n\"Baudrate\"=dword:0000e100\r\n");
  }
  // Settings that hold no port: the port dialog asks. (A settings file named but missing
  // ends the program instead.)
  std::string NoPortSettings() {
    return Write("empty.reg", "Windows Registry Editor Version 5.00\r\n");
  }
  void Initialise(const std::string& words, const std::string& port, const std::string& settings,
                  const std::string& mapPath = "") {
    StartupOptions options;
    options.commandLine = ProgramPath() + (words.empty() ? "" : " " + words);
    options.port = port;
    options.settingsPath = settings;
    std::string warning;
    dialog_->Initialise(*program_, options, mapPath, &warning);
  }
  wxWindow* Control(int id) { return dialog_->FindWindow(id); }
  std::string LogPane() {
    return static_cast<wxTextCtrl*>(Control(kIdLogPane))->GetValue().utf8_string();
  }

  fs::path dir_;
  VirtualClock clock_;
  UpdateDialog* dialog_ = nullptr;
  std::unique_ptr<Program> program_;
  std::vector<Box> boxes_;
  std::function<void()> onBox_;
  std::vector<std::string> chosenFiles_;
  const std::string standardMap_ = std::string(VELMORA_EXAMPLES_DIR) + "/Velmora_K72_1_Standard_11_0001.map";
};

// --- the main dialog's template ---

TEST_F(MainDialogTest, ControlsFollowTheTemplate) {
  struct Row {
    int id;
    const char* text;
    DialogRect rect;
    bool shown;
  };
  const Row rows[] = {
      {kIdExit, "Exit", {181, 200, 132, 37}, true},
      {kIdAbout, "About", {269, 7, 44, 40}, true},
      {kIdStart, "Start", {7, 201, 132, 37}, true},
      {kIdProgress, nullptr, {136, 245, 177, 6}, false},
      {kIdLogPane, nullptr, {7, 60, 306, 133}, true},
      {kIdStatusLine, "Garbage Collection reading EELite", {7, 243, 121, 8}, false},
      {kIdOpenFile, "Open File", {7, 7, 50, 14}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    wxWindow* control = Control(row.id);
    ASSERT_NE(control, nullptr);
    if (row.text != nullptr) {
      EXPECT_EQ(Text(control), row.text);
    }
    EXPECT_EQ(control->GetPosition(), dialog_->ConvertDialogToPixels(wxPoint(row.rect.x, row.rect.y)));
    EXPECT_EQ(control->GetSize(), dialog_->ConvertDialogToPixels(wxSize(row.rect.width, row.rect.height)));
    EXPECT_EQ(control->IsShown(), row.shown);
    EXPECT_TRUE(control->IsEnabled());
  }
  EXPECT_EQ(dialog_->GetTitle(), "Velmora");
  EXPECT_EQ(dialog_->GetClientSize(), dialog_->ConvertDialogToPixels(wxSize(320, 258)));
  EXPECT_EQ(dialog_->GetDefaultItem(), Control(kIdExit));
  EXPECT_TRUE(static_cast<wxButton*>(Control(kIdAbout))->GetBitmap().IsOk());
  auto* log = dynamic_cast<wxTextCtrl*>(Control(kIdLogPane));
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(log->IsMultiLine());
  EXPECT_FALSE(log->IsEditable());
  EXPECT_TRUE(Control(kIdStatusLine)->HasFlag(wxALIGN_RIGHT));
  EXPECT_NE(dynamic_cast<wxGauge*>(Control(kIdProgress)), nullptr);

  wxStaticText* warning = StaticWithText(
      dialog_, "This program will write configuration data (mappings) to the mobile, connected to "
               "the PC. This process must not be interrupted!");
  ASSERT_NE(warning, nullptr);
  EXPECT_EQ(warning->GetPosition(), dialog_->ConvertDialogToPixels(wxPoint(7, 31)));
  wxStaticText* attention = StaticWithText(dialog_, "Attention!");
  ASSERT_NE(attention, nullptr);
  EXPECT_EQ(attention->GetPosition(), dialog_->ConvertDialogToPixels(wxPoint(112, 16)));
  EXPECT_TRUE(attention->HasFlag(wxALIGN_CENTRE_HORIZONTAL));
}

// --- start-up ---

TEST_F(MainDialogTest, WithoutSettingsThePortIsAskedAndWithoutAMapOpenFileIsOffered) {
  int asked = 0;
  dialog_->SetPortChooser([&asked](wxWindow*) { return ++asked, 2; });
  Initialise("", "", NoPortSettings());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(program_->linkSettings().portIndex, 2);
  EXPECT_EQ(program_->linkSettings().baudRate, 57600u);
  EXPECT_FALSE(Control(kIdStart)->IsEnabled());
  EXPECT_TRUE(Control(kIdOpenFile)->IsShown());
  // The header, and nothing else: data exchange also emptied the status line.
  EXPECT_EQ(LogPane().substr(0, LogPane().find('\n')), ProgramPath());
  EXPECT_NE(LogPane().find("Version 1.3 from Sep 26 2002 14:00:42\n"), std::string::npos);
  EXPECT_EQ(LogPane().find("Open file:"), std::string::npos);
  EXPECT_EQ(Text(Control(kIdStatusLine)), "");
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainDialogTest, StoredSettingsAreNotAskedFor) {
  dialog_->SetPortChooser([](wxWindow*) -> int {
    ADD_FAILURE() << "the port dialog was shown although the settings hold a port";
    return 3;
  });
  Initialise("", "sim:", ComOneSettings());
  EXPECT_EQ(program_->linkSettings().portIndex, 0);
}

TEST_F(MainDialogTest, APortOnTheCommandLineIsNotAskedFor) {
  dialog_->SetPortChooser([](wxWindow*) -> int {
    ADD_FAILURE() << "the port dialog was shown although --port names the device";
    return 3;
  });
  Initialise("", "sim:", NoPortSettings());
  EXPECT_EQ(program_->linkSettings().portIndex, 0);
}

// --- Open File ---

TEST_F(MainDialogTest, OpenFileReplacesTheMapAndRewritesTheHeader) {
  Initialise("", "sim:", ComOneSettings());
  const std::string first = Write("first.map", "first map\r\n");
  const std::string second = Write("second.map", "second map\r\n");

  chosenFiles_ = {first};
  Click(dialog_, kIdOpenFile);
  EXPECT_NE(LogPane().find("\nOpen file: " + first + "\n"), std::string::npos);
  EXPECT_TRUE(Control(kIdStart)->IsEnabled());
  EXPECT_STREQ(program_->model().MapText(), "first map\n");  // read in text mode

  chosenFiles_ = {second};
  Click(dialog_, kIdOpenFile);
  EXPECT_NE(LogPane().find("Open file: " + second), std::string::npos);
  EXPECT_EQ(LogPane().find(first), std::string::npos);
  EXPECT_STREQ(program_->model().MapText(), "second map\n");

  // Cancelled: nothing changes.
  const std::string before = LogPane();
  Click(dialog_, kIdOpenFile);
  EXPECT_EQ(LogPane(), before);

  // A file that cannot be opened: an error box, and the map in use stays.
  const std::string missing = (dir_ / "gone.map").string();
  chosenFiles_ = {missing};
  Click(dialog_, kIdOpenFile);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Can't open file " + missing + "\nNo such file or directory");
  EXPECT_EQ(boxes_[0].icon, MessageIcon::Error);
  EXPECT_STREQ(program_->model().MapText(), "second map\n");
  EXPECT_TRUE(Control(kIdStart)->IsEnabled());
}

// --- runs ---

TEST_F(MainDialogTest, InteractiveRunOnTheSimulatedHandsetEndsWithTheSuccessBox) {
  Initialise("", "sim:", ComOneSettings());
  chosenFiles_ = {standardMap_};
  Click(dialog_, kIdOpenFile);
  dialog_->Show();
  // A picture of the MapFile-Info lines as the run logs them, to see the tab stops line
  // their values up; the run then starts the log afresh.
  program_->model().Log("\r\nMapFile-Info\r\nProduct:\t72\r\nProvider:\t0x00\r\nMap-Version:\t0x01\r\n"
                        "SWVersion:\t11\r\nTime:\t120000\r\nDate:\t020926\r\n");
  program_->model().RefreshLog();
  SaveScreenshot(*dialog_, "main_dialog_tab_stops.png");
  // While the run is on, Start and Exit are disabled and the close box is refused.
  onBox_ = [this] { EXPECT_FALSE(dialog_->Close()); };
  Click(dialog_, kIdStart);

  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Configuration has been written to mobile successfully!");
  EXPECT_EQ(boxes_[0].icon, MessageIcon::Information);
  // The pane holds the model's log exactly, line ends aside, however it was refreshed.
  const std::string log = LogPane();
  EXPECT_EQ(log, PaneText(program_->model().logText()).utf8_string());
  EXPECT_NE(log.find("IMEI: 351234567890128\n"), std::string::npos);
  EXPECT_NE(log.find("MapFile-Info\nProduct:\t72\n"), std::string::npos);
  EXPECT_NE(log.find("Checksum OK\n"), std::string::npos);
  EXPECT_NE(log.find("Writing Map-Version to Mobile.\n"), std::string::npos);
  EXPECT_EQ(log.find('\r'), std::string::npos);
  // The closing state: bar and status line hidden, Start and Exit back, the dialog open.
  EXPECT_FALSE(Control(kIdProgress)->IsShown());
  EXPECT_FALSE(Control(kIdStatusLine)->IsShown());
  EXPECT_TRUE(Control(kIdStart)->IsEnabled());
  EXPECT_TRUE(Control(kIdExit)->IsEnabled());
  EXPECT_EQ(dialog_->endResult(), 0);
  EXPECT_TRUE(dialog_->IsShown());
  SaveScreenshot(*dialog_, "main_dialog_after_run.png");
}

TEST_F(MainDialogTest, SaveHandsetWritesAFullBackupOfTheConnectedHandset) {
  Initialise("", "sim:", ComOneSettings());
  const std::string path = (dir_ / "handset.vbk").string();
  dialog_->SetSaveChooser([&](wxWindow*) -> std::optional<std::string> { return path; });
  dialog_->SaveHandset();
  ASSERT_EQ(boxes_.size(), 1u) << LogPane();
  EXPECT_EQ(boxes_[0].text, "The blocks of the mobile have been saved successfully!");
  std::ifstream in(path, std::ios::binary);
  std::string first, kind, imei;
  std::getline(in, first);
  std::getline(in, kind);
  std::getline(in, imei);
  EXPECT_EQ(first, "VELMORA-BACKUP 1");
  EXPECT_EQ(kind, "kind full");
  EXPECT_EQ(imei, "imei 351234567890128");
  EXPECT_NE(LogPane().find("Reading block 5005\n"), std::string::npos);
  // Cancelled: nothing happens.
  boxes_.clear();
  dialog_->SetSaveChooser([](wxWindow*) -> std::optional<std::string> { return std::nullopt; });
  dialog_->SaveHandset();
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(MainDialogTest, UnattendedRunsStartFromTheModalLoopAndEndIt) {
  struct Case {
    const char* name;
    const char* profile;  // empty: the default simulated handset
    int result;
    std::vector<std::string> boxes;
    bool pressExitAfterTheBox;
  };
  const Case cases[] = {
      {"success", "", 1, {}, false},
      {"wrong product", "product = 85\n", 3, {"Wrong Mapping for this Mobile!"}, false},
      // No connection: after the connect box the dialog stays open; Exit ends it.
      {"no connection", "state = off\nfault = boot_silent\n", 2,
       {"Error switching service mode!\nYou have to use a boot adapter (boot configuration)!"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const std::string port =
        std::string("sim:") + (*c.profile != '\0' ? Write("handset.profile", c.profile) : "");
    Initialise("AUTOMATIC", port, ComOneSettings(), standardMap_);
    onBox_ = [this, &c] {
      EXPECT_FALSE(dialog_->Close());  // no ending the dialog under a running update
      if (c.pressExitAfterTheBox) WhenModal<UpdateDialog>([](UpdateDialog& d) { Click(&d, kIdExit); });
    };
    EXPECT_EQ(dialog_->ShowModal(), c.result);
    std::vector<std::string> texts;
    for (const Box& box : boxes_) texts.push_back(box.text);
    EXPECT_EQ(texts, c.boxes);
    for (const Box& box : boxes_) EXPECT_EQ(box.icon, MessageIcon::Error);
  }
}

TEST_F(MainDialogTest, ExitEscapeAndTheCloseBoxEndWithTwo) {
  Initialise("", "sim:", ComOneSettings(), standardMap_);
  const std::vector<std::pair<const char*, std::function<void(UpdateDialog&)>>> ways = {
      {"Exit", [](UpdateDialog& d) { Click(&d, kIdExit); }},
      {"Esc", [](UpdateDialog& d) { PressEscape(&d); }},
      {"close box", [](UpdateDialog& d) { d.Close(); }},
  };
  for (const auto& [name, way] : ways) {
    SCOPED_TRACE(name);
    WhenModal<UpdateDialog>(way);
    EXPECT_EQ(dialog_->ShowModal(), 2);
  }
}

TEST_F(MainDialogTest, AboutButtonOpensTheAboutBoxWithTheVersion) {
  Initialise("", "sim:", ComOneSettings());
  dialog_->Show();
  bool seen = false;
  WhenModal<AboutDialog>([&seen](AboutDialog& about) {
    seen = true;
    EXPECT_EQ(about.GetTitle(), "About Velmora");
    EXPECT_EQ(Text(about.FindWindow(kIdAboutVersion)), "Version 1.3");
    EXPECT_NE(StaticWithText(&about, "Velmora"), nullptr);
    EXPECT_NE(StaticWithText(&about, kAboutLegalNotice), nullptr);
    EXPECT_NE(StaticWithText(&about, kAboutOrganisationNote), nullptr);
    EXPECT_EQ(about.GetClientSize(), about.ConvertDialogToPixels(wxSize(235, 65)));
    EXPECT_EQ(about.FindWindow(kIdAboutOk)->GetPosition(), about.ConvertDialogToPixels(wxPoint(178, 7)));
    SaveScreenshot(about, "about_dialog.png");
    Click(&about, kIdAboutOk);
  });
  Click(dialog_, kIdAbout);
  EXPECT_TRUE(seen);
}

// --- the port dialog ---

TEST(PortDialogTest, ControlsFollowTheTemplateWithNothingSelected) {
  PortDialog dialog(nullptr);
  EXPECT_EQ(dialog.GetTitle(), "Dialog");
  EXPECT_EQ(dialog.GetClientSize(), dialog.ConvertDialogToPixels(wxSize(116, 170)));
  // One column: the template's COM3 and COM4 stood one unit to the left.
  const DialogRect radios[4] = {{40, 57, 36, 10}, {40, 76, 36, 10}, {40, 95, 36, 10}, {40, 114, 36, 10}};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    auto* radio = dynamic_cast<wxRadioButton*>(dialog.FindWindow(kIdCom1 + i));
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(Text(radio), "COM" + std::to_string(i + 1));
    EXPECT_EQ(radio->GetPosition(), dialog.ConvertDialogToPixels(wxPoint(radios[i].x, radios[i].y)));
    EXPECT_TRUE(radio->IsShown());
    EXPECT_FALSE(radio->GetValue());
  }
  EXPECT_TRUE(dialog.FindWindow(kIdCom1)->HasFlag(wxRB_GROUP));
  EXPECT_NE(StaticWithText(&dialog, "Please select the serial interface, were the mobile is connected to:"),
            nullptr);
  EXPECT_EQ(Text(dialog.FindWindow(kIdPortOk)), "OK");
  EXPECT_EQ(dialog.FindWindow(kIdPortOk)->GetPosition(), dialog.ConvertDialogToPixels(wxPoint(33, 149)));
  EXPECT_EQ(dialog.GetDefaultItem(), dialog.FindWindow(kIdPortOk));
  ASSERT_NE(dialog.FindWindow(kIdPortCancel), nullptr);
  EXPECT_EQ(Text(dialog.FindWindow(kIdPortCancel)), "Cancel");
  EXPECT_FALSE(dialog.FindWindow(kIdPortCancel)->IsShown());
}

// The real port dialog, run by the start-up when the settings hold no port.
TEST_F(MainDialogTest, PortDialogAnswerBecomesThePortIndex) {
  struct Case {
    const char* name;
    std::function<void(PortDialog&)> answer;
    uint8_t portIndex;
  };
  const Case cases[] = {
      {"OK without a choice", [](PortDialog& d) { Click(&d, kIdPortOk); }, 255},
      {"COM3",
       [](PortDialog& d) {
         static_cast<wxRadioButton*>(d.FindWindow(kIdCom1 + 2))->SetValue(true);
         Click(&d, kIdPortOk);
       },
       2},
      {"Esc after choosing COM2",
       [](PortDialog& d) {
         static_cast<wxRadioButton*>(d.FindWindow(kIdCom1 + 1))->SetValue(true);
         PressEscape(&d);
       },
       255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    const bool shoot = c.portIndex == 255 && std::string(c.name).starts_with("OK");
    WhenModal<PortDialog>([&c, shoot](PortDialog& d) {
      if (shoot) SaveScreenshot(d, "port_dialog.png");
      c.answer(d);
    });
    Initialise("", "", NoPortSettings());
    EXPECT_EQ(program_->linkSettings().portIndex, c.portIndex);
  }
}

// --- the pieces between model and toolkit ---

TEST(GuiMappingTest, ProgressStateAsAGauge) {
  struct Case {
    ProgressState progress;
    int range, value;
  };
  const Case cases[] = {
      {{0, 100, 40}, 100, 40},
      {{1, 2, 1}, 1, 0},          // the closing state of a run
      {{10, 20, 25}, 10, 10},     // past the top: full
      {{10, 20, 3}, 10, 0},       // below the bottom: empty
      {{5, 5, 5}, 1, 0},          // no range at all
      {{0, 65535, 65535}, 65535, 65535},
  };
  for (const Case& c : cases) {
    const GaugeSpan span = GaugeSpanFor(c.progress);
    EXPECT_EQ(span.range, c.range) << c.progress.low << ".." << c.progress.high;
    EXPECT_EQ(span.value, c.value) << c.progress.position;
  }
}

TEST(GuiMappingTest, OpenFileFilterAndDefaultExtension) {
  EXPECT_EQ(WildcardFromFilter(kMapFileFilter), "Talvex MAP Files (*.map)|*.map|All Files (*.*)|*.*");
  const fs::path dir = fs::temp_directory_path() / ("velmora-ext-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "plain") << "x";
  const std::string d = dir.string();
  struct Case {
    std::string typed, opened;
  };
  const Case cases[] = {
      {d + "/mapping", d + "/mapping.0a-"},  // typed without an extension
      {d + "/plain", d + "/plain"},          // exists as typed
      {d + "/mapping.map", d + "/mapping.map"},
      {d + "/.hidden", d + "/.hidden"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WithDefaultExtension(c.typed, kMapFileDefaultExtension), c.opened);
  fs::remove_all(dir);
}

TEST(GuiMappingTest, DialogResultAsExitStatus) {
  EXPECT_EQ(ExitStatusForResult(1), 0);   // update written
  EXPECT_EQ(ExitStatusForResult(3), 3);   // update failed
  EXPECT_EQ(ExitStatusForResult(2), 2);   // Exit or the close box
  EXPECT_EQ(ExitStatusForResult(0), 3);   // anything else is no success
  EXPECT_EQ(ExitStatusForResult(-1), 3);
}

TEST(GuiMappingTest, LogLineEndsAndBytesThatAreNotUtf8) {
  EXPECT_EQ(PaneText("a\r\nb\r\n").utf8_string(), "a\nb\n");
  EXPECT_EQ(PaneText("lone\rcr").utf8_string(), "lone\rcr");
  EXPECT_EQ(PaneText("caf\xe9\r\n").utf8_string(), "caf\xc3\xa9\n");  // Latin-1 kept, not dropped
}

}  // namespace
}  // namespace velmora::gui
