#include "platform/self_path.h"

#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#include <cstdint>
#endif

namespace velmora {

std::string SelfExecutablePath() {
#if defined(__APPLE__)
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

std::string SelfExecutableName() {
#if defined(__linux__)
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 && static_cast<size_t>(n) < sizeof buffer ? std::string(buffer, static_cast<size_t>(n))
                                                         : std::string();
#else
  return SelfExecutablePath();
#endif
}

}  // namespace velmora
