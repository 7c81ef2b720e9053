// What the front ends ask of the records database (docs/records.md): check --records before a
// run, store a run's record after it, deliver the outbox, show the history. Every call is
// bounded in time (sql_connection.h); on Windows the records stay JSON and these say so.
#pragma once

#include <string>

namespace velmora::records {

// Checks a --records value before the run. *sqlitePath gets the SQLite file the run would
// write when one was named (for the output checks), else "". False with a usage message.
bool CheckRecordsOption(const std::string& value, std::string* sqlitePath, std::string* why);

enum class Readiness {
  Ready,    // the database takes records (or none is wanted)
  Passing,  // it cannot now (a server that does not answer, a file locked): *why says why;
            // the records wait in the outbox, the run goes on
  Refused,  // it never will as it is (a file that is no database, damaged, read-only or of a
            // newer schema; a login the server refuses): *why says why; no port is touched
};

// Opens the database a (readable) --records value names before the run, as the record will:
// a server is logged in to (the connection is kept for the record), a file is made or its
// schema read and a write begun and undone. The default database, not asked for, is never
// Refused: Passing instead.
Readiness CheckRecordsDatabase(const std::string& value, std::string* why);

enum class Stored {
  Off,        // --records none
  Database,   // in the database named (or the default one)
  Outbox,     // the database could not take it: kept in the outbox for later
  Nowhere,    // neither; *why says why
};

// Stores one record (its JSON text, which carries its run_id). The database's waiting records
// go first, a bounded number of them. The connection to a server is kept for the next record of
// this program (a line of handsets); one that has gone is replaced once, then the outbox. A
// SQLite file that cannot take it (locked past its wait, damaged) leaves it in the outbox too.
Stored StoreRunRecord(const std::string& value, const std::string& recordJson, std::string* why);

// Begins connecting to the server of value (nothing for a file) in the background, at the start
// of the run runId, so that storing its record at the end does not wait for a new session.
void PrepareConnection(const std::string& value, const std::string& runId);

// Closes a server connection kept for the next record (the next record opens a new one).
void CloseKeptConnections();

// Delivers every record the outbox holds for the database of value (without one: for every
// database it holds records for). *delivered: how many went, *waiting: how many are still held.
// False with the reason when a database cannot be reached.
bool SyncOutbox(const std::string& value, int* delivered, int* waiting, std::string* why);

enum class HistoryFormat { Table, Json, Csv };

struct HistoryRequest {
  std::string imei;
  std::string mapSha1;
  std::string port;
  std::string since;    // YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS[.mmm]Z (UTC)
  std::string outcome;
  HistoryFormat format = HistoryFormat::Table;
  bool summary = false;  // counts per day, port and map instead of the runs
};

// The runs (or their summary) of the database of value, as text in *out. False with the reason.
bool ShowHistory(const std::string& value, const HistoryRequest& request, std::string* out,
                 std::string* why);

}  // namespace velmora::records
