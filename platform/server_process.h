// What a long-running server (velmora-sim) needs from the system besides sockets: requests from
// outside to stop (SIGINT/SIGTERM; Ctrl-C or Ctrl-Break on Windows) or to dump its state
// (SIGUSR1; Windows has none), a socket to wake its wait when one comes, and timed wake-ups as
// precise as the system offers.
#pragma once

#include "platform/tcp_socket.h"

namespace velmora {

void InstallServerSignals();
bool StopRequested();
// True once for each dump request.
bool TakeDumpRequest();
// Becomes readable when a request arrives; kNoSocket where requests cannot wake a wait (the
// wait's own bound then decides how soon one is seen).
SocketId ServerWakeSocket();
void DrainServerWake();
// Asks for the finest timer resolution: the line is paced by timed wake-ups.
void SharpenTimers();

}  // namespace velmora
