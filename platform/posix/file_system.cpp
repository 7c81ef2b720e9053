// POSIX file-system services for the backup files.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora {
namespace {

bool MakeDirectory(const std::string& path, std::string* why) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *why = path + ": " + std::strerror(errno);
  return false;
}

// Creates every missing folder of path (the last one private).
bool MakeDirectories(const std::string& path, std::string* why) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!MakeDirectory(path.substr(0, slash), why)) return false;
  }
  return MakeDirectory(path, why);
}

}  // namespace

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) : std::string();
}

std::string PrivateStateDirectory(std::string* why) {
  std::string scratch;
  if (why == nullptr) why = &scratch;
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    *why = "neither XDG_STATE_HOME nor HOME names a folder";
    return {};
  }
  const std::string directory = JoinPath(base, "velmora");
  if (!MakeDirectories(directory, why)) return {};

  // A folder someone else made, or one others may write into, is no private place: a file
  // planted there could be swapped under us.
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) {
    *why = directory + ": " + std::strerror(errno);
    return {};
  }
  if (!S_ISDIR(info.st_mode)) {
    *why = directory + ": not a folder";
    return {};
  }
  if (info.st_uid != ::geteuid() || (info.st_mode & 0077) != 0) {
    *why = directory + ": not private to this user (owner or permissions)";
    return {};
  }
  return directory;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  if (path.empty() || path == ".") return cwd;
  std::string result = JoinPath(cwd, path);
  // "./name" reads better without its "./".
  const std::string dot = std::string(cwd) + "/./";
  if (result.compare(0, dot.size(), dot) == 0) result = JoinPath(cwd, result.substr(dot.size()));
  return result;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to, std::string* why) {
  // A hard link fails when `to` exists, which rename() would silently replace; the old name
  // goes only once the new one is in place.
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (why != nullptr) *why = to + ": " + std::strerror(errno);
    return false;
  }
  if (::unlink(from.c_str()) != 0) {
    if (why != nullptr) *why = from + ": " + std::strerror(errno);
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path, std::string* why) {
  if (::unlink(path.c_str()) == 0) return true;
  if (why != nullptr) *why = path + ": " + std::strerror(errno);
  return false;
}

bool SyncDirectory(const std::string& directory) {
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& prefix,
                                   const std::string& suffix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < prefix.size() + suffix.size()) continue;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    struct stat info {};
    if (::lstat(JoinPath(directory, name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace velmora
