// A run record's JSON text (docs/run-record.md) as the rows of the records database.
#pragma once

#include <string>

#include "records/schema.h"

namespace velmora::records {

// The record's fields by column; station is the host that stores it. False with the reason
// when the text is no run record (not JSON, no run_id).
bool RecordRowsFromJson(const std::string& recordJson, const std::string& station, RecordRows* rows,
                        std::string* why);

// The run_id of a record's text, "" when it has none.
std::string RecordRunId(const std::string& recordJson);

}  // namespace velmora::records
