// Reading a registry-export settings file of N values (all in one key, as a careless or hostile
// export would have them): the time per value must not grow with N. Reported as time per
// value; compare the 1 000 and 150 000 rows (a file of 150 000 values once took 94 s).
#include <benchmark/benchmark.h>

#include <string>

#include "platform/settings_store.h"

namespace {

std::string SettingsText(int values) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n";
  for (int i = 0; i < values; ++i) text += "\"Value" + std::to_string(i) + "\"=dword:0000e100\r\n";
  return text;
}

void BM_ReadSettings(benchmark::State& state) {
  const std::string text = SettingsText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    velmora::SettingsStore store;
    std::string error;
    if (!store.LoadText(text, "bench.reg", &error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(store);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["ns_per_value"] = benchmark::Counter(
      static_cast<double>(state.iterations() * state.range(0)),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadSettings)->Arg(1000)->Arg(10000)->Arg(150000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
