#include <cstdlib>

#include "platform/environment.h"

namespace velmora {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace velmora
