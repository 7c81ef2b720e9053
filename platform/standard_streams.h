// Standard output and error carry the log byte for byte as on every system: Windows' C runtime
// would otherwise turn each LF into CR LF on the way out.
#pragma once

namespace velmora {

void UseBinaryStandardStreams();

}  // namespace velmora
