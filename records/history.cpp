// The history: the runs a database holds, chosen by IMEI, map, port, time and outcome, as a
// table, JSON lines or CSV, or counted per day, port and map.
#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "records/database.h"
#include "records/records.h"
#include "records/schema.h"

namespace velmora::records {
namespace {

using Json = nlohmann::ordered_json;

// --since as the stored times are written, so that text order is time order.
bool SinceAsStored(const std::string& since, std::string* stored, std::string* why) {
  static const std::regex day(R"(\d{4}-\d{2}-\d{2})");
  static const std::regex time(R"((\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})(\.\d{3})?Z)");
  std::smatch m;
  if (std::regex_match(since, day)) {
    *stored = since + "T00:00:00.000Z";
  } else if (std::regex_match(since, m, time)) {
    *stored = m[1].str() + (m[2].matched ? m[2].str() : ".000") + "Z";
  } else {
    *why = "--since " + since + ": not YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS[.mmm]Z (UTC)";
    return false;
  }
  return true;
}

bool QueryRuns(SqlConnection& db, const HistoryRequest& r, std::vector<SqlRow>* rows, std::string* why) {
  std::string since;
  if (!r.since.empty() && !SinceAsStored(r.since, &since, why)) return false;
  std::string where;
  std::vector<SqlValue> params;
  const std::pair<const char*, const std::string*> filters[] = {
      {"imei = ", &r.imei}, {"map_sha1 = ", &r.mapSha1}, {"port = ", &r.port},
      {"start_utc >= ", &since}, {"outcome = ", &r.outcome}};
  for (const auto& [test, value] : filters) {
    if (value->empty()) continue;
    params.push_back(*value);
    where += (where.empty() ? " WHERE " : " AND ") + std::string(test) + "$" + std::to_string(params.size());
  }
  // The whole record text is large (every block) and only JSON lines show it.
  std::string columns = RunColumns();
  if (r.format != HistoryFormat::Json || r.summary)
    columns.replace(columns.rfind(kRunColumnNames[kRecordJson]), std::string(kRunColumnNames[kRecordJson]).size(),
                    "NULL");
  return db.Query("SELECT " + columns + " FROM runs" + where + " ORDER BY start_utc, run_id", params, rows, why);
}

std::string Field(const SqlRow& row, RunColumn c) { return row[c].value_or(""); }

std::string Seconds(const std::string& ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms.empty() ? 0.0 : std::stod(ms) / 1000.0);
  return text;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& f : fields) line += (line.empty() ? "" : ",") + CsvField(f);
  return line + "\n";
}

// The stored record; a run stored by schema version 1 kept no text: its columns then.
std::string JsonLine(const SqlRow& row) {
  if (row[kRecordJson]) return *row[kRecordJson] + "\n";
  Json record = Json::object();
  for (int c = 0; c < kRunColumnCount; ++c)
    record[kRunColumnNames[c]] = row[c] ? Json(*row[c]) : Json(nullptr);
  return record.dump() + "\n";
}

const int kCsvColumns[] = {kRunId, kStartUtc, kPort, kImei, kOutcome, kMapFile, kMapSha1,
                           kDurationMs, kExitStatus, kStation, kError};

// One line of the table. The port column is as wide as its longest name, so that a long name
// (rfc2217://..., usb:...) moves no other column. Built as a string: a fixed line buffer would
// cut a long map name.
std::string TableLine(const std::string& time, const std::string& port, size_t portWidth,
                      const std::string& imei, const std::string& outcome, const std::string& seconds,
                      const std::string& map) {
  const auto padded = [](const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
  };
  const std::string right = seconds.size() >= 8 ? seconds : std::string(8 - seconds.size(), ' ') + seconds;
  return padded(time, 24) + " " + padded(port, portWidth) + " " + padded(imei, 15) + " " +
         padded(outcome, 13) + " " + right + "  " + map + "\n";
}

