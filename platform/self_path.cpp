#include "platform/self_path.h"

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

}  // namespace velmora
