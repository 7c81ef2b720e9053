#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/output_file.h"
#include "platform/record_file.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

std::string Reason(const std::string& path, DWORD error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, sizeof text, nullptr);
  std::string reason(text, n);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
    reason.pop_back();
  return path + ": " + (reason.empty() ? "error " + std::to_string(error) : reason);
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

}  // namespace

bool ReplaceFileWhole(const std::string& path, const std::string& bytes, std::string* why) {
  // The move would replace whatever lies at path: only a file of its own is replaced.
  if (!CheckOutputPath(path, LinkRule::Refuse, {}, why)) return false;
  const std::string temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId());
  const std::wstring wideTemporary = Utf8ToWide(temporary);
  HANDLE file = CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (why != nullptr) *why = Reason(temporary, GetLastError());
    return false;
  }
  bool ok = WriteAll(file, bytes) && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (ok && !MoveFileExW(wideTemporary.c_str(), Utf8ToWide(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(wideTemporary.c_str());
    if (why != nullptr) *why = Reason(path, error);
  }
  return ok;
}

bool CreateFileWhole(const std::string& path, const std::string& bytes, std::string* why) {
  const std::wstring wide = Utf8ToWide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (why != nullptr) *why = Reason(path, GetLastError());
    return false;
  }
  bool ok = WriteAll(file, bytes) && FlushFileBuffers(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(wide.c_str());
    if (why != nullptr) *why = Reason(path, error);
  }
  return ok;
}

bool AppendWholeLine(const std::string& path, const std::string& line, std::string* why) {
  if (!CheckOutputPath(path, LinkRule::Follow, {}, why)) return false;
  HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (why != nullptr) *why = Reason(path, GetLastError());
    return false;
  }
  // One appender at a time over the whole file, so that a failed write can be cut back.
  OVERLAPPED whole = {};
  bool ok = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
  DWORD error = ok ? 0 : GetLastError();
  LARGE_INTEGER size = {};
  if (ok && (!GetFileSizeEx(file, &size) || !SetFilePointerEx(file, size, nullptr, FILE_BEGIN))) {
    ok = false;
    error = GetLastError();
  }
  if (ok && !(WriteAll(file, line) && FlushFileBuffers(file))) {
    ok = false;
    error = GetLastError();
    SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
  }
  CloseHandle(file);
  if (!ok && why != nullptr) *why = Reason(path, error);
  return ok;
}

}  // namespace velmora
