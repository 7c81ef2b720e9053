// velmora-mapgen: writes map files for tests, demonstrations and benchmarks.
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "options/program_options.h"
#include "tools/mapgen/map_generator.h"

namespace {

// Header values are taken as text so that "020926" stays decimal and "46" stays hexadecimal,
// whatever the option parser would make of a leading zero or a missing prefix.
bool ParseNumber(const std::string& text, int base, int32_t* value) {
  std::string digits = text;
  if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits = digits.substr(2);
  if (digits.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(digits.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > UINT32_MAX) return false;
  *value = static_cast<int32_t>(static_cast<uint32_t>(parsed));
  return true;
}

// "100M", "64K" or a plain byte count.
bool ParseByteCount(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  uint64_t unit = 1;
  std::string digits = text;
  const char last = digits.back();
  if (last == 'K' || last == 'k') unit = 1024;
  if (last == 'M' || last == 'm') unit = 1024 * 1024;
  if (unit != 1) digits.pop_back();
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(digits.c_str(), &end, 10);
  if (digits.empty() || errno != 0 || *end != '\0') return false;
  if (parsed > UINT64_MAX / unit) return false;
  *bytes = parsed * unit;
  return true;
}

// Bounds past which a request is a typo rather than a map: the text is built in memory.
constexpr uint64_t kMaxTargetBytes = uint64_t{2} << 30;  // 2 GiB
constexpr int64_t kMaxBlocks = 10'000'000;

// What the options say before they are checked: the header values as text, the random
// blocks' area, operation and version as given.
struct MapgenOptions {
  std::string product = "72";
  std::string provider = "0";
  std::string mapVersion = "01";
  std::string swVersion = "11";
  std::string time = "0";
  std::string date = "0";
  std::vector<std::string> blockSpecs;
  velmora::GeneratorOptions generator;
  std::string area = "eelite";
  std::string operation = "write";
  int version = 1;
  std::string target;
  std::string output = "-";
};

void AddOptions(CLI::App& app, MapgenOptions* o) {
  velmora::GeneratorOptions& g = o->generator;
  app.add_option("--product", o->product, "product number (decimal)")->capture_default_str();
  app.add_option("--provider", o->provider, "provider code (hexadecimal, 0 = standard mapping)")
      ->capture_default_str();
  app.add_option("--map-version", o->mapVersion, "map version (hexadecimal)")->capture_default_str();
  app.add_option("--sw-version", o->swVersion, "handset software version (decimal)")
      ->capture_default_str();
  app.add_option("--time", o->time, "creation time hhmmss (decimal)")->capture_default_str();
  app.add_option("--date", o->date, "creation date (decimal, e.g. 020926)")->capture_default_str();
  app.add_option("--block", o->blockSpecs,
                 "explicit blocks FIRST[-LAST]:AREA:OPERATION:SIZE[-MAXSIZE][:VERSION], e.g. "
                 "1-15:eelite:write:20-90 or 18:eelite:delete:0; repeatable, kept in order");
  app.add_option("--blocks", g.randomBlocks, "number of random blocks after the explicit ones")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--target-size", o->target,
                 "add random blocks until the text is at least this long (bytes, K or M suffix)");
  app.add_option("--first-block", g.firstNumber, "number of the first random block")
      ->capture_default_str();
  app.add_option("--min-size", g.minSize, "smallest random block size")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--max-size", g.maxSize, "largest random block size")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--eefull-percent", g.eefullPercent,
                 "share of random blocks in Eefull; the rest go to --area")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--area", o->area, "area of random blocks (eelite, eefull or a number)")
      ->capture_default_str();
  app.add_option("--operation", o->operation,
                 "operation of random blocks (none, write, create, delete, delete-create or a number)")
      ->capture_default_str();
  app.add_option("--block-version", o->version, "version of random blocks")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  app.add_option("--seed", g.seed, "seed for sizes and data bytes")->capture_default_str();
  app.add_option("-o,--output", o->output, "output file, - for standard output")
      ->capture_default_str();
}

