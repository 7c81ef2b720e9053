#include "platform/output_file.h"

namespace velmora {

const char* PathKindWords(PathKind kind) {
  switch (kind) {
    case PathKind::Missing: return "missing";
    case PathKind::Regular: return "a regular file";
    case PathKind::Directory: return "a directory";
    case PathKind::Fifo: return "a FIFO";
    case PathKind::Socket: return "a socket";
    case PathKind::CharacterDevice: return "a character device";
    case PathKind::BlockDevice: return "a block device";
    case PathKind::SymbolicLink: return "a symbolic link";
    case PathKind::Other: return "not a file";
  }
  return "not a file";
}

bool CheckOutputPath(const std::string& path, LinkRule links, const std::vector<RunInput>& inputs,
                     std::string* why) {
  const auto refuse = [&](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (path.empty()) return refuse("an empty file name");
  FileIdentity identity;
  PathKind kind = LookAtPath(path, false, &identity);
  if (kind == PathKind::SymbolicLink) {
    if (links == LinkRule::Refuse) {
      return refuse(path + " is a symbolic link; this output replaces its file, so it is "
                           "written only to a path of its own");
    }
    kind = LookAtPath(path, true, &identity);
    if (kind == PathKind::Missing) return refuse(path + " is a symbolic link to nothing");
  }
  if (kind == PathKind::Missing) return true;
  if (kind != PathKind::Regular)
    return refuse(path + " is " + PathKindWords(kind) + ", not a regular file");
  for (const RunInput& input : inputs) {
    if (input.path.empty()) continue;
    FileIdentity other;
    if (LookAtPath(input.path, true, &other) == PathKind::Regular && other == identity)
      return refuse(path + " is the " + input.what + " " + input.path + " itself");
  }
  return true;
}

}  // namespace velmora
