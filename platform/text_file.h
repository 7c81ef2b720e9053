// Files in the platform's text mode, as the program has always read map files and written the
// backup file: reading turns CR LF into LF and stops at a Ctrl-Z (byte 26); writing turns every
// LF into CR LF.
#pragma once

#include <cstdio>
#include <string>

namespace velmora {

enum class TextReadResult { Ok, CannotOpen, OutOfMemory };

// The path that stands for standard input.
inline constexpr const char* kStandardInputPath = "-";

// Reads a map file as Open File does: text mode (CR LF -> LF, byte 26 ends the file), and a
// byte 255 also ends the reading. The text never holds more characters than the file's length.
// "-" reads standard input to its end instead. CannotOpen gives the reason in *why: the
// system's, or "not a regular file" for a FIFO, a directory or a device (never waited on).
TextReadResult ReadMapFileText(const std::string& path, std::string* text,
                               std::string* why = nullptr);
// The same text-mode reading from an open descriptor (a pipe), to its end.
TextReadResult ReadMapStreamText(int fd, std::string* text, std::string* why = nullptr);

// A file written in text mode: every LF written becomes CR LF on disk.
class TextModeFile {
 public:
  TextModeFile() = default;
  ~TextModeFile();
  TextModeFile(const TextModeFile&) = delete;
  TextModeFile& operator=(const TextModeFile&) = delete;

  // Creates or empties the file. False when it cannot be created.
  bool Create(const std::string& path);
  // Creates a new file that only the user may read and write (mode 0600). Fails, with the
  // reason in *why, when anything exists at path already, a symlink included: a backup is
  // never written over another file or through a link.
  bool CreateExclusive(const std::string& path, std::string* why);
  // Pushes what was written down to the disk (flush and fsync); false when that failed.
  bool Sync();
  bool Write(const char* text, size_t length);
  bool Write(const std::string& text) { return Write(text.data(), text.size()); }
  // Closes the file; false when a write or the close failed.
  bool Close();
  bool is_open() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace velmora
