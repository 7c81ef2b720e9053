// The reporting services of the dialog model and Open File's effect on the map data source.
#include "app/dialog_model.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/recording_view.h"

namespace velmora {
namespace {

using testing::RecordingView;

struct ModelFixture : ::testing::Test {
  RecordingView view;
  DialogModel model{view};
};

TEST(MessageBufferTest, LongTextIsCutAndStaysTerminated) {
  MessageBuffer buffer;
  const std::string longText(1000, 'x');
  buffer.Format("Block %d not written\r\nError:%s\r\n", 1, longText.c_str());
  EXPECT_EQ(std::string(buffer.c_str()).size(), MessageBuffer::kSize - 1);
  EXPECT_EQ(std::string(buffer.c_str()).rfind("Block 1 not written", 0), 0u);
  buffer.Clear();
  EXPECT_TRUE(buffer.empty());
}

TEST_F(ModelFixture, EmptyBufferIsNeitherFlushedNorWarned) {
  model.Log("start\r\n");
  model.FlushMessage(model.Message());
  EXPECT_EQ(model.WarnMessage(model.Message()), 0);
  EXPECT_EQ(model.logText(), "start\r\n");
  EXPECT_EQ(view.refreshes, 0);
  EXPECT_TRUE(view.boxes.empty());
}

TEST_F(ModelFixture, FlushAppendsOnceAndEmptiesTheBuffer) {
  model.Message().Format("Block %d written\r\n", 12);
  model.FlushMessage(model.Message());
  model.FlushMessage(model.Message());
  EXPECT_EQ(model.logText(), "Block 12 written\r\n");
  EXPECT_EQ(view.shownLog, "Block 12 written\r\n");
  EXPECT_TRUE(model.Message().empty());
}

TEST_F(ModelFixture, WarningIsLoggedShownBeforeTheBoxAndThenCleared) {
  model.Message().Format("%s", "ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n");
  EXPECT_EQ(model.WarnMessage(model.Message()), 1);
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].icon, MessageIcon::Warning);
  EXPECT_EQ(view.boxes[0].text, "ERROR: Can't write back data to Mobile. Try again! (Last trail!)\r\n");
  EXPECT_EQ(view.shownLog, view.boxes[0].text);  // refreshed before the box appeared
  EXPECT_TRUE(model.Message().empty());
}

TEST_F(ModelFixture, ProgressValuesAreCutTo16BitsAndTheStatusLineKeptWithoutText) {
  model.ShowProgress("Garbage Collection reading EELite", 1, 70000, 65537);
  EXPECT_TRUE(model.shown(kIdProgress));
  EXPECT_TRUE(model.shown(kIdStatusLine));
  EXPECT_EQ(model.progress().low, 1);
  EXPECT_EQ(model.progress().high, 70000 - 65536);
  EXPECT_EQ(model.progress().position, 1);
  model.ShowProgress(nullptr, 0, 10, 3);
  EXPECT_EQ(model.statusText(), "Garbage Collection reading EELite");
  EXPECT_EQ(view.shownStatus, "Garbage Collection reading EELite");
  EXPECT_EQ(view.shownProgress.position, 3);
}

TEST_F(ModelFixture, ProgressAndStatusStartHiddenAndResetHidesThem) {
  EXPECT_FALSE(model.shown(kIdProgress));
  EXPECT_FALSE(model.shown(kIdStatusLine));
  EXPECT_FALSE(model.shown(kIdOpenFile));
  model.ShowProgress("Writing blocks", 0, 9, 4);
  model.ResetProgress();
  EXPECT_FALSE(model.shown(kIdProgress));
  EXPECT_FALSE(model.shown(kIdStatusLine));
  EXPECT_EQ(model.progress().low, 1);
  EXPECT_EQ(model.progress().high, 2);
  EXPECT_EQ(model.progress().position, 1);
}

class OpenFileFixture : public ModelFixture {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    // The process id keeps parallel test processes apart.
    std::string path = ::testing::TempDir() + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
};

TEST_F(OpenFileFixture, OpenedFileBecomesTheMapSourceAndAppearsInTheHeader) {
  model.SetProgramPath("velmora");
  const std::string first = Write("first.map", "[MapFileInfo]\r\nProduct=1\r\n\x1a tail");
  ASSERT_TRUE(model.OpenMapFile(first));
  EXPECT_STREQ(model.MapText(), "[MapFileInfo]\nProduct=1\n");
  EXPECT_TRUE(model.enabled(kIdStart));
  EXPECT_NE(model.logText().find("\r\n\r\nOpen file: " + first + "\r\n"), std::string::npos);

  const std::string second = Write("second.map", "B");
  ASSERT_TRUE(model.OpenMapFile(second));
  EXPECT_STREQ(model.MapText(), "B");
  EXPECT_EQ(model.logText().find(first), std::string::npos);
  EXPECT_NE(model.logText().find("Open file: " + second), std::string::npos);
}

TEST_F(OpenFileFixture, UnreadableFileKeepsTheMapInUse) {
  const std::string good = Write("good.map", "GOOD");
  ASSERT_TRUE(model.OpenMapFile(good));
  const std::string missing = ::testing::TempDir() + "does-not-exist.map";
  EXPECT_FALSE(model.OpenMapFile(missing));
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "Can't open file " + missing + "\nNo such file or directory");
  EXPECT_EQ(view.boxes[0].icon, MessageIcon::Error);
  EXPECT_STREQ(model.MapText(), "GOOD");
  EXPECT_EQ(model.openedFile(), good);
  EXPECT_TRUE(model.enabled(kIdStart));
}

}  // namespace
}  // namespace velmora
