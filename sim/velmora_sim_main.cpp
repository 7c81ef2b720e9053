// velmora-sim: the simulated handset behind an RFC 2217 server on 127.0.0.1, one client at a
// time, the line paced at its baud rate in both directions.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/output_file.h"
#include "options/program_options.h"
#include "platform/record_file.h"
#include "platform/server_process.h"
#include "platform/tcp_socket.h"
#include "sim/rfc2217_session.h"
#include "sim/sim_handset.h"
#include "sim/sim_profile.h"

namespace {

using velmora::RealClock;
using namespace velmora::sim;

// The longest a poll sleeps with nothing due: a bound on every wait of the loop.
constexpr int kIdlePollMs = 200;
// How long before the last byte of an answer is due the loop stops sleeping and polls instead:
// a little more than a timed wake-up usually oversleeps.
constexpr int64_t kAnswerEndSpinUs = 60;
// A client that stops reading may not make the server hoard its output without end.
constexpr size_t kMaxClientBacklog = 1 << 20;

bool WriteDump(const SimHandset& handset, const std::string& path) {
  const std::string text = handset.DumpAll();
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

// Writes the handset's non-volatile store to its state file: a whole new file renamed over the
// old one (never over a device, a FIFO or through a link), so that a velmora-sim killed at any
// moment leaves the last state or the one before, never a part.
bool SaveState(const SimHandset& handset, const std::string& path, std::string* why) {
  return velmora::ReplaceFileWhole(path, handset.StateText(), why);
}

struct Client {
  velmora::SocketId fd = velmora::kNoSocket;
  std::unique_ptr<Rfc2217Session> session;
  std::string out;
};

void DropClient(Client* c) {
  c->session.reset();  // before the port is released: the session drops the modem lines
  velmora::CloseSocket(c->fd);
  c->fd = velmora::kNoSocket;
  c->out.clear();
}

struct SimOptions {
  int port = 0;
  std::string profilePath, dumpPath, stateFile;
  std::vector<std::string> settings, faults;
  bool once = false;
  bool logTimes = false;
  std::string product, imei, imeiText, state, baud, eeliteCapacity, handsets, nextAfter;
};

void AddOptions(CLI::App& app, SimOptions* o) {
  app.add_option("--port", o->port, "TCP port to listen on (0: choose one)")->check(CLI::Range(0, 65535));
  app.add_option("--profile", o->profilePath, "profile file (key = value lines)");
  app.add_option("--product", o->product, "hardware product number");
  app.add_option("--imei", o->imei, "IMEI digits");
  app.add_option("--imei-text", o->imeiText, "exact AT+CGSN answer text (escapes \\r \\n \\xHH)");
  app.add_option("--state", o->state, "starting state: off, normal or service");
  app.add_option("--baud", o->baud, "the handset's own baud rate");
  app.add_option("--eelite-capacity", o->eeliteCapacity, "Eelite bytes");
  app.add_option("--handsets", o->handsets,
                 "handsets the operator brings one after another (default 1): each taken away\n"
                 "when its update ends with a switch-off, the next a new one with the next IMEI");
  app.add_option("--next-after", o->nextAfter,
                 "milliseconds from a handset taken away to the next on the line (default 1000)");
  std::string faults = SimFaultUsage();
  if (!faults.empty()) faults.pop_back();  // the option's help ends without a line end
  app.add_option("--fault", o->faults, "a fault, e.g. \"status 0x01 5 once\" (repeatable); the faults:\n" + faults);
  app.add_option("--set", o->settings, "any profile setting as KEY=VALUE (repeatable)");
  app.add_option("--dump", o->dumpPath, "write the block store here at exit and on SIGUSR1");
  app.add_option("--state-file", o->stateFile,
                 "keep the block store here like the handset's own memory: loaded at start when\n"
                 "it exists, rewritten whole after every change, so that a killed velmora-sim\n"
                 "starts again where it stopped");
  app.add_flag("--once", o->once, "serve one client, then exit");
  app.add_flag("--log-times", o->logTimes,
               "end each line about a handset with the time it happened in seconds since 1970\n"
               "(\"at 1765431001.123456\"; connected: when the operator put it there) and tell\n"
               "each handset's first service request the same way");
}

// The store the handset held when it stopped, in *store when the file exists. Returns -1, or
// the exit status when the state file cannot be used.
int LoadStateFile(const std::string& stateFile, const SimProfile& profile,
                  std::optional<std::vector<SimBlock>>* store) {
  std::string error;
  // Only a regular file of its own is replaced: never a device, a FIFO or a link's target.
  if (!velmora::CheckOutputPath(stateFile, velmora::LinkRule::Refuse, {}, &error)) {
    std::fprintf(stderr, "velmora-sim: --state-file: %s\n", error.c_str());
    return 2;
  }
  if (!velmora::PathExists(stateFile)) return -1;
  SimProfile stored = profile;
  stored.blocks.clear();
  if (!LoadSimProfile(stateFile, &stored, &error)) {
    std::fprintf(stderr, "velmora-sim: state file %s\n", error.c_str());
    return 2;
  }
  *store = std::move(stored.blocks);
  return -1;
}

// The profile file, then the options on top of it, then the state file's store (the first
// handset's, instead of the profile's blocks). Returns -1, or the exit status when one of them
// cannot be used.
int BuildProfile(const SimOptions& o, SimProfile* profile, std::optional<std::vector<SimBlock>>* store) {
  std::string error;
  if (!o.profilePath.empty() && !LoadSimProfile(o.profilePath, profile, &error)) {
    std::fprintf(stderr, "velmora-sim: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::pair<std::string, std::string>> named = {
      {"product", o.product}, {"imei", o.imei}, {"imei_text", o.imeiText},
      {"state", o.state},     {"baud", o.baud}, {"eelite_capacity", o.eeliteCapacity},
      {"handsets", o.handsets}, {"next_after_ms", o.nextAfter}};
  for (const std::string& f : o.faults) named.emplace_back("fault", f);
  for (const std::string& s : o.settings) {
    const auto eq = s.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "velmora-sim: --set wants KEY=VALUE, got '%s'\n", s.c_str());
      return velmora::kExitUsage;
    }
    named.emplace_back(s.substr(0, eq), s.substr(eq + 1));
  }
  for (const auto& [key, value] : named) {
    if (value.empty()) continue;  // a named option not given
    if (!ApplySimSetting(profile, key, value, &error)) {
      std::fprintf(stderr, "velmora-sim: %s\n", error.c_str());
      return velmora::kExitUsage;
    }
  }
  return o.stateFile.empty() ? -1 : LoadStateFile(o.stateFile, *profile, store);
}

// The handset behind the listening socket and the one client it serves.
class Server {
 public:
  Server(const SimOptions& options, const SimProfile& profile, const std::vector<SimBlock>* store,
         velmora::SocketId listener)
      : options_(options), handset_(profile, store), listener_(listener) {}

