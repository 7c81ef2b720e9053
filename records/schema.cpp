#include "records/schema.h"

#include <algorithm>

namespace velmora::records {

const char* const kRunColumnNames[kRunColumnCount] = {
    "run_id", "program", "version", "mode", "map_file", "map_sha1", "map_product", "map_version",
    "port", "baud", "verify", "imei", "hardware_product", "start_utc", "end_utc", "duration_ms",
    "garbage_collections", "outcome", "error", "exit_status", "station", "record_json"};

namespace {

// Each step takes the schema from the version before it to its own; a new database runs them
// all. Both engines read this SQL (BIGINT is an integer in SQLite too).
struct SchemaStep {
  int version;
  std::vector<const char*> statements;
};

const SchemaStep kSteps[] = {
    {1,
     {"CREATE TABLE runs(run_id TEXT PRIMARY KEY, program TEXT, version TEXT, mode TEXT,"
      " map_file TEXT, map_sha1 TEXT, map_product TEXT, map_version TEXT, port TEXT, baud BIGINT,"
      " verify BIGINT, imei TEXT, hardware_product BIGINT, start_utc TEXT, end_utc TEXT,"
      " duration_ms BIGINT, garbage_collections BIGINT, outcome TEXT, error TEXT,"
      " exit_status BIGINT)",
      "CREATE TABLE blocks(run_id TEXT NOT NULL REFERENCES runs(run_id), seq BIGINT NOT NULL,"
      " number BIGINT, area TEXT, operation TEXT, outcome TEXT, status BIGINT, verify_byte BIGINT,"
      " PRIMARY KEY(run_id, seq))",
      "CREATE INDEX runs_imei ON runs(imei)", "CREATE INDEX runs_start_utc ON runs(start_utc)",
      "CREATE INDEX runs_map_sha1 ON runs(map_sha1)", "CREATE INDEX runs_port ON runs(port)"}},
    {2, {"ALTER TABLE runs ADD COLUMN station TEXT", "ALTER TABLE runs ADD COLUMN record_json TEXT"}},
};

std::string Placeholders(int from, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += (i ? ", $" : "$") + std::to_string(from + i);
  return text;
}

// The version the database says, 0 when it has none yet.
bool ReadVersion(SqlConnection& db, int* version, std::string* why) {
  std::vector<SqlRow> rows;
  if (!db.Query("SELECT version FROM schema_version", {}, &rows, why)) return false;
  *version = rows.empty() || !rows[0][0] ? 0 : std::stoi(*rows[0][0]);
  return true;
}

bool Upgrade(SqlConnection& db, int version, std::string* why, bool* newer) {
  if (version > kSchemaVersion) {
    if (newer != nullptr) *newer = true;
    *why = "records database " + db.name() + ": schema version " + std::to_string(version) +
           " is newer than this program's (" + std::to_string(kSchemaVersion) + ")";
    return false;
  }
  for (const SchemaStep& step : kSteps) {
    if (step.version <= version) continue;
    for (const char* statement : step.statements)
      if (!db.Exec(statement, why)) return false;
  }
  if (version == kSchemaVersion) return true;
  const std::string sql = version == 0 ? "INSERT INTO schema_version(version) VALUES ($1)"
                                       : "UPDATE schema_version SET version = $1";
  return db.Run(sql, {std::to_string(kSchemaVersion)}, nullptr, why);
}

}  // namespace

const std::string& RunColumns() {
  static const std::string columns = [] {
    std::string text;
    for (const char* name : kRunColumnNames) text += std::string(text.empty() ? "" : ", ") + name;
    return text;
  }();
  return columns;
}

bool PrepareSchema(SqlConnection& db, std::string* why, bool* newer) {
  int version = 0;
  std::string ignored;
  // The usual case costs one read and no lock.
  if (ReadVersion(db, &version, &ignored) && version >= kSchemaVersion) {
    // A newer program's schema is refused without a lock (a read-only file included).
    return version == kSchemaVersion || Upgrade(db, version, why, newer);
  }
  if (!db.BeginExclusive(why)) return false;
  const bool done = db.Exec("CREATE TABLE IF NOT EXISTS schema_version(version BIGINT NOT NULL)", why) &&
                    ReadVersion(db, &version, why) && Upgrade(db, version, why, newer) &&
                    db.Exec("COMMIT", why);
  if (!done) db.Exec("ROLLBACK", &ignored);
  return done;
}

namespace {

// Blocks go in statements of this many rows: one round trip to a server per chunk instead of
// per block, and far below either engine's limit on parameters (8 per row).
constexpr size_t kBlocksPerStatement = 200;
constexpr int kBlockColumnCount = 8;

std::string InsertBlocksStatement(size_t rows) {
  std::string sql =
      "INSERT INTO blocks(run_id, seq, number, area, operation, outcome, status, verify_byte) VALUES ";
  for (size_t r = 0; r < rows; ++r)
    sql += (r ? ", (" : "(") + Placeholders(static_cast<int>(r) * kBlockColumnCount + 1, kBlockColumnCount) + ")";
  return sql;
}

bool InsertBlocks(SqlConnection& db, const RecordRows& rows, std::string* why) {
  for (size_t first = 0; first < rows.blocks.size(); first += kBlocksPerStatement) {
    const size_t count = std::min(kBlocksPerStatement, rows.blocks.size() - first);
    std::vector<SqlValue> params;
    params.reserve(count * kBlockColumnCount);
    for (size_t i = first; i < first + count; ++i) {
      params.push_back(rows.run[kRunId]);
      params.push_back(std::to_string(i));
      params.insert(params.end(), rows.blocks[i].begin(), rows.blocks[i].end());
    }
    if (!db.Run(InsertBlocksStatement(count), params, nullptr, why)) return false;
  }
  return true;
}

}  // namespace

const std::string& InsertRunStatement() {
  static const std::string insertRun = "INSERT INTO runs(" + RunColumns() + ") VALUES (" +
                                       Placeholders(1, kRunColumnCount) +
                                       ") ON CONFLICT (run_id) DO NOTHING";
  return insertRun;
}

bool RehearseInsert(SqlConnection& db, const std::string& runId, std::string* why) {
  SqlRow run(kRunColumnCount);
  run[kRunId] = runId;
  // A whole statement's worth of blocks, as a record of many blocks sends them.
  SqlRow blocks(kBlocksPerStatement * kBlockColumnCount);
  for (size_t i = 0; i < kBlocksPerStatement; ++i) {
    blocks[i * kBlockColumnCount] = runId;
    blocks[i * kBlockColumnCount + 1] = std::to_string(i);
  }
  std::string ignored;
  const bool done = db.Exec("BEGIN", why) && db.Run(InsertRunStatement(), run, nullptr, why) &&
                    db.Run(InsertBlocksStatement(kBlocksPerStatement), blocks, nullptr, why);
  return db.Exec("ROLLBACK", done ? why : &ignored) && done;
}

bool InsertRecord(SqlConnection& db, const RecordRows& rows, bool* inserted, std::string* why) {
  const std::string& insertRun = InsertRunStatement();
  std::string ignored;
  if (!db.Exec("BEGIN", why)) return false;
  int64_t changes = 0;
  bool done = db.Run(insertRun, rows.run, &changes, why);
  // A run the database holds already keeps its blocks: a record sent twice arrives once.
  done = done && (changes != 1 || InsertBlocks(db, rows, why));
  done = done && db.Exec("COMMIT", why);
  if (!done) db.Exec("ROLLBACK", &ignored);
  *inserted = done && changes == 1;
  return done;
}

}  // namespace velmora::records
