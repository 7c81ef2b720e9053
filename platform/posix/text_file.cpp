// Text-mode files on a platform that has none: the translation the program's map files and
// backup file were always read and written with is done here by hand.
#include "platform/text_file.h"

#include "platform/output_file.h"
#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <new>
#include <stdexcept>

namespace velmora {
namespace {

constexpr char kCtrlZ = 26;                              // ends a text-mode file
constexpr unsigned char kEndOfReading = 255;             // read back as end of file
constexpr size_t kWriteChunk = 4096;
constexpr size_t kReadChunk = 65536;

// Turns the raw bytes of a file into what text-mode reading stores, in place: CR LF becomes LF,
// a Ctrl-Z ends the text, and a byte 255 ends it as well, because the character read loop has
// always taken it for the end of the file. Returns the number of characters kept.
size_t TranslateTextMode(char* bytes, size_t length) {
  size_t out = 0;
  for (size_t in = 0; in < length; ++in) {
    char c = bytes[in];
    if (c == kCtrlZ) break;
    if (c == '\r' && in + 1 < length && bytes[in + 1] == '\n') {
      c = '\n';
      ++in;
    }
    if (static_cast<unsigned char>(c) == kEndOfReading) break;
    bytes[out++] = c;
  }
  return out;
}

}  // namespace

TextReadResult ReadMapFileText(const std::string& path, std::string* text, std::string* why) {
  if (path == kStandardInputPath) return ReadMapStreamText(STDIN_FILENO, text, why);
  // Never blocks: a FIFO, a directory or a device is refused before a byte is read; only a
  // regular file has a length to size the buffer by.
  std::string reason;
  const int fd = OpenRegularFile(path, &reason);
  if (fd < 0) {
    if (why != nullptr) *why = reason;
    return TextReadResult::CannotOpen;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size < 0) {
    if (why != nullptr) *why = std::strerror(errno);
    ::close(fd);
    return TextReadResult::CannotOpen;
  }
  const size_t length = static_cast<size_t>(info.st_size);

  std::string buffer;
  try {
    buffer.resize(length);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return TextReadResult::OutOfMemory;
  } catch (const std::length_error&) {
    ::close(fd);
    return TextReadResult::OutOfMemory;
  }
  // A file that shrank since its length was taken yields what is there; one that grew is read
  // only up to the length taken, so the text never holds more characters than that.
  size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, buffer.data() + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);

  buffer.resize(TranslateTextMode(buffer.data(), got));
  if (text != nullptr) text->swap(buffer);
  return TextReadResult::Ok;
}

TextReadResult ReadMapStreamText(int fd, std::string* text, std::string* why) {
  std::string buffer;
  try {
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (why != nullptr) *why = std::strerror(errno);
        return TextReadResult::CannotOpen;
      }
      if (n == 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return TextReadResult::OutOfMemory;
  } catch (const std::length_error&) {
    return TextReadResult::OutOfMemory;
  }
  buffer.resize(TranslateTextMode(buffer.data(), buffer.size()));
  buffer.shrink_to_fit();
  if (text != nullptr) text->swap(buffer);
  return TextReadResult::Ok;
}

TextModeFile::~TextModeFile() { Close(); }

bool TextModeFile::Create(const std::string& path) {
  Close();
  failed_ = false;
  file_ = std::fopen(path.c_str(), "wb");
  return file_ != nullptr;
}

bool TextModeFile::CreateExclusive(const std::string& path, std::string* why) {
  Close();
  failed_ = false;
  // O_EXCL with O_CREAT refuses any existing name, a dangling symlink included; O_NOFOLLOW
  // makes sure of it.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    if (why != nullptr) {
      // "File exists" would hide that a device or a link sits there.
      *why = error == EEXIST ? std::string("already exists as ") +
                                   PathKindWords(LookAtPath(path, false, nullptr))
                             : std::strerror(error);
    }
    return false;
  }
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    if (why != nullptr) *why = std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

bool TextModeFile::Sync() {
  if (file_ == nullptr) return false;
  if (std::fflush(file_) != 0 || ::fsync(fileno(file_)) != 0) failed_ = true;
  return !failed_;
}

bool TextModeFile::Write(const char* text, size_t length) {
  if (file_ == nullptr) return false;
  if (length == 0) return !failed_;
  if (text == nullptr) {
    failed_ = true;
    return false;
  }
  // Every LF goes to disk as CR LF, whatever stands before it: "\r\n" becomes CR CR LF.
  char chunk[kWriteChunk + 1];
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (used >= kWriteChunk) {
      if (std::fwrite(chunk, 1, used, file_) != used) failed_ = true;
      used = 0;
    }
    if (text[i] == '\n') chunk[used++] = '\r';
    chunk[used++] = text[i];
  }
  if (used > 0 && std::fwrite(chunk, 1, used, file_) != used) failed_ = true;
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
