// The command line as one text and the program path cut out of it.
#include <gtest/gtest.h>

#include <string>

#include "platform/command_line.h"

namespace velmora {
namespace {

TEST(CommandLine, ProgramPath) {
  struct Case {
    const char* line;
    const char* path;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\Velmora\\velmora.exe\" AUTOMATIC", "C:\\Program Files\\Velmora\\velmora.exe"},
      {"C:\\Program Files\\Velmora\\velmora.exe AUTOMATIC", "C:\\Program"},
      {"velmora.exe", "velmora.exe"},
      {"velmora\tAUTOMATIC", "velmora\tAUTOMATIC"},  // only a space ends it
      {"\"unclosed path with space", "unclosed path with space"},
      {"\"\" rest", ""},
      {"", ""},
      {" leading", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgramPathFromCommandLine(c.line), c.path) << c.line;
  }
}

TEST(CommandLine, FromArgs) {
  char a0[] = "/opt/my tools/velmora-cli";
  char a1[] = "AUTOMATIC";
  char a2[] = "--port";
  char* spaced[] = {a0, a1, a2};
  EXPECT_EQ(CommandLineFromArgs(3, spaced), "\"/opt/my tools/velmora-cli\" AUTOMATIC --port");
  EXPECT_EQ(ProgramPathFromCommandLine(CommandLineFromArgs(3, spaced)), a0);
  char b0[] = "./velmora-cli";
  char* plain[] = {b0};
  EXPECT_EQ(CommandLineFromArgs(1, plain), "./velmora-cli");
  EXPECT_EQ(CommandLineFromArgs(0, nullptr), "");
}

}  // namespace
}  // namespace velmora
