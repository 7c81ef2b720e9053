#include "cli/station_files.h"

#include <atomic>

#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/record_file.h"
#include "platform/regular_file.h"

namespace velmora {
namespace {

constexpr char kPrefix[] = "velmora-station-";
constexpr char kOwnerSuffix[] = ".owner";
// The same bound as a line's own reading of the list.
constexpr size_t kMaxDoneListBytes = 64 * 1024 * 1024;
// An owner file holds a line per port and one for the station.
constexpr size_t kMaxOwnerBytes = 1 << 20;

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : JoinPath(folder, name);
}

std::string MarkLine(const ProcessMark& mark) {
  return std::to_string(mark.id) + " " + std::to_string(mark.started) + "\n";
}

// The marks of an owner file; lines that are none are skipped.
std::vector<ProcessMark> ReadMarks(const std::string& text) {
  std::vector<ProcessMark> marks;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space + 1 >= line.size()) continue;
    const std::string id = line.substr(0, space);
    const std::string started = line.substr(space + 1);
    if (id.find_first_not_of("0123456789") != std::string::npos ||
        started.find_first_not_of("0123456789") != std::string::npos || id.size() > 18 ||
        started.size() > 19)
      continue;
    ProcessMark mark;
    mark.id = std::stoll(id);
    mark.started = std::stoull(started);
    marks.push_back(mark);
  }
  return marks;
}

// The non-empty lines of a done list, each ending in "\n" (a list may end without one, or in
// CR LF after an edit on another system).
std::string DoneLines(const std::string& text, int* count) {
  std::string lines;
  *count = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    lines += line + "\n";
    ++*count;
  }
  return lines;
}

}  // namespace

void TakeOverStationLeftovers(const std::string& folder, const std::string& doneList,
                              std::vector<std::string>* notes) {
  for (const std::string& ownerName : ListFiles(folder, kPrefix, kOwnerSuffix)) {
    const std::string ownerPath = InFolder(folder, ownerName);
    std::string text;
    if (!ReadRegularFile(ownerPath, &text, nullptr, kMaxOwnerBytes)) continue;
    const std::vector<ProcessMark> marks = ReadMarks(text);
    // A file that names no process is not one this program wrote: not ours to judge.
    if (marks.empty()) continue;
    bool running = false;
    for (const ProcessMark& mark : marks) running = running || ProcessRunning(mark);
    if (running) continue;

    const std::string stem = ownerName.substr(0, ownerName.size() - (sizeof kOwnerSuffix - 1));
    std::string why;
    int removed = 0;
    for (const std::string& name : ListFiles(folder, stem + "-", ".events"))
      if (RemoveFile(InFolder(folder, name), &why)) ++removed;
    std::string note = "An earlier station (process " + std::to_string(marks[0].id) +
                       ") ended without removing its files: " + std::to_string(removed) +
                       " events file(s) removed";
    const std::string donePath = InFolder(folder, stem + ".done");
    bool ownerDone = true;
    if (PathExists(donePath)) {
      std::string done;
      int handsets = 0;
      if (doneList.empty()) {
        // Its meaning (updated at this station) is kept for the next line of handsets.
        ownerDone = false;
        note += "; its list of handsets done is kept for the next continuous station";
      } else if (!ReadRegularFile(donePath, &done, &why, kMaxDoneListBytes)) {
        ownerDone = false;
        note += "; its list of handsets done " + donePath + " cannot be read (" + why + ")";
      } else if (const std::string lines = DoneLines(done, &handsets);
                 !lines.empty() && !AppendWholeLine(doneList, lines, &why)) {
        ownerDone = false;
        note += "; its list of handsets done " + donePath + " cannot be taken over (" + why + ")";
      } else {
        // Taken over whole before it goes: a start cut short here takes it over again, and an
        // IMEI listed twice means no more than once.
        RemoveFile(donePath, &why);
        note += "; its " + std::to_string(handsets) +
                " handset(s) done taken over as done at this station";
      }
    }
    if (ownerDone) RemoveFile(ownerPath, &why);
    notes->push_back(note);
  }
}

StationFiles::StationFiles(size_t ports, bool continuous, std::string folder) {
  std::string why;
  if (folder.empty()) folder = PrivateStateDirectory(&why);
  static std::atomic<int> stations{0};
  const ProcessMark self = OwnProcessMark();
  const std::string stem = std::string(kPrefix) + std::to_string(self.id) + "-" +
                           std::to_string(self.started) + "-" + std::to_string(++stations);
  owner_ = InFolder(folder, stem + kOwnerSuffix);
  // The owner file comes first: no file of this station is ever there without it.
  AppendWholeLine(owner_, MarkLine(self), &why);
  for (size_t i = 0; i < ports; ++i)
    events_.push_back(InFolder(folder, stem + "-" + std::to_string(i + 1) + ".events"));
  if (continuous) doneList_ = InFolder(folder, stem + ".done");
  TakeOverStationLeftovers(folder, doneList_, &notes_);
}

StationFiles::~StationFiles() {
  std::string why;
  for (const std::string& path : events_) RemoveFile(path, &why);
  if (!doneList_.empty()) RemoveFile(doneList_, &why);
  RemoveFile(owner_, &why);
}

void StationFiles::AddProgram(int64_t id) {
  ProcessMark mark;
  std::string why;
  if (MarkOfProcess(id, &mark)) AppendWholeLine(owner_, MarkLine(mark), &why);
}

}  // namespace velmora
