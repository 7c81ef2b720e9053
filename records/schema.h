// The records database's tables (docs/records.md): schema_version, runs and blocks, made and
// upgraded step by step, and a run's record put in once, however often it is sent.
#pragma once

#include <string>
#include <vector>

#include "records/sql_connection.h"

namespace velmora::records {

inline constexpr int kSchemaVersion = 2;

// The runs table's columns in the order RunColumns and the history's rows give them.
enum RunColumn {
  kRunId, kProgram, kVersion, kMode, kMapFile, kMapSha1, kMapProduct, kMapVersion, kPort, kBaud,
  kVerify, kImei, kHardwareProduct, kStartUtc, kEndUtc, kDurationMs, kGarbageCollections,
  kOutcome, kError, kExitStatus, kStation, kRecordJson, kRunColumnCount
};
// "run_id, program, ...": every column of runs.
const std::string& RunColumns();
// The column names, by RunColumn.
extern const char* const kRunColumnNames[kRunColumnCount];

// A run's record as rows: the runs row (by RunColumn) and one blocks row per block
// (number, area, operation, outcome, status, verify_byte).
struct RecordRows {
  SqlRow run;
  std::vector<SqlRow> blocks;
};

// Creates the tables in a new database, upgrades an older one to kSchemaVersion, and refuses
// one that a newer program made (*newer, when given, then true). False with the reason.
bool PrepareSchema(SqlConnection& db, std::string* why, bool* newer = nullptr);

// Inserts the record; a run whose run_id is there already is left as it is (*inserted false).
bool InsertRecord(SqlConnection& db, const RecordRows& rows, bool* inserted, std::string* why);

// Inserts a run of one block under runId and rolls it back: a new server session then has the
// tables, their indexes and the key check planned before the record comes (done while the
// handset is updated). Nothing stays; runId should be new (a second one waits for the first).
bool RehearseInsert(SqlConnection& db, const std::string& runId, std::string* why);

}  // namespace velmora::records