std::string FormatRuns(const std::vector<SqlRow>& rows, HistoryFormat format) {
  std::string out;
  size_t portWidth = 16;
  for (const SqlRow& row : rows) portWidth = std::max(portWidth, Field(row, kPort).size());
  if (format == HistoryFormat::Csv) {
    std::vector<std::string> header;
    for (int c : kCsvColumns) header.push_back(kRunColumnNames[c]);
    out += CsvLine(header);
  } else if (format == HistoryFormat::Table) {
    out += TableLine("time (UTC)", "port", portWidth, "IMEI", "outcome", "seconds", "map");
  }
  for (const SqlRow& row : rows) {
    if (format == HistoryFormat::Json) {
      out += JsonLine(row);
    } else if (format == HistoryFormat::Csv) {
      std::vector<std::string> fields;
      for (int c : kCsvColumns) fields.push_back(Field(row, static_cast<RunColumn>(c)));
      out += CsvLine(fields);
    } else {
      out += TableLine(Field(row, kStartUtc), Field(row, kPort), portWidth, Field(row, kImei),
                       Field(row, kOutcome), Seconds(Field(row, kDurationMs)), Field(row, kMapFile));
    }
  }
  return out;
}

struct Tally {
  int runs = 0, succeeded = 0, failed = 0;
  std::vector<double> seconds;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Count(Tally* t, const SqlRow& row) {
  ++t->runs;
  const std::string outcome = Field(row, kOutcome);
  if (outcome == "skipped") return;  // turned away: neither a success nor a failure
  ++(outcome == "succeeded" ? t->succeeded : t->failed);
  t->seconds.push_back(std::stod(row[kDurationMs].value_or("0")) / 1000.0);
}

std::string FormatSummary(const std::vector<SqlRow>& rows, HistoryFormat format) {
  const std::pair<const char*, std::string (*)(const SqlRow&)> groupings[] = {
      {"day", [](const SqlRow& r) { return Field(r, kStartUtc).substr(0, 10); }},
      {"port", [](const SqlRow& r) { return Field(r, kPort); }},
      {"map", [](const SqlRow& r) {
         const std::string file = Field(r, kMapFile);
         return file.substr(file.find_last_of("/\\") + 1) + " " + Field(r, kMapSha1).substr(0, 10);
       }}};
  std::string out = format == HistoryFormat::Csv
                        ? CsvLine({"by", "key", "runs", "succeeded", "failed", "failure_rate", "median_seconds"})
                        : format == HistoryFormat::Table ? "by    key                                  runs  succeeded  failed  failure rate  median s\n"
                                                         : "";
  for (const auto& [by, key] : groupings) {
    std::map<std::string, Tally> tallies;
    for (const SqlRow& row : rows) Count(&tallies[key(row)], row);
    for (const auto& [name, t] : tallies) {
      const int judged = t.succeeded + t.failed;
      const double rate = judged ? static_cast<double>(t.failed) / judged : 0.0;
      const double median = Median(t.seconds);
      char line[512];
      if (format == HistoryFormat::Json) {
        out += Json{{"by", by}, {"key", name}, {"runs", t.runs}, {"succeeded", t.succeeded},
                    {"failed", t.failed}, {"failure_rate", rate}, {"median_seconds", median}}.dump() + "\n";
        continue;
      }
      std::snprintf(line, sizeof line, "%.4f", rate);
      const std::string rateText = line;
      std::snprintf(line, sizeof line, "%.1f", median);
      if (format == HistoryFormat::Csv) {
        out += CsvLine({by, name, std::to_string(t.runs), std::to_string(t.succeeded),
                        std::to_string(t.failed), rateText, line});
        continue;
      }
      const std::string medianText = line;
      std::snprintf(line, sizeof line, "%-5s %-36s %5d  %9d  %6d  %11.1f%%  %8s\n", by, name.c_str(), t.runs,
                    t.succeeded, t.failed, rate * 100, medianText.c_str());
      out += line;
    }
  }
  return out;
}

}  // namespace

bool ShowHistory(const std::string& value, const HistoryRequest& request, std::string* out,
                 std::string* why) {
  RecordsTarget target;
  if (!ResolveTarget(value, &target, why)) return false;
  if (target.kind == RecordsKind::None) {
    *why = "history reads a records database: --records none names none";
    return false;
  }
  std::unique_ptr<SqlConnection> db = OpenDatabase(target, false, why);
  std::vector<SqlRow> rows;
  if (!db || !QueryRuns(*db, request, &rows, why)) return false;
  *out = request.summary ? FormatSummary(rows, request.format) : FormatRuns(rows, request.format);
  return true;
}

}  // namespace velmora::records
