#include <cstdlib>

#include "platform/environment.h"

namespace velmora {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool SetEnvironmentValue(const char* name, const std::string& value) {
  return setenv(name, value.c_str(), 1) == 0;
}

}  // namespace velmora
