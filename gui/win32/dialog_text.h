// Texts as the native dialog's controls take them. Plain functions, so that they can be
// checked without a window.
#pragma once

#include <string>

namespace velmora::gui {

// The log as a multi-line edit control shows it: every line ends in "\r\n" (a lone "\n"
// would show as a box, not a new line).
std::string CrLfLineEnds(const std::string& text);

// A filter written "Name|pattern|Name|pattern||", as the open-file dialog takes it: each "|"
// becomes a zero byte, and the list ends in two of them.
std::string OpenFileFilter(const std::string& filter);

// A message box's text: trailing line ends and blanks are left out, as they would only add
// empty lines to the box.
std::string BoxText(const std::string& text);

}  // namespace velmora::gui
