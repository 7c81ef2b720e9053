#include <windows.h>

#include "platform/environment.h"
#include "platform/win32/text.h"

namespace velmora {

std::string EnvironmentValue(const char* name) {
  const std::wstring wideName = Utf8ToWide(name);
  // The first call tells the size with its terminator; a variable set to "" has size 1.
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size <= 1) return {};
  std::wstring value(size, L'\0');
  const DWORD n = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  if (n == 0 || n >= size) return {};  // changed in between: taken as not set
  value.resize(n);
  return WideToUtf8(value);
}

bool SetEnvironmentValue(const char* name, const std::string& value) {
  return SetEnvironmentVariableW(Utf8ToWide(name).c_str(), Utf8ToWide(value).c_str()) != 0;
}

}  // namespace velmora
