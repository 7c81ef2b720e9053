// The database a --records value names, opened with its schema ready.
#pragma once

#include <memory>
#include <string>

#include "records/records_url.h"
#include "records/sql_connection.h"

namespace velmora::records {

// Reads value and puts the default file's path in place of Default. False with the reason.
bool ResolveTarget(const std::string& value, RecordsTarget* target, std::string* why);

// Opens the database of target (not None) with its tables made or upgraded; create: a missing
// SQLite file is made. Null with the reason (and, when given, what stood in the way).
std::unique_ptr<SqlConnection> OpenDatabase(const RecordsTarget& target, bool create, std::string* why,
                                            SqlTrouble* trouble = nullptr);

// What the outbox keeps a target's records under: a server's URL without its password, or
// "sqlite:" and the file's absolute path. Given to --records, it names the same database.
std::string OutboxKey(const RecordsTarget& target);

}  // namespace velmora::records
