#include <windows.h>
#include <timeapi.h>

#include <atomic>

#include "platform/server_process.h"

namespace velmora {
namespace {

std::atomic<bool> gStop{false};

BOOL WINAPI OnConsoleEvent(DWORD /*event*/) {
  gStop = true;
  return TRUE;
}

}  // namespace

void InstallServerSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
bool StopRequested() { return gStop.load(); }
bool TakeDumpRequest() { return false; }
SocketId ServerWakeSocket() { return kNoSocket; }
void DrainServerWake() {}

void SharpenTimers() {
  // The default tick of 15.6 ms would hold every answer back by many byte times.
  timeBeginPeriod(1);
}

}  // namespace velmora
