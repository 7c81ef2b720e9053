#include <windows.h>

#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/output_file.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

struct Child {
  HANDLE process;
  int64_t id;
};
std::vector<Child> g_children;

// One argument quoted as the C runtime's parser reads it back.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

BOOL WINAPI IgnoreControl(DWORD) { return TRUE; }

double CpuSecondsOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

}  // namespace

bool StartChild(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath, int64_t* id, std::string* why) {
  // The log is emptied: only a regular file of its own, never one a link points to.
  if (!CheckOutputPath(logPath, LinkRule::Refuse, {}, why)) return false;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileW(Utf8ToWide(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) {
    *why = logPath + ": cannot be created (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr);
  std::wstring commandLine = Quote(Utf8ToWide(program));
  for (const std::string& a : args) commandLine += L" " + Quote(Utf8ToWide(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = log;
  startup.hStdError = log;
  PROCESS_INFORMATION info{};
  const BOOL ok = CreateProcessW(Utf8ToWide(program).c_str(), commandLine.data(), nullptr, nullptr,
                                 TRUE, 0, nullptr, nullptr, &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(log);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!ok) {
    *why = program + ": cannot be started (error " + std::to_string(error) + ")";
    return false;
  }
  CloseHandle(info.hThread);
  g_children.push_back({info.hProcess, static_cast<int64_t>(info.dwProcessId)});
  *id = info.dwProcessId;
  return true;
}

bool StationGone() { return false; }

double OwnCpuSeconds() { return CpuSecondsOf(GetCurrentProcess()); }

bool WaitChild(ChildEnd* end) {
  if (g_children.empty()) return false;
  std::vector<HANDLE> handles;
  for (const Child& c : g_children) handles.push_back(c.process);
  const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                             FALSE, INFINITE);
  if (which >= WAIT_OBJECT_0 + handles.size()) {
    g_children.clear();
    return false;
  }
  const Child child = g_children[which - WAIT_OBJECT_0];
  g_children.erase(g_children.begin() + (which - WAIT_OBJECT_0));
  DWORD code = 1;
  GetExitCodeProcess(child.process, &code);
  const double cpu = CpuSecondsOf(child.process);
  CloseHandle(child.process);
  end->id = child.id;
  end->status = static_cast<int>(code);
  end->cpuSeconds = cpu;
  return true;
}

void ForwardTerminationToChildren() {
  // The children share the console and get Ctrl-C and Ctrl-Break themselves; this process
  // waits for them and prints the summary.
  SetConsoleCtrlHandler(IgnoreControl, TRUE);
}

}  // namespace velmora
