#include <libpq-fe.h>

#include <cstdlib>
#include <string>

#include "records/sql_connection.h"

namespace velmora::records {
namespace {

class PostgresConnection : public SqlConnection {
 public:
  explicit PostgresConnection(std::string shown) : shown_(std::move(shown)) {}
  ~PostgresConnection() override { PQfinish(conn_); }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  bool Open(const std::string& url, std::string* why) {
    // The URL's own settings first; these bound the time a run can spend on its record, also
    // when the network goes silent instead of refusing.
    const std::string connect = std::to_string(kConnectTimeoutSeconds);
    const std::string userTimeout = std::to_string(kStatementTimeoutMs);
    const std::string options = "-c statement_timeout=" + std::to_string(kStatementTimeoutMs) +
                                " -c lock_timeout=" + std::to_string(kBusyTimeoutMs) +
                                " -c client_min_messages=warning";
    const char* keys[] = {"dbname", "connect_timeout", "tcp_user_timeout", "options",
                          "application_name", nullptr};
    const char* values[] = {url.c_str(), connect.c_str(), userTimeout.c_str(), options.c_str(),
                            "velmora", nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    return (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) || Fail(why);
  }

  bool Run(const std::string& sql, const std::vector<SqlValue>& params, int64_t* changes,
           std::string* why) override {
    PGresult* result = Send(sql, params);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    if (ok && changes != nullptr) *changes = std::atoll(PQcmdTuples(result));
    PQclear(result);
    return ok || Fail(why);
  }

  bool Query(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string* why) override {
    PGresult* result = Send(sql, params);
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    for (int r = 0; ok && r < PQntuples(result); ++r) {
      SqlRow row;
      for (int c = 0; c < PQnfields(result); ++c) {
        if (PQgetisnull(result, r, c)) row.emplace_back();
        else row.emplace_back(std::string(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c))));
      }
      rows->push_back(std::move(row));
    }
    PQclear(result);
    return ok || Fail(why);
  }

  bool BeginExclusive(std::string* why) override {
    // One lock number for Velmora's schema work, held to the end of the transaction.
    return Exec("BEGIN", why) && Exec("SELECT pg_advisory_xact_lock(7315002)", why);
  }
  const std::string& name() const override { return shown_; }

 private:
  PGresult* Send(const std::string& sql, const std::vector<SqlValue>& params) {
    std::vector<const char*> values;
    for (const SqlValue& p : params) values.push_back(p ? p->c_str() : nullptr);
    return PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                        values.data(), nullptr, nullptr, 0);
  }
  bool Fail(std::string* why) {
    std::string message = conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    for (char& c : message) if (c == '\n') c = ' ';
    *why = "records database " + shown_ + ": " + message;
    return false;
  }
  std::string shown_;
  PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url, const std::string& shown,
                                            std::string* why) {
  auto connection = std::make_unique<PostgresConnection>(shown);
  if (!connection->Open(url, why)) return nullptr;
  return connection;
}

}  // namespace velmora::records
