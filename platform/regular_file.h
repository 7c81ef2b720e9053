// Files the user names on the command line or in settings (maps, settings, simulator profiles,
// keys, program files, backups): opened without ever blocking and refused when they are not
// regular files, so that a FIFO, a directory or a device gives a clear error at once instead of
// hanging in open() or reading for ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// OpenRegularFile as a binary stdio stream (nullptr with the reason in *why).
std::FILE* OpenRegularFileStream(const std::string& path, std::string* why);

// A stream's size as the file system reports it, and a seek to a 64-bit position, on either
// system's large-file calls.
bool StreamSize(std::FILE* f, int64_t* size);
bool SeekStream(std::FILE* f, int64_t position);

}  // namespace velmora
