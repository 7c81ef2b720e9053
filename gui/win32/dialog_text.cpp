#include "gui/win32/dialog_text.h"

namespace velmora::gui {

std::string CrLfLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string OpenFileFilter(const std::string& filter) {
  std::string out = filter;
  for (char& c : out) {
    if (c == '|') c = '\0';
  }
  // Without the closing "||" the list would run on into whatever follows it.
  while (out.size() < 2 || out[out.size() - 1] != '\0' || out[out.size() - 2] != '\0') out += '\0';
  return out;
}

std::string BoxText(const std::string& text) {
  const size_t end = text.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace velmora::gui
