// A value-mode .xls output given a distinct number format in every row (7,500, 30,000 and 70,000 of
// them): each new format is looked up among those before it, so the time must grow with the formats,
// not with their square. Past the formats an .xls file holds, numbers show as General.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "biff/CodePage.h"
#include "xls/XlsRowOutput.h"

namespace {

namespace fs = std::filesystem;

void BM_XlsOutputOfDistinctFormats(benchmark::State& state) {
  const auto count = static_cast<uint32_t>(state.range(0));
  std::vector<std::u16string> formats;
  formats.reserve(count);
  for (uint32_t i = 0; i < count; ++i) formats.push_back(plicato::FromUtf8("0.00\"f" + std::to_string(i) + "\""));
  const fs::path path = fs::temp_directory_path() / ("plicato-bench-formats-" + std::to_string(getpid()) + ".xls");
  for (auto _ : state) {
    auto output = plicato::MakeXlsOutput(path, false);
    // 100 numbers a row: 70,000 formats fit the rows of one sheet.
    std::vector<plicato::TOutCell> cells(100);
    for (uint32_t first = 0; first < count; first += 100) {
      const uint32_t n = std::min<uint32_t>(100, count - first);
      for (uint32_t c = 0; c < n; ++c) {
        cells[c].column = static_cast<uint16_t>(c);
        cells[c].kind = plicato::okNumber;
        cells[c].number = first + c;
        cells[c].format = formats[first + c];
      }
      output->PutRow(first / 100, std::span<const plicato::TOutCell>(cells).first(n));
    }
    output->Commit();
  }
  fs::remove(path);
  state.counters["formats/s"] = benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_XlsOutputOfDistinctFormats)
    ->Arg(7500)
    ->Arg(30000)
    ->Arg(70000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
