// Every file the program writes goes through here first. An output must never destroy what is
// not its own: a path that names a device, a FIFO, a folder or a socket is refused (writing
// there could replace a system device or block for ever), a symlink is refused where the write
// would replace or empty the file it points to, and an output that is one of the run's own
// inputs (the map, the settings, the station file, the backup being restored) is refused, since
// writing it would destroy what the run reads. Looking never blocks, whatever lies at a path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// What lies at a path.
enum class PathKind {
  Missing,
  Regular,
  Directory,
  Fifo,
  Socket,
  CharacterDevice,
  BlockDevice,
  SymbolicLink,
  Other,
};

// Names a file the same way whatever path leads to it (hard links and symlinks included).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity&) const = default;
};

// What lies at path; a final symlink is reported as such unless followLink, in which case
// what it points to is (Missing for a dangling one). *identity (when given) is filled for
// anything that exists.
PathKind LookAtPath(const std::string& path, bool followLink, FileIdentity* identity);

// "a directory", "a FIFO", "a character device" ...: the words for a refusal.
const char* PathKindWords(PathKind kind);

// An input of the run, named for the user ("map file", "settings file", ...).
struct RunInput {
  std::string what;
  std::string path;
};

// How an output treats a symlink at its path.
enum class LinkRule {
  Refuse,  // the output replaces or empties its file: a link would aim that at another file
  Follow,  // the output only appends: a link to a regular file is taken
};

// True when path may be written as an output: it is missing, or a regular file (through a
// symlink only under LinkRule::Follow) that is none of the inputs. False with the reason in
// *why, which names the path and what lies there ("PATH is a FIFO, not a regular file").
bool CheckOutputPath(const std::string& path, LinkRule links, const std::vector<RunInput>& inputs,
                     std::string* why);

}  // namespace velmora
