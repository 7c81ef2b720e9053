// Child processes of a station: one program per port, each with its own log, started together
// and waited for as they end. A termination request to the parent is passed on to every child,
// so that each one finishes or stops its own handset as it would on its own.
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
// device, standard output and standard error into logPath (created or emptied). False with
// the reason in *why.
bool StartChild(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath, int64_t* id, std::string* why);

// For a program a station started: true once the station that started it has ended (killed,
// say), so that a line of handsets of its own stops after the handset on the line instead of
// going on with nobody to report to. The first call remembers the parent; false until then.
// On Windows always false: a station's children end with its console.
bool StationGone();

// The processor time (user and system) this program has used so far, in seconds.
double OwnCpuSeconds();

// Waits until one of the children started ends. False when none is left.
bool WaitChild(ChildEnd* end);

// From here on, termination requests (Ctrl-C, SIGTERM, SIGHUP) to this process are passed on
// to its children instead of ending it.
void ForwardTerminationToChildren();

}  // namespace velmora
