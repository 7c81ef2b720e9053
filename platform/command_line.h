// The process command line as one text, and the program path cut out of it.
#pragma once

#include <string>
#include <vector>

namespace velmora {

// POSIX hands the program its arguments already split; this rebuilds the one text the
// rest of the program reads: argv[0] in double quotes when it holds a space, then the
// other arguments joined by single spaces.
std::string CommandLineFromArgs(int argc, char** argv);

// The first token of a command line: after a leading double quote, everything up to the
// next double quote; otherwise everything up to the first space (a tab does not end it);
// without a closing character, the whole rest.
std::string ProgramPathFromCommandLine(const std::string& commandLine);

// The process's command line as one text in UTF-8: on Windows the system's own, elsewhere
// CommandLineFromArgs.
std::string ProcessCommandLine(int argc, char** argv);
// The arguments in UTF-8, program first: argv itself on POSIX; on Windows taken from the wide
// command line, since argv is in the ANSI code page there and loses what it cannot show.
std::vector<std::string> ProcessArguments(int argc, char** argv);

}  // namespace velmora
