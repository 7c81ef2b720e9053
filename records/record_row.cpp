#include "records/record_row.h"

#include <nlohmann/json.hpp>

namespace velmora::records {
namespace {

using Json = nlohmann::json;

// A field as the database holds it: text as it is, true/false as 1/0, numbers as written.
SqlValue Value(const Json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || it->is_null()) return std::nullopt;
  if (it->is_string()) return it->get<std::string>();
  if (it->is_boolean()) return std::string(it->get<bool>() ? "1" : "0");
  return it->dump();
}

Json Parse(const std::string& text) {
  return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace

std::string RecordRunId(const std::string& recordJson) {
  const Json record = Parse(recordJson);
  const SqlValue id = record.is_object() ? Value(record, "run_id") : std::nullopt;
  return id.value_or("");
}

bool RecordRowsFromJson(const std::string& recordJson, const std::string& station, RecordRows* rows,
                        std::string* why) {
  const Json record = Parse(recordJson);
  if (!record.is_object() || !record.contains("run_id") || !record["run_id"].is_string()) {
    *why = "not a run record with a run_id";
    return false;
  }
  const Json map = record.contains("map") && record["map"].is_object() ? record["map"] : Json::object();
  rows->run.assign(kRunColumnCount, std::nullopt);
  SqlRow& run = rows->run;
  const std::pair<RunColumn, const char*> fields[] = {
      {kRunId, "run_id"}, {kProgram, "program"}, {kVersion, "version"}, {kMode, "mode"},
      {kMapFile, "map_file"}, {kMapSha1, "map_sha1"}, {kPort, "port"}, {kBaud, "baud"},
      {kVerify, "verify"}, {kImei, "imei"}, {kHardwareProduct, "hardware_product"},
      {kStartUtc, "start"}, {kEndUtc, "end"}, {kDurationMs, "duration_ms"},
      {kGarbageCollections, "garbage_collections"}, {kOutcome, "outcome"}, {kError, "error"},
      {kExitStatus, "exit_status"}};
  for (const auto& [column, key] : fields) run[column] = Value(record, key);
  run[kMapProduct] = Value(map, "product");
  run[kMapVersion] = Value(map, "map_version");
  run[kStation] = station.empty() ? SqlValue() : SqlValue(station);
  run[kRecordJson] = recordJson;
  rows->blocks.clear();
  if (!record.contains("blocks") || !record["blocks"].is_array()) return true;
  for (const Json& block : record["blocks"]) {
    if (!block.is_object()) continue;
    rows->blocks.push_back({Value(block, "number"), Value(block, "area"), Value(block, "operation"),
                            Value(block, "outcome"), Value(block, "status"), Value(block, "verify_byte")});
  }
  return true;
}

}  // namespace velmora::records
