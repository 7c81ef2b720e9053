// The console face of the dialog: the log text on stdout as it grows, message boxes on stderr,
// and a progress bar on stderr when that is a terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/dialog_model.h"
#include "app/log_feed.h"

namespace velmora {

class ConsoleView final : public DialogView {
 public:
  ConsoleView(std::FILE* out, std::FILE* err, bool interactiveInput, bool progressBar);

  // Until the console is live, refreshes print nothing (start-up writes a header that the
  // run writes again).
  void SetLive(bool live) { live_ = live; }
  // Unattended runs never wait for Enter.
  void SetUnattended(bool unattended) { unattended_ = unattended; }
  int endResult() const { return endResult_; }

  void Refresh(const DialogModel& model) override;
  int ShowMessageBox(const std::string& text, MessageIcon icon) override;
  void ControlChanged(const DialogModel& model, int id) override;
  void EndDialog(int result) override { endResult_ = result; }

 private:
  void PrintNewLog(const DialogModel& model);
  void DrawBar(const DialogModel& model);
  void ClearBar();

  std::FILE* out_;
  std::FILE* err_;
  bool interactiveInput_;
  bool progressBar_;
  bool live_ = false;
  bool unattended_ = false;
  bool barDrawn_ = false;
  LogFeed feed_;
  int endResult_ = 0;
  const DialogModel* model_ = nullptr;
};

// "\r\n" line ends as "\n"; a lone CR stays.
std::string ConsoleText(const std::string& text);

}  // namespace velmora
