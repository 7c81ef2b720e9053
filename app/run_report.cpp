#include "app/run_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "container/digest.h"

namespace velmora {
namespace {

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

class JsonObject {
 public:
  JsonObject& Field(const char* name, const std::string& value) {
    return Raw(name, JsonString(value));
  }
  JsonObject& Field(const char* name, const char* value) {
    return Raw(name, value == nullptr ? "null" : JsonString(value));
  }
  JsonObject& Field(const char* name, int64_t value) { return Raw(name, std::to_string(value)); }
  JsonObject& Flag(const char* name, bool value) { return Raw(name, value ? "true" : "false"); }
  JsonObject& Raw(const char* name, const std::string& json) {
    text_ += text_.empty() ? "{" : ",";
    text_ += JsonString(name) + ":" + json;
    return *this;
  }
  std::string Close() const { return text_.empty() ? "{}" : text_ + "}"; }

 private:
  std::string text_;
};

std::string MapHeader(const char* mapText) {
  MapInfo info;
  if (mapText == nullptr || !ReadMapInfo(mapText, &info)) return "null";
  return JsonObject()
      .Field("product", info.product)
      .Field("provider", info.provider)
      .Field("map_version", info.mapVersion)
      .Field("sw_version", info.swVersion)
      .Field("time", info.time)
      .Field("date", info.date)
      .Field("checksum", info.checkSum)
      .Field("blocks", info.blockCount)
      .Flag("delta", info.provider != 0)
      .Close();
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    char escape[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const size_t n = Utf8Length(text, i); n > 0) {
      out.append(text, i, n);
      i += n;
      continue;
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    }
    ++i;
  }
  return out + "\"";
}

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

std::string Sha1Hex(const std::string& bytes) {
  uint8_t partial[kSha1BlockLength];
  uint32_t state[kSha1StateWords];
  DigestContext context = MakeDigestContext(kSha1Descriptor, partial, state);
  uint8_t digest[kSha1DigestLength] = {};
  DigestInit(&context, nullptr);
  // Lengths go in bits as 32-bit numbers: feed the text in pieces well below that limit.
  constexpr size_t kPiece = 1u << 24;
  size_t at = 0;
  do {
    const size_t n = bytes.size() - at < kPiece ? bytes.size() - at : kPiece;
    const bool last = at + n == bytes.size();
    DigestUpdate(reinterpret_cast<const uint8_t*>(bytes.data()) + at, static_cast<uint32_t>(n * 8),
                 digest, &context, last ? 1 : 0);
    at += n;
  } while (at < bytes.size());
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

std::string FormatRunReport(const RunReport& r) {
  std::string blocks = "[";
  for (const BlockRecord& b : r.record.blocks) {
    JsonObject block;
    block.Field("number", b.number)
        .Field("area", AreaName(b.area))
        .Field("operation", OperationName(b.operation))
        .Field("outcome", BlockOutcomeName(b.outcome))
        .Field("status", static_cast<int64_t>(b.status));
    if (b.outcome == BlockOutcome::VerifyFailed) block.Field("verify_byte", b.verifyByte);
    blocks += (blocks.size() > 1 ? "," : "") + block.Close();
  }
  blocks += "]";
  std::string saved = "[";
  for (const SavedFile& f : r.record.savedFiles) {
    saved += (saved.size() > 1 ? "," : "") +
             JsonObject().Field("kind", f.kind).Field("path", f.path).Close();
  }
  saved += "]";

  JsonObject record;
  record.Field("record", "velmora-run")
      .Field("record_version", 1)
      .Field("program", r.program)
      .Field("version", r.version)
      .Field("mode", r.mode)
      .Field("map_file", r.mapFile)
      .Raw("map_sha1", r.mapText == nullptr ? "null" : JsonString(Sha1Hex(r.mapText)))
      .Raw("map", MapHeader(r.mapText))
      .Field("port", r.port)
      .Field("baud", static_cast<int64_t>(r.baudRate))
      .Flag("verify", r.verify)
      .Raw("imei", r.record.imei.empty() ? "null" : JsonString(r.record.imei))
      .Raw("hardware_product",
           r.hardwareProduct == 0 ? "null" : std::to_string(r.hardwareProduct))
      .Field("start", UtcTimeText(r.startMs))
      .Field("end", UtcTimeText(r.endMs))
      .Field("duration_ms", r.endMs - r.startMs)
      .Raw("blocks", blocks)
      .Field("garbage_collections", r.record.garbageCollections)
      .Raw("saved_files", saved)
      .Field("outcome", r.outcome)
      .Raw("error", r.error.empty() ? "null" : JsonString(r.error))
      .Field("exit_status", r.exitStatus);
  return record.Close();
}

}  // namespace velmora
