// A program a station starts, for win32_station_test: it follows its station and waits for
// the requests passed on to it. "run": ended by the first, as a single run is outside a garbage
// collection; "line": the first only noted (the handset on the line is finished first), the
// second held, upon which it ends as a line does once the handset on it is stopped.
#include <windows.h>

#include <cstring>

#include "platform/child_process.h"
#include "platform/interrupt.h"

int main(int argc, char** argv) {
  velmora::InstallInterruptHandlers();
  if (argc > 1 && std::strcmp(argv[1], "line") == 0) velmora::SetFinishHandsetFirst(true);
  velmora::FollowStation();
  for (;;) {
    if (velmora::HeldInterrupt() != 0) return velmora::InterruptExitStatus(velmora::HeldInterrupt());
    Sleep(10);
  }
}
