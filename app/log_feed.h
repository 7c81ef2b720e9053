// Feeds a view that shows the log as it grows: each call hands over only what was appended to
// the model's log since the last one (or the whole text after the header replaced it), with the
// log's "\r\n" line ends as "\n". Work per call is proportional to what is new, so a run of
// thousands of blocks costs a view the same per line at its end as at its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

class DialogModel;

// The log's line ends as a text control or a console shows them: "\r\n" becomes "\n".
std::string LfLineEnds(const std::string& text, size_t from = 0, size_t to = std::string::npos);

class LogFeed {
 public:
  struct Change {
    bool replace = false;  // true: the view shows `text` alone; false: it appends `text`
    std::string text;
  };

  // What the view must do now to show the model's log.
  Change Next(const DialogModel& model);

 private:
  uint64_t generation_ = UINT64_MAX;
  size_t shown_ = 0;
};

}  // namespace velmora
