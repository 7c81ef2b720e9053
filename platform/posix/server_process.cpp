#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/server_process.h"

namespace velmora {
namespace {

volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gDump = 0;
int gWake[2] = {-1, -1};

void OnSignal(int sig) {
  if (sig == SIGUSR1) gDump = 1;
  else gStop = 1;
  const int saved = errno;
  const char c = 0;
  if (gWake[1] >= 0) (void)!write(gWake[1], &c, 1);
  errno = saved;
}

}  // namespace

void InstallServerSignals() {
  if (gWake[0] < 0 && pipe2(gWake, O_NONBLOCK | O_CLOEXEC) != 0) gWake[0] = gWake[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return gStop != 0; }

bool TakeDumpRequest() {
  if (gDump == 0) return false;
  gDump = 0;
  return true;
}

SocketId ServerWakeSocket() { return gWake[0] >= 0 ? gWake[0] : kNoSocket; }

void DrainServerWake() {
  char drain[64];
  while (gWake[0] >= 0 && read(gWake[0], drain, sizeof drain) > 0) {
  }
}

void SharpenTimers() {
  // The kernel's default slack of 50 us on each timed wake-up would be most of a byte time at
  // 115200 baud.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace velmora