  // Serves until asked to stop, with --once until the first client has gone, or until waiting
  // on the sockets fails.
  void Run() {
    while (!velmora::StopRequested() && !(options_.once && served_ && client_.fd == velmora::kNoSocket)) {
      if (velmora::TakeDumpRequest()) {
        if (!WriteDump(handset_, options_.dumpPath))
          std::fprintf(stderr, "velmora-sim: cannot write %s\n", options_.dumpPath.c_str());
      }
      if (!Step()) break;
    }
    if (client_.fd != velmora::kNoSocket) Drop();
  }
  bool SaveStateFile(std::string* why) { return SaveState(handset_, options_.stateFile, why); }
  const SimHandset& handset() const { return handset_; }

 private:
  // Wake exactly when the next byte is due: a wait rounded up to whole milliseconds would
  // hold back every answer by up to a millisecond, several byte times at these speeds.
  int64_t WaitUs() {
    int64_t waitUs = int64_t{kIdlePollMs} * 1000;
    if (!client_.session) return waitUs;
    const int64_t due = client_.session->NextDueUs();
    if (due != INT64_MAX) waitUs = std::clamp<int64_t>(due - clock_.NowUs(), 0, waitUs);
    // A timed wake-up comes tens of microseconds late, and the last byte of an answer is
    // what the host waits for: sleep through all but the last stretch before it and spin
    // that stretch, so the answer ends on the line's time and not the scheduler's.
    if (due != INT64_MAX && handset_.HasOutput() && due == handset_.LastOutputUs())
      waitUs = waitUs > kAnswerEndSpinUs ? waitUs - kAnswerEndSpinUs : 0;
    return waitUs;
  }

