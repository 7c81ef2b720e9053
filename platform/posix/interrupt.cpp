// POSIX: SIGINT, SIGTERM and SIGHUP. Outside a shield the handler puts the default action back
// and raises the signal again, so the program ends exactly as it would have without a handler.
#include "platform/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace velmora {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Touched by the handler: lock-free atomics and a sig_atomic_t only.
std::atomic<int> shieldDepth{0};
volatile sig_atomic_t heldSignal = 0;
volatile sig_atomic_t announced = 0;
std::atomic<int> finishFirst{0};
volatile sig_atomic_t stopSignal = 0;

constexpr char kAnnouncement[] =
    "\nInterrupted: the Eelite blocks are being written back into the handset; finishing that "
    "first, then ending.\n";

constexpr char kStopAnnouncement[] =
    "\nStopping after the handset on the line; interrupt again to stop at once.\n";

constexpr char kCutAnnouncement[] =
    "\nStopping the handset on the line before its next block, keeping its record; interrupt "
    "again to end at once.\n";

void OnTerminationRequest(int signal) {
  if (finishFirst.load() != 0 && stopSignal == 0) {
    stopSignal = signal;
    const ssize_t ignored = ::write(STDERR_FILENO, kStopAnnouncement, sizeof kStopAnnouncement - 1);
    (void)ignored;
    return;
  }
  // The second request to a line is held like one in a shield: the handset on the line stops
  // before its next block and gets its record. Only a third ends the program at once.
  if (finishFirst.load() != 0 && heldSignal == 0) {
    heldSignal = signal;
    const ssize_t ignored = ::write(STDERR_FILENO, kCutAnnouncement, sizeof kCutAnnouncement - 1);
    (void)ignored;
    return;
  }
  if (shieldDepth.load() == 0) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  if (heldSignal == 0) heldSignal = signal;
  if (announced == 0) {
    announced = 1;
    // write() is safe in a handler; what it returns does not matter here.
    const ssize_t ignored = ::write(STDERR_FILENO, kAnnouncement, sizeof kAnnouncement - 1);
    (void)ignored;
  }
}

}  // namespace

void InstallInterruptHandlers() {
  for (const int signal : kSignals) {
    struct sigaction action {};
    action.sa_handler = OnTerminationRequest;
    sigemptyset(&action.sa_mask);
    // SA_RESTART: a held request must not make the serial reads and writes of the write-back
    // fail with EINTR.
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

InterruptShield::InterruptShield() { shieldDepth.fetch_add(1); }
InterruptShield::~InterruptShield() { shieldDepth.fetch_sub(1); }

int HeldInterrupt() { return heldSignal; }

void SetFinishHandsetFirst(bool on) {
  finishFirst.store(on ? 1 : 0);
  if (!on) stopSignal = 0;
}

int LineStopRequested() { return stopSignal; }

void ClearHeldInterrupt() {
  heldSignal = 0;
  announced = 0;
}

}  // namespace velmora
