// velmora-sim: the simulated handset behind an RFC 2217 server on 127.0.0.1, one client at a
// time, the line paced at its baud rate in both directions.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/rfc2217_session.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

namespace {

using velmora::RealClock;
using namespace velmora::sim;

volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gDump = 0;
int gWakeWrite = -1;

void OnSignal(int sig) {
  if (sig == SIGUSR1) gDump = 1;
  else gStop = 1;
  const int saved = errno;
  const char c = 0;
  if (gWakeWrite >= 0) (void)!write(gWakeWrite, &c, 1);
  errno = saved;
}

// The longest a poll sleeps with nothing due: a bound on every wait of the loop.
constexpr int kIdlePollMs = 200;
// How long before the last byte of an answer is due the loop stops sleeping and polls instead:
// a little more than a timed wake-up usually oversleeps.
constexpr int64_t kAnswerEndSpinUs = 60;
// A client that stops reading may not make the server hoard its output without end.
constexpr size_t kMaxClientBacklog = 1 << 20;

bool WriteDump(const SimHandset& handset, const std::string& path) {
  const std::string text = handset.Dump();
  if (path.empty()) {
    std::fputs(text.c_str(), stderr);
    return true;
  }
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!(out << text)) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct Client {
  int fd = -1;
  std::unique_ptr<Rfc2217Session> session;
  std::string out;
};

void DropClient(Client* c) {
  c->session.reset();  // before the port is released: the session drops the modem lines
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->out.clear();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmora-sim: a simulated handset served over RFC 2217 on 127.0.0.1"};
  int port = 0;
  std::string profilePath, dumpPath;
  std::vector<std::string> settings, faults;
  bool once = false;
  std::string product, imei, imeiText, state, baud, eeliteCapacity;
  app.add_option("--port", port, "TCP port to listen on (0: choose one)")->check(CLI::Range(0, 65535));
  app.add_option("--profile", profilePath, "profile file (key = value lines)");
  app.add_option("--product", product, "hardware product number");
  app.add_option("--imei", imei, "IMEI digits");
  app.add_option("--imei-text", imeiText, "exact AT+CGSN answer text (escapes \\r \\n \\xHH)");
  app.add_option("--state", state, "starting state: off, normal or service");
  app.add_option("--baud", baud, "the handset's own baud rate");
  app.add_option("--eelite-capacity", eeliteCapacity, "Eelite bytes");
  app.add_option("--fault", faults, "a fault, e.g. \"status 0x01 5 once\" (repeatable)");
  app.add_option("--set", settings, "any profile setting as KEY=VALUE (repeatable)");
  app.add_option("--dump", dumpPath, "write the block store here at exit and on SIGUSR1");
  app.add_flag("--once", once, "serve one client, then exit");
  CLI11_PARSE(app, argc, argv);

  SimProfile profile = SimProfile::Default();
  std::string error;
  if (!profilePath.empty() && !LoadSimProfile(profilePath, &profile, &error)) {
    std::fprintf(stderr, "velmora-sim: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::pair<std::string, std::string>> named = {
      {"product", product}, {"imei", imei}, {"imei_text", imeiText},
      {"state", state},     {"baud", baud}, {"eelite_capacity", eeliteCapacity}};
  for (const std::string& f : faults) named.emplace_back("fault", f);
  for (const std::string& s : settings) {
    const auto eq = s.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "velmora-sim: --set wants KEY=VALUE, got '%s'\n", s.c_str());
      return 2;
    }
    named.emplace_back(s.substr(0, eq), s.substr(eq + 1));
  }
  for (const auto& [key, value] : named) {
    if (value.empty()) continue;  // a named option not given
    if (!ApplySimSetting(&profile, key, value, &error)) {
      std::fprintf(stderr, "velmora-sim: %s\n", error.c_str());
      return 2;
    }
  }

  int wake[2];
  if (pipe(wake) != 0) return 1;
  SetNonBlocking(wake[0]);
  SetNonBlocking(wake[1]);
  gWakeWrite = wake[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    std::perror("velmora-sim: socket");
    return 1;
  }
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 4) != 0) {
    std::fprintf(stderr, "velmora-sim: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  SetNonBlocking(listener);
  std::printf("listening on 127.0.0.1:%u\n", unsigned{ntohs(addr.sin_port)});
  std::fflush(stdout);

  // The line is paced by timed wake-ups; the kernel's default slack of 50 us on each of them
  // would be most of a byte time at 115200 baud.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  RealClock clock;
  SimHandset handset(profile);
  Client client;
  bool served = false;

  while (!gStop && !(once && served && client.fd < 0)) {
    if (gDump) {
      gDump = 0;
      if (!WriteDump(handset, dumpPath)) std::fprintf(stderr, "velmora-sim: cannot write %s\n", dumpPath.c_str());
    }
    // Wake exactly when the next byte is due: a wait rounded up to whole milliseconds would
    // hold back every answer by up to a millisecond, several byte times at these speeds.
    int64_t waitUs = int64_t{kIdlePollMs} * 1000;
    if (client.session) {
      const int64_t due = client.session->NextDueUs();
      if (due != INT64_MAX) waitUs = std::clamp<int64_t>(due - clock.NowUs(), 0, waitUs);
      // A timed wake-up comes tens of microseconds late, and the last byte of an answer is
      // what the host waits for: sleep through all but the last stretch before it and spin
      // that stretch, so the answer ends on the line's time and not the scheduler's.
      if (due != INT64_MAX && handset.HasOutput() && due == handset.LastOutputUs())
        waitUs = waitUs > kAnswerEndSpinUs ? waitUs - kAnswerEndSpinUs : 0;
    }
    const timespec waitFor{static_cast<time_t>(waitUs / 1'000'000), static_cast<long>(waitUs % 1'000'000) * 1000};
    pollfd fds[3] = {{wake[0], POLLIN, 0}, {listener, POLLIN, 0}, {client.fd, POLLIN, 0}};
    if (client.fd >= 0 && !client.out.empty()) fds[2].events |= POLLOUT;
    const int n = ppoll(fds, client.fd >= 0 ? 3 : 2, &waitFor, nullptr);
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        // One client at a time, and none while the port is "held by another program".
        if (client.fd >= 0 || !handset.AcquirePort()) {
          close(fd);
        } else {
          SetNonBlocking(fd);
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
          client.fd = fd;
          client.session = std::make_unique<Rfc2217Session>(handset, clock.NowUs());
          served = true;
        }
      }
    }
    if (client.fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      uint8_t buf[4096];
      const ssize_t got = recv(client.fd, buf, sizeof buf, 0);
      if (got > 0) {
        client.session->OnNetworkBytes(buf, static_cast<size_t>(got), clock.NowUs());
      } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        DropClient(&client);
        handset.ReleasePort();
      }
    }
    if (client.session) {
      client.session->Pump(clock.NowUs());
      client.out += client.session->TakeNetworkOutput();
      if (client.out.size() > kMaxClientBacklog) {
        DropClient(&client);
        handset.ReleasePort();
      }
    }
    if (client.fd >= 0 && !client.out.empty()) {
      const ssize_t sent = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        client.out.erase(0, static_cast<size_t>(sent));
      } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        DropClient(&client);
        handset.ReleasePort();
      }
    }
  }
  if (client.fd >= 0) {
    DropClient(&client);
    handset.ReleasePort();
  }
  close(listener);
  if (!dumpPath.empty() && !WriteDump(handset, dumpPath)) {
    std::fprintf(stderr, "velmora-sim: cannot write %s\n", dumpPath.c_str());
    return 1;
  }
  return 0;
}
