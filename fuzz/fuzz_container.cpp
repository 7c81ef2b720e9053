// The embedded-map loader and the unsealing on a program file's tail: the input is the file
// (an in-memory file, so no disk is touched), opened by the loader as the program's own file
// and unsealed with the keys built into this build. The same bytes also go straight to the
// unsealing, as a payload with and without the trailer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "container/loader.h"
#include "container/unseal.h"
#include "fuzz_support.h"

namespace {

int MemoryFile() {
  static const int fd = memfd_create("velmora-fuzz-program", 0);
  return fd;
}

void Unseal(const uint8_t* data, size_t size) {
  // One spare byte: the loader puts the text's zero behind it.
  std::vector<uint8_t> buffer(data, data + size);
  buffer.push_back(0);
  uint8_t* position = buffer.data();
  size_t length = size;
  if (velmora::UnsealContainer(&position, &length)) {
    if (position < buffer.data() || position + length >= buffer.data() + buffer.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile();
  if (fd < 0) __builtin_trap();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();

  velmora::fuzz::SilentUser ui;
  velmora::EmbeddedMapSource source;
  source.commandLine = "\"/proc/self/fd/" + std::to_string(fd) + "\" AUTOMATIC";
  std::string programPath;
  velmora::EmbeddedMap map;
  if (velmora::LoadEmbeddedMap(source, ui, &programPath, &map)) {
    if (map.text == nullptr || map.text[map.length] != '\0') __builtin_trap();
  }

  Unseal(data, size);
  if (size > velmora::kTrailerLength) Unseal(data, size - velmora::kTrailerLength);
  return 0;
}
