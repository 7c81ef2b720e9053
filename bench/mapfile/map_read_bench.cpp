// Whole-run measurement of the map reader: maps of 1, 10 and 100 MB are generated in memory and
// read the way the update run reads them (ReadMapInfo, ReadMapBlocks, VerifyMapChecksum). Each
// size runs in a child process of its own, so its peak resident memory is its own. Prints, per
// size, the median processor time of the reading thread and the median wall time over several
// reads, the wall time of the first read (page faults included), the throughput in text MB per
// processor second, and the peak memory against text plus block data; then the time ratio
// 100 MB / 10 MB, which a linear reader keeps near 10. Exit status 1 when a read fails, the
// reader is slower than 200 MB/s or the ratio leaves 8..12.
#include <malloc.h>
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
constexpr uint64_t kRotationBytes = 100 * kMegabyte;

struct Result {
  int ok = 0;
  double seconds = 0;      // processor time of the reading thread, median of the repetitions
  double wallSeconds = 0;  // wall time, median of the repetitions
  double firstSeconds = 0; // wall time of the first read, page faults of the block buffers included
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

// The machine is shared, so single repetitions stray both ways; the median does not.
double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
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
  std::vector<std::string> texts;
  texts.push_back(velmora::GenerateMapText(options));
  result.textBytes = texts[0].size();

  // One untimed read first: the peak memory of a run is the text plus what reading it takes,
  // taken before the copies below inflate the process.
  const auto firstStart = std::chrono::steady_clock::now();
  result.ok = ReadOnce(texts[0].c_str(), &result.dataBytes, &result.blocks) ? 1 : 0;
  result.firstSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - firstStart).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  result.maxRssKb = usage.ru_maxrss;

  // A small map read over and over stays in the processor's cache while a large one cannot, so
  // the small sizes rotate through different maps of about 100 MB in all: every size is then
  // read from memory, and the ratio shows the reader's own scaling.
  const uint64_t copies = std::max<uint64_t>(1, kRotationBytes / std::max<uint64_t>(1, result.textBytes));
  for (uint64_t i = 1; i < copies; ++i) {
    options.seed = static_cast<uint32_t>(i + 1);
    texts.push_back(velmora::GenerateMapText(options));
  }

  std::vector<double> cpu;
  std::vector<double> wall;
  for (int i = 0; i < repetitions; ++i) {
    const std::string& text = texts[static_cast<size_t>(i) % texts.size()];
    uint64_t dataBytes = 0;
    int32_t blocks = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    const bool ok = ReadOnce(text.c_str(), &dataBytes, &blocks);
    cpu.push_back(ThreadCpuSeconds() - cpuStart);
    wall.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!ok) result.ok = 0;
  }
  result.seconds = Median(cpu);
  result.wallSeconds = Median(wall);
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
    // Freed block buffers stay with the process, so the timed repetitions after the untimed
    // first read measure the reader and not the page faults of a paravirtualised kernel, whose
    // cost varies with the load of the machine. The allocator's own thresholds would otherwise
    // drift with the sizes freed, differently for every map size.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
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
  } runs[] = {{1, 101}, {10, 21}, {100, 7}};

  bool pass = true;
  double seconds10 = 0;
  double seconds100 = 0;
  std::printf("%8s %12s %8s %8s %8s %8s %10s %9s %10s %12s %7s\n", "map", "text bytes",
              "blocks", "cpu ms", "wall ms", "first ms", "MB/s", "data MB", "maxrss MB", "text+data MB", "rss/in");
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
    std::printf("%5lu MB %12lu %8d %8.2f %8.2f %8.2f %10.1f %9.2f %10.1f %12.1f %7.2f\n",
                static_cast<unsigned long>(run.megabytes), static_cast<unsigned long>(r.textBytes),
                r.blocks, r.seconds * 1000.0, r.wallSeconds * 1000.0, r.firstSeconds * 1000.0,
                mbPerSecond,
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
