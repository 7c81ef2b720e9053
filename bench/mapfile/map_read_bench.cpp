// Whole-run measurement of the map reader: maps of 1, 10 and 100 MB are generated in memory and
// read the way the update run reads them (ReadMapInfo, ReadMapBlocks, VerifyMapChecksum). Each
// size runs in a child process of its own, so its peak resident memory is its own. Prints the
// throughput, the time ratio 100 MB / 10 MB (linear reading gives about 10) and the peak memory
// against text plus block data. Exit status 1 when a read fails, the reader is slower than
// 200 MB/s or the ratio leaves 8..12.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "mapfile/mapfile.h"
#include "tools/mapgen/map_generator.h"

namespace {

constexpr double kMinMegabytesPerSecond = 200.0;
constexpr double kMinRatio = 8.0;
constexpr double kMaxRatio = 12.0;
constexpr uint64_t kMegabyte = 1024 * 1024;

struct Result {
  int ok = 0;
  double seconds = 0;      // processor time of the reading thread, best of the repetitions
  double wallSeconds = 0;  // wall time, best of the repetitions
  uint64_t textBytes = 0;
  uint64_t dataBytes = 0;
  int32_t blocks = 0;
  long maxRssKb = 0;
};

// The machine is shared with builds; the reader's own processor time is what scales with the
// text, while wall time also counts the waits for a core.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

bool ReadOnce(const char* text, uint64_t* dataBytes, int32_t* blockCount) {
  velmora::MapInfo info;
  if (!velmora::ReadMapInfo(text, &info)) return false;
  std::vector<velmora::MapBlock> blocks(static_cast<size_t>(info.blockCount));
  const bool ok = velmora::ReadMapBlocks(text, blocks.data(), info) &&
                  velmora::VerifyMapChecksum(blocks.data(), info);
  uint64_t bytes = 0;
  for (const velmora::MapBlock& b : blocks) bytes += b.data.size();
  *dataBytes = bytes;
  *blockCount = info.blockCount;
  velmora::FreeMapBlocks(blocks.data(), info);
  return ok;
}

Result Measure(uint64_t targetBytes, int repetitions) {
  Result result;
  velmora::GeneratorOptions options;
  options.info.product = 72;
  options.info.mapVersion = 1;
  options.info.swVersion = 11;
  options.minSize = 16;
  options.maxSize = 512;
  options.eefullPercent = 10;
  options.targetBytes = targetBytes;
  const std::string text = velmora::GenerateMapText(options);
  result.textBytes = text.size();
  result.ok = 1;
  for (int i = 0; i < repetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    const bool ok = ReadOnce(text.c_str(), &result.dataBytes, &result.blocks);
    const double seconds = ThreadCpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) result.ok = 0;
    result.seconds = i == 0 ? seconds : std::min(result.seconds, seconds);
    result.wallSeconds = i == 0 ? wall : std::min(result.wallSeconds, wall);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  result.maxRssKb = usage.ru_maxrss;
  return result;
}

// Runs one measurement in a child process and hands its result back through a pipe.
bool MeasureInChild(uint64_t targetBytes, int repetitions, Result* result) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    close(fds[0]);
    // Huge pages would serve the large map's buffers and not the small one's, which makes the
    // larger map read faster per byte and hides how the reader itself scales.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    const Result r = Measure(targetBytes, repetitions);
    const bool sent = write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  const bool got = read(fds[0], result, sizeof *result) == static_cast<ssize_t>(sizeof *result);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
  const struct {
    uint64_t megabytes;
    int repetitions;
  } runs[] = {{1, 50}, {10, 30}, {100, 6}};

  bool pass = true;
  double seconds10 = 0;
  double seconds100 = 0;
  std::printf("%8s %12s %8s %8s %8s %10s %9s %10s %12s %7s\n", "map", "text bytes", "blocks",
              "cpu ms", "wall ms", "MB/s", "data MB", "maxrss MB", "text+data MB", "rss/in");
  for (const auto& run : runs) {
    Result r;
    if (!MeasureInChild(run.megabytes * kMegabyte, run.repetitions, &r) || !r.ok) {
      std::printf("%6lu MB: read failed\n", static_cast<unsigned long>(run.megabytes));
      pass = false;
      continue;
    }
    const double mbPerSecond = static_cast<double>(r.textBytes) / kMegabyte / r.seconds;
    const double inputMb = static_cast<double>(r.textBytes + r.dataBytes) / kMegabyte;
    const double rssMb = static_cast<double>(r.maxRssKb) / 1024.0;
    std::printf("%5lu MB %12lu %8d %8.2f %8.2f %10.1f %9.2f %10.1f %12.1f %7.2f\n",
                static_cast<unsigned long>(run.megabytes), static_cast<unsigned long>(r.textBytes),
                r.blocks, r.seconds * 1000.0, r.wallSeconds * 1000.0, mbPerSecond,
                static_cast<double>(r.dataBytes) / kMegabyte, rssMb, inputMb, rssMb / inputMb);
    if (mbPerSecond < kMinMegabytesPerSecond) pass = false;
    if (run.megabytes == 10) seconds10 = r.seconds;
    if (run.megabytes == 100) seconds100 = r.seconds;
  }
  if (seconds10 > 0 && seconds100 > 0) {
    const double ratio = seconds100 / seconds10;
    const bool linear = ratio >= kMinRatio && ratio <= kMaxRatio;
    std::printf("time ratio 100 MB / 10 MB: %.2f (%s, linear is %.0f..%.0f)\n", ratio,
                linear ? "ok" : "NOT LINEAR", kMinRatio, kMaxRatio);
    if (!linear) pass = false;
  }
  std::printf("%s\n", pass ? "map reader benchmark: PASS" : "map reader benchmark: FAIL");
  return pass ? 0 : 1;
}
