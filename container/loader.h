// The embedded-map loader: finds the program file, recognises the trailer at its end,
// reads the sealed payload and has it unsealed. Every failure is told to the user in an
// error message box; a program file without a trailer is the ordinary case and silent.
//
// Program file:  program image (fileSizeExe) | sealed payload | trailer (34 bytes)
// Trailer bytes 5, 12 and 17 hold fileSizeExe (low, middle, high byte); bytes 27..33 are
// "TVX_UDT"; the other 24 bytes are not interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "container/unseal.h"
#include "platform/user_interaction.h"

namespace velmora {

constexpr size_t kTrailerLength = 34;
constexpr size_t kTrailerExeLow = 5;
constexpr size_t kTrailerExeMiddle = 12;
constexpr size_t kTrailerExeHigh = 17;
constexpr size_t kTrailerMagicOffset = 27;
constexpr char kTrailerMagic[] = "TVX_UDT";  // seven bytes, no terminator in the file
constexpr size_t kTrailerMagicLength = 7;
constexpr uint32_t kMaxProgramImage = (1u << 24) - 1;

// The map text handed back: it lies inside buffer (which stays allocated as long as this
// object lives) and is followed by a zero byte.
struct EmbeddedMap {
  std::unique_ptr<char[]> buffer;
  const char* text = nullptr;
  size_t length = 0;
};

// Where the loader looks and which keys open the payload.
struct EmbeddedMapSource {
  std::string commandLine;
  // The running program's file as the system reports it; tried when the command-line path
  // cannot be opened (started through the search path or without the extension). Empty:
  // no second try.
  std::string selfPath;
  const ContainerKeys* keys = nullptr;  // null: the keys built into the program
};

// Returns true and fills *out when a map was embedded and opened. *programPath (when given)
// is set to the command-line path first, whatever the outcome.
bool LoadEmbeddedMap(const EmbeddedMapSource& source, UserInteraction& ui,
                     std::string* programPath, EmbeddedMap* out);

// Start-up form: the program's own file as the fallback, the built-in keys.
bool LoadEmbeddedMap(const std::string& commandLine, UserInteraction& ui,
                     std::string* programPath, EmbeddedMap* out);

}  // namespace velmora
