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

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (shieldDepth.load() == 0) return FALSE;
  int none = 0;
  heldSignal.compare_exchange_strong(none, SignalOf(event));
  if (announced.exchange(1) == 0) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kAnnouncement, sizeof kAnnouncement - 1, &written, nullptr);
  }
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

void ClearHeldInterrupt() {
  heldSignal = 0;
  announced = 0;
}

}  // namespace velmora
