// POSIX: lstat/stat look at a path without opening it, so nothing at the path can block.
#include <sys/stat.h>

#include "platform/output_file.h"

namespace velmora {

PathKind LookAtPath(const std::string& path, bool followLink, FileIdentity* identity) {
  struct stat st {};
  if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
    return PathKind::Missing;
  if (identity != nullptr) {
    identity->device = static_cast<uint64_t>(st.st_dev);
    identity->file = static_cast<uint64_t>(st.st_ino);
  }
  if (S_ISREG(st.st_mode)) return PathKind::Regular;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  if (S_ISFIFO(st.st_mode)) return PathKind::Fifo;
  if (S_ISSOCK(st.st_mode)) return PathKind::Socket;
  if (S_ISCHR(st.st_mode)) return PathKind::CharacterDevice;
  if (S_ISBLK(st.st_mode)) return PathKind::BlockDevice;
  if (S_ISLNK(st.st_mode)) return PathKind::SymbolicLink;
  return PathKind::Other;
}

}  // namespace velmora
