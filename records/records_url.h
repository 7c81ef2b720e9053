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
  // The SQLite path, or the PostgreSQL URL as given (its password included: only the
  // connection reads it).
  std::string location;
  // For messages and the outbox: the path, or the URL without its password, made again from
  // what libpq's own parser read in it (no secret of the URL can be left over).
  std::string shown;
  // The password the URL gives ("" when none); libpq's own places are read when it gives none.
  std::string password;
  // The URL gives sslpassword, the pass phrase of a client key: a secret too, which libpq takes
  // from no other place.
  bool keyPassPhrase = false;
};

// Reads a --records value ("" is the default). False with the reason in *why: a value that can
// never name a database (an unknown scheme, a URL libpq cannot read, an unknown parameter, a
// bad port); the reason never holds a password.
bool ParseRecordsUrl(const std::string& value, RecordsTarget* target, std::string* why);

// The PostgreSQL part of ParseRecordsUrl (libpq's parser; on Windows, which has no libpq, the
// URL is only recognised).
bool ParsePostgresUrl(const std::string& value, RecordsTarget* target, std::string* why);

// Overwrites, in the program's own arguments, every PostgreSQL URL's password and the value
// after a --records that holds one, so that the command line other users can read (ps,
// /proc/PID/cmdline) no longer shows it. Nothing on systems without libpq.
void HidePasswordsInArguments(int argc, char** argv);

// The name of the default file in the private state folder.
inline constexpr char kDefaultRecordsFile[] = "records.sqlite";
// The outbox of records a database could not take yet, beside it.
inline constexpr char kOutboxFile[] = "records-outbox.sqlite";

}  // namespace velmora::records