  // One wait on the sockets and all that is due after it; false when the wait failed.
  bool Step() {
    velmora::SocketWait waits[3] = {{listener_, true, false, 0},
                                    {client_.fd, true, !client_.out.empty(), 0},
                                    {velmora::ServerWakeSocket(), true, false, 0}};
    const size_t count = client_.fd != velmora::kNoSocket ? 2 : 1;
    const bool wake = waits[2].socket != velmora::kNoSocket;
    if (wake) waits[count] = waits[2];
    if (velmora::WaitSockets(waits, count + (wake ? 1 : 0), WaitUs()) < 0) return false;
    if (wake && waits[count].ready != 0) velmora::DrainServerWake();
    if (waits[0].ready & velmora::kSocketReadable) Accept();
    if (count == 2 && client_.fd != velmora::kNoSocket &&
        (waits[1].ready & (velmora::kSocketReadable | velmora::kSocketBroken)))
      Receive();
    if (client_.session) {
      client_.session->Pump(clock_.NowUs());
      client_.out += client_.session->TakeNetworkOutput();
      if (client_.out.size() > kMaxClientBacklog) Drop();
    } else {
      handset_.AdvanceTo(clock_.NowUs());  // the next handset comes whether a client is there or not
    }
    ReportHandsets();
    if (!options_.stateFile.empty() && handset_.storeChanges() != savedChanges_) {
      savedChanges_ = handset_.storeChanges();
      std::string why;
      if (!SaveStateFile(&why)) std::fprintf(stderr, "velmora-sim: cannot write the state file: %s\n", why.c_str());
    }
    if (client_.fd != velmora::kNoSocket && !client_.out.empty()) Send();
    return true;
  }

  // One line for each handset taken away and each new one on the line, as they happen; with
  // --log-times each with its time, and one more for each handset's first service request.
  void ReportHandsets() {
    auto say = [this](size_t k, const char* what, int64_t atUs) {
      const std::string when = options_.logTimes ? " at " + WallText(atUs) : std::string();
      std::fprintf(stderr, "velmora-sim: %s %s%s\n", handset_.HandsetName(static_cast<uint32_t>(k)).c_str(),
                   what, when.c_str());
    };
    // The handset on the line, or the one just taken away: the first service request is its.
    const int last = handset_.HandsetOnLine() >= 0 ? handset_.HandsetOnLine()
                                                    : static_cast<int>(handset_.takenAway().size()) - 1;
    if (options_.logTimes && last > reportedService_ && handset_.firstServiceUs() != INT64_MIN) {
      reportedService_ = last;
      say(static_cast<size_t>(last), "first service request", handset_.firstServiceUs());
    }
    for (; reportedGone_ < handset_.takenAway().size(); ++reportedGone_)
      say(reportedGone_, "taken away", handset_.takenAwayUs()[reportedGone_]);
    if (handset_.HandsetOnLine() > reportedOnLine_) {
      reportedOnLine_ = handset_.HandsetOnLine();
      say(static_cast<size_t>(reportedOnLine_), "connected", handset_.onLineSinceUs());
    }
  }

