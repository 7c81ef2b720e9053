#include "app/dialog_model.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "link/link.h"
#include "platform/text_file.h"

namespace velmora {

DialogModel::DialogModel(DialogView& view) : view_(view) {
  // The dialog template's initial states: the progress bar, the status line and the
  // Open File button start hidden.
  for (int id : {kIdExit, kIdAbout, kIdStart, kIdLogPane, kIdProgress, kIdStatusLine, kIdOpenFile})
    enabled_[id] = true;
  for (int id : {kIdExit, kIdAbout, kIdStart, kIdLogPane}) shown_[id] = true;
  for (int id : {kIdProgress, kIdStatusLine, kIdOpenFile}) shown_[id] = false;
}

bool DialogModel::enabled(int id) const {
  auto it = enabled_.find(id);
  return it != enabled_.end() && it->second;
}

bool DialogModel::shown(int id) const {
  auto it = shown_.find(id);
  return it != shown_.end() && it->second;
}

void DialogModel::EnableControl(int id, bool enabled) {
  enabled_[id] = enabled;
  view_.ControlChanged(*this, id);
}

void DialogModel::ShowControl(int id, bool shown) {
  shown_[id] = shown;
  view_.ControlChanged(*this, id);
}

void DialogModel::RefreshLog() { view_.Refresh(*this); }

void DialogModel::FlushMessage(MessageBuffer& buffer) {
  if (buffer.empty()) return;
  log_ += buffer.c_str();
  RefreshLog();
  buffer.Clear();
}

int DialogModel::WarnMessage(MessageBuffer& buffer) {
  if (buffer.empty()) return 0;
  const std::string text = buffer.c_str();
  log_ += text;
  RefreshLog();
  const int result = view_.ShowMessageBox(text, MessageIcon::Warning);
  buffer.Clear();
  return result;
}

void DialogModel::ShowProgress(const char* text, uint32_t low, uint32_t high, uint32_t position) {
  if (text != nullptr) {
    ShowControl(kIdStatusLine, true);
    status_ = text;
  }
  ShowControl(kIdProgress, true);
  // The progress bar takes 16-bit values; larger ones keep their low 16 bits.
  progress_.low = static_cast<uint16_t>(low);
  progress_.high = static_cast<uint16_t>(high);
  progress_.position = static_cast<uint16_t>(position);
  if (phaseListener_) {
    const int span = progress_.high - progress_.low;
    const int done = progress_.position - progress_.low;
    phaseListener_(phase_, span > 0 ? std::clamp(done * 100 / span, 0, 100) : 100);
  }
  RefreshLog();
}

void DialogModel::EnterPhase(RunPhase phase) {
  phase_ = phase;
  if (phaseListener_) phaseListener_(phase, -1);
}

void DialogModel::EnableStartExit(bool enabled) {
  EnableControl(kIdStart, enabled);
  EnableControl(kIdExit, enabled);
}

void DialogModel::WriteLogHeader() {
  char name[80];
  char date[80];
  char time[80];
  LinkLibraryName(name);
  LinkLibraryDate(date);
  LinkLibraryTime(time);
  auto text80 = [](const char* b) { return std::string(b, strnlen(b, 80)); };

  log_ = programPath_ + "\r\n";
  log_ += std::string(kVersionText) + " from " + kBuildDate + " " + kBuildTime + "\r\n";
  log_ += std::string(kBasedOnText) + "\r\n";
  log_ += text80(name) + " from " + text80(date) + " " + text80(time) + "\r\n";
  log_ += std::string(kLegalNotice) + "\r\n";
  log_ += "\r\n";
  if (!headerNote_.empty()) log_ += headerNote_ + "\r\n";
  if (!openedFile_.empty()) log_ += "Open file: " + openedFile_ + "\r\n";
  ++logGeneration_;
}

void DialogModel::ResetProgress() {
  progress_.low = 1;
  progress_.high = 2;
  progress_.position = 1;
  ShowControl(kIdProgress, false);
  ShowControl(kIdStatusLine, false);
}

int DialogModel::ShowMessageBox(const std::string& text, MessageIcon icon) {
  if (!boxesToLog_) return view_.ShowMessageBox(text, icon);
  // The run's error is in the log already, right before its box.
  std::string line = text;
  for (size_t at = 0; (at = line.find('\n', at)) != std::string::npos; at += 2) line.insert(at, "\r");
  line += "\r\n";
  if (log_.size() < line.size() || log_.compare(log_.size() - line.size(), line.size(), line) != 0)
    Log(line);
  RefreshLog();
  return 1;
}

bool DialogModel::OpenMapFile(const std::string& path) {
  std::string text;
  std::string why;
  switch (ReadMapFileText(path, &text, &why)) {
    case TextReadResult::CannotOpen:
      // The map data in use stays; so does the name of the file it came from. The reason goes
      // on the line after the box's text.
      view_.ShowMessageBox("Can't open file " + path + (why.empty() ? "" : "\n" + why),
                           MessageIcon::Error);
      return false;
    case TextReadResult::OutOfMemory:
      // The earlier map data is gone at this point, so nothing is left to start with.
      openedText_.clear();
      openedFile_.clear();
      mapText_ = nullptr;
      EnableControl(kIdStart, false);
      view_.ShowMessageBox("Out of memory!", MessageIcon::Error);
      return false;
    case TextReadResult::Ok:
      break;
  }
  EnableControl(kIdStart, false);
  openedText_ = std::move(text);
  openedFile_ = path;
  mapText_ = openedText_.c_str();
  WriteLogHeader();
  RefreshLog();
  EnableControl(kIdStart, true);
  return true;
}

}  // namespace velmora
