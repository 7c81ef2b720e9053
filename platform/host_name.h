// The name of the machine the program runs on, as the records database names a station.
#pragma once

#include <string>

namespace velmora {

// The host's name (UTF-8), "" when the system gives none.
std::string HostName();

}  // namespace velmora
