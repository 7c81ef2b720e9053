// Storing records: the database named, and for a server the outbox in front of it.
#include <chrono>
#include <future>
#include <mutex>

#include "platform/file_system.h"
#include "platform/host_name.h"
#include "records/database.h"
#include "records/outbox.h"
#include "records/record_row.h"
#include "records/records.h"
#include "records/schema.h"

namespace velmora::records {
namespace {

// How many waiting records a run delivers before its own: the outbox empties over a few runs
// without one run paying for all of it.
constexpr int kDeliveredPerRun = 50;

bool Insert(SqlConnection& db, const std::string& recordJson, std::string* why) {
  RecordRows rows;
  if (!RecordRowsFromJson(recordJson, HostName(), &rows, why)) return false;
  bool inserted = false;
  return InsertRecord(db, rows, &inserted, why);
}

// How long a run may spend delivering waiting records before its own: none is begun later.
constexpr auto kDeliveryBudget = std::chrono::seconds(1);

// Delivers up to limit waiting records of the server, none begun after deadline; -1 when
// delivering failed.
int Deliver(SqlConnection& db, Outbox& outbox, const std::string& target, int limit, std::string* why,
            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max()) {
  std::vector<std::pair<std::string, std::string>> waiting;
  if (!outbox.Waiting(target, limit, &waiting, why)) return -1;
  int delivered = 0;
  for (const auto& [runId, recordJson] : waiting) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    // Whatever cannot be read as a record would never go: it leaves the outbox too.
    std::string notRecord;
    RecordRows rows;
    bool inserted = false;
    if (RecordRowsFromJson(recordJson, HostName(), &rows, &notRecord) &&
        !InsertRecord(db, rows, &inserted, why))
      return -1;
    if (!outbox.Remove(target, runId, why)) return -1;
    ++delivered;
  }
  return delivered;
}

Stored ToOutbox(const RecordsTarget& target, const std::string& recordJson, std::string* why) {
  std::string reason;
  std::unique_ptr<Outbox> outbox = Outbox::Open(true, &reason);
  if (outbox && outbox->Add(OutboxKey(target), RecordRunId(recordJson), recordJson, &reason))
    return Stored::Outbox;
  *why += "; " + reason;
  return Stored::Nowhere;
}

// A server's connection is made while the handset is updated (a session takes the server tens
// of milliseconds to start) and kept from record to record of a line of handsets, so that a
// record costs the insert, not a new session each time.
struct KeptConnection {
  std::mutex lock;
  std::string location;
  std::unique_ptr<SqlConnection> db;
  std::future<std::unique_ptr<SqlConnection>> opening;  // for location, while it connects
};

KeptConnection& Kept() {
  static KeptConnection kept;
  return kept;
}

bool StoreOn(SqlConnection& db, const RecordsTarget& target, const std::string& recordJson,
             std::string* why) {
  std::string ignored;
  // The waiting records go first, so that they keep their order on the server.
  if (std::unique_ptr<Outbox> outbox = Outbox::Open(false, &ignored))
    Deliver(db, *outbox, OutboxKey(target), kDeliveredPerRun, &ignored,
            std::chrono::steady_clock::now() + kDeliveryBudget);
  return Insert(db, recordJson, why);
}

Stored ToServer(const RecordsTarget& target, const std::string& recordJson, std::string* why) {
  KeptConnection& kept = Kept();
  std::lock_guard<std::mutex> hold(kept.lock);
  // A connection begun before the run ends within the connect bound; one that failed leaves
  // none, and a new attempt below says why.
  if (kept.opening.valid()) kept.db = kept.opening.get();
  if (kept.db && kept.location == target.location) {
    if (StoreOn(*kept.db, target, recordJson, why)) return Stored::Database;
    // Gone since the last record (a restarted server, a dropped link): one new connection.
  }
  kept.location = target.location;
  kept.db = OpenDatabase(target, true, why);
  if (kept.db && StoreOn(*kept.db, target, recordJson, why)) return Stored::Database;
  kept.db.reset();
  return ToOutbox(target, recordJson, why);
}

}  // namespace

bool ResolveTarget(const std::string& value, RecordsTarget* target, std::string* why) {
  if (!ParseRecordsUrl(value, target, why)) return false;
  if (target->kind != RecordsKind::Default) return true;
  std::string reason;
  const std::string dir = PrivateStateDirectory(&reason);
  if (dir.empty()) {
    *why = "the default records database: the private state folder: " + reason;
    return false;
  }
  target->location = target->shown = JoinPath(dir, kDefaultRecordsFile);
  return true;
}

std::unique_ptr<SqlConnection> OpenDatabase(const RecordsTarget& target, bool create, std::string* why,
                                            SqlTrouble* trouble) {
  SqlTrouble met = SqlTrouble::None;
  std::unique_ptr<SqlConnection> db = target.kind == RecordsKind::Postgres
                                          ? OpenPostgres(target.location, target.shown, why, &met)
                                          : OpenSqlite(target.location, create, why, &met);
  bool newer = false;
  if (db && !PrepareSchema(*db, why, &newer)) {
    met = newer ? SqlTrouble::Refused : db->trouble();
    db.reset();
  }
  if (trouble != nullptr) *trouble = met;
  return db;
}

std::string OutboxKey(const RecordsTarget& target) {
  if (target.kind == RecordsKind::Postgres) return target.shown;
  return "sqlite:" + AbsolutePath(target.location);
}

