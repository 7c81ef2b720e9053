// One connection to a records database, the same few calls for SQLite and PostgreSQL, so that
// the schema, its upgrades, the inserts and the history are written once. Statements number
// their parameters $1, $2 ... in the order they first appear (both engines read that form);
// every value goes as text or NULL and comes back so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::records {

using SqlValue = std::optional<std::string>;
using SqlRow = std::vector<SqlValue>;

// What stood in a database's way, for the check before a run: one that can never take a record
// as it is (a file that is no database, damaged or read-only; a login the server refuses; the
// schema of a newer program) is refused before any port is touched, one that cannot take it now
// (a lock held past its wait, a server that does not answer) is no reason to stop a line.
enum class SqlTrouble { None, Passing, Refused };

class SqlConnection {
 public:
  virtual ~SqlConnection() = default;
  // A statement without result rows; *changes (when given) gets the rows it changed.
  virtual bool Run(const std::string& sql, const std::vector<SqlValue>& params, int64_t* changes,
                   std::string* why) = 0;
  virtual bool Query(const std::string& sql, const std::vector<SqlValue>& params,
                     std::vector<SqlRow>* rows, std::string* why) = 0;
  // Begins a transaction that keeps every other writer out until it ends: two programs that
  // find an empty database must not both create the tables.
  virtual bool BeginExclusive(std::string* why) = 0;
  // The database as messages name it (a path, or a URL without its password).
  virtual const std::string& name() const = 0;
  // What the last call that failed met.
  virtual SqlTrouble trouble() const = 0;

  bool Exec(const std::string& sql, std::string* why) { return Run(sql, {}, nullptr, why); }
};

// How long a statement may wait for another program's lock (SQLite) or run (PostgreSQL), and
// how long a connection to a server may take: a run never waits longer for its record.
inline constexpr int kBusyTimeoutMs = 2000;
inline constexpr int kConnectTimeoutSeconds = 2;
inline constexpr int kStatementTimeoutMs = 3000;
// The server's own bounds above hold only while it runs; the program keeps its own on the
// connection's socket: a statement's answer is given up this long after the server's bound
// (the server is asked to cancel it, at most kCancelWaitMs, and the connection is dropped).
inline constexpr int kClientMarginMs = 500;
inline constexpr int kCancelWaitMs = 1000;

// A SQLite file; create: make it when missing (else a missing file is an error). WAL mode, so
// that readers and one writer at a time never block each other for long. *trouble (when
// given) says what a failure met.
std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, bool create, std::string* why,
                                          SqlTrouble* trouble = nullptr);
// A PostgreSQL server by its URL (postgresql://...); shown: the URL without its password.
std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url, const std::string& shown,
                                            std::string* why, SqlTrouble* trouble = nullptr);

}  // namespace velmora::records
