// Reader for the registry-export text format. Only what an export of a few typed values needs:
// [KEY] sections, "Name"= or @= values of string, dword and hex (with continuation lines),
// ; comments and blank lines. Anything else stops the load with the offending line's number,
// because a half-understood settings file must not silently select a port.
#include "platform/settings_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <unordered_map>
#include <sstream>

#include "platform/byte_order.h"
#include "platform/regular_file.h"
#include "platform/hex.h"

namespace velmora {

std::string SettingsStore::NamedPath() {
  const char* named = std::getenv("VELMORA_SETTINGS");
  return named != nullptr ? named : "";
}

bool SettingsStore::NamedButEmpty() {
  const char* named = std::getenv("VELMORA_SETTINGS");
  return named != nullptr && *named == '\0';
}

namespace {

constexpr const char* kHeaderV5 = "Windows Registry Editor Version 5.00";
// The older ANSI export has the same value syntax, so an old export is read as well.
constexpr const char* kHeaderV4 = "REGEDIT4";
// A settings file holds a handful of values; anything this large is not one.
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

// Whether anything is at the path (a dangling symlink counts as nothing).
bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return u;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimRight(const std::string& s) {
  size_t end = s.size();
  while (end > 0 && (IsBlank(s[end - 1]) || s[end - 1] == '\r')) --end;
  return s.substr(0, end);
}

std::string TrimLeft(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

// At most eight hexadecimal digits as a number (none is zero); false for more, or for another
// character.
bool HexNumber(const std::string& digits, uint32_t* value) {
  if (digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    const int d = HexDigitValue(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Regedit on Windows writes its exports in UTF-16LE with a byte-order mark; such a file is
// turned into UTF-8 so that it "works as it is". False on an odd length or a broken pair.
bool Utf16LeToUtf8(const std::string& in, std::string* out) {
  if (in.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < in.size(); i += 2) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    uint32_t u = LoadLe16(bytes + i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 3 >= in.size()) return false;
      const uint32_t lo = LoadLe16(bytes + i + 2);
      if (lo < 0xDC00 || lo > 0xDFFF) return false;
      u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
    AppendUtf8(u, out);
  }
  return true;
}

class Parser {
 public:
  Parser(const std::string& source, std::string* error) : source_(source), error_(error) {}

  bool Fail(int line, const std::string& what) {
    if (error_) *error_ = source_ + ":" + std::to_string(line) + ": " + what;
    return false;
  }

  // A quoted text starting at s[*pos] == '"'; on return *pos is just past the closing quote.
  bool ParseQuoted(const std::string& s, size_t* pos, std::string* out, int line) {
    out->clear();
    size_t i = *pos + 1;
    while (i < s.size()) {
      const char c = s[i];
      if (c == '"') {
        *pos = i + 1;
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= s.size()) break;
        const char e = s[i + 1];
        if (e != '\\' && e != '"') {
          return Fail(line, std::string("unknown escape \\") + e + " in a quoted text");
        }
        out->push_back(e);
        i += 2;
        continue;
      }
      out->push_back(c);
      ++i;
    }
    return Fail(line, "quoted text without its closing quote");
  }

  // "hex:01,02" or "hex(N):..." bytes after the colon; blanks around the commas are allowed.
  bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out, int line) {
    out->clear();
    size_t i = 0;
    auto skipBlanks = [&] {
      while (i < s.size() && IsBlank(s[i])) ++i;
    };
    skipBlanks();
    if (i == s.size()) return true;  // hex: with no bytes is an empty value
    for (;;) {
      skipBlanks();
      const int hi = i < s.size() ? HexDigitValue(s[i]) : -1;
      const int lo = i + 1 < s.size() ? HexDigitValue(s[i + 1]) : -1;
      if (hi < 0 || lo < 0) return Fail(line, "a hex byte must be two hex digits");
      out->push_back(static_cast<uint8_t>(hi * 16 + lo));
      i += 2;
      skipBlanks();
      if (i == s.size()) return true;
      if (s[i] != ',') return Fail(line, "hex bytes must be separated by commas");
      ++i;
      skipBlanks();
      if (i == s.size()) return Fail(line, "hex data ends with a comma");
    }
  }

  bool ParseData(const std::string& rhs, SettingsStore::Value* value, int line) {
    if (!rhs.empty() && rhs[0] == '"') {
      size_t pos = 0;
      std::string text;
      if (!ParseQuoted(rhs, &pos, &text, line)) return false;
      if (!TrimLeft(rhs.substr(pos)).empty()) return Fail(line, "text after the closing quote");
      value->type = kRegSz;
      value->data.assign(text.begin(), text.end());
      return true;
    }
    if (rhs == "-") return Fail(line, "value deletions are not settings");
    const size_t colon = rhs.find(':');
    if (colon == std::string::npos) {
      return Fail(line, "unknown value form (expected \"text\", dword: or hex:)");
    }
    const std::string form = Upper(rhs.substr(0, colon));
    if (form == "DWORD") {
      const std::string digits = TrimRight(rhs.substr(colon + 1));
      uint32_t v = 0;
      if (digits.empty() || !HexNumber(digits, &v)) {
        return Fail(line, "a dword needs one to eight hex digits");
      }
      value->type = kRegDword;
      value->data.assign(4, 0);
      StoreLe32(value->data.data(), v);
      return true;
    }
    if (form == "HEX") {
      value->type = kRegBinary;
      return ParseHexBytes(rhs.substr(colon + 1), &value->data, line);
    }
    if (form.size() > 5 && form.compare(0, 4, "HEX(") == 0 && form.back() == ')') {
      // hex(N): any registry type by number, e.g. hex(2) for an expandable string.
      const std::string num = form.substr(4, form.size() - 5);
      uint32_t type = 0;
      if (!HexNumber(num, &type)) return Fail(line, "bad type number in hex(...)");
      value->type = type;
      return ParseHexBytes(rhs.substr(colon + 1), &value->data, line);
    }
    return Fail(line, "unknown value form (expected \"text\", dword: or hex:)");
  }

  std::string source_;
  std::string* error_;
};

// The lines of a settings file, each without its trailing blanks: UTF-16 with its byte order
// mark (as the registry editor exports) or UTF-8 with or without one.
bool SettingsLines(const std::string& rawText, std::vector<std::string>* lines, std::string* why) {
  std::string text;
  if (rawText.size() >= 2 && static_cast<uint8_t>(rawText[0]) == 0xFF &&
      static_cast<uint8_t>(rawText[1]) == 0xFE) {
    if (!Utf16LeToUtf8(rawText.substr(2), &text)) {
      *why = "broken UTF-16 text";
      return false;
    }
  } else if (rawText.size() >= 3 && rawText.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text = rawText.substr(3);
  } else {
    text = rawText;
  }
  if (text.find('\0') != std::string::npos) {
    *why = "the file holds zero bytes: not a text in UTF-8 or UTF-16";
    return false;
  }
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines->push_back(TrimRight(line));
  return true;
}

}  // namespace

bool SettingsStore::LoadText(const std::string& rawText, const std::string& sourceName,
                             std::string* error) {
  keys_.clear();
  if (error) error->clear();
  Parser parser(sourceName, error);

  std::vector<std::string> lines;
  if (std::string why; !SettingsLines(rawText, &lines, &why)) return parser.Fail(1, why);

  decltype(keys_) keys;
  std::vector<std::pair<std::string, Value>>* current = nullptr;
  // Where each value name of a key stands, so that a repeated name is found at once: a file of
  // many values reads in linear time.
  std::map<std::string, std::unordered_map<std::string, size_t>> positions;
  std::unordered_map<std::string, size_t>* currentPositions = nullptr;
  bool sawHeader = false;

  for (size_t n = 0; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n + 1);
    std::string line = TrimLeft(lines[n]);
    if (line.empty()) continue;
    if (!sawHeader) {
      if (line != kHeaderV5 && line != kHeaderV4) {
        keys_.clear();
        return parser.Fail(lineNo, std::string("the first line must be \"") + kHeaderV5 + "\"");
      }
      sawHeader = true;
      continue;
    }
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) {
        return parser.Fail(lineNo, "a key line must be [KEY]");
      }
      const std::string key = line.substr(1, line.size() - 2);
      if (key[0] == '-') return parser.Fail(lineNo, "key deletions are not settings");
      current = &keys[Upper(key)];
      currentPositions = &positions[Upper(key)];
      continue;
    }
    if (line[0] != '"' && line[0] != '@') {
      return parser.Fail(lineNo, "expected [KEY], \"Name\"=value, a ; comment or a blank line");
    }
    if (!current) return parser.Fail(lineNo, "a value before the first [KEY]");

