#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/output_file.h"

extern char** environ;

namespace velmora {
namespace {

std::vector<pid_t> g_children;
volatile sig_atomic_t g_pendingSignal = 0;

void NoteSignal(int signal) { g_pendingSignal = signal; }

void PassOnPendingSignal() {
  const int signal = g_pendingSignal;
  if (signal == 0) return;
  g_pendingSignal = 0;
  PassOnTermination(signal);
}

double CpuSeconds(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Field 3 (the state) and field 22 (the start time in clock ticks since boot) of
// /proc/PID/stat; false when there is no such process. The name in parentheses may hold
// anything, so the fields are counted from its closing parenthesis.
bool ProcStat(int64_t id, char* state, uint64_t* started) {
  std::ifstream in("/proc/" + std::to_string(id) + "/stat");
  std::string text;
  if (!in || !std::getline(in, text)) return false;
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int n = 3; n <= 22 && fields >> field; ++n) {
    if (n == 3) *state = field.empty() ? '?' : field[0];
    if (n == 22) {
      *started = std::strtoull(field.c_str(), nullptr, 10);
      return true;
    }
  }
  return false;
}

}  // namespace

ProcessMark OwnProcessMark() {
  ProcessMark mark;
  MarkOfProcess(::getpid(), &mark);
  return mark;
}

bool MarkOfProcess(int64_t id, ProcessMark* mark) {
  char state = '?';
  uint64_t started = 0;
  if (id <= 0) return false;
  if (!ProcStat(id, &state, &started)) {
    // No /proc: the id alone, which kill() can still ask about.
    if (::kill(static_cast<pid_t>(id), 0) != 0 && errno != EPERM) return false;
    started = 0;
  } else if (state == 'Z' || state == 'X') {
    return false;
  }
  mark->id = id;
  mark->started = started;
  return true;
}

bool StartChild(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath, int64_t* id, std::string* why) {
  // The log is emptied: only a regular file of its own, never one a symlink points to.
  if (!CheckOutputPath(logPath, LinkRule::Refuse, {}, why)) return false;
  const int log = ::open(logPath.c_str(),
                         O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (log < 0) {
    *why = logPath + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(log, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(log, 0) != 0) {
    *why = logPath + " is not a regular file";
    ::close(log);
    return false;
  }
  const int flags = ::fcntl(log, F_GETFL);
  if (flags >= 0) ::fcntl(log, F_SETFL, flags & ~O_NONBLOCK);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, log, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, log, STDERR_FILENO);
  // The child decides for itself what the termination requests do.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A process group of its own: a Ctrl-C at the terminal (sent to the foreground group) reaches
  // only this process, which passes each request on once. Heard twice, from the terminal and
  // again from here, a request would end a line of handsets at once instead of after the
  // handset on it.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, program.c_str(), &files, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  ::close(log);
  if (error != 0) {
    *why = program + ": " + std::strerror(error);
    return false;
  }
  g_children.push_back(pid);
  *id = pid;
  return true;
}

namespace {
// The station this program follows, 0 before FollowStation.
pid_t g_station = 0;
}  // namespace

// The station sends its signals to this process's group (its own).
void FollowStation() { g_station = getppid(); }

bool StationGone() { return g_station != 0 && getppid() != g_station; }

double OwnCpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

bool WaitChild(ChildEnd* end) {
  for (;;) {
    PassOnPendingSignal();
    if (g_children.empty()) return false;
    int status = 0;
    rusage usage{};
    const pid_t pid = ::wait4(-1, &status, 0, &usage);
    if (pid < 0) {
      if (errno == EINTR) continue;
      g_children.clear();
      return false;
    }
    bool ours = false;
    for (size_t i = 0; i < g_children.size(); ++i) {
      if (g_children[i] == pid) {
        g_children.erase(g_children.begin() + static_cast<std::ptrdiff_t>(i));
        ours = true;
        break;
      }
    }
    if (!ours) continue;
    end->id = pid;
    end->status = WIFEXITED(status) ? WEXITSTATUS(status)
                                    : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
    end->cpuSeconds = CpuSeconds(usage);
    return true;
  }
}

void PassOnTermination(int signal) {
  for (pid_t child : g_children) ::kill(child, signal);
}

void ForwardTerminationToChildren() {
  struct sigaction action {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: the wait returns and passes the request on
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
}

}  // namespace velmora
