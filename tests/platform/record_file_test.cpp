// Record files are never seen half-written: a record replaced whole or not at all, an audit
// trail that only grows by whole lines, also when the disk refuses the bytes part-way (a file
// size limit stands in for a full disk) and when several processes append at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/record_file.h"
#include "support/temp_folder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) { return testing::ReadWholeFile(p.string()); }

class RecordFileTest : public ::testing::Test {
 protected:
  // Runs f in a child whose files may grow to at most limit bytes; its exit status.
  template <typename F>
  int InChildWithSizeLimit(rlim_t limit, F f) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit r{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &r);
      ::_exit(f() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
  }
  size_t Entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }
  testing::TempFolder folder{"velmora-record"};
  fs::path dir = folder.path();
};

TEST_F(RecordFileTest, ReplaceWritesTheBytesAsGivenAndReplacesAnOldRecord) {
  const fs::path p = dir / "run.json";
  std::string why;
  ASSERT_TRUE(ReplaceFileWhole(p.string(), "{\"a\":1}\n", &why)) << why;
  ASSERT_TRUE(ReplaceFileWhole(p.string(), "{\"b\":2}\n", &why)) << why;
  EXPECT_EQ(Read(p), "{\"b\":2}\n");
  EXPECT_EQ(Entries(), 1u);  // no temporary left beside it
}

TEST_F(RecordFileTest, ReplaceThatCannotFinishLeavesTheOldRecordAndNoTemporary) {
  const fs::path p = dir / "run.json";
  std::string why;
  ASSERT_TRUE(ReplaceFileWhole(p.string(), "old\n", &why));
  EXPECT_EQ(InChildWithSizeLimit(64, [&] {
              return ReplaceFileWhole(p.string(), std::string(1000, 'x') + "\n", &why);
            }),
            1);
  EXPECT_EQ(Read(p), "old\n");
  EXPECT_EQ(Entries(), 1u);

  EXPECT_FALSE(ReplaceFileWhole((dir / "missing" / "run.json").string(), "x\n", &why));
  EXPECT_NE(why.find("missing"), std::string::npos) << why;
}

TEST_F(RecordFileTest, AppendAddsWholeLinesAndCutsBackALineThatDidNotFit) {
  const fs::path p = dir / "trail.jsonl";
  std::string why;
  ASSERT_TRUE(AppendWholeLine(p.string(), "one\n", &why)) << why;
  ASSERT_TRUE(AppendWholeLine(p.string(), "two\n", &why)) << why;
  EXPECT_EQ(InChildWithSizeLimit(20, [&] {
              return AppendWholeLine(p.string(), std::string(40, 'x') + "\n", &why);
            }),
            1);
  EXPECT_EQ(Read(p), "one\ntwo\n");

  EXPECT_FALSE(AppendWholeLine(dir.string(), "x\n", &why));  // a folder
  EXPECT_NE(why.find(dir.string()), std::string::npos) << why;
}

TEST_F(RecordFileTest, AppendersOfSeveralProcessesNeverInterleave) {
  const fs::path p = dir / "trail.jsonl";
  constexpr int kProcesses = 6;
  constexpr int kLines = 50;
  // Lines longer than a pipe buffer, so that an unlocked writer could be split.
  pid_t children[kProcesses];
  for (int k = 0; k < kProcesses; ++k) {
    children[k] = ::fork();
    if (children[k] == 0) {
      const std::string line(70000, static_cast<char>('a' + k));
      bool ok = true;
      for (int i = 0; i < kLines; ++i) ok = AppendWholeLine(p.string(), line + "\n", nullptr) && ok;
      ::_exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(p, std::ios::binary);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_EQ(line.size(), 70000u);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "line " << count;
  }
  EXPECT_EQ(count, kProcesses * kLines);
}

}  // namespace
}  // namespace velmora
