// What a run pays for its record in the records database, and how fast the history answers
// over many records: COUNT records (each a run of BLOCKS blocks) stored into --records as a line
// of handsets stores them (one program, a server's connection kept from record to record), then
// every fiftieth one as a program of a single run stores it (a new connection, begun when the run
// starts: a pause of RUN_MS stands for the update), then the
// history's usual questions over them all. Prints the cost per record (median, 95th percentile,
// max) against the goal of 10 ms for the median, and the time of each question.
//
// Usage: velmora_bench_records --records URL [--count N] [--blocks N] [--run-ms MS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/record_keeper.h"
#include "app/run_report.h"
#include "records/records.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalMs = 10.0;
constexpr int64_t kFirstStartMs = 1796083200000;  // 2026-12-01T00:00:00Z
constexpr int kPorts = 8;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The record of the n-th run: a line of eight ports over about a month, one run in twenty
// failing at a block.
std::string MakeRecord(int n, int blocks) {
  RunReport report;
  report.program = "velmora-cli";
  report.version = "Version 1.3";
  report.runId = NewRunId();
  report.mapFile = "Velmora_K72_1_Standard_11_0001.map";
  report.port = "/dev/ttyUSB" + std::to_string(n % kPorts);
  report.baudRate = 115200;
  report.hardwareProduct = 72;
  report.startMs = kFirstStartMs + int64_t{n} * 240000;
  report.endMs = report.startMs + 30000 + n % 7000;
  report.record.imei = std::to_string(350000000000000 + int64_t{n});
  const bool failed = n % 20 == 19;
  for (int b = 0; b < blocks; ++b) {
    BlockRecord block;
    block.number = 1000 + b;
    block.area = static_cast<uint8_t>(b % 2);
    block.operation = 1;
    report.record.blocks.push_back(block);
  }
  if (failed) {
    report.record.blocks.back().outcome = BlockOutcome::Failed;
    report.record.blocks.back().status = 5;
  }
  report.outcome = failed ? "failed" : "succeeded";
  report.error = failed ? "Can't send mapping blocks to mobile!" : "";
  report.exitStatus = failed ? 1 : 0;
  return FormatRunReport(report);
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

// Stores records first..first+count-1; singleRuns: each on a new connection begun runMs before.
// False when one was not stored in the database.
bool Insert(const std::string& records, int first, int count, int blocks, bool singleRuns, int runMs = 0) {
  std::vector<double> costs;
  costs.reserve(static_cast<size_t>(count));
  const Clock::time_point all = Clock::now();
  for (int n = first; n < first + count; ++n) {
    const std::string json = MakeRecord(n, blocks);
    std::string why;
    if (singleRuns) {
      records::CloseKeptConnections();
      records::PrepareConnection(records, NewRunId());
      std::this_thread::sleep_for(std::chrono::milliseconds(runMs));
    }
    const Clock::time_point start = Clock::now();
    const records::Stored stored = records::StoreRunRecord(records, json, &why);
    costs.push_back(MsSince(start));
    if (stored != records::Stored::Database) {
      std::fprintf(stderr, "error: record %d not stored: %s\n", n + 1, why.c_str());
      return false;
    }
  }
  const double median = Percentile(costs, 0.5);
  std::printf("%s: %d records of %d blocks in %.1f s; cost per record: median %.2f ms, p95 %.2f ms,"
              " max %.2f ms (goal: median under %.0f ms: %s)\n",
              singleRuns ? "single runs" : "a line", count, blocks, MsSince(all) / 1000, median,
              Percentile(costs, 0.95), Percentile(costs, 1.0), kGoalMs, median < kGoalMs ? "met" : "over");
  return true;
}

bool Ask(const std::string& records, const char* what, const records::HistoryRequest& request) {
  std::string out;
  std::string why;
  const Clock::time_point start = Clock::now();
  if (!records::ShowHistory(records, request, &out, &why)) {
    std::fprintf(stderr, "error: history %s: %s\n", what, why.c_str());
    return false;
  }
  const double ms = MsSince(start);
  const long lines = std::count(out.begin(), out.end(), '\n');
  std::printf("history %-28s %8.1f ms  %6ld lines\n", what, ms, lines);
  return true;
}

bool Query(const std::string& records, int count) {
  records::HistoryRequest one;
  one.imei = std::to_string(350000000000000 + int64_t{count / 2});
  records::HistoryRequest lastDay;
  lastDay.since = UtcTimeText(kFirstStartMs + int64_t{count} * 240000 - 86400000);
  records::HistoryRequest failedOnPort;
  failedOnPort.port = "/dev/ttyUSB3";
  failedOnPort.outcome = "failed";
  records::HistoryRequest summary;
  summary.summary = true;
  records::HistoryRequest everything;
  everything.format = records::HistoryFormat::Json;
  return Ask(records, "--imei (one handset)", one) && Ask(records, "--since (the last day)", lastDay) &&
         Ask(records, "--port --outcome failed", failedOnPort) && Ask(records, "--summary", summary) &&
         Ask(records, "--json (every run)", everything);
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  CLI::App app{"The records database's cost per run record and its history's answers"};
  std::string records;
  int count = 10000;
  int blocks = 300;
  app.add_option("--records", records, "sqlite:PATH or postgresql://... (a new, empty database)")->required();
  app.add_option("--count", count, "Records to insert")->check(CLI::Range(1, 1000000));
  app.add_option("--blocks", blocks, "Blocks per record")->check(CLI::Range(1, 10000));
  int runMs = 200;
  app.add_option("--run-ms", runMs, "What stands for a single run's update, in ms")->check(CLI::Range(0, 60000));
  CLI11_PARSE(app, argc, argv);
  std::printf("records: %s\n", records.rfind("sqlite:", 0) == 0 ? "SQLite" : "PostgreSQL");
  const int single = std::max(1, count / 50);
  return velmora::Insert(records, 0, count - single, blocks, false) &&
                 velmora::Insert(records, count - single, single, blocks, true, runMs) &&
                 velmora::Query(records, count)
             ? 0
             : 1;
}
