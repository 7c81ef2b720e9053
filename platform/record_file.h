// Files that must never be seen half-written: a record replaced as a whole, and an audit trail
// that only ever grows by whole lines. Bytes are written as given (no text-mode translation), so
// a record has the same bytes on every system.
#pragma once

#include <string>

namespace velmora {

// Writes bytes to a new file beside path, pushes it to the disk and renames it over path: a
// reader finds the old content or the new, never a part. False with the reason in *why (the
// temporary file is removed then, and path is left as it was).
bool ReplaceFileWhole(const std::string& path, const std::string& bytes, std::string* why);

// Appends one line (which should end with "\n") to path, creating it when missing. Appenders
// of other processes wait for each other; a write that fails part-way is cut back, so the file
// only ever holds whole lines. False with the reason in *why.
bool AppendWholeLine(const std::string& path, const std::string& line, std::string* why);

// Writes bytes to a new file at path that only the user may read (mode 0600), pushed to the
// disk with its folder entry. Fails when anything exists at path (a symlink included): a copy
// of a handset's blocks never lands on another file or through a link. A write that fails
// part-way (a full disk) removes what it created, so no empty or cut copy is left behind.
// False with the reason in *why.
bool CreateFileWhole(const std::string& path, const std::string& bytes, std::string* why);

}  // namespace velmora
