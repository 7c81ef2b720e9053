// Windows: the attributes tell a folder and a reparse point (a symlink or junction) apart
// without opening anything; an open for no access at all (attributes only) then tells a disk
// file from a console, NUL, a COM port or a pipe, and gives the volume and file index.
#include <windows.h>

#include "platform/output_file.h"
#include "platform/win32/text.h"

namespace velmora {

PathKind LookAtPath(const std::string& path, bool followLink, FileIdentity* identity) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool link = attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (link && !followLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if (link) return followLink ? PathKind::Missing : PathKind::SymbolicLink;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::Other;
  }
  const DWORD type = GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (identity != nullptr && known) {
    identity->device = info.dwVolumeSerialNumber;
    identity->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  if (type == FILE_TYPE_CHAR) return PathKind::CharacterDevice;
  if (type == FILE_TYPE_PIPE) return PathKind::Fifo;
  if (type != FILE_TYPE_DISK) return PathKind::Other;
  if (link && !followLink) return PathKind::SymbolicLink;
  if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
  return PathKind::Regular;
}

}  // namespace velmora