Readiness CheckRecordsDatabase(const std::string& value, std::string* why) {
  RecordsTarget target;
  if (!ResolveTarget(value, &target, why)) return Readiness::Passing;
  if (target.kind == RecordsKind::None) return Readiness::Ready;
  SqlTrouble trouble = SqlTrouble::None;
  std::unique_ptr<SqlConnection> db = OpenDatabase(target, true, why, &trouble);
  if (db && target.kind != RecordsKind::Postgres) {
    // A file opened for reading only (write-protected, or a folder where its journal cannot be
    // made) takes no record: a write begun and undone shows it.
    std::string ignored;
    if (db->Exec("BEGIN IMMEDIATE", why)) {
      db->Exec("ROLLBACK", &ignored);
    } else {
      trouble = db->trouble();
      db.reset();
    }
  }
  if (!db) {
    // A file nobody named does not stop a run.
    if (trouble == SqlTrouble::Refused && target.kind != RecordsKind::Default) return Readiness::Refused;
    return Readiness::Passing;
  }
  if (target.kind == RecordsKind::Postgres) {
    // The session is the record's: it need not start again at the end of the run.
    KeptConnection& kept = Kept();
    std::lock_guard<std::mutex> hold(kept.lock);
    if (!kept.opening.valid()) {
      kept.location = target.location;
      kept.db = std::move(db);
    }
  }
  return Readiness::Ready;
}

bool CheckRecordsOption(const std::string& value, std::string* sqlitePath, std::string* why) {
  RecordsTarget target;
  if (!ParseRecordsUrl(value, &target, why)) return false;
  *sqlitePath = target.kind == RecordsKind::Sqlite ? target.location : std::string();
  return true;
}

Stored StoreRunRecord(const std::string& value, const std::string& recordJson, std::string* why) {
  RecordsTarget target;
  if (!ResolveTarget(value, &target, why)) return Stored::Nowhere;
  if (target.kind == RecordsKind::None) return Stored::Off;
  if (target.kind == RecordsKind::Postgres) return ToServer(target, recordJson, why);
  // A file locked past its wait or damaged keeps the record in the outbox, as a server that
  // cannot take it does: the next record to the file, or records sync, delivers it.
  std::unique_ptr<SqlConnection> db = OpenDatabase(target, true, why);
  if (db && StoreOn(*db, target, recordJson, why)) return Stored::Database;
  return ToOutbox(target, recordJson, why);
}

namespace {

// Delivers everything waiting under key to the database of target; false with the reason when
// it cannot be reached.
bool SyncTarget(Outbox& outbox, const RecordsTarget& target, const std::string& key, int* delivered,
                int* waiting, std::string* why) {
  std::unique_ptr<SqlConnection> db = OpenDatabase(target, true, why);
  int n = -1;
  if (db) {
    while ((n = Deliver(*db, outbox, key, kDeliveredPerRun, why)) > 0) *delivered += n;
  }
  std::vector<std::pair<std::string, std::string>> left;
  std::string ignored;
  if (outbox.Waiting(key, 1 << 30, &left, &ignored)) *waiting += static_cast<int>(left.size());
  return n == 0;
}

// Without --records: every database the outbox holds records for, by the URL or file they were
// kept under. A server's password is taken where libpq looks for one (PGPASSWORD, a password
// file, a service file). Records an older version kept under a URL with "***" for its password
// wait for a sync that names the server with it.
bool SyncEveryTarget(Outbox& outbox, int* delivered, int* waiting, std::string* why) {
  std::vector<std::pair<std::string, int>> targets;
  if (!outbox.Targets(&targets, why)) return false;
  std::string problems;
  for (const auto& [shown, count] : targets) {
    std::string reason;
    RecordsTarget target;
    if (shown.find("***") != std::string::npos) {
      *waiting += count;
      reason = shown + ": the outbox keeps no password; give --records with the server's URL";
    } else if (ParseRecordsUrl(shown, &target, &reason) &&
               (target.kind == RecordsKind::Postgres || target.kind == RecordsKind::Sqlite) &&
               SyncTarget(outbox, target, shown, delivered, waiting, &reason)) {
      continue;
    } else if (reason.empty()) {
      *waiting += count;
      reason = shown + ": not a database the outbox can deliver to";
    }
    problems += (problems.empty() ? "" : "; ") + reason;
  }
  *why = problems;
  return problems.empty();
}

}  // namespace

void PrepareConnection(const std::string& value, const std::string& runId) {
  RecordsTarget target;
  std::string ignored;
  if (!ParseRecordsUrl(value, &target, &ignored) || target.kind != RecordsKind::Postgres) return;
  KeptConnection& kept = Kept();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.opening.valid() || (kept.db && kept.location == target.location)) return;
  kept.db.reset();
  kept.location = target.location;
  kept.opening = std::async(std::launch::async, [target, runId] {
    std::string why;
    std::unique_ptr<SqlConnection> db = OpenDatabase(target, true, &why);
    if (db) RehearseInsert(*db, runId, &why);
    return db;
  });
}

void CloseKeptConnections() {
  KeptConnection& kept = Kept();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.opening.valid()) kept.opening.get();
  kept.db.reset();
}

bool SyncOutbox(const std::string& value, int* delivered, int* waiting, std::string* why) {
  *delivered = *waiting = 0;
  RecordsTarget target;
  if (!ParseRecordsUrl(value, &target, why)) return false;
  if (target.kind == RecordsKind::None) {
    *why = "records sync delivers the outbox to a database: give --records postgresql://..., sqlite:PATH or "
           "no --records";
    return false;
  }
  std::unique_ptr<Outbox> outbox = Outbox::Open(false, why);
  if (!outbox) return why->empty();
  if (target.kind == RecordsKind::Default) return SyncEveryTarget(*outbox, delivered, waiting, why);
  return SyncTarget(*outbox, target, OutboxKey(target), delivered, waiting, why);
}

}  // namespace velmora::records
