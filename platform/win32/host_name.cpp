#include <windows.h>

#include <string>

#include "platform/host_name.h"
#include "platform/win32/text.h"

namespace velmora {

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size)) return {};
  return WideToUtf8(std::wstring(name, size));
}

}  // namespace velmora
