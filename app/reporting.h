// The reporting services through which the update engine talks to the user: one shared
// message buffer, the log text, the status line, the progress bar and warning boxes.
// The dialog model implements them; the engine is handed this interface, never a view.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/user_interaction.h"

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
};

// Everything the update run needs from the dialog beyond the reporting services.
class UpdateRunHost : public Reporting, public UserInteraction {
 public:
  // Start (1001) and Exit (2) together.
  virtual void EnableStartExit(bool enabled) = 0;
  // Replaces the whole log text with the log header.
  virtual void WriteLogHeader() = 0;
  // Closing state of a run: progress range 1..2 at position 1, bar and status line hidden.
  virtual void ResetProgress() = 0;
  // Message boxes come from UserInteraction::ShowMessageBox.
  virtual void EndDialog(int result) = 0;
  virtual bool Unattended() const = 0;
  // The map data source: a zero-terminated map text, or null when there is none.
  virtual const char* MapText() const = 0;
};

}  // namespace velmora
