// Windows: Ctrl-C, Ctrl-Break and closing the console come to a handler on a thread of their
// own. Outside a shield the handler says "not mine", and the system ends the program as it
// always did. Inside one it holds the request; for a closed console that hold lasts only as
// long as the handler keeps its thread (the system ends the process when the handler returns).
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/interrupt.h"

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

void Announce(const char* text, DWORD size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, size, &written, nullptr);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int noStop = 0;
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && finishFirst.load() != 0 &&
      stopSignal.compare_exchange_strong(noStop, SignalOf(event))) {
    Announce(kStopAnnouncement, sizeof kStopAnnouncement - 1);
    return TRUE;
  }
  if (shieldDepth.load() == 0) return FALSE;
  int none = 0;
  heldSignal.compare_exchange_strong(none, SignalOf(event));
  if (announced.exchange(1) == 0) Announce(kAnnouncement, sizeof kAnnouncement - 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The console is going away: the process ends when this returns, so keep it until the
  // shield is gone (the system allows a few seconds).
  while (shieldDepth.load() != 0) Sleep(10);
  return FALSE;
}

}  // namespace

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
