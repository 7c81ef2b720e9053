#include "app/log_feed.h"

#include <algorithm>

#include "app/dialog_model.h"

namespace velmora {

std::string LfLineEnds(const std::string& text, size_t from, size_t to) {
  to = std::min(to, text.size());
  std::string out;
  if (from >= to) return out;
  out.reserve(to - from);
  for (size_t i = from; i < to; ++i) {
    if (text[i] == '\r' && i + 1 < to && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

LogFeed::Change LogFeed::Next(const DialogModel& model) {
  Change change;
  const std::string& log = model.logText();
  // The log only grows, except when the header replaces it: that counts as a new generation.
  if (model.logGeneration() != generation_ || shown_ > log.size()) {
    generation_ = model.logGeneration();
    shown_ = 0;
    change.replace = true;
  }
  size_t end = log.size();
  // A CR at the very end may be the first half of a line end: it waits for its LF.
  if (end > shown_ && log[end - 1] == '\r') --end;
  change.text = LfLineEnds(log, shown_, end);
  shown_ = end;
  return change;
}

}  // namespace velmora
