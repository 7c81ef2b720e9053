#include "cli/console_view.h"

#include "app/log_feed.h"

#include <algorithm>
#include <cstring>

#include "platform/interrupt.h"

namespace velmora {

std::string ConsoleText(const std::string& text) { return LfLineEnds(text); }

ConsoleView::ConsoleView(std::FILE* out, std::FILE* err, bool interactiveInput, bool progressBar)
    : out_(out), err_(err), interactiveInput_(interactiveInput), progressBar_(progressBar) {}

void ConsoleView::PrintNewLog(const DialogModel& model) {
  model_ = &model;
  if (!live_) return;
  // A new header starts the log again; on a console the earlier text simply stays above.
  const LogFeed::Change change = feed_.Next(model);
  if (change.text.empty()) return;
  ClearBar();
  std::fwrite(change.text.data(), 1, change.text.size(), out_);
  std::fflush(out_);
}

void ConsoleView::Refresh(const DialogModel& model) {
  PrintNewLog(model);
  if (model.shown(kIdProgress)) DrawBar(model);
}

void ConsoleView::DrawBar(const DialogModel& model) {
  if (!progressBar_ || !live_) return;
  const ProgressState& p = model.progress();
  const int span = p.high > p.low ? p.high - p.low : 0;
  const int done = p.position > p.low ? p.position - p.low : 0;
  const double fraction = span > 0 ? std::min(1.0, static_cast<double>(done) / span) : 1.0;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(fraction * kWidth + 0.5);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  const std::string status = model.shown(kIdStatusLine) ? model.statusText() : std::string();
  std::fprintf(err_, "\r\033[K[%s] %3d%% %s", bar.c_str(), static_cast<int>(fraction * 100 + 0.5),
               status.c_str());
  std::fflush(err_);
  barDrawn_ = true;
}

void ConsoleView::ClearBar() {
  if (!barDrawn_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  barDrawn_ = false;
}

void ConsoleView::ControlChanged(const DialogModel& model, int id) {
  model_ = &model;
  if (id == kIdProgress && !model.shown(kIdProgress)) ClearBar();
}

int ConsoleView::ShowMessageBox(const std::string& text, MessageIcon icon) {
  // Whatever the log holds so far belongs before the message.
  if (model_ != nullptr) PrintNewLog(*model_);
  ClearBar();
  const char* prefix = icon == MessageIcon::Error     ? "error: "
                       : icon == MessageIcon::Warning ? "warning: "
                                                      : "info: ";
  std::string body = ConsoleText(text);
  while (!body.empty() && body.back() == '\n') body.pop_back();
  std::fflush(out_);
  std::fprintf(err_, "%s%s\n", prefix, body.c_str());
  // After Ctrl-C the operator is not waiting to press Enter.
  if (interactiveInput_ && !unattended_ && HeldInterrupt() == 0) {
    std::fputs("Press Enter to continue...", err_);
    std::fflush(err_);
    int c;
    do {
      c = std::fgetc(stdin);
    } while (c != '\n' && c != EOF);
  }
  std::fflush(err_);
  return 1;  // OK
}

}  // namespace velmora
