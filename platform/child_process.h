// Child processes of a station: one program per port, each with its own log, started together
// and waited for as they end. A termination request to the parent is passed on to every child,
// so that each one finishes or stops its own handset as it would on its own, and hears each
// request once: on POSIX the children have process groups of their own and the station sends
// them its signals; on Windows they have no console (a Ctrl-C or Ctrl-Break in the station's
// console reaches only the station), and the station writes each request into a pipe that is
// the child's standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct ChildEnd {
  int64_t id = 0;          // as StartChild handed it out
  int status = 0;          // exit status; 128 + N for a child ended by signal N
  double cpuSeconds = 0;   // user and system time the child used
};

// Starts program with args (not including the program itself); standard input from the null
// device (on Windows the station's pipe), standard output and standard error into logPath
// (created or emptied). False with the reason in *why.
bool StartChild(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath, int64_t* id, std::string* why);

// For a program a station started, called once before its run: from now on it takes the
// termination requests the station passes on (on Windows from its standard input, as they come
// to a program from its console) and notes when the station is gone.
void FollowStation();

// True once the station this program follows has ended (killed, say), so that a line of
// handsets of its own stops after the handset on the line instead of going on with nobody to
// report to. False before FollowStation.
bool StationGone();

// A process as another program can tell it apart later: its id and when it started, so that a
// process that was given the same id after it ended is not taken for it.
struct ProcessMark {
  int64_t id = 0;
  uint64_t started = 0;  // in the system's own units (clock ticks since boot; Windows FILETIME)
};
// This program's mark.
ProcessMark OwnProcessMark();
// The mark of the running process with that id (a child's, as StartChild handed it out); false
// when there is none.
bool MarkOfProcess(int64_t id, ProcessMark* mark);
// True while the process of that mark runs (an ended one whose parent has not yet collected it
// is not running). The same on every system: the process of that id now, started then.
inline bool ProcessRunning(const ProcessMark& mark) {
  ProcessMark now;
  return MarkOfProcess(mark.id, &now) && now.started == mark.started;
}

// The processor time (user and system) this program has used so far, in seconds.
double OwnCpuSeconds();

// Waits until one of the children started ends. False when none is left.
bool WaitChild(ChildEnd* end);

// From here on, termination requests (Ctrl-C, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break
// and closing the console) to this process are passed on to its children instead of ending it.
void ForwardTerminationToChildren();

// Passes one termination request on to every child still running, as the station does with
// each it gets: signal is its number (2 Ctrl-C or SIGINT, 15 Ctrl-Break or SIGTERM, 1 a closed
// console or SIGHUP).
void PassOnTermination(int signal);

}  // namespace velmora
