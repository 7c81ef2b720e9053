// What every Velmora program does with its command line: --help and --version end it with
// status 0, a usage error ends it with status 64 and the option parser's message on stderr.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "options/release.h"
#include "platform/output_file.h"

namespace velmora {

// Exit status of a command line the program cannot use (the usual EX_USAGE).
inline constexpr int kExitUsage = 64;


// One line: the program's name, the version and the build date.
inline std::string VersionLine(const std::string& program) {
  return program + " " + kReleaseVersion + " from " + kReleaseDate;
}

// Adds --version, printing VersionLine(program).
inline void AddVersionFlag(CLI::App& app, const std::string& program) {
  app.set_version_flag("--version", VersionLine(program), "Show the program's name, version and build date");
}

// "" when something that is not a folder exists at path, else the parser's message. Looked at
// through the system's own path functions (CLI::ExistingFile's would take a UTF-8 name in the
// ANSI code page on Windows and miss a file whose name that page cannot show).
inline std::string ExistingFileProblem(const std::string& path) {
  switch (LookAtPath(path, true, nullptr)) {
    case PathKind::Missing: return "File does not exist: " + path;
    case PathKind::Directory: return "File is actually a directory: " + path;
    default: return std::string();
  }
}

// An existing file. Only looked at, never opened: a FIFO passes here and is refused by the
// reader, which says why.
inline CLI::Validator ExistingFile() {
  return CLI::Validator([](std::string& path) { return ExistingFileProblem(path); }, "FILE");
}

// An existing file, or "-" for standard input.
inline CLI::Validator ExistingFileOrStdin() {
  return CLI::Validator(
      [](std::string& path) { return path == "-" ? std::string() : ExistingFileProblem(path); },
      "FILE or -");
}

// Parses the command line. -1: go on; otherwise the program's exit status, the help, the
// version line or the parser's message having been printed.
inline int ParseProgramOptions(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
    return -1;
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : kExitUsage;
  }
}

}  // namespace velmora
