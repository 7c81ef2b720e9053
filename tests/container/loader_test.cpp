#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "container/loader.h"
#include "test_support.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::Keys;
using testing::SampleMap;

const char kEmbeddedError[] = "Error reading embedded data! ";

class RecordingInteraction : public UserInteraction {
 public:
  int ShowMessageBox(const std::string& text, MessageIcon icon) override {
    shown.emplace_back(text, icon);
    return 1;
  }
  std::vector<std::pair<std::string, MessageIcon>> shown;
};

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "velmora cli.exe").string();  // a space, as under "Program Files"
    image_.assign(1000, 0);
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = static_cast<uint8_t>(i * 7);
    std::string error;
    ASSERT_TRUE(seal::SealPayload(SampleMap(), Keys().material, Keys().signing, {1, 2, 3, 4},
                                  &payload_, &error))
        << error;
  }

  std::vector<uint8_t> Program() const {
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_TRUE(seal::AppendContainer(image_, payload_, &out, &error)) << error;
    return out;
  }

  void Write(const std::vector<uint8_t>& bytes) const {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  bool Load(const std::string& commandLine, std::string selfPath = "") {
    EmbeddedMapSource source;
    source.commandLine = commandLine;
    source.selfPath = std::move(selfPath);
    source.keys = &Keys().container;
    map_ = EmbeddedMap{};
    return LoadEmbeddedMap(source, ui_, &programPath_, &map_);
  }
  std::string Quoted() const { return "\"" + path_ + "\" AUTOMATIC"; }

  testing::TempFolder folder_{"velmora-loader"};
  fs::path dir_ = folder_.path();
  std::string path_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> payload_;
  RecordingInteraction ui_;
  EmbeddedMap map_;
  std::string programPath_;
};

TEST_F(LoaderTest, LoadsTheSealedMapWithAZeroAfterIt) {
  Write(Program());
  ASSERT_TRUE(Load(Quoted()));
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_EQ(programPath_, path_);
  ASSERT_NE(map_.text, nullptr);
  EXPECT_EQ(std::string(map_.text, map_.length), SampleMap());
  EXPECT_EQ(map_.text[map_.length], '\0');  // the padding bytes behind it are cut off
  EXPECT_EQ(std::strlen(map_.text), SampleMap().size());
  EXPECT_EQ(map_.text, map_.buffer.get() + kPayloadHeaderLength);
}

TEST_F(LoaderTest, SilentWhenNothingIsEmbedded) {
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
  };
  auto program = Program();
  auto magic = [&](size_t i, char c) {
    auto p = program;
    p[p.size() - kTrailerMagicLength + i] = static_cast<uint8_t>(c);
    return p;
  };
  const Case cases[] = {
      {"plain program", image_},
      {"magic in lower case", magic(0, 't')},
      {"magic last letter differs", magic(6, 'U')},
      {"magic with a zero", magic(3, '\0')},
      {"exactly 34 bytes, no magic", std::vector<uint8_t>(34, 'T')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    ui_.shown.clear();
    EXPECT_FALSE(Load(Quoted()));
    EXPECT_TRUE(ui_.shown.empty());
    EXPECT_EQ(map_.text, nullptr);
  }
}

TEST_F(LoaderTest, UninterpretedTrailerBytesPlayNoPart) {
  auto program = Program();
  const size_t trailer = program.size() - kTrailerLength;
  for (size_t i = 0; i < kTrailerMagicOffset; ++i) {
    if (i == kTrailerExeLow || i == kTrailerExeMiddle || i == kTrailerExeHigh) continue;
    program[trailer + i] = 0xA5;
  }
  Write(program);
  EXPECT_TRUE(Load(Quoted()));
  EXPECT_TRUE(ui_.shown.empty());
}

// One bit of any field: one message box, with the error icon, and no map.
TEST_F(LoaderTest, DamagedContainerIsReportedOnce) {
  struct Field {
    const char* name;
    size_t offset;  // from the payload start; beyond it: the trailer's position bytes
  };
  const size_t trailer = payload_.size();
  const Field fields[] = {
      {"version", 1},       {"IV prefix", 3},
      {"signature length", 9}, {"signature", 70},
      {"first cipher block", 140}, {"last cipher block", payload_.size() - 1},
      {"fileSizeExe low byte", trailer + kTrailerExeLow},
      {"fileSizeExe middle byte", trailer + kTrailerExeMiddle},
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    auto program = Program();
    program[image_.size() + f.offset] ^= 0x04;
    Write(program);
    ui_.shown.clear();
    EXPECT_FALSE(Load(Quoted()));
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].first, kEmbeddedError);
    EXPECT_EQ(ui_.shown[0].second, MessageIcon::Error);
    EXPECT_EQ(map_.text, nullptr);
    EXPECT_EQ(programPath_, path_);
  }
}

