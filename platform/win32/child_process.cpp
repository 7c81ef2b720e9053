// Windows: a station's programs run without a console of their own or the station's, so that a
// Ctrl-C, a Ctrl-Break or a closing console reaches only the station; its handler writes each
// request, as its number, into the pipe that is every child's standard input. A child reads that
// pipe on a thread of its own and takes each request as its console's; the pipe's end tells it
// that the station is gone. Each child inherits only its own handles (its log and its end of
// the pipe), never another child's pipe or the station's sockets.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/output_file.h"
#include "platform/win32/interrupt_request.h"
#include "platform/win32/text.h"

namespace velmora {
namespace {

struct Child {
  HANDLE process;
  HANDLE requests;  // the station's end of the child's pipe
  int64_t id;
};
// Shared by the main thread, which starts and waits, and the console handler's thread.
std::mutex g_childrenMutex;
std::vector<Child> g_children;

std::atomic<bool> g_stationGone{false};

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

int SignalOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return 2;
    case CTRL_BREAK_EVENT: return 15;
    default: return 1;
  }
}

BOOL WINAPI PassOnToChildren(DWORD event) {
  PassOnTermination(SignalOf(event));
  // The station waits for its children and prints the summary. A closing console ends it
  // when this returns; the children, without a console, finish and then find it gone.
  return TRUE;
}

double CpuSecondsOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// The handles a new process may inherit: exactly those listed.
class InheritedHandles {
 public:
  explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
    ok_ = InitializeProcThreadAttributeList(list_, 1, 0, &size) &&
          UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                    handles_.size() * sizeof(HANDLE), nullptr, nullptr);
  }
  ~InheritedHandles() {
    if (ok_) DeleteProcThreadAttributeList(list_);
  }
  InheritedHandles(const InheritedHandles&) = delete;
  InheritedHandles& operator=(const InheritedHandles&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return ok_ ? list_ : nullptr; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> buffer_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool ok_ = false;
};

HANDLE CreateLog(const std::string& logPath, std::string* why) {
  // The log is emptied: only a regular file of its own, never one a link points to.
  if (!CheckOutputPath(logPath, LinkRule::Refuse, {}, why)) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE log = CreateFileW(Utf8ToWide(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE)
    *why = logPath + ": cannot be created (error " + std::to_string(GetLastError()) + ")";
  return log;
}

// The child's standard input: its end inherited, the station's end not.
bool CreateRequestPipe(HANDLE* childEnd, HANDLE* stationEnd, std::string* why) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(childEnd, stationEnd, &inherit, 0) ||
      !SetHandleInformation(*stationEnd, HANDLE_FLAG_INHERIT, 0)) {
    *why = "no pipe for the station's requests (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

bool Spawn(const std::string& program, const std::vector<std::string>& args, HANDLE input,
           HANDLE output, PROCESS_INFORMATION* info, std::string* why) {
  std::wstring commandLine = Quote(Utf8ToWide(program));
  for (const std::string& a : args) commandLine += L" " + Quote(Utf8ToWide(a));
  InheritedHandles inherited({input, output});
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = inherited.list() != nullptr ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = output;
  startup.lpAttributeList = inherited.list();
  const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP |
                      (inherited.list() != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
  if (CreateProcessW(Utf8ToWide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                     nullptr, nullptr, &startup.StartupInfo, info))
    return true;
  *why = program + ": cannot be started (error " + std::to_string(GetLastError()) + ")";
  return false;
}

}  // namespace

bool StartChild(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath, int64_t* id, std::string* why) {
  const HANDLE log = CreateLog(logPath, why);
  if (log == INVALID_HANDLE_VALUE) return false;
  HANDLE childEnd = nullptr;
  HANDLE stationEnd = nullptr;
  if (!CreateRequestPipe(&childEnd, &stationEnd, why)) {
    CloseHandle(log);
    return false;
  }
  PROCESS_INFORMATION info{};
  const bool started = Spawn(program, args, childEnd, log, &info, why);
  CloseHandle(log);
  CloseHandle(childEnd);
  if (!started) {
    CloseHandle(stationEnd);
    return false;
  }
  CloseHandle(info.hThread);
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  g_children.push_back({info.hProcess, stationEnd, static_cast<int64_t>(info.dwProcessId)});
  *id = info.dwProcessId;
  return true;
}

void FollowStation() {
  const HANDLE requests = GetStdHandle(STD_INPUT_HANDLE);
  if (requests == nullptr || requests == INVALID_HANDLE_VALUE || GetFileType(requests) != FILE_TYPE_PIPE) return;
  std::thread([requests] {
    char request = 0;
    DWORD got = 0;
    while (ReadFile(requests, &request, 1, &got, nullptr) && got == 1) {
      if (request == 1 || request == 2 || request == 15) HandleTerminationRequest(request);
    }
    // The pipe ends when the station's end closes: the station has ended.
    g_stationGone = true;
  }).detach();
}

bool StationGone() { return g_stationGone.load(); }

namespace {

// The creation time of a process that has not ended; false for one that has or none at all.
bool StartOfRunning(HANDLE process, uint64_t* started) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return false;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
  *started = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

}  // namespace

ProcessMark OwnProcessMark() {
  ProcessMark mark;
  mark.id = static_cast<int64_t>(GetCurrentProcessId());
  StartOfRunning(GetCurrentProcess(), &mark.started);
  return mark;
}

bool MarkOfProcess(int64_t id, ProcessMark* mark) {
  if (id <= 0 || id > 0xFFFFFFFFLL) return false;
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     static_cast<DWORD>(id));
  if (process == nullptr) return false;
  uint64_t started = 0;
  const bool running = StartOfRunning(process, &started);
  CloseHandle(process);
  if (!running) return false;
  mark->id = id;
  mark->started = started;
  return true;
}

double OwnCpuSeconds() { return CpuSecondsOf(GetCurrentProcess()); }

bool WaitChild(ChildEnd* end) {
  std::vector<HANDLE> handles;
  {
    std::lock_guard<std::mutex> lock(g_childrenMutex);
    for (const Child& c : g_children) handles.push_back(c.process);
  }
  if (handles.empty()) return false;
  const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                             FALSE, INFINITE);
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  if (which >= WAIT_OBJECT_0 + handles.size()) {
    g_children.clear();
    return false;
  }
  const Child child = g_children[which - WAIT_OBJECT_0];
  g_children.erase(g_children.begin() + (which - WAIT_OBJECT_0));
  DWORD code = 1;
  GetExitCodeProcess(child.process, &code);
  end->id = child.id;
  end->status = static_cast<int>(code);
  end->cpuSeconds = CpuSecondsOf(child.process);
  CloseHandle(child.process);
  CloseHandle(child.requests);
  return true;
}

void ForwardTerminationToChildren() { SetConsoleCtrlHandler(PassOnToChildren, TRUE); }

void PassOnTermination(int signal) {
  const char request = static_cast<char>(signal);
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  for (const Child& c : g_children) {
    DWORD written = 0;
    WriteFile(c.requests, &request, 1, &written, nullptr);
  }
}

}  // namespace velmora
