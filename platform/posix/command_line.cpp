#include "platform/command_line.h"
#include "platform/standard_streams.h"

namespace velmora {

std::string ProcessCommandLine(int argc, char** argv) { return CommandLineFromArgs(argc, argv); }

std::vector<std::string> ProcessArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

}  // namespace velmora

namespace velmora {

void UseBinaryStandardStreams() {}

}  // namespace velmora