TEST_F(LoaderTest, PayloadPositionBeyondTheTrailerIsRefusedWithoutReading) {
  for (uint32_t exe : {static_cast<uint32_t>(image_.size() + payload_.size() + 1), 0xFFFFFFu}) {
    SCOPED_TRACE(exe);
    auto program = Program();
    const size_t trailer = program.size() - kTrailerLength;
    program[trailer + kTrailerExeLow] = static_cast<uint8_t>(exe);
    program[trailer + kTrailerExeMiddle] = static_cast<uint8_t>(exe >> 8);
    program[trailer + kTrailerExeHigh] = static_cast<uint8_t>(exe >> 16);
    Write(program);
    ui_.shown.clear();
    EXPECT_FALSE(Load(Quoted()));
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].first, kEmbeddedError);
  }
  // Exactly at the trailer: an empty payload, refused by unsealing.
  auto program = Program();
  Write(std::vector<uint8_t>(program.begin(), program.begin() + static_cast<long>(image_.size())));
  std::vector<uint8_t> bare = image_;
  const auto trailer = seal::MakeTrailer(static_cast<uint32_t>(image_.size()));
  bare.insert(bare.end(), trailer.begin(), trailer.end());
  Write(bare);
  ui_.shown.clear();
  EXPECT_FALSE(Load(Quoted()));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].first, kEmbeddedError);
}

TEST_F(LoaderTest, FilesThatCannotBeReadOrFound) {
  // Shorter than a trailer: the 34 bytes cannot be read.
  for (const std::vector<uint8_t>& file : {std::vector<uint8_t>(), std::vector<uint8_t>(33, 'X')}) {
    Write(file);
    ui_.shown.clear();
    EXPECT_FALSE(Load(Quoted()));
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].first, "Error reading file!");
  }
  // A directory, and a FIFO that nobody writes to (an open of it would wait for ever), are no
  // program files: they cannot be opened.
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& notAFile : {dir_.string(), fifo}) {
    SCOPED_TRACE(notAFile);
    ui_.shown.clear();
    EXPECT_FALSE(Load("\"" + notAFile + "\""));
    ASSERT_EQ(ui_.shown.size(), 1u);
    EXPECT_EQ(ui_.shown[0].first, "Can't open file!");
  }

  // Unquoted, the path is cut at its space and names no file.
  Write(Program());
  ui_.shown.clear();
  EXPECT_FALSE(Load(path_ + " AUTOMATIC"));
  EXPECT_EQ(programPath_, path_.substr(0, path_.find(' ')));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].first, "Can't open file!");
  EXPECT_EQ(ui_.shown[0].second, MessageIcon::Error);
}

TEST_F(LoaderTest, FallsBackToTheProgramsOwnFile) {
  // Started as "velmora-cli" through the search path: the command-line name opens nothing,
  // the file the system reports does; the log header keeps the command-line name.
  Write(Program());
  EXPECT_TRUE(Load("velmora-cli-not-here AUTOMATIC", path_));
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_EQ(programPath_, "velmora-cli-not-here");
  EXPECT_EQ(std::string(map_.text, map_.length), SampleMap());

  // Neither opens.
  EXPECT_FALSE(Load("velmora-cli-not-here", (dir_ / "gone").string()));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].first, "Can't open file!");
}

TEST_F(LoaderTest, StartUpFormOpensTheRunningProgram) {
  // The test program itself carries no container: after the fallback to the system's
  // record of it, nothing is said at all.
  RecordingInteraction ui;
  EmbeddedMap map;
  std::string path;
  EXPECT_FALSE(LoadEmbeddedMap("no-such-velmora-program --x", ui, &path, &map));
  EXPECT_EQ(path, "no-such-velmora-program");
  EXPECT_TRUE(ui.shown.empty());
}

}  // namespace
}  // namespace velmora
