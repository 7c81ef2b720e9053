// The files through which the programs of one station talk to it, in the private state folder
// (else the working folder): an events file per port and, for a continuous station, the list of
// handsets done, shared by its ports. They are removed when the station ends. A station that is
// killed cannot remove them, and its programs go on writing them until their handsets are
// finished; so each station also keeps an owner file with the marks (id and start time) of
// itself and of every program it started, and the next station to start takes over what a
// station whose every process has ended left behind.
//
// Names: velmora-station-ID-START-K.owner, ...-K-N.events (port N from 1), ...-K.done, where
// ID and START are the station's process mark and K counts the stations of one process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class StationFiles {
 public:
  // folder "" is the private state folder, else the working folder. Takes over the leftovers
  // of ended stations in that folder first (see TakeOverStationLeftovers).
  StationFiles(size_t ports, bool continuous, std::string folder = {});
  ~StationFiles();
  StationFiles(const StationFiles&) = delete;
  StationFiles& operator=(const StationFiles&) = delete;

  // A program the station started (its id as StartChild handed it out) is an owner too: the
  // files are not taken over while it runs.
  void AddProgram(int64_t id);

  const std::vector<std::string>& events() const { return events_; }
  const std::string& doneList() const { return doneList_; }
  const std::string& owner() const { return owner_; }
  // One line for each earlier station whose leftovers were taken over, for the station's output.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  std::vector<std::string> events_;
  std::string doneList_;
  std::string owner_;
  std::vector<std::string> notes_;
};

// Takes over what stations whose every process has ended left in folder (as named above):
// their events files are removed; the handsets of their done lists are appended to doneList
// (they were updated at this station, and a line goes on turning them away) and the lists
// removed. Without a doneList (a station of single runs) a done list is left, with its owner
// file, for the next continuous station. Files of a station with a process still running, and
// files without an owner file, are left alone. One note per station taken over.
void TakeOverStationLeftovers(const std::string& folder, const std::string& doneList,
                              std::vector<std::string>* notes);

}  // namespace velmora
