// Files the user names on the command line or in settings (maps, settings, simulator profiles,
// keys, program files, backups): opened without ever blocking and refused when they are not
// regular files, so that a FIFO, a directory or a device gives a clear error at once instead of
// hanging in open() or reading for ever.
#pragma once

#include <cstddef>
#include <string>

namespace velmora {

// The reason given for a path that names a FIFO, a directory, a device or a socket.
inline constexpr const char* kNotARegularFile = "not a regular file";

// Opens a regular file for reading. Returns a file descriptor (to be closed by the caller), or
// -1 with the reason in *why: the system's text ("No such file or directory", ...) or
// kNotARegularFile. Never blocks, whatever the path names.
int OpenRegularFile(const std::string& path, std::string* why);

// Reads the whole of a regular file into *bytes. False with the reason in *why (as above, or
// "larger than N bytes" when it exceeds maxBytes).
bool ReadRegularFile(const std::string& path, std::string* bytes, std::string* why,
                     size_t maxBytes = static_cast<size_t>(1) << 30);

}  // namespace velmora
