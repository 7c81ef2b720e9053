// POSIX: O_NONBLOCK makes open() return at once on a FIFO without a writer; fstat then tells a
// regular file from everything else before a single byte is read.
#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace velmora {

int OpenRegularFile(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (why != nullptr) *why = std::strerror(errno);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (why != nullptr) *why = kNotARegularFile;
    ::close(fd);
    return -1;
  }
  // Reads of a regular file never block; clearing the flag keeps later code from seeing EAGAIN
  // on file systems that honour it anyway.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool ReadRegularFile(const std::string& path, std::string* bytes, std::string* why,
                     size_t maxBytes) {
  const int fd = OpenRegularFile(path, why);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    if (why != nullptr) *why = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
    if (why != nullptr) *why = "larger than " + std::to_string(maxBytes) + " bytes";
    ::close(fd);
    return false;
  }
  std::string buffer;
  try {
    buffer.resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    if (why != nullptr) *why = "out of memory";
    ::close(fd);
    return false;
  }
  // A file that shrank since fstat yields what is there; one that grew is read up to the size
  // taken.
  size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (why != nullptr) *why = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer.resize(got);
  if (bytes != nullptr) bytes->swap(buffer);
  return true;
}

std::FILE* OpenRegularFileStream(const std::string& path, std::string* why) {
  const int fd = OpenRegularFile(path, why);
  if (fd < 0) return nullptr;
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    if (why != nullptr) *why = std::strerror(errno);
    ::close(fd);
  }
  return f;
}

bool StreamSize(std::FILE* f, int64_t* size) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

bool SeekStream(std::FILE* f, int64_t position) {
  return position >= 0 && fseeko(f, static_cast<off_t>(position), SEEK_SET) == 0;
}

}  // namespace velmora
