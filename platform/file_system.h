// File-system services for the backup files: a folder private to the user, exclusive creation
// that never follows a symlink, renaming that never replaces, and flushing to the disk. The
// backup of a handset's blocks may be the only copy left, so none of these may quietly
// overwrite a file or write through a link someone else planted.
#pragma once

#include <string>
#include <vector>

namespace velmora {

// The user's private folder for Velmora's state: $XDG_STATE_HOME/velmora, else
// ~/.local/state/velmora (Windows: %LOCALAPPDATA%\Velmora), created with mode 0700 when it is
// missing. Empty with the reason in *why when it cannot be had, or when it exists but is not a
// folder owned by the user and closed to others.
std::string PrivateStateDirectory(std::string* why);

// The user's home folder ($HOME; Windows: %USERPROFILE%), "" when there is none: the second
// place for a copy of a handset's blocks when the private folder is refused, a place every
// later start looks in, whatever its working folder.
std::string HomeDirectory();

// directory + separator + name.
std::string JoinPath(const std::string& directory, const std::string& name);
// The absolute form of a path (relative to the current folder); the path itself when that
// cannot be told.
std::string AbsolutePath(const std::string& path);
// True when anything (a symlink included) exists at path.
bool PathExists(const std::string& path);
// Renames from to to; fails, leaving both as they are, when to exists. False with the reason.
bool RenameWithoutReplacing(const std::string& from, const std::string& to, std::string* why);
// Removes a file; false with the reason.
bool RemoveFile(const std::string& path, std::string* why);
// Flushes a folder's entries to the disk (so that a new or renamed file survives a power loss).
bool SyncDirectory(const std::string& directory);
// The names (not paths) of the regular files in directory that begin with prefix and end with
// suffix, sorted; empty when the folder cannot be read.
std::vector<std::string> ListFiles(const std::string& directory, const std::string& prefix,
                                   const std::string& suffix);

}  // namespace velmora
