// The main dialog's model: the log text, the status line, the progress bar, the buttons and
// the map data source, with the reporting services the update engine writes through.
// What must be shown goes to a DialogView: the wxWidgets dialog, the console, or a recording
// view in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "options/release.h"
#include "update/reporting.h"
#include "platform/user_interaction.h"

namespace velmora {

// Control identifiers of the main dialog.
enum : int {
  kIdExit = 2,
  kIdAbout = 1000,
  kIdStart = 1001,
  kIdLogPane = 1002,
  kIdProgress = 1010,
  kIdStatusLine = 1013,
  kIdOpenFile = 1015,
};

struct ProgressState {
  uint16_t low = 0;
  uint16_t high = 100;
  uint16_t position = 0;
};

class DialogModel;

class DialogView {
 public:
  virtual ~DialogView() = default;
  // Shows the log text, the status text and the progress state as the model holds them now,
  // with the log scrolled to its end, and repaints at once.
  virtual void Refresh(const DialogModel& model) = 0;
  // A modal message box with an OK button; returns the button pressed (1 = OK).
  virtual int ShowMessageBox(const std::string& text, MessageIcon icon) = 0;
  // The enabled or shown state of a control changed.
  virtual void ControlChanged(const DialogModel& model, int id) = 0;
  // Ends the modal dialog with a result.
  virtual void EndDialog(int result) = 0;
};

// The fixed identification texts of this build, shown in the log header and the about box.
inline constexpr const char* kVersionText = kReleaseVersion;
inline constexpr const char* kBuildDate = kReleaseDate;
inline constexpr char kBuildTime[] = "14:00:42";
inline constexpr char kBasedOnText[] = "Based on seedtool Version 1.14 from 1st Feb 2002";
inline constexpr char kLegalNotice[] =
    "Copyright (c) Velmora developers. For authorised service use only.";

class DialogModel final : public Reporting, public UserInteraction {
 public:
  explicit DialogModel(DialogView& view);

  // --- state, as a view shows it ---
  const std::string& logText() const { return log_; }
  const std::string& statusText() const { return status_; }
  const ProgressState& progress() const { return progress_; }
  bool enabled(int id) const;
  bool shown(int id) const;
  // Counts the times the log text was replaced by the header (views that print the log as
  // it grows start again from its beginning when this changes).
  uint64_t logGeneration() const { return logGeneration_; }

  // --- start-up ---
  void SetProgramPath(const std::string& path) { programPath_ = path; }
  const std::string& programPath() const { return programPath_; }
  void SetUnattended(bool unattended) { unattended_ = unattended; }
  // Makes an externally owned text (the embedded map) the map data source.
  void SetMapText(const char* text) { mapText_ = text; }
  // Reads a map file in text mode as Open File does and makes it the map data source;
  // failures are shown in message boxes. True when the file became the map data source.
  bool OpenMapFile(const std::string& path);
  const std::string& openedFile() const { return openedFile_; }

  void EnableControl(int id, bool enabled);
  void ShowControl(int id, bool shown);

  // --- Reporting ---
  MessageBuffer& Message() override { return message_; }
  void Log(const std::string& text) override { log_ += text; }
  void RefreshLog() override;
  void FlushMessage(MessageBuffer& buffer) override;
  int WarnMessage(MessageBuffer& buffer) override;
  void ShowProgress(const char* text, uint32_t low, uint32_t high, uint32_t position) override;
  void EnterPhase(RunPhase phase) override;
  // Whoever watches a line of handsets hears each phase and progress (percent 0..100) as the
  // run reports them; it is called often and must be quick.
  using PhaseListener = std::function<void(RunPhase phase, int percent)>;
  // A dialog that updates handset after handset waits for nobody: its boxes go to the log
  // instead (an OK box is then taken as pressed).
  void SetBoxesToLog(bool toLog) { boxesToLog_ = toLog; }
  void SetPhaseListener(PhaseListener listener) { phaseListener_ = std::move(listener); }

  // --- UserInteraction ---
  int ShowMessageBox(const std::string& text, MessageIcon icon) override;

  // --- what a run does to the dialog around the update itself ---
  // Start (1001) and Exit (2) together.
  void EnableStartExit(bool enabled);
  // Replaces the whole log text with the log header.
  void WriteLogHeader();
  // A line the header ends with from now on (CR LF added), e.g. which device the default port
  // is: the header is written again for each map opened.
  void SetHeaderNote(std::string note) { headerNote_ = std::move(note); }
  // Closing state of a run: progress range 1..2 at position 1, bar and status line hidden.
  void ResetProgress();
  void EndDialog(int result) { view_.EndDialog(result); }
  bool Unattended() const { return unattended_; }
  // The map data source: a zero-terminated map text, or null when there is none.
  const char* MapText() const { return mapText_; }

 private:
  DialogView& view_;
  MessageBuffer message_;
  std::string log_;
  std::string status_;
  ProgressState progress_;
  PhaseListener phaseListener_;
  bool boxesToLog_ = false;
  RunPhase phase_ = RunPhase::Connecting;
  std::map<int, bool> enabled_;
  std::map<int, bool> shown_;
  uint64_t logGeneration_ = 0;
  std::string programPath_;
  std::string openedFile_;
  std::string headerNote_;
  std::string openedText_;
  const char* mapText_ = nullptr;
  bool unattended_ = false;
};

}  // namespace velmora
