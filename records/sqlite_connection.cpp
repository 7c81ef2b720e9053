#include <sqlite3.h>

#include "records/sql_connection.h"

namespace velmora::records {
namespace {

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
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
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
    return false;
  }
  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenSqlite(const std::string& path, bool create, std::string* why) {
  auto connection = std::make_unique<SqliteConnection>(path);
  if (!connection->Open(create, why)) return nullptr;
  return connection;
}

}  // namespace velmora::records
