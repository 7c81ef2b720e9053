// Requests to end the program from outside: SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C,
// Ctrl-Break and closing the console). Most of the time such a request ends the program at
// once, as it always did. While an InterruptShield lives (the Eelite area of a handset has been
// erased and its blocks exist only in this program's memory) the request is held instead: it is
// announced once on stderr, kept, and acted on by the code that made the shield once it is safe.
#pragma once

namespace velmora {

// Puts the handlers in place; called once by each front end at start-up. Idempotent.
void InstallInterruptHandlers();

// Holds termination requests for as long as it lives. Shields nest.
class InterruptShield {
 public:
  InterruptShield();
  ~InterruptShield();
  InterruptShield(const InterruptShield&) = delete;
  InterruptShield& operator=(const InterruptShield&) = delete;
};

// The request held so far: 0 for none, else its signal number (SIGINT 2, SIGTERM 15, SIGHUP 1;
// Windows reports Ctrl-C as 2 and Ctrl-Break or a closed console as 15 and 1).
int HeldInterrupt();
// Forgets a held request (for tests, and for a front end that has acted on it).
void ClearHeldInterrupt();
// A program that updates handset after handset sets this: from then on the first request is
// only noted (LineStopRequested, announced once) so that the handset on the line is finished and
// no new one begun; a second request is held (HeldInterrupt, announced once) as in a shield, so
// that the handset on the line stops before its next block and keeps its record; a third is
// handled as any request is (held through a shield, else the end). Turning it off forgets a
// noted request.
void SetFinishHandsetFirst(bool on);
// The request noted while finishing the handset first: 0 for none, else its signal number.
int LineStopRequested();

// The exit status of a program that ends because of the request: 128 + its signal number.
inline int InterruptExitStatus(int signal) { return 128 + signal; }

}  // namespace velmora
