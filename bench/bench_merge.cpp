// Merge throughput: 100 generated files of 656 text rows x 20 columns (one full 65,536-row output, a
// split and a short second output), and 1,000 small files of 20 rows. Reports wall time, rows per
// second and the process's peak memory. Run: build/bench/bench_merge
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "biff/CodePage.h"
#include "merge/MergeEngine.h"
#include "workbook/XLSWorkbook.h"

namespace {

namespace fs = std::filesystem;

long PeakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

class TQuietHost : public plicato::TMergeHost {
 public:
  std::vector<std::string> files;
  std::string out;
  std::vector<std::filesystem::path> FileList() override { return {files.begin(), files.end()}; }
  std::filesystem::path SavePath() override { return out; }
  bool MarkRows() override { return false; }
  void SetProgressText(const std::string&) override {}
  void SetCountText(const std::string&) override {}
  void SetCurrentFile(const std::string&) override {}
  void SetButtonCaption(const std::string&) override {}
};

// Makes count input files of rows x 20 text cells once per process, in a folder under /tmp.
std::vector<std::string> MakeInputs(const std::string& name, int count, int rows) {
  fs::path dir = fs::temp_directory_path() / ("plicato-bench-" + name);
  std::vector<std::string> files;
  bool exists = fs::exists(dir / ("in" + std::to_string(count - 1) + ".xls"));
  fs::create_directories(dir);
  for (int f = 0; f < count; ++f) {
    fs::path path = dir / ("in" + std::to_string(f) + ".xls");
    files.push_back(path.string());
    if (exists) continue;
    plicato::TXLSWorkbook wb;
    plicato::TSheet& sheet = wb.Sheets()[0];
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < 20; ++c)
        sheet.PutText(
            c, r,
            plicato::FromUtf8(c == 0 ? "row " + std::to_string(r) : "v" + std::to_string((r * 7 + c) % 50)));
    wb.Filename = plicato::FromUtf8(path.string());
    wb.Write();
  }
  return files;
}

void RunMerge(benchmark::State& state, const std::string& name, int count, int rows) {
  TQuietHost host;
  host.files = MakeInputs(name, count, rows);
  host.out = (fs::temp_directory_path() / ("plicato-bench-" + name) / "out.xls").string();
  for (auto _ : state) plicato::MergeFiles(host);
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(count) * rows, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = static_cast<double>(PeakRssMb());
}

void BM_Merge100FilesOf656Rows(benchmark::State& state) {
  RunMerge(state, "100x656", 100, 656);
}
void BM_Merge1000FilesOf20Rows(benchmark::State& state) {
  RunMerge(state, "1000x20", 1000, 20);
}

BENCHMARK(BM_Merge100FilesOf656Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Merge1000FilesOf20Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
