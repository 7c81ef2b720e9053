#include "cli/station_events.h"

#include <fstream>
#include <nlohmann/json.hpp>

namespace velmora {
namespace {

using Json = nlohmann::ordered_json;

// A line longer than this is no event of ours; it is dropped rather than kept growing.
constexpr size_t kMaxEventLine = 1 << 20;

}  // namespace

std::string FormatStatusEvent(const PortEvent& e) {
  Json status = {{"state", e.state},
                 {"imei", e.imei},
                 {"progress", e.progress},
                 {"state_since_ms", e.stateSinceMs},
                 {"handset_since_ms", e.handsetSinceMs},
                 {"succeeded", e.succeeded},
                 {"failed", e.failed},
                 {"skipped", e.skipped},
                 {"interrupted", e.interrupted},
                 {"seconds", e.seconds},
                 {"cpu_seconds", e.cpuSeconds},
                 {"last_error", e.lastError}};
  return Json{{"status", std::move(status)}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatRecordEvent(const std::string& recordJson) {
  return "{\"record\":" + recordJson + "}";
}

bool ParseStationEvent(const std::string& line, PortEvent* status, std::string* record,
                       bool* isRecord) {
  const Json event = Json::parse(line, nullptr, false);
  if (!event.is_object()) return false;
  if (const auto r = event.find("record"); r != event.end() && r->is_object()) {
    *record = r->dump(-1, ' ', false, Json::error_handler_t::replace);
    *isRecord = true;
    return true;
  }
  const auto s = event.find("status");
  if (s == event.end() || !s->is_object()) return false;
  try {
    PortEvent e;
    e.state = s->value("state", "");
    e.imei = s->value("imei", "");
    e.progress = s->value("progress", -1);
    e.stateSinceMs = s->value("state_since_ms", int64_t{0});
    e.handsetSinceMs = s->value("handset_since_ms", int64_t{0});
    e.succeeded = s->value("succeeded", 0);
    e.failed = s->value("failed", 0);
    e.skipped = s->value("skipped", 0);
    e.interrupted = s->value("interrupted", 0);
    e.seconds = s->value("seconds", 0.0);
    e.cpuSeconds = s->value("cpu_seconds", 0.0);
    e.lastError = s->value("last_error", "");
    *status = std::move(e);
  } catch (const Json::exception&) {
    return false;  // a field of the wrong type
  }
  *isRecord = false;
  return true;
}

std::vector<std::string> EventTail::ReadNew(size_t maxBytes) {
  std::vector<std::string> lines;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(offset_));
  std::string chunk(maxBytes, '\0');
  in.read(chunk.data(), static_cast<std::streamsize>(maxBytes));
  chunk.resize(static_cast<size_t>(in.gcount()));
  offset_ += chunk.size();
  partial_ += chunk;
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(partial_.substr(start, end - start));
  partial_.erase(0, start);
  if (partial_.size() > kMaxEventLine) partial_.clear();
  return lines;
}

}  // namespace velmora
