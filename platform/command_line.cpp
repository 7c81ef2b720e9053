#include "platform/command_line.h"

namespace velmora {

std::string CommandLineFromArgs(int argc, char** argv) {
  std::string line;
  if (argc <= 0 || argv == nullptr || argv[0] == nullptr) return line;
  const std::string program = argv[0];
  if (program.find(' ') != std::string::npos) {
    line = "\"" + program + "\"";
  } else {
    line = program;
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    line += ' ';
    line += argv[i];
  }
  return line;
}

std::string ProgramPathFromCommandLine(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t close = commandLine.find('"', 1);
    return close == std::string::npos ? commandLine.substr(1) : commandLine.substr(1, close - 1);
  }
  const size_t space = commandLine.find(' ');
  return space == std::string::npos ? commandLine : commandLine.substr(0, space);
}

}  // namespace velmora
