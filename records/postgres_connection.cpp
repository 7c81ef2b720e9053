// A PostgreSQL connection whose every wait is the program's own: libpq's asynchronous calls on
// the connection's socket, each with a deadline. The server's statement_timeout and
// lock_timeout hold only while the server runs; a server that stops answering (a stopped
// process, a silent network) is given up on the client's side, told to cancel what it was
// doing, and the connection dropped, so that the record goes to the outbox in bounded time.
#include <libpq-fe.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/tcp_socket.h"
#include "records/postgres_url.h"
#include "records/sql_connection.h"

namespace velmora::records {
namespace {

using Moment = std::chrono::steady_clock::time_point;

Moment After(std::chrono::milliseconds wait) { return std::chrono::steady_clock::now() + wait; }

// libpq's messages on one line, without the SQLSTATE and source lines the verbose form of a
// login's failure carries (kept verbose only to read the SQLSTATE).
std::string OneLine(std::string message, std::string* sqlstate = nullptr) {
  std::string out;
  size_t at = 0;
  while (at < message.size()) {
    size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(at, end - at);
    at = end + 1;
    for (char& c : line) if (c == '\t') c = ' ';
    while (!line.empty() && line.front() == ' ') line.erase(0, 1);
    if (line.rfind("LOCATION:", 0) == 0) continue;
    // "FATAL:  28P01: password authentication failed ..."
    const size_t mark = line.find(":  ");
    if (mark != std::string::npos && line.size() > mark + 9 && line[mark + 8] == ':' && line[mark + 9] == ' ') {
      const std::string code = line.substr(mark + 3, 5);
      bool isCode = true;
      for (char c : code) isCode = isCode && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'));
      if (isCode) {
        if (sqlstate != nullptr && sqlstate->empty()) *sqlstate = code;
        line.erase(mark + 3, 7);
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) out += (out.empty() ? "" : " ") + line;
  }
  return out;
}

class PostgresConnection : public SqlConnection {
 public:
  explicit PostgresConnection(std::string shown) : shown_(std::move(shown)) {}
  ~PostgresConnection() override { Drop(); }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  bool Open(const std::string& url, std::string* why) {
    PostgresSettings settings;
    std::string reason;
    if (!ReadPostgresUrl(url, &settings, &reason)) {
      trouble_ = SqlTrouble::Refused;
      *why = "records database " + shown_ + ": " + reason;
      return false;
    }
    // The URL's own settings, then these: they bound what the server may spend on a record,
    // and the connection's options keep those the URL gives.
    std::string options = SettingValue(settings, "options");
    options += (options.empty() ? "" : " ") + std::string("-c statement_timeout=") +
               std::to_string(kStatementTimeoutMs) + " -c lock_timeout=" + std::to_string(kBusyTimeoutMs) +
               " -c client_min_messages=warning";
    PostgresSettings params;
    for (const auto& setting : settings)
      if (setting.first != "connect_timeout" && setting.first != "tcp_user_timeout" && setting.first != "options")
        params.push_back(setting);
    params.emplace_back("connect_timeout", std::to_string(kConnectTimeoutSeconds));
    params.emplace_back("tcp_user_timeout", std::to_string(kStatementTimeoutMs));
    params.emplace_back("options", options);
    if (SettingValue(settings, "application_name").empty()) params.emplace_back("application_name", "velmora");
    std::vector<const char*> keys;
    std::vector<const char*> values;
    for (const auto& [key, value] : params) {
      keys.push_back(key.c_str());
      values.push_back(value.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectStartParams(keys.data(), values.data(), 0);
    if (conn_ == nullptr) return Fail("out of memory", why);
    // A server's words reach the program's own messages, not libpq's raw stderr.
    PQsetNoticeProcessor(conn_, &PostgresConnection::Notice, this);
    // Verbose while logging in, for the SQLSTATE that tells a refusal from a passing trouble.
    PQsetErrorVerbosity(conn_, PQERRORS_VERBOSE);
    const Moment deadline = After(std::chrono::seconds(kConnectTimeoutSeconds));
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (polling != PGRES_POLLING_OK) {
      if (polling == PGRES_POLLING_FAILED || PQstatus(conn_) == CONNECTION_BAD) return LoginFailed(why);
      if (!Wait(polling == PGRES_POLLING_READING, polling != PGRES_POLLING_READING, deadline)) {
        Drop();
        return Fail("no answer within " + std::to_string(kConnectTimeoutSeconds) + " s of connecting", why);
      }
      polling = PQconnectPoll(conn_);
    }
    PQsetErrorVerbosity(conn_, PQERRORS_DEFAULT);
    // Never blocking on a send either: a server that takes nothing more cannot hold the run.
    if (PQsetnonblocking(conn_, 1) != 0) return Fail(PQerrorMessage(conn_), why);
    return true;
  }

  bool Run(const std::string& sql, const std::vector<SqlValue>& params, int64_t* changes,
           std::string* why) override {
    PGresult* result = Send(sql, params, why);
    if (result == nullptr) return false;
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (ok && changes != nullptr) *changes = std::atoll(PQcmdTuples(result));
    if (!ok) Fail(PQresultErrorMessage(result), why);
    PQclear(result);
    return ok;
  }

  bool Query(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>* rows,
             std::string* why) override {
    PGresult* result = Send(sql, params, why);
    if (result == nullptr) return false;
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    for (int r = 0; ok && r < PQntuples(result); ++r) {
      SqlRow row;
      for (int c = 0; c < PQnfields(result); ++c) {
        if (PQgetisnull(result, r, c)) row.emplace_back();
        else row.emplace_back(std::string(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c))));
      }
      rows->push_back(std::move(row));
    }
    if (!ok) Fail(PQresultErrorMessage(result), why);
    PQclear(result);
    return ok;
  }

  bool BeginExclusive(std::string* why) override {
    // One lock number for Velmora's schema work, held to the end of the transaction.
    return Exec("BEGIN", why) && Exec("SELECT pg_advisory_xact_lock(7315002)", why);
  }
  const std::string& name() const override { return shown_; }
  SqlTrouble trouble() const override { return trouble_; }

 private:
  // Waits until the connection's socket can be read or written, until deadline. False when it
  // could not by then (or the socket is gone).
  bool Wait(bool read, bool write, Moment deadline) {
    for (;;) {
      const int socket = PQsocket(conn_);
      if (socket < 0) return false;
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      SocketWait wait{socket, read, write, 0};
      const int ready = WaitSockets(&wait, 1, left.count());
      if (ready < 0) return false;
      if (ready > 0) return true;  // 0: the time ran out or a signal came; the loop tells which
    }
  }

  // Sends a statement and takes its result, in bounded time; null with the reason.
  PGresult* Send(const std::string& sql, const std::vector<SqlValue>& params, std::string* why) {
    if (conn_ == nullptr) {
      Fail("the connection was given up after the server stopped answering", why);
      return nullptr;
    }
    std::vector<const char*> values;
    for (const SqlValue& p : params) values.push_back(p ? p->c_str() : nullptr);
    if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                          nullptr, 0) == 0) {
      Fail(PQerrorMessage(conn_), why);
      return nullptr;
    }
    const Moment deadline = After(std::chrono::milliseconds(kStatementTimeoutMs + kClientMarginMs));
    // The statement out (a record of many blocks is larger than a socket takes at once)...
    for (int left = PQflush(conn_); left != 0; left = PQflush(conn_)) {
      if (left < 0 || !Wait(true, true, deadline) || PQconsumeInput(conn_) == 0) return GiveUp(why);
    }
    // ...and every result in, the first failure kept.
    PGresult* kept = nullptr;
    for (;;) {
      while (PQisBusy(conn_) != 0) {
        if (!Wait(true, false, deadline) || PQconsumeInput(conn_) == 0) {
          PQclear(kept);
          return GiveUp(why);
        }
      }
      PGresult* next = PQgetResult(conn_);
      if (next == nullptr) break;
      const bool keptFailed = kept != nullptr && PQresultStatus(kept) != PGRES_COMMAND_OK &&
                              PQresultStatus(kept) != PGRES_TUPLES_OK;
      if (keptFailed) {
        PQclear(next);
      } else {
        PQclear(kept);
        kept = next;
      }
    }
    if (kept == nullptr) Fail(PQerrorMessage(conn_), why);
    return kept;
  }

