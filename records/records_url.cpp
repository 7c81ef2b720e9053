#include "records/records_url.h"

#include <cctype>

namespace velmora::records {

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
  if (value.rfind("postgresql://", 0) == 0 || value.rfind("postgres://", 0) == 0)
    return ParsePostgresUrl(value, target, why);
  // Whatever this is, it is not repeated: it may hold a password in a form nobody reads here.
  // Only a scheme is named, when it looks like one.
  const size_t scheme = value.find("://");
  bool named = scheme != std::string::npos && scheme > 0 && scheme <= 20;
  for (size_t i = 0; named && i < scheme; ++i)
    named = std::isalnum(static_cast<unsigned char>(value[i])) != 0 || value[i] == '+' || value[i] == '-' ||
            value[i] == '.';
  *why = "--records " + (named ? "with the scheme " + value.substr(0, scheme) + ":// " : std::string()) +
         "is not sqlite:PATH, postgresql://... or none";
  return false;
}

}  // namespace velmora::records
