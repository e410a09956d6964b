// Fills one worksheet with 65,536 x 255 PutText calls of short texts, mostly empty: the load a full merge
// output puts on the cell storage and the string table. Reports time per fill and the process's peak
// memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "workbook/XLSWorkbook.h"

namespace {

long PeakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

void BM_FillSheetWithPutText(benchmark::State& state) {
  // One text in eight is a short non-empty one, drawn from a small set, as in monthly reports.
  std::vector<std::u16string> texts = {u"", u"合计", u"abc", u"2024-01", u"42", u"Total", u"x", u"北京"};
  for (auto _ : state) {
    plicato::TXLSWorkbook workbook;
    plicato::TSheet& sheet = workbook.Sheets()[0];
    unsigned n = 0;
    for (int row = 0; row < 65536; ++row)
      for (int column = 0; column < 255; ++column, ++n)
        sheet.PutText(column, row, (n % 8 == 0) ? texts[(n / 8) % texts.size()] : texts[0]);
    benchmark::DoNotOptimize(sheet.FindCell(254, 65535));
  }
  state.counters["cells/s"] =
      benchmark::Counter(65536.0 * 255, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = static_cast<double>(PeakRssMb());
}
BENCHMARK(BM_FillSheetWithPutText)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
