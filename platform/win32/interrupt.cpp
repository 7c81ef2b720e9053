// Windows: Ctrl-C, Ctrl-Break and closing the console come to a handler on a thread of their
// own (and from a station, through its pipe, to HandleTerminationRequest). Outside a shield the
// request ends the program, with 128 + its number as on POSIX: the system's own ending would
// say STATUS_CONTROL_C_EXIT on Windows and 0 under Wine, which a station would take for a
// success. Inside one it holds the request; for a closed console that hold lasts only as long
// as the handler keeps its thread (the system ends the process when the handler returns).
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/interrupt.h"
#include "platform/win32/interrupt_request.h"

namespace velmora {
namespace {

std::atomic<int> shieldDepth{0};
std::atomic<int> heldSignal{0};
std::atomic<int> announced{0};
std::atomic<bool> installed{false};
std::atomic<int> finishFirst{0};
std::atomic<int> stopSignal{0};

constexpr char kAnnouncement[] =
    "\nInterrupted: the Eelite blocks are being written back into the handset; finishing that "
    "first, then ending.\n";

int SignalOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return 2;
    case CTRL_BREAK_EVENT: return 15;
    default: return 1;  // the console closes, the user logs off, the system shuts down
  }
}

constexpr char kStopAnnouncement[] =
    "\nStopping after the handset on the line; interrupt again to stop at once.\n";

constexpr char kCutAnnouncement[] =
    "\nStopping the handset on the line before its next block, keeping its record; interrupt "
    "again to end at once.\n";

void Announce(const char* text, DWORD size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, size, &written, nullptr);
}

// Returns once the request is noted or held; ends the program when neither. A console that
// closes ends the process soon whatever the handler does: no handset can be finished first.
void TakeRequest(int signal, bool consoleCloses) {
  int noStop = 0;
  if (!consoleCloses && finishFirst.load() != 0 && stopSignal.compare_exchange_strong(noStop, signal)) {
    Announce(kStopAnnouncement, sizeof kStopAnnouncement - 1);
    return;
  }
  // The second request to a line is held like one in a shield: the handset on the line stops
  // before its next block and gets its record. Only a third ends the program at once.
  int none = 0;
  if (!consoleCloses && finishFirst.load() != 0 &&
      heldSignal.compare_exchange_strong(none, signal)) {
    Announce(kCutAnnouncement, sizeof kCutAnnouncement - 1);
    return;
  }
  if (shieldDepth.load() == 0) ExitProcess(static_cast<UINT>(InterruptExitStatus(signal)));
  none = 0;
  heldSignal.compare_exchange_strong(none, signal);
  if (announced.exchange(1) == 0) Announce(kAnnouncement, sizeof kAnnouncement - 1);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const bool closes = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
  TakeRequest(SignalOf(event), closes);
  if (!closes) return TRUE;
  // The console is going away: the process ends when this returns, so keep it until the
  // shield is gone (the system allows a few seconds).
  while (shieldDepth.load() != 0) Sleep(10);
  return FALSE;
}

}  // namespace

void HandleTerminationRequest(int signal) { TakeRequest(signal, false); }

void InstallInterruptHandlers() {
  if (installed.exchange(true)) return;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptShield::InterruptShield() { shieldDepth.fetch_add(1); }
InterruptShield::~InterruptShield() { shieldDepth.fetch_sub(1); }

int HeldInterrupt() { return heldSignal.load(); }

void SetFinishHandsetFirst(bool on) {
  finishFirst.store(on ? 1 : 0);
  if (!on) stopSignal = 0;
}

int LineStopRequested() { return stopSignal.load(); }

void ClearHeldInterrupt() {
  heldSignal = 0;
  announced = 0;
}

}  // namespace velmora
