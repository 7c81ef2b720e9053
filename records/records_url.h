// The value of --records: where a run's record goes besides the JSON files.
#pragma once

#include <string>

namespace velmora::records {

enum class RecordsKind {
  Default,   // not given: the embedded SQLite file in the private state folder
  None,      // "none": no database
  Sqlite,    // "sqlite:PATH"
  Postgres,  // "postgresql://..." or "postgres://..."
};

struct RecordsTarget {
  RecordsKind kind = RecordsKind::Default;
  std::string location;  // the SQLite path, or the PostgreSQL URL as given
  std::string shown;     // for messages: the path, or the URL without its password
};

// Reads a --records value ("" is the default). False with the reason in *why.
bool ParseRecordsUrl(const std::string& value, RecordsTarget* target, std::string* why);

// A URL with the password of its user part (user:password@) replaced by "***"; the password
// never reaches a message, a log or the outbox.
std::string UrlWithoutPassword(const std::string& url);

// The name of the default file in the private state folder.
inline constexpr char kDefaultRecordsFile[] = "records.sqlite";
// The outbox of records a server could not take yet, beside it.
inline constexpr char kOutboxFile[] = "records-outbox.sqlite";

}  // namespace velmora::records
