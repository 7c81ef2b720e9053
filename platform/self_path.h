// The running program's own file as the operating system knows it, whatever name it was
// started by (through the search path, without its extension, through a link).
#pragma once

#include <string>

namespace velmora {

// A path that opens the running program's file; empty when the system cannot tell.
std::string SelfExecutablePath();
// The running program's file by its real name (what a log and a child's command line should
// show); empty when the system cannot tell.
std::string SelfExecutableName();

}  // namespace velmora
