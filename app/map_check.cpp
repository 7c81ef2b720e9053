#include "app/map_check.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "update/update_run.h"

namespace velmora {
namespace {

struct AreaCounts {
  int write = 0, create = 0, remove = 0, removeCreate = 0, none = 0, other = 0;
  int total() const { return write + create + remove + removeCreate + none + other; }
};

void Count(AreaCounts* c, uint8_t operation) {
  switch (operation) {
    case kOpNone: ++c->none; break;
    case kOpWrite: ++c->write; break;
    case kOpCreate: ++c->create; break;
    case kOpDelete: ++c->remove; break;
    case kOpDeleteCreate: ++c->removeCreate; break;
    default: ++c->other; break;
  }
}

std::string Line(const char* area, const AreaCounts& c) {
  char line[200];
  std::snprintf(line, sizeof line,
                "  %-7s write %d, create %d, delete %d, delete+create %d, none %d, other %d\r\n",
                area, c.write, c.create, c.remove, c.removeCreate, c.none, c.other);
  return line;
}

// Remembers whether the log ends a line: the map reader's texts, written for a message box that
// follows them, may leave a line open, and the check's own verdict must start on a line of its own.
class LineTrackingReport : public Reporting {
 public:
  explicit LineTrackingReport(Reporting& to) : to_(to) {}
  bool lineOpen() const { return lineOpen_; }
  MessageBuffer& Message() override { return to_.Message(); }
  void Log(const std::string& text) override {
    Note(text.c_str());
    to_.Log(text);
  }
  void RefreshLog() override { to_.RefreshLog(); }
  void FlushMessage(MessageBuffer& buffer) override {
    Note(buffer.c_str());
    to_.FlushMessage(buffer);
  }
  int WarnMessage(MessageBuffer& buffer) override {
    Note(buffer.c_str());
    return to_.WarnMessage(buffer);
  }
  void ShowProgress(const char* text, uint32_t low, uint32_t high, uint32_t position) override {
    to_.ShowProgress(text, low, high, position);
  }

 private:
  void Note(const char* text) {
    const size_t n = std::strlen(text);
    if (n > 0) lineOpen_ = text[n - 1] != '\n';
  }
  Reporting& to_;
  bool lineOpen_ = false;
};

}  // namespace

bool CheckMapText(Reporting& report, const char* mapText) {
  LoadedMap map;
  LineTrackingReport tracked(report);
  const std::string error = ReadCheckedMap(tracked, mapText, &map);
  if (!error.empty()) {
    report.Log((tracked.lineOpen() ? "\r\n" : "") + error + "\r\n");
    report.RefreshLog();
    return false;
  }
  AreaCounts eelite, eefull, other;
  int64_t bytes = 0;
  for (int i = 0; i < map.info.blockCount; ++i) {
    const MapBlock& b = map.blocks[i];
    Count(b.area == kAreaEelite ? &eelite : b.area == kAreaEefull ? &eefull : &other, b.operation);
    bytes += b.size > 0 ? b.size : 0;
  }
  char head[120];
  std::snprintf(head, sizeof head, "Blocks: %d, %lld data bytes\r\n", map.info.blockCount,
                static_cast<long long>(bytes));
  report.Log(head);
  report.Log(Line("Eelite:", eelite));
  report.Log(Line("Eefull:", eefull));
  if (other.total() > 0) report.Log(Line("other:", other));
  report.Log("Map OK\r\n");
  report.RefreshLog();
  return true;
}

}  // namespace velmora
