// User-interaction seam: the few places below the dialog that must tell the user something
// (the link library's allocation failure, the connect failures, the embedded-map loader)
// show a message box through this interface, never through a widget toolkit directly.
#pragma once

#include <string>

namespace velmora {

// Message box icons, with the platform's codes.
enum class MessageIcon : int { None = 0, Error = 16, Question = 32, Warning = 48, Information = 64 };

class UserInteraction {
 public:
  virtual ~UserInteraction() = default;
  // Shows a modal message box with an OK button and waits for it; returns the button
  // pressed (1 = OK).
  virtual int ShowMessageBox(const std::string& text, MessageIcon icon) = 0;
};

}  // namespace velmora
