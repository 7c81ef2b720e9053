#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "platform/output_file.h"
#include "platform/record_file.h"

namespace velmora {
namespace {

std::string Reason(const std::string& path, int error) { return path + ": " + std::strerror(error); }

// Writes all of bytes; false with errno set when a write fails.
bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of bytes to a new file, pushes them to the disk and closes it; 0, or the errno of
// the step that failed (the descriptor is closed either way).
int WriteSyncClose(int fd, const std::string& bytes) {
  int error = WriteAll(fd, bytes) && ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

bool ReplaceFileWhole(const std::string& path, const std::string& bytes, std::string* why) {
  // The rename would replace whatever lies at path: a device node, a folder's entry or the
  // file a symlink names would be gone.
  if (!CheckOutputPath(path, LinkRule::Refuse, {}, why)) return false;
  // A name of this process's own in the same folder, so that the rename cannot cross devices.
  const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    if (why != nullptr) *why = Reason(temporary, errno);
    return false;
  }
  int error = WriteSyncClose(fd, bytes);
  bool ok = error == 0;
  // Looked at again right before the rename: something may have been put there meanwhile.
  std::string refusal;
  if (ok && !CheckOutputPath(path, LinkRule::Refuse, {}, &refusal)) {
    ::unlink(temporary.c_str());
    if (why != nullptr) *why = refusal;
    return false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    if (why != nullptr) *why = Reason(path, error);
    return false;
  }
  SyncDirectory(DirectoryPart(path));
  return true;
}

bool CreateFileWhole(const std::string& path, const std::string& bytes, std::string* why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    if (why != nullptr) {
      *why = error == EEXIST ? path + " already exists as " +
                                   PathKindWords(LookAtPath(path, false, nullptr))
                             : Reason(path, error);
    }
    return false;
  }
  if (const int error = WriteSyncClose(fd, bytes); error != 0) {
    ::unlink(path.c_str());
    if (why != nullptr) *why = Reason(path, error);
    return false;
  }
  SyncDirectory(DirectoryPart(path));
  return true;
}

bool AppendWholeLine(const std::string& path, const std::string& line, std::string* why) {
  if (!CheckOutputPath(path, LinkRule::Follow, {}, why)) return false;
  // O_NONBLOCK: a FIFO put there since the check must not hold the open for ever.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    if (why != nullptr) *why = Reason(path, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (why != nullptr) *why = path + " is not a regular file";
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  // Other stations append to the same trail: one writer at a time, so that the length seen
  // before the write is where a failed write is cut back to.
  bool ok = ::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &st) == 0;
  int error = ok ? 0 : (errno != 0 ? errno : EINVAL);
  if (ok && !(WriteAll(fd, line) && ::fsync(fd) == 0)) {
    error = errno;
    ok = false;
    if (::ftruncate(fd, st.st_size) != 0) {
      // Nothing better to do: the reason of the write is the one worth telling.
    }
  }
  ::close(fd);  // also lets the lock go
  if (!ok && why != nullptr) *why = Reason(path, error);
  return ok;
}

}  // namespace velmora
