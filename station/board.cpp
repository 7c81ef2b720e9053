#include "station/board.h"

#include <utility>

#include <nlohmann/json.hpp>

namespace velmora {
namespace {

// Keys in the order they are set, so that the page's JSON reads as the table does.
using Json = nlohmann::ordered_json;

// A port name or a log path may hold bytes that are not UTF-8; they become U+FFFD rather than
// breaking the page.
std::string Dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch()).count();
}

Json PortJson(const PortRow& row) {
  Json port = Json::object();
  port["port"] = row.port;
  port["state"] = row.state;
  port["imei"] = row.imei;
  port["progress"] = row.progress;
  port["state_since_ms"] = row.stateSinceMs;
  port["handset_since_ms"] = row.handsetSinceMs;
  port["succeeded"] = row.succeeded;
  port["failed"] = row.failed;
  port["skipped"] = row.skipped;
  port["handset_seconds"] = row.handsetSeconds;
  port["last_error"] = row.lastError;
  port["log"] = row.log;
  return port;
}

Json TotalsJson(const std::vector<PortRow>& rows) {
  int succeeded = 0, failed = 0, skipped = 0;
  double seconds = 0;
  for (const PortRow& row : rows) {
    succeeded += row.succeeded;
    failed += row.failed;
    skipped += row.skipped;
    seconds += row.handsetSeconds;
  }
  const int handsets = succeeded + failed + skipped;
  Json totals = Json::object();
  totals["succeeded"] = succeeded;
  totals["failed"] = failed;
  totals["skipped"] = skipped;
  totals["handsets"] = handsets;
  totals["seconds_per_handset"] = handsets > 0 ? seconds / handsets : 0.0;
  return totals;
}

}  // namespace

StationBoard::StationBoard(std::string title, std::vector<PortRow> rows)
    : title_(std::move(title)), rows_(std::move(rows)) {}

void StationBoard::Bump() {
  ++version_;
  changed_.notify_all();
}

void StationBoard::SetRow(size_t index, const PortRow& row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= rows_.size()) return;
  rows_[index] = row;
  Bump();
}

PortRow StationBoard::Row(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < rows_.size() ? rows_[index] : PortRow{};
}

void StationBoard::AddRecord(const std::string& recordJson) {
  // Parsed and trimmed before the lock: a writer holds it only to move the text in.
  Json record = Json::parse(recordJson, nullptr, false);
  if (!record.is_object()) return;
  record.erase("blocks");
  std::string text = Dump(record);
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_front(std::move(text));
  if (records_.size() > kRecordsKept) records_.pop_back();
  Bump();
}

void StationBoard::SetFinished(bool finished) {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = finished;
  Bump();
}

std::string StationBoard::SnapshotJson(uint64_t* version) const {
  std::vector<PortRow> rows;
  std::deque<std::string> records;
  bool finished = false;
  uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rows = rows_;
    records = records_;
    finished = finished_;
    seen = version_;
  }
  if (version != nullptr) *version = seen;
  Json head = Json::object();
  head["title"] = title_;
  head["version"] = seen;
  head["now_ms"] = WallClockMs();
  head["finished"] = finished;
  head["ports"] = Json::array();
  for (const PortRow& row : rows) head["ports"].push_back(PortJson(row));
  // The records are JSON texts already: spliced in as they are, not parsed again.
  std::string text = Dump(head);
  text.pop_back();
  text += ",\"records\":[";
  for (size_t i = 0; i < records.size(); ++i) text += (i ? "," : "") + records[i];
  text += "],\"totals\":" + Dump(TotalsJson(rows)) + "}";
  return text;
}

uint64_t StationBoard::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

uint64_t StationBoard::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return version_ > seen; });
  return version_;
}

}  // namespace velmora
