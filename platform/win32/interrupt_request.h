// Windows only: a termination request that came another way than from the console, as a
// station passes Ctrl-C and Ctrl-Break on to its programs, handled as the console's would be.
#pragma once

namespace velmora {

// signal: 2 for Ctrl-C, 15 for Ctrl-Break, 1 for a closed console (as HeldInterrupt says them).
// Ends the program when no shield holds the request and no line finishes its handset first.
void HandleTerminationRequest(int signal);

}  // namespace velmora