// The header values and the explicit blocks into the generator's options; false after the
// message when one is bad.
bool ReadHeaderAndBlocks(MapgenOptions* o) {
  velmora::GeneratorOptions& g = o->generator;
  const struct {
    const char* name;
    const std::string& text;
    int base;
    int32_t* field;
  } header[] = {
      {"--product", o->product, 10, &g.info.product},
      {"--provider", o->provider, 16, &g.info.provider},
      {"--map-version", o->mapVersion, 16, &g.info.mapVersion},
      {"--sw-version", o->swVersion, 10, &g.info.swVersion},
      {"--time", o->time, 10, &g.info.time},
      {"--date", o->date, 10, &g.info.date},
  };
  for (const auto& field : header) {
    if (!ParseNumber(field.text, field.base, field.field)) {
      std::fprintf(stderr, "velmora-mapgen: %s: bad value '%s'\n", field.name, field.text.c_str());
      return false;
    }
  }
  for (const std::string& text : o->blockSpecs) {
    velmora::BlockRange range;
    std::string error;
    if (!velmora::ParseBlockRange(text, &range, &error)) {
      std::fprintf(stderr, "velmora-mapgen: --block: %s\n", error.c_str());
      return false;
    }
    g.ranges.push_back(range);
  }
  return true;
}

// Completes and checks the generator's options; false after the message when they cannot
// make a map.
bool CheckOptions(MapgenOptions* o) {
  velmora::GeneratorOptions& g = o->generator;
  if (!ReadHeaderAndBlocks(o)) return false;
  if (g.minSize > g.maxSize) {
    std::fprintf(stderr, "velmora-mapgen: --min-size is larger than --max-size\n");
    return false;
  }
  if (!velmora::ParseArea(o->area, &g.area) || !velmora::ParseOperation(o->operation, &g.operation)) {
    std::fprintf(stderr, "velmora-mapgen: bad --area or --operation\n");
    return false;
  }
  g.version = static_cast<uint8_t>(o->version);
  if (!o->target.empty() && !ParseByteCount(o->target, &g.targetBytes)) {
    std::fprintf(stderr, "velmora-mapgen: --target-size: bad size '%s'\n", o->target.c_str());
    return false;
  }
  if (g.targetBytes > kMaxTargetBytes) {
    std::fprintf(stderr, "velmora-mapgen: --target-size: %s is more than 2048M\n", o->target.c_str());
    return false;
  }
  int64_t blocks = g.randomBlocks;
  for (const velmora::BlockRange& range : g.ranges) blocks += int64_t{range.last} - int64_t{range.first} + 1;
  if (blocks > kMaxBlocks) {
    std::fprintf(stderr, "velmora-mapgen: %lld blocks asked for; at most %lld\n", static_cast<long long>(blocks),
                 static_cast<long long>(kMaxBlocks));
    return false;
  }
  return true;
}

// Generates the map and writes it; the exit status.
int WriteMap(const velmora::GeneratorOptions& options, const std::string& output) {
  std::string text;
  try {
    text = velmora::GenerateMapText(options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "velmora-mapgen: out of memory: the map asked for does not fit\n");
    return 1;
  } catch (const std::length_error&) {
    std::fprintf(stderr, "velmora-mapgen: out of memory: the map asked for does not fit\n");
    return 1;
  }
  std::FILE* out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "velmora-mapgen: cannot create %s\n", output.c_str());
    return 1;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const bool closed = out == stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "velmora-mapgen: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Generates Velmora map files (CR LF text with a correct checksum).\n\n"
      "Exit status: 0 written, 1 the map could not be made or written, 64 a usage error\n"
      "(a bad option or value)."};
  velmora::AddVersionFlag(app, "velmora-mapgen");
  MapgenOptions options;
  AddOptions(app, &options);
  if (const int status = velmora::ParseProgramOptions(app, argc, argv); status >= 0) return status;
  if (!CheckOptions(&options)) return velmora::kExitUsage;
  return WriteMap(options.generator, options.output);
}
