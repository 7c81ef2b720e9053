#include "update/handset_backup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <set>
#include <utility>

#include "container/digest.h"
#include "platform/hex.h"

namespace velmora {
namespace {

// Data bytes per "data" line.
constexpr size_t kBytesPerDataLine = 32;
constexpr size_t kLongestImei = 32;

const char* AreaName(uint8_t area) { return area == kAreaEefull ? "eefull" : "eelite"; }

bool AreaCode(std::string_view name, uint8_t* area) {
  if (name == "eelite") return *area = kAreaEelite, true;
  if (name == "eefull") return *area = kAreaEefull, true;
  return false;
}


// Splits a line at single blanks.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t blank = line.find(' ', start);
    const size_t end = blank == std::string_view::npos ? line.size() : blank;
    words.push_back(line.substr(start, end - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  return words;
}

// A decimal number 0..max without sign or leading zeros beyond "0".
bool Number(std::string_view text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Fail(std::string* error, size_t line, const std::string& why) {
  if (error != nullptr) *error = line > 0 ? "line " + std::to_string(line) + ": " + why : why;
  return false;
}

// Lines 2 to 5: the header's fields in their order.
bool ParseHeaderLine(const std::vector<std::string_view>& w, size_t lineNumber,
                     HandsetBackup* parsed, std::string* error) {
  static const char* const kHeader[] = {"kind", "imei", "product", "created"};
  const std::string_view want = kHeader[lineNumber - 2];
  if (w.size() != 2 || w[0] != want) return Fail(error, lineNumber, "expected " + std::string(want));
  uint32_t value = 0;
  if (want == "kind") {
    parsed->kind = std::string(w[1]);
  } else if (want == "imei") {
    if (BackupImei(std::string(w[1])) != w[1]) return Fail(error, lineNumber, "bad IMEI");
    parsed->imei = std::string(w[1]);
  } else if (want == "product") {
    if (!Number(w[1], 0xFFFF, &value)) return Fail(error, lineNumber, "bad product");
    parsed->product = value;
  } else {
    parsed->created = std::string(w[1]);
  }
  return true;
}

// A data line's bytes, appended to the block whose data is being read.
bool ParseDataLine(std::string_view hex, size_t lineNumber, MapBlock* open, std::string* error) {
  const size_t want = static_cast<size_t>(open->size) - open->data.size();
  // Whole lines of 32 bytes, the last one shorter: one way to write each file.
  if (hex.size() != 2 * std::min(want, kBytesPerDataLine))
    return Fail(error, lineNumber, "data line of the wrong length");
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return Fail(error, lineNumber, "bad hexadecimal");
    open->data.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

}  // namespace

std::string PerHandsetPath(const std::string& path) {
  if (path.empty() || path.find(kImeiPlaceholder) != std::string::npos) return path;
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  const size_t at =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
  return path.substr(0, at) + "-" + kImeiPlaceholder + path.substr(at);
}

std::string BackupImei(const std::string& imei) {
  std::string kept;
  for (char c : imei) {
    if (std::isalnum(static_cast<unsigned char>(c)) && kept.size() < kLongestImei) kept += c;
  }
  return kept.empty() ? kUnknownImei : kept;
}

std::string BackupCreatedNow() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "1970-01-01T00:00:00Z";
  if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
  return text;
}

std::string FormatHandsetBackup(const HandsetBackup& backup) {
  std::string out = std::string(kHandsetBackupMagic) + "\n";
  out += "kind " + backup.kind + "\n";
  out += "imei " + BackupImei(backup.imei) + "\n";
  out += "product " + std::to_string(backup.product) + "\n";
  out += "created " + backup.created + "\n";
  for (const MapBlock& block : backup.blocks) {
    const size_t size = std::min(static_cast<size_t>(static_cast<uint16_t>(block.size)), block.data.size());
    out += std::string("block ") + AreaName(block.area) + " " + std::to_string(block.number) +
           " size " + std::to_string(size) + " version " +
           std::to_string(static_cast<unsigned>(block.version)) + "\n";
    for (size_t at = 0; at < size; at += kBytesPerDataLine) {
      out += "data ";
      AppendHex(&out, block.data.data() + at, std::min(size, at + kBytesPerDataLine) - at, HexCase::Upper);
      out += "\n";
    }
  }
  for (const auto& [area, number] : backup.absent)
    out += std::string("absent ") + AreaName(area) + " " + std::to_string(number) + "\n";
  for (const BackupRange& range : backup.ranges)
    out += std::string("range ") + AreaName(range.area) + " " + std::to_string(range.first) + " " +
           std::to_string(range.last) + "\n";
  out += "end blocks " + std::to_string(backup.blocks.size()) + " absent " +
         std::to_string(backup.absent.size()) + " sha1 " + Sha1Hex(out) + "\n";
  return out;
}

bool LooksLikeHandsetBackup(std::string_view text) {
  const std::string_view magic = std::string_view(kHandsetBackupMagic).substr(0, 14);
  // A file cut within its first bytes is still a handset backup, and a cut one.
  if (text.size() < magic.size()) return !text.empty() && magic.substr(0, text.size()) == text;
  return text.substr(0, magic.size()) == magic;
}

bool ParseHandsetBackup(std::string_view text, HandsetBackup* backup, std::string* error) {
  HandsetBackup parsed;
  if (!LooksLikeHandsetBackup(text)) return Fail(error, 1, "not a handset backup");
  // The header's fields in their order; then blocks and absent blocks; then the end line.
  std::set<std::pair<uint8_t, int32_t>> seen;
  MapBlock* open = nullptr;  // the block whose data lines are being read
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) return Fail(error, lineNumber + 1, "cut short (no end line)");
    const std::string_view line = text.substr(start, newline - start);
    const size_t lineStart = start;
    start = newline + 1;
    ++lineNumber;
    if (lineNumber == 1) {
      if (line != kHandsetBackupMagic) return Fail(error, 1, "unknown format or version");
      continue;
    }
    const std::vector<std::string_view> w = Words(line);
    if (lineNumber <= 5) {
      if (!ParseHeaderLine(w, lineNumber, &parsed, error)) return false;
      continue;
    }
    if (open != nullptr && w.size() == 2 && w[0] == "data") {
      if (!ParseDataLine(w[1], lineNumber, open, error)) return false;
      continue;
    }
    if (open != nullptr && open->data.size() != static_cast<size_t>(open->size))
      return Fail(error, lineNumber, "block " + std::to_string(open->number) + " has fewer data bytes than its size");
    open = nullptr;
    uint8_t area = 0;
    uint32_t number = 0;
    if (w.size() == 7 && w[0] == "block" && w[3] == "size" && w[5] == "version") {
      uint32_t size = 0;
      uint32_t version = 0;
      if (!AreaCode(w[1], &area) || !Number(w[2], 0xFFFF, &number) || number == 0 ||
          !Number(w[4], 0xFFFF, &size) || !Number(w[6], 0xFF, &version))
        return Fail(error, lineNumber, "bad block line");
      if (!seen.insert({area, static_cast<int32_t>(number)}).second)
        return Fail(error, lineNumber, "block " + std::to_string(number) + " given twice");
      // Sizes are checked against the text left before anything is reserved.
      if (size * 2 > text.size() - start) return Fail(error, lineNumber, "cut short (block data missing)");
      MapBlock block;
      block.number = static_cast<int32_t>(number);
      block.size = static_cast<int32_t>(size);
      block.version = static_cast<uint8_t>(version);
      block.area = area;
      block.attribute = 2;
      block.operation = kOpWrite;
      block.data.reserve(size);
      parsed.blocks.push_back(std::move(block));
      open = &parsed.blocks.back();
    } else if (w.size() == 3 && w[0] == "absent") {
      if (!AreaCode(w[1], &area) || !Number(w[2], 0xFFFF, &number) || number == 0)
        return Fail(error, lineNumber, "bad absent line");
      if (!seen.insert({area, static_cast<int32_t>(number)}).second)
        return Fail(error, lineNumber, "block " + std::to_string(number) + " given twice");
      parsed.absent.push_back({area, static_cast<int32_t>(number)});
    } else if (!w.empty() && w[0] == "range") {
      uint32_t first = 0;
      uint32_t last = 0;
      if (w.size() != 4 || !AreaCode(w[1], &area) || !Number(w[2], 0xFFFF, &first) || first == 0 ||
          !Number(w[3], 0xFFFF, &last) || last < first)
        return Fail(error, lineNumber, "bad range line");
      parsed.ranges.push_back({area, static_cast<int32_t>(first), static_cast<int32_t>(last)});
    } else if (w.size() == 7 && w[0] == "end" && w[1] == "blocks" && w[3] == "absent" &&
               w[5] == "sha1") {
      uint32_t blocks = 0;
      uint32_t absent = 0;
      if (!Number(w[2], 0xFFFFFFFF, &blocks) || !Number(w[4], 0xFFFFFFFF, &absent) ||
          blocks != parsed.blocks.size() || absent != parsed.absent.size())
        return Fail(error, lineNumber, "the block count differs from the blocks in the file (altered)");
      if (w[6] != Sha1Hex(text.substr(0, lineStart)))
        return Fail(error, lineNumber, "the digest differs from the file's bytes (altered)");
      if (start != text.size()) return Fail(error, lineNumber + 1, "text after the end line");
      if (backup != nullptr) *backup = std::move(parsed);
      return true;
    } else {
      return Fail(error, lineNumber, "unknown line");
    }
  }
  return Fail(error, lineNumber, "cut short (no end line)");
}

}  // namespace velmora
