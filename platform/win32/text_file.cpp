// Text-mode files on Windows: the C runtime's own text mode does the translation (CR LF -> LF
// and Ctrl-Z as the end when reading, LF -> CR LF when writing), so the files come out byte for
// byte as the POSIX build writes them by hand.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/regular_file.h"
#include "platform/text_file.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

constexpr unsigned char kEndOfReading = 255;  // read back as end of file
constexpr size_t kReadChunk = 65536;
constexpr size_t kUnknownLength = static_cast<size_t>(-1);

std::string ErrnoText(int err) {
  const char* text = std::strerror(err);
  return text != nullptr ? text : "error " + std::to_string(err);
}


// Reads what the C runtime's text mode hands out from fd to its end; the runtime takes over fd.
TextReadResult ReadTextModeStream(int fd, size_t expected, std::string* text, std::string* why) {
  _setmode(fd, _O_TEXT);
  std::string buffer;
  try {
    // Text mode hands out fewer characters than the file has bytes, never more.
    buffer.reserve(expected);
    char chunk[kReadChunk];
    for (;;) {
      const int n = _read(fd, chunk, sizeof chunk);
      if (n < 0) {
        if (why != nullptr) *why = ErrnoText(errno);
        return TextReadResult::CannotOpen;
      }
      if (n == 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      // A file that grew since its length was taken is read only up to that length.
      if (expected != kUnknownLength && buffer.size() >= expected) break;
    }
  } catch (const std::bad_alloc&) {
    return TextReadResult::OutOfMemory;
  } catch (const std::length_error&) {
    return TextReadResult::OutOfMemory;
  }
  if (expected != kUnknownLength && buffer.size() > expected) buffer.resize(expected);
  // The character read loop has always taken a byte 255 for the end of the file.
  const size_t end = buffer.find(static_cast<char>(kEndOfReading));
  if (end != std::string::npos) buffer.resize(end);
  buffer.shrink_to_fit();
  if (text != nullptr) text->swap(buffer);
  return TextReadResult::Ok;
}

}  // namespace

TextReadResult ReadMapFileText(const std::string& path, std::string* text, std::string* why) {
  if (path == kStandardInputPath) return ReadMapStreamText(_fileno(stdin), text, why);
  std::string reason;
  const int fd = OpenRegularFile(path, &reason);
  if (fd < 0) {
    if (why != nullptr) *why = reason;
    return TextReadResult::CannotOpen;
  }
  struct _stat64 info {};
  if (_fstat64(fd, &info) != 0 || info.st_size < 0) {
    if (why != nullptr) *why = ErrnoText(errno);
    _close(fd);
    return TextReadResult::CannotOpen;
  }
  const TextReadResult result = ReadTextModeStream(fd, static_cast<size_t>(info.st_size), text, why);
  _close(fd);
  return result;
}

TextReadResult ReadMapStreamText(int fd, std::string* text, std::string* why) {
  const int previous = _setmode(fd, _O_TEXT);
  const TextReadResult result = ReadTextModeStream(fd, kUnknownLength, text, why);
  if (previous != -1) _setmode(fd, previous);
  return result;
}

TextModeFile::~TextModeFile() { Close(); }

bool TextModeFile::Create(const std::string& path) {
  Close();
  failed_ = false;
  file_ = _wfopen(Utf8ToWide(path).c_str(), L"wt");
  return file_ != nullptr;
}

bool TextModeFile::CreateExclusive(const std::string& path, std::string* why) {
  Close();
  failed_ = false;
  // _O_EXCL refuses any existing name, a link included; the file is the user's, under a
  // folder the user owns.
  const int fd = _wopen(Utf8ToWide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT,
                        _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    if (why != nullptr) *why = ErrnoText(errno);
    return false;
  }
  file_ = _fdopen(fd, "wt");
  if (file_ == nullptr) {
    if (why != nullptr) *why = ErrnoText(errno);
    _close(fd);
    _wunlink(Utf8ToWide(path).c_str());
    return false;
  }
  return true;
}

bool TextModeFile::Sync() {
  if (file_ == nullptr) return false;
  if (std::fflush(file_) != 0 || _commit(_fileno(file_)) != 0) failed_ = true;
  return !failed_;
}

bool TextModeFile::Write(const char* text, size_t length) {
  if (file_ == nullptr) return false;
  if (length == 0) return !failed_;
  if (text == nullptr) {
    failed_ = true;
    return false;
  }
  if (std::fwrite(text, 1, length, file_) != length) failed_ = true;
  return !failed_;
}

bool TextModeFile::Close() {
  if (file_ == nullptr) return !failed_;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!closed) failed_ = true;
  return !failed_;
}

}  // namespace velmora
