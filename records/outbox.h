// The outbox: whole record texts a PostgreSQL server could not take yet, in a SQLite file of
// the private state folder, each under the server it is for (its URL without a password).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "records/sql_connection.h"

namespace velmora::records {

class Outbox {
 public:
  // The outbox file; create: make it when missing. Null with the reason (for a missing file
  // without create, *why is left empty: nothing waits).
  static std::unique_ptr<Outbox> Open(bool create, std::string* why);

  bool Add(const std::string& target, const std::string& runId, const std::string& recordJson,
           std::string* why);
  // Up to limit records waiting for target, oldest first: (run_id, record text).
  bool Waiting(const std::string& target, int limit,
               std::vector<std::pair<std::string, std::string>>* records, std::string* why);
  bool Remove(const std::string& target, const std::string& runId, std::string* why);
  // The servers records wait for, with how many wait for each.
  bool Targets(std::vector<std::pair<std::string, int>>* targets, std::string* why);

 private:
  explicit Outbox(std::unique_ptr<SqlConnection> db) : db_(std::move(db)) {}
  std::unique_ptr<SqlConnection> db_;
};

}  // namespace velmora::records
