// The process environment, read in UTF-8. Windows keeps it in UTF-16; its narrow copy (getenv)
// is in the ANSI code page and loses every character that page cannot show, so a folder named
// in an environment variable could not be reached.
#pragma once

#include <string>

namespace velmora {

// The value of the variable name (ASCII), in UTF-8; "" when it is not set.
std::string EnvironmentValue(const char* name);

// Sets the variable name (ASCII) to value (UTF-8) for this process and the programs it starts
// from now on. False when the system refused.
bool SetEnvironmentValue(const char* name, const std::string& value);

}  // namespace velmora
