// Windows: the private folder lives under %LOCALAPPDATA%, which only its user (and the
// administrators) may open; MoveFileEx without MOVEFILE_REPLACE_EXISTING never replaces.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string HomeDirectory() { return EnvironmentValue("USERPROFILE"); }

std::string PrivateStateDirectory(std::string* why) {
  std::string scratch;
  if (why == nullptr) why = &scratch;
  const std::string base = EnvironmentValue("LOCALAPPDATA");
  if (base.empty()) {
    *why = "LOCALAPPDATA names no folder";
    return {};
  }
  const std::string directory = JoinPath(base, "Velmora");
  if (!CreateDirectoryW(Utf8ToWide(directory).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = directory + ": " + FileErrorText(GetLastError());
    return {};
  }
  const DWORD attributes = GetFileAttributesW(Utf8ToWide(directory).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *why = directory + ": not a folder";
    return {};
  }
  return directory;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back())) return directory + name;
  return directory + "\\" + name;
}

std::string AbsolutePath(const std::string& path) {
  const std::wstring wide = Utf8ToWide(path);
  const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  const DWORD m = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return path;
  full.resize(m);
  return WideToUtf8(full);
}

bool PathExists(const std::string& path) {
  return GetFileAttributesW(Utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to, std::string* why) {
  if (MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  if (why != nullptr) *why = to + ": " + FileErrorText(GetLastError());
  return false;
}

bool RemoveFile(const std::string& path, std::string* why) {
  if (DeleteFileW(Utf8ToWide(path).c_str())) return true;
  if (why != nullptr) *why = path + ": " + FileErrorText(GetLastError());
  return false;
}

bool SyncDirectory(const std::string& /*directory*/) {
  // NTFS journals a folder's entries itself; a folder cannot be flushed from user mode.
  return true;
}

std::vector<std::string> ListFiles(const std::string& directory, const std::string& prefix,
                                   const std::string& suffix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry;
  const std::string pattern = JoinPath(directory.empty() ? "." : directory, "*");
  const HANDLE find = FindFirstFileW(Utf8ToWide(pattern).c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
      continue;
    const std::string name = WideToUtf8(entry.cFileName);
    if (name.size() < prefix.size() + suffix.size()) continue;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    names.push_back(name);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace velmora