    std::string name;
    size_t pos = 1;
    if (line[0] == '"') {
      pos = 0;
      if (!parser.ParseQuoted(line, &pos, &name, lineNo)) return false;
    }
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != '=') {
      return parser.Fail(lineNo, "expected = after the value name");
    }
    std::string rhs = TrimLeft(line.substr(pos + 1));
    // Long hex data is wrapped with a trailing backslash; the next lines continue it.
    const int startLine = lineNo;
    while (!rhs.empty() && rhs.back() == '\\' && rhs[0] != '"') {
      rhs.pop_back();
      if (n + 1 >= lines.size()) return parser.Fail(startLine, "continuation at the end of the file");
      ++n;
      rhs += TrimLeft(lines[n]);
    }
    Value value;
    if (!parser.ParseData(rhs, &value, startLine)) {
      keys_.clear();
      return false;
    }
    // As an import would: a repeated name replaces the earlier value.
    const auto [at, added] = currentPositions->emplace(Upper(name), current->size());
    if (added) {
      current->emplace_back(name, std::move(value));
    } else {
      (*current)[at->second].second = std::move(value);
    }
  }
  if (!sawHeader) {
    return parser.Fail(1, std::string("empty settings file; the first line must be \"") + kHeaderV5 +
                              "\"");
  }
  keys_ = std::move(keys);
  return true;
}

