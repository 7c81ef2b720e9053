#include <sqlite3.h>

#include "records/sql_connection.h"

namespace velmora::records {
namespace {

// SQLite takes $1 as a parameter's name and finds names by a linear search, which makes a
// statement of many parameters (the blocks of a record) cost the square of their number. When
// every parameter appears once, in order ($1, $2, ...), each becomes a plain ?, which SQLite
// numbers the same way without any search; otherwise ?1 names the same parameter by number.
// Quoted text is left alone.
std::string PositionalParameters(const std::string& sql) {
  std::string plain;
  std::string numbered;
  bool quoted = false;
  bool inOrder = true;
  int expected = 1;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'') quoted = !quoted;
    if (quoted || c != '$' || i + 1 >= sql.size() || sql[i + 1] < '0' || sql[i + 1] > '9') {
      plain += c;
      numbered += c;
      continue;
    }
    size_t end = i + 1;
    while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') ++end;
    const std::string digits = sql.substr(i + 1, end - i - 1);
    inOrder = inOrder && digits == std::to_string(expected++);
    plain += '?';
    numbered += '?' + digits;
    i = end - 1;
  }
  return inOrder ? plain : numbered;
}

class SqliteConnection : public SqlConnection {
 public:
  explicit SqliteConnection(std::string path) : path_(std::move(path)) {}
  ~SqliteConnection() override { sqlite3_close(db_); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  bool Open(bool create, std::string* why) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) return Fail(why);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // A file that is no database shows here, at the first read of its header.
    return Exec("PRAGMA journal_mode=WAL", why) && Exec("PRAGMA synchronous=FULL", why) &&
           Exec("PRAGMA foreign_keys=ON", why);
  }

  bool Run(const std::string& sql, const std::vector<SqlValue>& params, int64_t* changes,
           std::string* why) override {
    std::vector<SqlRow> rows;
    if (!Query(sql, params, &rows, why)) return false;
    if (changes != nullptr) *changes = sqlite3_changes64(db_);
    return true;
  }

  bool Query(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string* why) override {
    sqlite3_stmt* statement = nullptr;
    const std::string text = PositionalParameters(sql);
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &statement, nullptr) !=
        SQLITE_OK)
      return Fail(why);
    for (size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      if (params[i]) sqlite3_bind_text(statement, at, params[i]->data(), static_cast<int>(params[i]->size()), SQLITE_TRANSIENT);
      else sqlite3_bind_null(statement, at);
    }
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) rows->push_back(Row(statement));
    sqlite3_finalize(statement);
    return status == SQLITE_DONE || Fail(why);
  }

  bool BeginExclusive(std::string* why) override { return Exec("BEGIN IMMEDIATE", why); }
  const std::string& name() const override { return path_; }
  SqlTrouble trouble() const override { return trouble_; }

 private:
  static SqlRow Row(sqlite3_stmt* statement) {
    SqlRow row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
      if (text == nullptr) row.emplace_back();
      else row.emplace_back(std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, c))));
    }
    return row;
  }
  bool Fail(std::string* why) {
    *why = "records database " + path_ + ": " +
           (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot be opened");
    // Another program's lock, a full disk or a failing read may be gone by the next record;
    // a file that is no database, damaged, read-only or out of reach is so until someone acts.
    switch (db_ != nullptr ? sqlite3_errcode(db_) : SQLITE_CANTOPEN) {
      case SQLITE_NOTADB:
      case SQLITE_CORRUPT:
      case SQLITE_READONLY:
      case SQLITE_CANTOPEN:
      case SQLITE_PERM:
      case SQLITE_AUTH:
      case SQLITE_FORMAT:
        trouble_ = SqlTrouble::Refused;
        break;
      default:
        trouble_ = SqlTrouble::Passing;
    }
    return false;
  }
  std::string path_;
  sqlite3* db_ = nullptr;
  SqlTrouble trouble_ = SqlTrouble::None;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, bool create, std::string* why,
                                          SqlTrouble* trouble) {
  auto connection = std::make_unique<SqliteConnection>(path);
  if (!connection->Open(create, why)) {
    if (trouble != nullptr) *trouble = connection->trouble();
    return nullptr;
  }
  return connection;
}

}  // namespace velmora::records
