// The running program's own file as the operating system knows it, whatever name it was
// started by (through the search path, without its extension, through a link).
#pragma once

#include <string>

namespace velmora {

// A path that opens the running program's file; empty when the system cannot tell.
std::string SelfExecutablePath();

}  // namespace velmora
