// A dialog view that records what the dialog would show.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/dialog_model.h"

namespace velmora::testing {

struct RecordingView : public DialogView {
  struct Box {
    std::string text;
    MessageIcon icon;
    std::string logAtBox;  // the log text when the box appeared
  };
  std::vector<Box> boxes;
  std::vector<int> endResults;
  int refreshes = 0;
  std::string shownLog;     // the log as last refreshed
  std::string shownStatus;  // the status line as last refreshed
  ProgressState shownProgress;
  std::vector<std::pair<int, bool>> enables;  // (control, enabled) as they changed
  const DialogModel* model = nullptr;

  void Refresh(const DialogModel& m) override {
    ++refreshes;
    shownLog = m.logText();
    shownStatus = m.statusText();
    shownProgress = m.progress();
  }
  int ShowMessageBox(const std::string& text, MessageIcon icon) override {
    boxes.push_back({text, icon, model ? model->logText() : std::string()});
    return 1;
  }
  void ControlChanged(const DialogModel& m, int id) override {
    model = &m;
    enables.emplace_back(id, m.enabled(id));
  }
  void EndDialog(int result) override { endResults.push_back(result); }
};

}  // namespace velmora::testing
