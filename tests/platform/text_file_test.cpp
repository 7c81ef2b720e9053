// Text-mode reading of map files and text-mode writing of the backup file, byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/regular_file.h"
#include "platform/text_file.h"
#include "support/temp_folder.h"

namespace velmora::testing {
namespace {

class TextFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return folder_.File(name); }
  std::string WriteRaw(const std::string& name, const std::string& bytes) {
    const std::string path = Path(name);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return path;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    return path;
  }
  static std::string ReadRaw(const std::string& path) {
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return "<missing>";
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<char>(c));
    std::fclose(f);
    return bytes;
  }

  TempFolder folder_{"velmora-text-file"};
  std::string dir_ = folder_.str();
};

TEST_F(TextFileTest, ReadMapFileTextTranslatesAsTextMode) {
  const struct {
    const char* what;
    std::string file;
    std::string text;
  } cases[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", "a\nb\n"},
      {"lone CR and LF stay", "a\rb\nc\r", "a\rb\nc\r"},
      {"CR CR LF keeps the first CR", "x\r\r\ny", "x\r\ny"},
      {"Ctrl-Z ends the text", std::string("ab\x1a" "cd\r\n"), "ab"},
      {"byte 255 ends the text", std::string("ab\xff" "cd"), "ab"},
      {"Ctrl-Z right after CR", std::string("a\r\x1a\n"), "a\r"},
      {"empty file", "", ""},
      {"zero byte is kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = WriteRaw("case" + std::to_string(n++) + ".map", c.file);
    std::string text = "previous";
    ASSERT_EQ(ReadMapFileText(path, &text), TextReadResult::Ok);
    EXPECT_EQ(text, c.text);
    EXPECT_LE(text.size(), c.file.size());
    EXPECT_EQ(text.c_str()[text.size()], '\0');

    // The same text through a pipe, as "--map -" reads it, in whatever pieces it comes.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.file.data(), c.file.size()), static_cast<ssize_t>(c.file.size()));
    close(fds[1]);
    std::string piped = "previous";
    EXPECT_EQ(ReadMapStreamText(fds[0], &piped), TextReadResult::Ok);
    close(fds[0]);
    EXPECT_EQ(piped, c.text);
  }
}

TEST_F(TextFileTest, FilesThatCannotBeOpenedSayWhyAndNeverBlock) {
  const std::string fifo = Path("waiting.map");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer: an open for reading would wait for ever
  const struct {
    std::string path;
    const char* why;
  } cases[] = {
      {dir_ + "/missing.map", "No such file or directory"},
      {dir_, kNotARegularFile},
      {fifo, kNotARegularFile},
      {"/dev/zero", kNotARegularFile},  // a device would never end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string text = "kept";
    std::string why;
    EXPECT_EQ(ReadMapFileText(c.path, &text, &why), TextReadResult::CannotOpen);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(text, "kept");
  }
}

TEST_F(TextFileTest, TextModeFileWritesEveryLfAsCrLf) {
  const std::string path = Path("mapsave.eel");
  TextModeFile file;
  ASSERT_TRUE(file.Create(path));
  EXPECT_TRUE(file.is_open());
  EXPECT_TRUE(file.Write("\r\nBLOCK_NUMBER = 7\r\n"));
  EXPECT_TRUE(file.Write("a\nb"));
  EXPECT_TRUE(file.Write(""));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(ReadRaw(path), "\r\r\nBLOCK_NUMBER = 7\r\r\na\r\nb");

  // Create empties an existing file; a long text crosses the writer's chunks intact.
  std::string lines;
  for (int i = 0; i < 5000; ++i) lines += "0x1F \n";
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "0x1F \r\n";
  ASSERT_TRUE(file.Create(path));
  EXPECT_TRUE(file.Write(lines));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(ReadRaw(path), expected);
}

TEST_F(TextFileTest, TextModeFileFailures) {
  TextModeFile file;
  EXPECT_FALSE(file.Write("x"));  // never created
  EXPECT_FALSE(file.Create(dir_ + "/no/such/dir/mapsave.eel"));
  EXPECT_FALSE(file.is_open());
  {
    // The destructor closes a file still open.
    TextModeFile scoped;
    ASSERT_TRUE(scoped.Create(Path("scoped.eel")));
    EXPECT_TRUE(scoped.Write("\n"));
  }
  EXPECT_EQ(ReadRaw(dir_ + "/scoped.eel"), "\r\n");
}

}  // namespace
}  // namespace velmora::testing
