// Windows hands a program one command line; the wide one is the only form that keeps every
// character of a path.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/command_line.h"
#include "platform/standard_streams.h"
#include "platform/win32/text.h"

namespace velmora {

std::string ProcessCommandLine(int /*argc*/, char** /*argv*/) { return WideToUtf8(GetCommandLineW()); }

std::vector<std::string> ProcessArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int i = 0; i < count; ++i) arguments.push_back(WideToUtf8(wide[i]));
    LocalFree(wide);
    return arguments;
  }
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace velmora
