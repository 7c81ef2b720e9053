// The reporting services through which the update engine talks to the user: one shared
// message buffer, the log text, the status line, the progress bar and warning boxes.
// The dialog model above implements them; the engine and the runs are handed this interface,
// never a dialog or a view.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>


namespace velmora {

// The program-wide 256-byte line buffer. Formatting is bounded: a text that does not fit
// is cut, and the buffer always stays zero-terminated.
class MessageBuffer {
 public:
  static constexpr size_t kSize = 256;

  // Formats from the start of the buffer, replacing what it held.
  __attribute__((format(printf, 2, 3))) void Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf_, kSize, fmt, args);
    va_end(args);
  }
  void Clear() { buf_[0] = '\0'; }
  bool empty() const { return buf_[0] == '\0'; }
  const char* c_str() const { return buf_; }

 private:
  char buf_[kSize] = {};
};

// What a run is doing, for whoever watches a whole line of handsets (the log says it in words).
enum class RunPhase { Connecting, Writing, CollectingGarbage, Verifying };

class Reporting {
 public:
  virtual ~Reporting() = default;

  virtual MessageBuffer& Message() = 0;
  // Appends a text to the log text (no refresh).
  virtual void Log(const std::string& text) = 0;
  // Shows the log and status texts, scrolls the log to its end and repaints at once.
  virtual void RefreshLog() = 0;
  // Non-empty buffer: append it to the log, refresh, empty the buffer. Empty: nothing.
  virtual void FlushMessage(MessageBuffer& buffer) = 0;
  // Non-empty buffer: append, refresh, show it in a warning box, empty the buffer and
  // return the box's result. Empty: returns 0 and shows nothing.
  virtual int WarnMessage(MessageBuffer& buffer) = 0;
  // Shows the status line with the text when one is given, shows the progress bar,
  // sets range and position (each cut to 16 bits), refreshes.
  virtual void ShowProgress(const char* text, uint32_t low, uint32_t high, uint32_t position) = 0;
  // The run went on to another phase (said again for every block; nothing is shown for it).
  virtual void EnterPhase(RunPhase) {}
};

}  // namespace velmora
