// The backup file of the garbage collection, read by the separate restore tool: each saved
// block as a small header and its data bytes in hexadecimal, ten to a line.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/text_file.h"
#include "update/backup_file.h"
#include "update/engine.h"
#include "platform/hex.h"

namespace velmora {
namespace {

constexpr size_t kBytesPerLine = 10;

bool WriteText(TextModeFile& file, const char* text, int length) {
  return length > 0 && file.Write(text, static_cast<size_t>(length));
}

// One block in the restore tool's format. The "\r\n" texts reach the disk as CR CR LF through
// the text-mode file, which is what the restore tool has always been given.
void WriteBackupRecord(TextModeFile& file, const MapBlock& block) {
  char line[64];
  WriteText(file, line, std::snprintf(line, sizeof line, "\r\nBLOCK_NUMBER = %d\r\n", block.number));
  WriteText(file, line, std::snprintf(line, sizeof line, "BLOCK_SIZE   = %d\r\n", block.size));
  WriteText(file, line,
            std::snprintf(line, sizeof line, "BLOCK_VERSION = %d\r\n", static_cast<int>(block.version)));
  WriteText(file, line, std::snprintf(line, sizeof line, "DATA_BYTES   = \r\n"));
  // Never more bytes than the record holds, whatever its size field says.
  const size_t count =
      block.size <= 0 ? 0 : std::min(static_cast<size_t>(block.size), block.data.size());
  for (size_t i = 0; i < count; ++i) {
    if (i % kBytesPerLine == 0) file.Write("\r\n", 2);
    WriteText(file, line,
              std::snprintf(line, sizeof line, "0x%.2X ", static_cast<unsigned>(block.data[i])));
  }
  file.Write("\r\n\r\n", 4);
}

}  // namespace

namespace {

bool WriteBlocksBelow(TextModeFile& file, const MapBlock* blocks, int32_t count, int64_t limit) {
  if (count <= 0 || blocks == nullptr) return false;

  // The range runs over the Eelite records below the limit; each number in it is saved once,
  // from the first record that carries it.
  bool any = false;
  int32_t lowest = 0;
  int32_t highest = 0;
  for (int32_t i = 0; i < count; ++i) {
    const MapBlock& block = blocks[i];
    if (block.area != kAreaEelite || block.number >= limit) continue;
    if (!any || block.number < lowest) lowest = block.number;
    if (!any || block.number > highest) highest = block.number;
    any = true;
  }
  if (!any) return false;

  // Visiting only the numbers that occur, in ascending order, gives the same file as walking
  // every number of the range, without walking a range of up to 2^32 numbers.
  std::map<int32_t, const MapBlock*> firstOfNumber;
  for (int32_t i = 0; i < count; ++i) {
    const MapBlock& block = blocks[i];
    if (block.number < lowest || block.number > highest) continue;
    firstOfNumber.emplace(block.number, &block);
  }
  for (const auto& [number, block] : firstOfNumber) WriteBackupRecord(file, *block);
  return true;
}

}  // namespace

bool WriteBackupFile(TextModeFile& file, const MapBlock* blocks, int32_t count) {
  return WriteBlocksBelow(file, blocks, count, kBackupNumberLimit);
}

std::string TimeStampText(std::time_t when) {
  char text[32] = "00000000-000000";
  if (const std::tm* local = std::localtime(&when)) std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", local);
  return text;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool MoveAsideBackup(const std::string& path, std::string* keptAs) {
  std::error_code error;
  const auto written = std::filesystem::last_write_time(path, error);
  const std::time_t when =
      error ? std::time(nullptr)
            : std::chrono::system_clock::to_time_t(
                  std::chrono::file_clock::to_sys(written));
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = hasExtension ? path.substr(0, dot) : path;
  const std::string extension = hasExtension ? path.substr(dot) : std::string();
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::string candidate = stem + "-" + TimeStampText(when) +
                                  (attempt == 1 ? std::string() : "-" + std::to_string(attempt)) +
                                  extension;
    if (PathExists(candidate)) continue;
    if (!RenameWithoutReplacing(path, candidate, nullptr)) return false;
    *keptAs = candidate;
    return true;
  }
  return false;
}

}  // namespace velmora

// ---------------------------------------------------------------------------------------------
// Reading a backup file back, for the restore command.

