#include <windows.h>

#include <string>

#include "platform/self_path.h"
#include "platform/win32/text.h"

namespace velmora {

std::string SelfExecutableName() { return SelfExecutablePath(); }

std::string SelfExecutablePath() {
  // Long paths exceed MAX_PATH: grow until the name fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return WideToUtf8(buffer.substr(0, n));
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace velmora
