// A program a station starts, for win32_station_test: it follows its station and waits for
// the requests passed on to it. "run": ended by the first, as a single run is outside a garbage
// collection; "line": the first only noted (the handset on the line is finished first), the
// second ends it.
#include <windows.h>

#include <cstring>

#include "platform/child_process.h"
#include "platform/interrupt.h"

int main(int argc, char** argv) {
  velmora::InstallInterruptHandlers();
  if (argc > 1 && std::strcmp(argv[1], "line") == 0) velmora::SetFinishHandsetFirst(true);
  velmora::FollowStation();
  Sleep(INFINITE);
  return 0;
}
