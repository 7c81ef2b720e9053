#include "records/outbox.h"

#include "platform/file_system.h"
#include "records/records_url.h"

namespace velmora::records {

std::unique_ptr<Outbox> Outbox::Open(bool create, std::string* why) {
  std::string reason;
  const std::string dir = PrivateStateDirectory(&reason);
  if (dir.empty()) {
    *why = "the outbox: the private state folder: " + reason;
    return nullptr;
  }
  const std::string path = JoinPath(dir, kOutboxFile);
  if (!create && !PathExists(path)) {
    why->clear();
    return nullptr;
  }
  std::unique_ptr<SqlConnection> db = OpenSqlite(path, create, why);
  if (!db || !db->Exec("CREATE TABLE IF NOT EXISTS outbox(target TEXT NOT NULL, run_id TEXT NOT NULL,"
                       " record_json TEXT NOT NULL, queued INTEGER NOT NULL,"
                       " PRIMARY KEY(target, run_id))",
                       why))
    return nullptr;
  return std::unique_ptr<Outbox>(new Outbox(std::move(db)));
}

bool Outbox::Add(const std::string& target, const std::string& runId, const std::string& recordJson,
                 std::string* why) {
  return db_->Run("INSERT INTO outbox(target, run_id, record_json, queued) VALUES ($1, $2, $3,"
                  " (SELECT coalesce(max(queued), 0) + 1 FROM outbox)) ON CONFLICT DO NOTHING",
                  {target, runId, recordJson}, nullptr, why);
}

bool Outbox::Waiting(const std::string& target, int limit,
                     std::vector<std::pair<std::string, std::string>>* records, std::string* why) {
  std::vector<SqlRow> rows;
  if (!db_->Query("SELECT run_id, record_json FROM outbox WHERE target = $1 ORDER BY queued LIMIT $2",
                  {target, std::to_string(limit)}, &rows, why))
    return false;
  for (const SqlRow& row : rows) records->emplace_back(row[0].value_or(""), row[1].value_or(""));
  return true;
}

bool Outbox::Remove(const std::string& target, const std::string& runId, std::string* why) {
  return db_->Run("DELETE FROM outbox WHERE target = $1 AND run_id = $2", {target, runId}, nullptr, why);
}

bool Outbox::Targets(std::vector<std::pair<std::string, int>>* targets, std::string* why) {
  std::vector<SqlRow> rows;
  if (!db_->Query("SELECT target, count(*) FROM outbox GROUP BY target ORDER BY min(queued)", {}, &rows,
                  why))
    return false;
  for (const SqlRow& row : rows) targets->emplace_back(row[0].value_or(""), std::stoi(row[1].value_or("0")));
  return true;
}

}  // namespace velmora::records
