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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Generates Velmora map files (CR LF text with a correct checksum).\n\n"
      "Exit status: 0 written, 1 the map could not be made or written, 64 a usage error\n"
      "(a bad option or value)."};
  velmora::AddVersionFlag(app, "velmora-mapgen");

  std::string product = "72";
  std::string provider = "0";
  std::string mapVersion = "01";
  std::string swVersion = "11";
  std::string time = "0";
  std::string date = "0";
  std::vector<std::string> blockSpecs;
  velmora::GeneratorOptions options;
  std::string area = "eelite";
  std::string operation = "write";
  int version = 1;
  std::string target;
  std::string output = "-";

  app.add_option("--product", product, "product number (decimal)")->capture_default_str();
  app.add_option("--provider", provider, "provider code (hexadecimal, 0 = standard mapping)")
      ->capture_default_str();
  app.add_option("--map-version", mapVersion, "map version (hexadecimal)")->capture_default_str();
  app.add_option("--sw-version", swVersion, "handset software version (decimal)")
      ->capture_default_str();
  app.add_option("--time", time, "creation time hhmmss (decimal)")->capture_default_str();
  app.add_option("--date", date, "creation date (decimal, e.g. 020926)")->capture_default_str();
  app.add_option("--block", blockSpecs,
                 "explicit blocks FIRST[-LAST]:AREA:OPERATION:SIZE[-MAXSIZE][:VERSION], e.g. "
                 "1-15:eelite:write:20-90 or 18:eelite:delete:0; repeatable, kept in order");
  app.add_option("--blocks", options.randomBlocks, "number of random blocks after the explicit ones")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--target-size", target,
                 "add random blocks until the text is at least this long (bytes, K or M suffix)");
  app.add_option("--first-block", options.firstNumber, "number of the first random block")
      ->capture_default_str();
  app.add_option("--min-size", options.minSize, "smallest random block size")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--max-size", options.maxSize, "largest random block size")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--eefull-percent", options.eefullPercent,
                 "share of random blocks in Eefull; the rest go to --area")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--area", area, "area of random blocks (eelite, eefull or a number)")
      ->capture_default_str();
  app.add_option("--operation", operation,
                 "operation of random blocks (none, write, create, delete, delete-create or a number)")
      ->capture_default_str();
  app.add_option("--block-version", version, "version of random blocks")
      ->check(CLI::Range(0, 255))
      ->capture_default_str();
  app.add_option("--seed", options.seed, "seed for sizes and data bytes")->capture_default_str();
  app.add_option("-o,--output", output, "output file, - for standard output")
      ->capture_default_str();

  if (const int status = velmora::ParseProgramOptions(app, argc, argv); status >= 0) return status;

  struct {
    const char* name;
    const std::string& text;
    int base;
    int32_t* field;
  } header[] = {
      {"--product", product, 10, &options.info.product},
      {"--provider", provider, 16, &options.info.provider},
      {"--map-version", mapVersion, 16, &options.info.mapVersion},
      {"--sw-version", swVersion, 10, &options.info.swVersion},
      {"--time", time, 10, &options.info.time},
      {"--date", date, 10, &options.info.date},
  };
  for (const auto& field : header) {
    if (!ParseNumber(field.text, field.base, field.field)) {
      std::fprintf(stderr, "velmora-mapgen: %s: bad value '%s'\n", field.name, field.text.c_str());
      return velmora::kExitUsage;
    }
  }
  for (const std::string& text : blockSpecs) {
    velmora::BlockRange range;
    std::string error;
    if (!velmora::ParseBlockRange(text, &range, &error)) {
      std::fprintf(stderr, "velmora-mapgen: --block: %s\n", error.c_str());
      return velmora::kExitUsage;
    }
    options.ranges.push_back(range);
  }
  if (options.minSize > options.maxSize) {
    std::fprintf(stderr, "velmora-mapgen: --min-size is larger than --max-size\n");
    return velmora::kExitUsage;
  }
  if (!velmora::ParseArea(area, &options.area) ||
      !velmora::ParseOperation(operation, &options.operation)) {
    std::fprintf(stderr, "velmora-mapgen: bad --area or --operation\n");
    return velmora::kExitUsage;
  }
  options.version = static_cast<uint8_t>(version);
  if (!target.empty() && !ParseByteCount(target, &options.targetBytes)) {
    std::fprintf(stderr, "velmora-mapgen: --target-size: bad size '%s'\n", target.c_str());
    return velmora::kExitUsage;
  }
  if (options.targetBytes > kMaxTargetBytes) {
    std::fprintf(stderr, "velmora-mapgen: --target-size: %s is more than 2048M\n", target.c_str());
    return velmora::kExitUsage;
  }
  int64_t blocks = options.randomBlocks;
  for (const velmora::BlockRange& range : options.ranges)
    blocks += int64_t{range.last} - int64_t{range.first} + 1;
  if (blocks > kMaxBlocks) {
    std::fprintf(stderr, "velmora-mapgen: %lld blocks asked for; at most %lld\n",
                 static_cast<long long>(blocks), static_cast<long long>(kMaxBlocks));
    return velmora::kExitUsage;
  }

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