bool SettingsStore::LoadFile(const std::string& path, std::string* error) {
  keys_.clear();
  if (error) error->clear();
  // Never blocks: a FIFO, a directory or a device at the path is refused before a byte is read.
  std::string text;
  std::string why;
  if (!ReadRegularFile(path, &text, &why, kMaxFileBytes)) {
    if (!FileExists(path)) return true;  // no settings file: no settings
    if (error) *error = path + ": cannot be read: " + why;
    return false;
  }
  return LoadText(text, path, error);
}

void SettingsStore::SetValue(const std::string& key, const std::string& name, Value value) {
  auto& values = keys_[Upper(key)];
  const std::string upperName = Upper(name);
  for (auto& [valueName, old] : values) {
    if (Upper(valueName) == upperName) {
      old = std::move(value);
      return;
    }
  }
  values.emplace_back(name, std::move(value));
}

bool SettingsStore::HasKey(const std::string& key) const {
  return keys_.find(Upper(key)) != keys_.end();
}

bool SettingsStore::QueryValue(const std::string& key, const std::string& name, uint32_t* type,
                               uint8_t* data, uint32_t* size) const {
  const auto k = keys_.find(Upper(key));
  if (k == keys_.end()) return false;
  const std::string upperName = Upper(name);
  for (const auto& [valueName, value] : k->second) {
    if (Upper(valueName) != upperName) continue;
    // A string comes back with its terminating zero, and its size counts it, as the registry does.
    const bool isString = value.type == kRegSz;
    const size_t needed = value.data.size() + (isString ? 1 : 0);
    if (type) *type = value.type;
    if (!data) {  // size enquiry only
      if (size) *size = static_cast<uint32_t>(needed);
      return true;
    }
    if (!size) return false;
    if (*size < needed) {
      *size = static_cast<uint32_t>(needed);
      return false;
    }
    if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
    if (isString) data[value.data.size()] = 0;
    *size = static_cast<uint32_t>(needed);
    return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> SettingsStore::StringValues(
    const std::string& key) const {
  std::vector<std::pair<std::string, std::string>> out;
  const auto k = keys_.find(Upper(key));
  if (k == keys_.end()) return out;
  for (const auto& [name, value] : k->second) {
    if (value.type == kRegSz) out.emplace_back(name, std::string(value.data.begin(), value.data.end()));
  }
  return out;
}

}  // namespace velmora