  // A time of the handset's clock as seconds since 1970 (UTC) to the microsecond: what a
  // script sets against other programs' wall-clock times without a time zone coming into it.
  std::string WallText(int64_t clockUs) const {
    const int64_t wallUs = clockUs + wallOffsetUs_;
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(wallUs / 1'000'000),
                  static_cast<long long>(wallUs % 1'000'000));
    return text;
  }

  void Accept() {
    const velmora::SocketId fd = velmora::TcpAccept(listener_);
    if (fd == velmora::kNoSocket) return;
    // One client at a time, and none while the port is "held by another program".
    if (client_.fd != velmora::kNoSocket || !handset_.AcquirePort()) {
      velmora::CloseSocket(fd);
      return;
    }
    client_.fd = fd;
    client_.session = std::make_unique<Rfc2217Session>(handset_, clock_.NowUs());
    served_ = true;
  }

  void Receive() {
    uint8_t buf[4096];
    const long got = velmora::SocketReceive(client_.fd, buf, sizeof buf);
    if (got > 0) client_.session->OnNetworkBytes(buf, static_cast<size_t>(got), clock_.NowUs());
    else if (got < 0) Drop();
  }

  void Send() {
    const long sent = velmora::SocketSend(client_.fd, client_.out.data(), client_.out.size());
    if (sent > 0) client_.out.erase(0, static_cast<size_t>(sent));
    else if (sent < 0) Drop();
  }

  void Drop() {
    DropClient(&client_);
    handset_.ReleasePort();
  }

  const SimOptions& options_;
  RealClock clock_;
  SimHandset handset_;
  velmora::SocketId listener_;
  Client client_;
  bool served_ = false;
  uint64_t savedChanges_ = 0;
  size_t reportedGone_ = 0;
  int reportedOnLine_ = 0;
  int reportedService_ = -1;
  // The wall clock less the handset's (steady) clock, for the times --log-times tells.
  const int64_t wallOffsetUs_ =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count() -
      RealClock().NowUs();
};

// Listens, serves and writes the dump at the end; the exit status.
int Serve(const SimOptions& options, const SimProfile& profile, const std::vector<SimBlock>* store) {
  velmora::InstallServerSignals();
  std::string why;
  int boundPort = 0;
  const velmora::SocketId listener = velmora::TcpListenLoopback(options.port, &boundPort, &why);
  if (listener == velmora::kNoSocket) {
    std::fprintf(stderr, "velmora-sim: cannot listen on 127.0.0.1:%d: %s\n", options.port, why.c_str());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", boundPort);
  std::fflush(stdout);
  velmora::SharpenTimers();

  Server server(options, profile, store, listener);
  if (!options.stateFile.empty() && !server.SaveStateFile(&why)) {
    std::fprintf(stderr, "velmora-sim: cannot write the state file: %s\n", why.c_str());
    return 1;
  }
  server.Run();
  velmora::CloseSocket(listener);
  if (!options.dumpPath.empty() && !WriteDump(server.handset(), options.dumpPath)) {
    std::fprintf(stderr, "velmora-sim: cannot write %s\n", options.dumpPath.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "velmora-sim: a simulated handset served over RFC 2217 on 127.0.0.1\n\n"
      "Exit status: 0 served and stopped, 1 the server could not run, 2 the profile or\n"
      "state file cannot be used (unreadable, a bad line, not a regular file), 64 a usage\n"
      "error (a bad option or value)."};
  velmora::AddVersionFlag(app, "velmora-sim");
  SimOptions options;
  AddOptions(app, &options);
  if (const int status = velmora::ParseProgramOptions(app, argc, argv); status >= 0) return status;

  SimProfile profile = SimProfile::Default();
  std::optional<std::vector<SimBlock>> store;
  if (const int status = BuildProfile(options, &profile, &store); status >= 0) return status;
  return Serve(options, profile, store ? &*store : nullptr);
}
