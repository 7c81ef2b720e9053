// The cost of refreshing a log view over a long run: each block line is appended to the model's
// log and the view refreshed, as the block writer does. The log feed hands the view only what is
// new, so the total grows with the number of lines; the whole-text comparison it replaced grows
// with their square. Google Benchmark fits both (BigO in the output).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "app/dialog_model.h"
#include "app/log_feed.h"

namespace velmora {
namespace {

// A view that keeps a pane as a text control would: appending, or replacing on a new header.
class FeedView final : public DialogView {
 public:
  void Refresh(const DialogModel& model) override {
    const LogFeed::Change change = feed_.Next(model);
    if (change.replace) pane_.clear();
    pane_ += change.text;
  }
  int ShowMessageBox(const std::string&, MessageIcon) override { return 1; }
  void ControlChanged(const DialogModel&, int) override {}
  void EndDialog(int) override {}
  size_t size() const { return pane_.size(); }

 private:
  LogFeed feed_;
  std::string pane_;
};

// The refresh the dialog did before: the whole log converted and compared at every refresh.
class WholeTextView final : public DialogView {
 public:
  void Refresh(const DialogModel& model) override {
    const std::string text = LfLineEnds(model.logText());
    if (text == pane_) return;
    if (text.compare(0, pane_.size(), pane_) == 0) {
      pane_ += text.substr(pane_.size());
    } else {
      pane_ = text;
    }
  }
  int ShowMessageBox(const std::string&, MessageIcon) override { return 1; }
  void ControlChanged(const DialogModel&, int) override {}
  void EndDialog(int) override {}
  size_t size() const { return pane_.size(); }

 private:
  std::string pane_;
};

template <typename View>
void RunOfBlocks(benchmark::State& state) {
  const int blocks = static_cast<int>(state.range(0));
  for (auto _ : state) {
    View view;
    DialogModel model(view);
    model.SetProgramPath("velmora");
    model.WriteLogHeader();
    model.RefreshLog();
    MessageBuffer& message = model.Message();
    for (int n = 1; n <= blocks; ++n) {
      model.ShowProgress("Writing blocks", 0, static_cast<uint32_t>(blocks), static_cast<uint32_t>(n));
      message.Format("Block %d written\r\n", n);
      model.FlushMessage(message);
    }
    benchmark::DoNotOptimize(view.size());
  }
  state.SetComplexityN(blocks);
}

BENCHMARK_TEMPLATE(RunOfBlocks, FeedView)->RangeMultiplier(2)->Range(625, 5000)->Complexity();
BENCHMARK_TEMPLATE(RunOfBlocks, WholeTextView)->RangeMultiplier(2)->Range(625, 5000)->Complexity();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
