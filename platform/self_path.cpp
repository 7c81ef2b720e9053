#include "platform/self_path.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>
#include <cstdint>
#endif

namespace velmora {

std::string SelfExecutablePath() {
#if defined(_WIN32)
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::string(buffer, n);
#elif defined(__APPLE__)
  char buffer[4096];
  uint32_t size = sizeof(buffer);
  if (_NSGetExecutablePath(buffer, &size) != 0) return {};
  return std::string(buffer);
#elif defined(__linux__)
  // Opens the program's file even when its name has since changed or was never a path.
  return "/proc/self/exe";
#else
  return {};
#endif
}

}  // namespace velmora