namespace velmora {
namespace {

// Block numbers, sizes and versions as the block store takes them.
constexpr long kHighestBlockNumber = 65535;
constexpr long kLargestBlockSize = 65535;
constexpr long kHighestVersion = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// "KEY = value": true and the value's text when the line is that key's line.
bool KeyLine(std::string_view line, std::string_view key, std::string_view* value) {
  if (line.substr(0, key.size()) != key) return false;
  std::string_view rest = Trim(line.substr(key.size()));
  if (rest.empty() || rest.front() != '=') return false;
  *value = Trim(rest.substr(1));
  return true;
}

// A decimal number in [low, high], nothing else on the line.
bool DecimalIn(std::string_view text, long low, long high, long* value) {
  if (text.empty() || text.size() > 7) return false;
  long v = 0;
  size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative) i = 1;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (negative) v = -v;
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

// One data byte as the file writes it: "0x" and two hexadecimal digits.
bool DataByte(std::string_view token, uint8_t* byte) {
  if (token.size() != 4 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X')) return false;
  const int high = HexDigitValue(token[2]);
  const int low = HexDigitValue(token[3]);
  if (high < 0 || low < 0) return false;
  *byte = static_cast<uint8_t>(high * 16 + low);
  return true;
}

class BackupParser {
 public:
  BackupParser(std::vector<MapBlock>* blocks, std::string* error)
      : blocks_(blocks), error_(error) {}

  bool Line(std::string_view line, size_t number) {
    line_ = number;
    line = Trim(line);
    if (line.empty()) return true;
    std::string_view value;
    switch (expect_) {
      case Expect::Number:
      case Expect::DataOrNumber:
        if (KeyLine(line, "BLOCK_NUMBER", &value)) return StartBlock(value);
        if (expect_ == Expect::Number) return Fail("expected BLOCK_NUMBER = ...");
        return DataLine(line);
      case Expect::Size:
        if (!KeyLine(line, "BLOCK_SIZE", &value)) return Fail("expected BLOCK_SIZE = ...");
        if (!DecimalIn(value, 0, kLargestBlockSize, &field_))
          return Fail("block size must be 0 to 65535");
        current().size = static_cast<int32_t>(field_);
        expect_ = Expect::Version;
        return true;
      case Expect::Version:
        if (!KeyLine(line, "BLOCK_VERSION", &value)) return Fail("expected BLOCK_VERSION = ...");
        if (!DecimalIn(value, 0, kHighestVersion, &field_))
          return Fail("block version must be 0 to 255");
        current().version = static_cast<uint8_t>(field_);
        expect_ = Expect::Data;
        return true;
      case Expect::Data:
        if (!KeyLine(line, "DATA_BYTES", &value) || !value.empty())
          return Fail("expected DATA_BYTES =");
        expect_ = Expect::DataOrNumber;
        return true;
    }
    return Fail("unexpected text");
  }

  bool Finish() {
    if (expect_ != Expect::Number && expect_ != Expect::DataOrNumber)
      return Fail("the file ends inside a block's header");
    if (expect_ == Expect::DataOrNumber && !BlockComplete()) return false;
    if (blocks_->empty()) {
      *error_ = "no block in the file";
      return false;
    }
    return true;
  }

 private:
  enum class Expect { Number, Size, Version, Data, DataOrNumber };

  MapBlock& current() { return blocks_->back(); }

  bool Fail(const std::string& what) {
    *error_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  bool BlockComplete() {
    const MapBlock& block = current();
    if (static_cast<int32_t>(block.data.size()) == block.size) return true;
    *error_ = "block " + std::to_string(block.number) + ": " + std::to_string(block.data.size()) +
              " data bytes for a size of " + std::to_string(block.size);
    return false;
  }

  bool StartBlock(std::string_view value) {
    if (expect_ == Expect::DataOrNumber && !BlockComplete()) return false;
    if (!DecimalIn(value, 1, kHighestBlockNumber, &field_))
      return Fail("block number must be 1 to 65535");
    if (seen_[static_cast<size_t>(field_)])
      return Fail("block " + std::to_string(field_) + " given twice");
    seen_[static_cast<size_t>(field_)] = true;
    MapBlock block;
    block.number = static_cast<int32_t>(field_);
    block.area = kAreaEelite;
    block.attribute = 2;
    block.operation = kOpWrite;
    blocks_->push_back(std::move(block));
    expect_ = Expect::Size;
    return true;
  }

  // Bytes are taken one by one as they stand in the text, never reserved from the size field,
  // so a file cannot make the reader allocate more than it holds.
  bool DataLine(std::string_view line) {
    MapBlock& block = current();
    while (!line.empty()) {
      const size_t end = std::min(line.find(' '), line.size());
      const std::string_view token = line.substr(0, end);
      line = Trim(line.substr(end));
      uint8_t byte = 0;
      if (!DataByte(token, &byte)) return Fail("expected data bytes such as 0x1F");
      if (static_cast<int32_t>(block.data.size()) >= block.size)
        return Fail("block " + std::to_string(block.number) + " has more data bytes than its size");
      block.data.push_back(byte);
    }
    return true;
  }

  std::vector<MapBlock>* blocks_;
  std::string* error_;
  std::vector<bool> seen_ = std::vector<bool>(kHighestBlockNumber + 1);
  Expect expect_ = Expect::Number;
  size_t line_ = 0;
  long field_ = 0;
};

}  // namespace

bool ParseBackupFile(std::string_view text, std::vector<MapBlock>* blocks, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::vector<MapBlock> parsed;
  BackupParser parser(&parsed, error);
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    if (!parser.Line(text.substr(0, end), ++lineNumber)) return false;
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  if (!parser.Finish()) return false;
  if (blocks != nullptr) blocks->swap(parsed);
  return true;
}

}  // namespace velmora
