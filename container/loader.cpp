#include "container/loader.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "platform/command_line.h"
#include "platform/regular_file.h"
#include "platform/self_path.h"

namespace velmora {
namespace {

constexpr const char kCantOpenFile[] = "Can't open file!";
constexpr const char kErrorReadingFile[] = "Error reading file!";
constexpr const char kNotEnoughMemory[] = "Not enough memory!";
constexpr const char kErrorReadingEmbedded[] = "Error reading embedded data! ";

// Closes the program file on every path out of the loader.
class File {
 public:
  File() = default;
  ~File() {
    if (f_ != nullptr) std::fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  std::FILE* get() const { return f_; }
  bool Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    // Never blocks: a FIFO or a device named as the program file is refused at once.
    f_ = OpenRegularFileStream(path, nullptr);
    return f_ != nullptr;
  }
  void Close() {
    if (f_ != nullptr) std::fclose(f_);
    f_ = nullptr;
  }

 private:
  std::FILE* f_ = nullptr;
};

// The size as the file system reports it. Sizes beyond a signed 32-bit number are refused:
// no program file is that large, and the container's positions are 32-bit.
bool FileSize(std::FILE* f, int64_t* size) {
  int64_t bytes = 0;
  if (!StreamSize(f, &bytes)) return false;
  if (bytes < 0 || bytes > std::numeric_limits<int32_t>::max()) return false;
  *size = bytes;
  return true;
}

bool Seek(std::FILE* f, int64_t position) { return SeekStream(f, position); }

void Fail(UserInteraction& ui, const char* text) { ui.ShowMessageBox(text, MessageIcon::Error); }

}  // namespace

bool LoadEmbeddedMap(const EmbeddedMapSource& source, UserInteraction& ui,
                     std::string* programPath, EmbeddedMap* out) {
  const std::string path = ProgramPathFromCommandLine(source.commandLine);
  if (programPath != nullptr) *programPath = path;
  if (out == nullptr) return false;

  File file;
  // Started through the search path or without the file's extension, the command-line
  // path names no file; the system still knows which file is running.
  if (!file.Open(path) && !file.Open(source.selfPath)) {
    Fail(ui, kCantOpenFile);
    return false;
  }
  std::FILE* f = file.get();
  int64_t size = 0;
  if (!FileSize(f, &size)) {
    Fail(ui, kErrorReadingFile);
    return false;
  }
  uint8_t trailer[kTrailerLength];
  if (!Seek(f, size - static_cast<int64_t>(kTrailerLength)) ||
      std::fread(trailer, 1, kTrailerLength, f) != kTrailerLength) {
    Fail(ui, kErrorReadingFile);
    return false;
  }
  if (std::memcmp(trailer + kTrailerMagicOffset, kTrailerMagic, kTrailerMagicLength) != 0) {
    return false;  // nothing embedded: the ordinary case
  }
  const int64_t fileSizeExe = (int64_t{trailer[kTrailerExeHigh]} << 16) |
                              (int64_t{trailer[kTrailerExeMiddle]} << 8) |
                              int64_t{trailer[kTrailerExeLow]};
  const int64_t fileSizeZip = size - fileSizeExe - static_cast<int64_t>(kTrailerLength);
  // A payload position beyond the trailer is a damaged container: refuse it before
  // reading anything.
  if (fileSizeZip < 0) {
    Fail(ui, kErrorReadingEmbedded);
    return false;
  }
  if (!Seek(f, fileSizeExe)) {
    Fail(ui, kErrorReadingFile);
    return false;
  }
  const size_t zipLength = static_cast<size_t>(fileSizeZip);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[zipLength + 1]);
  if (!buffer) {
    Fail(ui, kNotEnoughMemory);
    return false;
  }
  std::memset(buffer.get(), 0, zipLength + 1);
  if (std::fread(buffer.get(), 1, zipLength, f) != zipLength) {
    Fail(ui, kErrorReadingEmbedded);
    return false;
  }
  file.Close();

  uint8_t* position = reinterpret_cast<uint8_t*>(buffer.get());
  size_t length = zipLength;
  const ContainerKeys& keys = source.keys != nullptr ? *source.keys : BuiltInContainerKeys();
  if (!UnsealContainer(&position, &length, keys)) {
    Fail(ui, kErrorReadingEmbedded);
    return false;
  }
  // The text ends before the buffer does (padding took at least one byte), so this zero
  // lies inside it and the map reader never sees what follows the text.
  position[length] = 0;
  out->text = reinterpret_cast<const char*>(position);
  out->length = length;
  out->buffer = std::move(buffer);
  return true;
}

bool LoadEmbeddedMap(const std::string& commandLine, UserInteraction& ui,
                     std::string* programPath, EmbeddedMap* out) {
  EmbeddedMapSource source;
  source.commandLine = commandLine;
  source.selfPath = SelfExecutablePath();
  return LoadEmbeddedMap(source, ui, programPath, out);
}

}  // namespace velmora