  // The server did not answer in time, or the connection broke: the server is asked to stop the
  // statement (so that it lets go of its locks), for at most kCancelWaitMs, and the connection
  // is dropped; what follows on it fails at once.
  PGresult* GiveUp(std::string* why) {
    const bool broken = PQstatus(conn_) == CONNECTION_BAD;
    const std::string message = broken ? std::string(PQerrorMessage(conn_)) : std::string();
    if (!broken) {
      if (PGcancel* cancel = PQgetCancel(conn_)) {
        // PQcancel waits for the server to close its side, which a stopped server never does:
        // it runs on a thread of its own that this one stops waiting for.
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        std::thread([cancel, done] {
          char error[256];
          PQcancel(cancel, error, sizeof error);
          PQfreeCancel(cancel);
          done->set_value();
        }).detach();
        finished.wait_for(std::chrono::milliseconds(kCancelWaitMs));
      }
    }
    Drop();
    char waited[96];
    std::snprintf(waited, sizeof waited, "no answer within %.1f s; the statement was cancelled and the connection dropped",
                  (kStatementTimeoutMs + kClientMarginMs) / 1000.0);
    Fail(broken ? message : std::string(waited), why);
    return nullptr;
  }

  bool LoginFailed(std::string* why) {
    std::string sqlstate;
    std::string message = OneLine(PQerrorMessage(conn_), &sqlstate);
    // A server that was reached and said no: a wrong or missing password, a user or database it
    // does not have, a login it does not allow. Anything else may pass (a server starting or
    // stopping, too many connections, a network that is down).
    const bool needsPassword = PQconnectionNeedsPassword(conn_) != 0;
    const bool refused = needsPassword || sqlstate.rfind("28", 0) == 0 || sqlstate == "3D000" ||
                         sqlstate == "42501";
    if (needsPassword)
      message += " (the server asks for a password: give it in PGPASSWORD, a password file or a service file)";
    Drop();
    Fail(message, why);
    trouble_ = refused ? SqlTrouble::Refused : SqlTrouble::Passing;
    return false;
  }

  bool Fail(const std::string& message, std::string* why) {
    *why = "records database " + shown_ + ": " + OneLine(message);
    trouble_ = SqlTrouble::Passing;
    return false;
  }

  void Drop() {
    // Non-blocking by then: the goodbye libpq sends cannot hold the program either.
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
  }

  static void Notice(void* self, const char* message) {
    const auto* connection = static_cast<const PostgresConnection*>(self);
    std::fprintf(stderr, "warning: records database %s: the server says: %s\n", connection->shown_.c_str(),
                 OneLine(message).c_str());
  }

  std::string shown_;
  PGconn* conn_ = nullptr;
  SqlTrouble trouble_ = SqlTrouble::None;
};

}  // namespace

std::unique_ptr<SqlConnection> OpenPostgres(const std::string& url, const std::string& shown,
                                            std::string* why, SqlTrouble* trouble) {
  auto connection = std::make_unique<PostgresConnection>(shown);
  if (!connection->Open(url, why)) {
    if (trouble != nullptr) *trouble = connection->trouble();
    return nullptr;
  }
  return connection;
}

}  // namespace velmora::records
