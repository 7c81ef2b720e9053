#include "app/run_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "container/digest.h"

namespace velmora {
namespace {

// Objects keep their keys in the order they were set.
using Json = nlohmann::ordered_json;

// Length of the valid UTF-8 sequence at text[i], 0 when none starts there (overlong forms,
// surrogates and code points above U+10FFFF are not valid).
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t b = byte(i);
  size_t n = 0;
  uint32_t min = 0;
  uint32_t cp = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80, cp = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800, cp = b & 0x0Fu;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000, cp = b & 0x07u;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// The record's strings as the JSON writer takes them: valid UTF-8 as it is, and a byte that is
// not part of valid UTF-8 as the character with the byte's value (U+0080..U+00FF, as Latin-1
// reads it), so that a name in a legacy code page still gives valid JSON and keeps its bytes'
// values.
std::string RecordText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const size_t n = Utf8Length(text, i); n > 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
      ++i;
    }
  }
  return out;
}

// A string, or null for an empty one.
Json TextOrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(RecordText(text));
}

Json MapHeader(const char* mapText) {
  MapInfo info;
  if (mapText == nullptr || !ReadMapInfo(mapText, &info)) return nullptr;
  Json header = Json::object();
  header["product"] = info.product;
  header["provider"] = info.provider;
  header["map_version"] = info.mapVersion;
  header["sw_version"] = info.swVersion;
  header["time"] = info.time;
  header["date"] = info.date;
  header["checksum"] = info.checkSum;
  header["blocks"] = info.blockCount;
  header["delta"] = info.provider != 0;
  return header;
}

Json BlockList(const std::vector<BlockRecord>& blocks) {
  Json list = Json::array();
  for (const BlockRecord& b : blocks) {
    Json block = Json::object();
    block["number"] = b.number;
    block["area"] = AreaName(b.area);
    block["operation"] = OperationName(b.operation);
    block["outcome"] = BlockOutcomeName(b.outcome);
    block["status"] = b.status;
    if (b.outcome == BlockOutcome::VerifyFailed) block["verify_byte"] = b.verifyByte;
    list.push_back(std::move(block));
  }
  return list;
}

Json SavedFileList(const std::vector<SavedFile>& files) {
  Json list = Json::array();
  for (const SavedFile& f : files) {
    Json file = Json::object();
    file["kind"] = RecordText(f.kind);
    file["path"] = RecordText(f.path);
    list.push_back(std::move(file));
  }
  return list;
}

}  // namespace


std::string UtcTimeText(int64_t ms) {
  // Civil date from days since 1970-01-01 (proleptic Gregorian), so that no system's time
  // functions or time zone come into it.
  int64_t days = ms / 86400000;
  int64_t rest = ms % 86400000;
  if (rest < 0) {
    rest += 86400000;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[160];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64
                ":%02" PRId64 ":%02" PRId64 ".%03" PRId64 "Z",
                year, month, day, rest / 3600000, rest / 60000 % 60, rest / 1000 % 60, rest % 1000);
  return text;
}


std::string FormatRunReport(const RunReport& r) {
  // Keys in the order they are set: readers of the audit trail compare lines as they stand.
  Json record = Json::object();
  record["record"] = "velmora-run";
  record["record_version"] = 2;
  record["run_id"] = TextOrNull(r.runId);
  record["program"] = RecordText(r.program);
  record["version"] = RecordText(r.version);
  record["mode"] = RecordText(r.mode);
  record["map_file"] = RecordText(r.mapFile);
  record["map_sha1"] = r.mapText == nullptr ? Json(nullptr) : Json(Sha1Hex(r.mapText));
  record["map"] = MapHeader(r.mapText);
  record["port"] = RecordText(r.port);
  record["baud"] = r.baudRate;
  record["verify"] = r.verify;
  record["imei"] = TextOrNull(r.record.imei);
  record["hardware_product"] = r.hardwareProduct == 0 ? Json(nullptr) : Json(r.hardwareProduct);
  record["start"] = UtcTimeText(r.startMs);
  record["end"] = UtcTimeText(r.endMs);
  record["duration_ms"] = r.endMs - r.startMs;
  record["blocks"] = BlockList(r.record.blocks);
  record["garbage_collections"] = r.record.garbageCollections;
  record["saved_files"] = SavedFileList(r.record.savedFiles);
  record["outcome"] = RecordText(r.outcome);
  record["error"] = TextOrNull(r.error);
  record["exit_status"] = r.exitStatus;
  // Not ASCII-only: UTF-8 names stay readable. RecordText leaves nothing the writer refuses.
  return record.dump(-1, ' ', false, Json::error_handler_t::strict);
}

}  // namespace velmora
