// A made-up station for looking at the live page and for the browser test: four ports update
// handset after handset for about ten seconds (one port fails its second handset), then the
// station finishes and the page stays served until standard input closes. Prints the page's URL
// on the first line of standard output.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/board.h"
#include "station/page.h"

namespace velmora {
namespace {

constexpr int kHandsetsPerPort = 2;
constexpr size_t kFailingPort = 2;  // its second handset fails

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch()).count();
}

// As the run record writes it: UTC, milliseconds, "Z".
std::string UtcText(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char withMs[48];
  std::snprintf(withMs, sizeof withMs, "%s.%03dZ", text, static_cast<int>(ms % 1000));
  return withMs;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Enter(StationBoard& board, size_t index, PortRow& row, const std::string& state, int progress) {
  if (row.state != state) row.stateSinceMs = NowMs();
  row.state = state;
  row.progress = progress;
  board.SetRow(index, row);
}

std::string Record(const PortRow& row, bool ok, int64_t startMs, int64_t endMs) {
  nlohmann::ordered_json record;
  record["record"] = "velmora-run";
  record["mode"] = "update";
  record["map_file"] = "examples/Velmora_K72_1_Standard_11_0001.map";
  record["map"] = {{"product", 72}, {"map_version", 1}};
  record["port"] = row.port;
  record["imei"] = row.imei;
  record["start"] = UtcText(startMs);
  record["end"] = UtcText(endMs);
  record["duration_ms"] = endMs - startMs;
  record["outcome"] = ok ? "succeeded" : "failed";
  record["error"] = ok ? nullptr : nlohmann::ordered_json(row.lastError);
  return record.dump();
}

// One handset on one port: connect, write (with a garbage collection on the second port), then
// done or failed.
void Handset(StationBoard& board, size_t index, int handset) {
  PortRow row = board.Row(index);
  const bool fails = index == kFailingPort && handset == 1;
  Enter(board, index, row, "waiting", -1);
  Pause(600 + static_cast<int>(index) * 150);
  row.handsetSinceMs = NowMs();
  row.imei = "35123456789" + std::to_string(1000 + index * 10 + static_cast<size_t>(handset));
  Enter(board, index, row, "connecting", -1);
  Pause(700);
  for (int progress = 0; progress <= (fails ? 60 : 100); progress += 5) {
    Enter(board, index, row, "writing", progress);
    if (progress == 50 && index == 1) {
      Enter(board, index, row, "collecting garbage", -1);
      Pause(800);
    }
    Pause(120);
  }
  const int64_t endMs = NowMs();
  const int64_t startMs = row.handsetSinceMs;
  row.handsetSeconds += static_cast<double>(endMs - startMs) / 1000.0;
  row.handsetSinceMs = 0;
  if (fails) {
    row.failed++;
    row.lastError = "Can't send mapping blocks to mobile!";
  } else {
    row.succeeded++;
  }
  Enter(board, index, row, fails ? "failed" : "done", -1);
  board.AddRecord(Record(row, !fails, startMs, endMs));
  Pause(900);
}

int Main() {
  std::vector<PortRow> rows;
  for (const char* port : {"COM1", "COM2", "/dev/ttyUSB0", "rfc2217://127.0.0.1:7001"}) {
    PortRow row;
    row.port = port;
    row.state = "waiting";
    row.stateSinceMs = NowMs();
    row.log = std::string("station-") + std::to_string(rows.size() + 1) + ".log";
    rows.push_back(row);
  }
  StationBoard board("Station demo", rows);
  StationPage page(board);
  std::string why;
  if (!page.Start("127.0.0.1:0", &why)) {
    std::fprintf(stderr, "station_page_demo: %s\n", why.c_str());
    return 1;
  }
  std::printf("%s\n", page.Url().c_str());
  std::fflush(stdout);
  std::vector<std::thread> ports;
  for (size_t i = 0; i < rows.size(); ++i) {
    ports.emplace_back([&board, i] {
      for (int h = 0; h < kHandsetsPerPort; ++h) Handset(board, i, h);
    });
  }
  for (std::thread& t : ports) t.join();
  board.SetFinished(true);
  std::cin.ignore(std::numeric_limits<std::streamsize>::max());
  return 0;
}

}  // namespace
}  // namespace velmora

int main() { return velmora::Main(); }
