// Windows: the attributes tell a folder from a file before anything is opened; once open, only a
// disk file is a regular file (a console, a COM port, NUL or a pipe is not). Opening any of them
// returns at once.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/regular_file.h"
#include "platform/win32/text.h"

namespace velmora {

int OpenRegularFile(const std::string& path, std::string* why) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (why != nullptr) *why = kNotARegularFile;
    return -1;
  }
  const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (why != nullptr) *why = FileErrorText(GetLastError());
    return -1;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    if (why != nullptr) *why = kNotARegularFile;
    CloseHandle(h);
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    if (why != nullptr) *why = "out of file descriptors";
    CloseHandle(h);
  }
  return fd;
}

bool ReadRegularFile(const std::string& path, std::string* bytes, std::string* why,
                     size_t maxBytes) {
  const int fd = OpenRegularFile(path, why);
  if (fd < 0) return false;
  struct _stat64 info {};
  if (_fstat64(fd, &info) != 0) {
    if (why != nullptr) *why = "cannot tell its size";
    _close(fd);
    return false;
  }
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
    if (why != nullptr) *why = "larger than " + std::to_string(maxBytes) + " bytes";
    _close(fd);
    return false;
  }
  std::string buffer;
  try {
    buffer.resize(static_cast<size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    if (why != nullptr) *why = "out of memory";
    _close(fd);
    return false;
  }
  size_t got = 0;
  while (got < buffer.size()) {
    const unsigned chunk = static_cast<unsigned>(std::min<size_t>(buffer.size() - got, 1u << 30));
    const int n = _read(fd, buffer.data() + got, chunk);
    if (n < 0) {
      if (why != nullptr) *why = "read error";
      _close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  _close(fd);
  buffer.resize(got);
  if (bytes != nullptr) bytes->swap(buffer);
  return true;
}

std::FILE* OpenRegularFileStream(const std::string& path, std::string* why) {
  const int fd = OpenRegularFile(path, why);
  if (fd < 0) return nullptr;
  std::FILE* f = _fdopen(fd, "rb");
  if (f == nullptr) {
    if (why != nullptr) *why = "cannot open a stream on the file";
    _close(fd);
  }
  return f;
}

bool StreamSize(std::FILE* f, int64_t* size) {
  struct _stat64 st;
  if (_fstat64(_fileno(f), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

bool SeekStream(std::FILE* f, int64_t position) {
  return position >= 0 && _fseeki64(f, position, SEEK_SET) == 0;
}

}  // namespace velmora
