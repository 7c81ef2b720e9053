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

}  // namespace velmora
