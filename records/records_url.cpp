#include "records/records_url.h"

namespace velmora::records {

std::string UrlWithoutPassword(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t hostStart = scheme + 3;
  const size_t at = url.find('@', hostStart);
  const size_t slash = url.find('/', hostStart);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) {
    // A password given as a query parameter stays out too.
    const size_t password = url.find("password=");
    if (password == std::string::npos) return url;
    const size_t end = url.find('&', password);
    return url.substr(0, password) + "password=***" + (end == std::string::npos ? "" : url.substr(end));
  }
  const size_t colon = url.find(':', hostStart);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

bool ParseRecordsUrl(const std::string& value, RecordsTarget* target, std::string* why) {
  *target = RecordsTarget{};
  if (value.empty()) return true;
  if (value == "none") {
    target->kind = RecordsKind::None;
    return true;
  }
  if (value.rfind("sqlite:", 0) == 0) {
    target->kind = RecordsKind::Sqlite;
    target->location = target->shown = value.substr(7);
    if (target->location.empty()) {
      *why = "--records sqlite:PATH: the path is missing";
      return false;
    }
    return true;
  }
  if (value.rfind("postgresql://", 0) == 0 || value.rfind("postgres://", 0) == 0) {
    target->kind = RecordsKind::Postgres;
    target->location = value;
    target->shown = UrlWithoutPassword(value);
    return true;
  }
  *why = "--records " + UrlWithoutPassword(value) +
         ": not sqlite:PATH, postgresql://... or none";
  return false;
}

}  // namespace velmora::records
