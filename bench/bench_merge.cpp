// Merge speed and memory on generated inputs, each kind of work in its own benchmark:
// - 60 files of 150 rows x 12 columns (9,000 output rows), also merged by an xlrd + xlwt script in the
//   same run for comparison;
// - 30 files of 2,000 rows x 20 columns (60,000 output rows);
// - 100 files of 656 text rows x 20 columns (one full 65,536-row output, a split and a short second one),
//   in the classic merge and in value mode (typed cells, no padding), with each output's size;
// - 1,000 small files of 20 rows;
// - 10,000, 30,000 and 65,536 output rows from files of 1,000 rows, for the time per 1,000 rows;
// - 100 .xlsx files of 10,000 rows x 20 typed columns (1,000,000 rows) into one .xlsx in value mode,
//   also merged by an openpyxl + xlsxwriter script in the same run, and the share of the time spent
//   compressing the output (deflate at the output's level, measured on the output's entries);
// - 100 CSV files of 10,000 rows x 20 columns (UTF-8, then the same in GB18030) into one .csv in value
//   mode, also merged by pandas (read_csv, concat, to_csv) in the same run;
// - the header pre-read of matching columns by name over the 100 files of 656 rows (value mode, one
//   header row): an .xls file has no cheaper read than the whole workbook, so this is its price; and
//   over the 100 .xlsx files of 10,000 rows, which stop after their header row; and the merge of the 100
//   files of 656 rows in value mode with one header row, with and without matching columns by name.
// Every classic .xls merge writes 255 text cells per row, so a full output is 16.7 million cells. Each
// benchmark reports its best wall and CPU time and the peak memory of its merges (the high-water mark is
// reset before them). The table at the end sets each figure beside the one it replaces. Run:
// build/bench/bench_merge [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "biff/CodePage.h"
#include "merge/HeaderScan.h"
#include "merge/MergeEngine.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace {

namespace fs = std::filesystem;
using namespace plicato::bench;

class TQuietHost : public plicato::TMergeHost {
 public:
  std::vector<std::string> files;
  std::string out;
  plicato::TMergeOptions options;  // less the files and the output
  void FileBegun(int32_t, int32_t, const std::filesystem::path&) override {}
  void FileMerged(int32_t, int32_t) override {}
  void RunEnded(const plicato::TMergeReport&) override {}
};

struct TInputs {
  const char* name;
  int count;
  int rows;  // per file; the last file has what is left of totalRows when that is set
  int columns;
  bool mixed;  // numbers with fractions in every other column, else texts only
  int totalRows = 0;
};

fs::path Folder(const TInputs& inputs) {
  return fs::temp_directory_path() / (std::string("plicato-bench-") + inputs.name);
}

// Makes the input files once per machine, in a folder under /tmp: a run finds them there.
std::vector<std::string> MakeInputs(const TInputs& inputs) {
  const fs::path dir = Folder(inputs);
  fs::create_directories(dir);
  std::vector<std::string> files;
  for (int f = 0; f < inputs.count; ++f) {
    const fs::path path = dir / ("in" + std::to_string(f) + ".xls");
    files.push_back(path.string());
    if (fs::exists(path)) continue;
    int rows = inputs.rows;
    if (inputs.totalRows > 0) rows = std::min(rows, inputs.totalRows - f * inputs.rows);
    plicato::TXLSWorkbook wb;
    plicato::TSheet& sheet = wb.Sheets()[0];
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < inputs.columns; ++c) {
        if (inputs.mixed && c % 2 == 1)
          sheet.PutFloat(c, r, (r * 31 + c * 7) % 100000 / 4.0, 15);
        else
          sheet.PutText(c, r,
                        plicato::FromUtf8(c == 0 ? "row " + std::to_string(r)
                                                 : "v" + std::to_string((r * 7 + c) % 50)));
      }
    wb.Filename = plicato::FromUtf8(path.string());
    WriteWorkbook(wb);
  }
  return files;
}

struct TMeasure {
  double wall = 1e30;
  double cpu = 1e30;
  double peakMb = 0;
  int64_t rows = 0;
  double outputMb = 0;  // the size of the outputs written
};
std::map<std::string, TMeasure>& Measures() {
  static std::map<std::string, TMeasure> measures;
  return measures;
}

// The .xlsx inputs: made once per machine by the Python peer (python3-xlsxwriter), its typed rows.
const TInputs kXlsxFiles{"xlsx-100x10000", 100, 10000, 20, true};
std::vector<std::string> MakeXlsxInputs(const TInputs& inputs) {
  const fs::path dir = Folder(inputs);
  const fs::path made = dir / "made";
  if (!fs::exists(made)) {
    const std::string command =
        "/usr/bin/python3 " PLICATO_BENCH_SOURCE "/merge_openpyxl_xlsxwriter.py --make-inputs " +
        dir.string() + " " + std::to_string(inputs.count) + " " + std::to_string(inputs.rows);
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("the .xlsx inputs could not be made (python3-xlsxwriter missing?)");
    std::ofstream{made};
  }
  std::vector<std::string> files;
  for (int f = 0; f < inputs.count; ++f) files.push_back((dir / Format("in%03.0f.xlsx", f)).string());
  return files;
}

// The CSV inputs, in UTF-8 and in GB18030: made once per machine by the pandas peer's script.
const TInputs kCsvUtf8{"csv-utf-8-100x10000", 100, 10000, 20, true};
const TInputs kCsvGb18030{"csv-gb18030-100x10000", 100, 10000, 20, true};
const char* CsvEncoding(const TInputs& inputs) {
  return &inputs == &kCsvGb18030 ? "gb18030" : "utf-8";
}
std::vector<std::string> MakeCsvInputs(const TInputs& inputs) {
  const fs::path dir = Folder(inputs);
  if (!fs::exists(dir / "made")) {
    const std::string command = "/usr/bin/python3 " PLICATO_BENCH_SOURCE "/merge_pandas.py --make-inputs " +
                                dir.string() + " " + CsvEncoding(inputs) + " " +
                                std::to_string(inputs.count) + " " + std::to_string(inputs.rows);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("the CSV inputs could not be made");
    std::ofstream{dir / "made"};
  }
  std::vector<std::string> files(static_cast<size_t>(inputs.count));
  for (int f = 0; f < inputs.count; ++f)
    files[static_cast<size_t>(f)] = (dir / Format("in%03.0f.csv", f)).string();
  return files;
}

void RunMerge(benchmark::State& state, const std::string& key, const TInputs& inputs, int files,
              bool values = false, const char* out = "out.xls", bool match = false) {
  TQuietHost host;
  host.options.values = values;
  if (match || key == "100header") host.options.headerRows = 1;
  host.options.matchColumns = match;
  host.files = std::string(out) == "out.xlsx"  ? MakeXlsxInputs(inputs)
               : std::string(out) == "out.csv" ? MakeCsvInputs(inputs)
                                               : MakeInputs(inputs);
  host.files.resize(files);
  host.out = (Folder(inputs) / out).string();
  TMeasure& m = Measures()[key];
  plicato::TMergeReport report;
  m.rows = inputs.totalRows > 0 ? std::min<int64_t>(inputs.totalRows, int64_t(files) * inputs.rows)
                                : int64_t(files) * inputs.rows;
  plicato::TMergeOptions run = host.options;
  run.files.assign(host.files.begin(), host.files.end());
  run.savePath = host.out;
  ResetPeakMemory();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    report = plicato::MergeFiles(host, run);
    m.cpu = std::min(m.cpu, CpuSeconds() - cpu);
    m.wall =
        std::min(m.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  m.peakMb = PeakMemoryMb();
  m.outputMb = 0;
  for (const fs::path& output : report.outputs)
    m.outputMb += static_cast<double>(fs::file_size(output)) / 1e6;
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(m.rows), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_MB"] = m.peakMb;
}

const TInputs k60Files{"60x150x12", 60, 150, 12, true};
const TInputs k30Files{"30x2000x20", 30, 2000, 20, true};
const TInputs k100Files{"100x656", 100, 656, 20, false};
const TInputs k1000Files{"1000x20", 1000, 20, 20, false};
const TInputs kRowFiles{"rows-1000x20", 66, 1000, 20, false, 65536};

void BM_Merge60FilesOf150Rows(benchmark::State& state) {
  RunMerge(state, "60", k60Files, k60Files.count);
}
void BM_Merge30FilesOf2000Rows(benchmark::State& state) {
  RunMerge(state, "30", k30Files, k30Files.count);
}
void BM_Merge100FilesOf656Rows(benchmark::State& state) {
  RunMerge(state, "100", k100Files, k100Files.count);
}
void BM_Merge100FilesOf656RowsValues(benchmark::State& state) {
  RunMerge(state, "100values", k100Files, k100Files.count, true);
}
void BM_Merge100FilesOf656RowsHeader(benchmark::State& state) {
  RunMerge(state, "100header", k100Files, k100Files.count, true);
}
void BM_Merge100FilesOf656RowsMatched(benchmark::State& state) {
  RunMerge(state, "100matched", k100Files, k100Files.count, true, "out.xls", true);
}
void ScanHeaders(benchmark::State& state, const std::vector<std::string>& files) {
  const std::vector<fs::path> paths(files.begin(), files.end());
  plicato::THeaderScanOptions options;
  options.values = true;
  for (auto _ : state) {
    std::vector<plicato::THeaderFile> headers = plicato::ScanHeaders(paths, options);
    benchmark::DoNotOptimize(headers);
  }
}
void BM_HeaderScan100FilesOf656Rows(benchmark::State& state) {
  ScanHeaders(state, MakeInputs(k100Files));
}
void BM_HeaderScanXlsx100FilesOf10000Rows(benchmark::State& state) {
  ScanHeaders(state, MakeXlsxInputs(kXlsxFiles));
}
void BM_Merge1000FilesOf20Rows(benchmark::State& state) {
  RunMerge(state, "1000", k1000Files, k1000Files.count);
}
void BM_MergeXlsx100FilesOf10000Rows(benchmark::State& state) {
  try {
    RunMerge(state, "xlsx", kXlsxFiles, kXlsxFiles.count, true, "out.xlsx");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
void BM_MergeCsv100FilesOf10000Rows(benchmark::State& state) {
  try {
    RunMerge(state, "csv", kCsvUtf8, kCsvUtf8.count, true, "out.csv");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
void BM_MergeCsvGb18030100FilesOf10000Rows(benchmark::State& state) {
  try {
    RunMerge(state, "csvgb", kCsvGb18030, kCsvGb18030.count, true, "out.csv");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}
void BM_MergeOutputRows(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  RunMerge(state, "rows" + std::to_string(rows), kRowFiles, (rows + kRowFiles.rows - 1) / kRowFiles.rows);
}

BENCHMARK(BM_Merge60FilesOf150Rows)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Merge30FilesOf2000Rows)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Merge100FilesOf656Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Merge100FilesOf656RowsValues)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Merge100FilesOf656RowsHeader)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Merge100FilesOf656RowsMatched)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_HeaderScan100FilesOf656Rows)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_HeaderScanXlsx100FilesOf10000Rows)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Merge1000FilesOf20Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_MergeXlsx100FilesOf10000Rows)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_MergeCsv100FilesOf10000Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_MergeCsvGb18030100FilesOf10000Rows)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_MergeOutputRows)
    ->Arg(10000)
    ->Arg(30000)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

// The same 60-file merge by a Python script on xlrd and xlwt, once: its wall time and peak memory, or
// nothing when Debian's python3 lacks either module (Debian's, as the interop checks use).
struct TPeer {
  double wall = 0;
  double cpu = 0;
  double peakMb = 0;
};
std::optional<TPeer> MergeWithXlrdXlwt(const TInputs& inputs) {
  if (std::system("/usr/bin/python3 -c 'import xlrd, xlwt' >/dev/null 2>&1") != 0) return std::nullopt;
  const fs::path list = Folder(inputs) / "files.txt";
  {
    std::ofstream out(list);
    for (const std::string& file : MakeInputs(inputs)) out << file << '\n';
  }
  const std::string command = std::string("/usr/bin/python3 ") + PLICATO_BENCH_SOURCE "/merge_xlrd_xlwt.py " +
                              (Folder(inputs) / "peer.xls").string() + " " + list.string();
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) return std::nullopt;
  TPeer peer;
  peer.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  peer.peakMb = children.ru_maxrss / 1024.0;
  peer.cpu = children.ru_utime.tv_sec + children.ru_utime.tv_usec / 1e6 + children.ru_stime.tv_sec +
             children.ru_stime.tv_usec / 1e6;
  return peer;
}

// The same .xlsx merge by the openpyxl + xlsxwriter script, once, as it reports itself (in a file, not
// through a pipe: the script's minutes-long run then depends on nothing of ours but the wait).
std::optional<TPeer> MergeWithOpenpyxlXlsxwriter(const TInputs& inputs) {
  const fs::path figures = Folder(inputs) / "peer.txt";
  std::string command = "/usr/bin/python3 -W ignore " PLICATO_BENCH_SOURCE "/merge_openpyxl_xlsxwriter.py " +
                        (Folder(inputs) / "peer.xlsx").string();
  for (const std::string& file : MakeXlsxInputs(inputs)) command += " " + file;
  command += " > " + figures.string();
  TPeer peer;
  if (std::system(command.c_str()) != 0) return std::nullopt;
  if (!(std::ifstream(figures) >> peer.cpu >> peer.wall >> peer.peakMb)) return std::nullopt;
  return peer;
}

// The same CSV merge by pandas, once, as it reports itself.
std::optional<TPeer> MergeWithPandas(const TInputs& inputs) {
  if (std::system("/usr/bin/python3 -c 'import pandas' >/dev/null 2>&1") != 0) return std::nullopt;
  const fs::path figures = Folder(inputs) / "peer.txt";
  std::string command = std::string("/usr/bin/python3 -W ignore " PLICATO_BENCH_SOURCE "/merge_pandas.py ") +
                        CsvEncoding(inputs) + " " + (Folder(inputs) / "peer.csv").string();
  for (const std::string& file : MakeCsvInputs(inputs)) command += " " + file;
  command += " > " + figures.string();
  TPeer peer;
  if (std::system(command.c_str()) != 0) return std::nullopt;
  if (!(std::ifstream(figures) >> peer.cpu >> peer.wall >> peer.peakMb)) return std::nullopt;
  return peer;
}

// The deflate level of the .xlsx output (XlsxWriter.cpp), and the matching its sheet is deflated with
// (ZipWriter.cpp).
constexpr int kOutputDeflateLevel = 3;
constexpr int kOutputTune[] = {4, 32, 128, 12};

// CPU seconds that deflating every entry of the .xlsx file takes at the output's level: the entries are read
// back (inflated) in pieces and only the deflate calls are timed. Negative when the file cannot be read.
double DeflateSeconds(const fs::path& xlsx) {
  zip_t* archive = zip_open(xlsx.c_str(), ZIP_RDONLY, nullptr);
  if (!archive) return -1;
  double seconds = 0;
  std::vector<unsigned char> in(1 << 20), out(1 << 20);
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_file_t* entry = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    if (!entry) continue;
    z_stream z{};
    deflateInit(&z, kOutputDeflateLevel);
    deflateTune(&z, kOutputTune[0], kOutputTune[1], kOutputTune[2], kOutputTune[3]);
    for (;;) {
      const zip_int64_t n = zip_fread(entry, in.data(), in.size());
      const int flush = n > 0 ? Z_NO_FLUSH : Z_FINISH;
      z.next_in = in.data();
      z.avail_in = n > 0 ? static_cast<uInt>(n) : 0;
      const double start = CpuSeconds();
      int status;
      do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = deflate(&z, flush);
      } while (z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END && status != Z_STREAM_ERROR));
      seconds += CpuSeconds() - start;
      if (n <= 0) break;
    }
    deflateEnd(&z);
    zip_fclose(entry);
  }
  zip_discard(archive);
  return seconds;
}

std::string Seconds(const TMeasure& m) {
  return Format("%.3f s", m.wall) + Format(" (%.3f s CPU)", m.cpu) + Format(", %.0f MB", m.peakMb);
}

// A peer's figures beside ours: its times and memory, and how many times ours it takes.
std::string BesidePeer(const std::string& name, const std::optional<TPeer>& peer, const TMeasure& m,
                       const std::string& packages) {
  if (!peer) return "; " + name + " not run (" + packages + " missing?)";
  return "; " + name + Format(" %.1f s", peer->wall) + Format(" (%.1f s CPU)", peer->cpu) +
         Format(", %.0f MB", peer->peakMb) + Format(" = %.1fx wall", peer->wall / m.wall) +
         Format(", %.1fx CPU", peer->cpu / m.cpu);
}

void ReportFigures() {
  auto& measures = Measures();
  if (auto it = measures.find("60"); it != measures.end()) {
    std::string now = Seconds(it->second);
    std::string goal = "60x the xlrd + xlwt merge (~0.1 s)";
    if (auto peer = MergeWithXlrdXlwt(k60Files)) {
      now += Format("; xlrd + xlwt %.2f s", peer->wall) + Format(" (%.2f s CPU)", peer->cpu) +
             Format(", %.0f MB", peer->peakMb) + Format(" = %.0fx wall", peer->wall / it->second.wall) +
             Format(", %.0fx CPU", peer->cpu / it->second.cpu);
    } else {
      now += "; xlrd + xlwt not installed";
    }
    AddFigure("merge 60 files x 150 rows x 12 columns", now, "0.36 s, 101 MB; xlrd + xlwt 6.1 s = 17x", goal);
  }
  if (auto it = measures.find("30"); it != measures.end())
    AddFigure("merge 30 files x 2,000 rows x 20 columns", Seconds(it->second), "1.57 s, 490 MB",
              "under 0.6 s");
  const auto classic = measures.find("100");
  if (classic != measures.end())
    AddFigure("merge 100 files x 656 rows (full output)",
              Seconds(classic->second) + Format(", outputs %.0f MB", classic->second.outputMb),
              "2.18 s, 560 MB", "under 0.7 s and 320 MB");
  if (auto it = measures.find("100values"); it != measures.end()) {
    std::string now = Seconds(it->second) + Format(", outputs %.1f MB", it->second.outputMb);
    if (classic != measures.end())
      now += Format("; %.2fx classic's time", it->second.wall / classic->second.wall) +
             Format(", %.2fx its memory", it->second.peakMb / classic->second.peakMb);
    AddFigure("the same in value mode (--values)", now, "-",
              "under a quarter of classic's time and memory, outputs under 30 MB");
  }
  if (auto header = measures.find("100header"), matched = measures.find("100matched");
      header != measures.end() && matched != measures.end())
    AddFigure("the same with 1 header row, matching columns by name (--match-columns)",
              Seconds(matched->second) + Format("; %+.0f%% time", 100 * (matched->second.wall / header->second.wall - 1)) +
                  Format(" beside %.2f s without", header->second.wall),
              "none (new)", "at most 10% more time");
  if (auto it = measures.find("1000"); it != measures.end())
    AddFigure("merge 1,000 files x 20 rows", Seconds(it->second), "0.60 s", "-");
  if (auto it = measures.find("xlsx"); it != measures.end()) {
    const TMeasure& m = it->second;
    std::string now = Seconds(m);
    const auto peer = MergeWithOpenpyxlXlsxwriter(kXlsxFiles);
    now += BesidePeer("openpyxl + xlsxwriter", peer, m, "python3-openpyxl or python3-xlsxwriter");
    if (peer)
      now += Format("; file %.1f MB", m.outputMb) +
             Format(" = %.2fx theirs", m.outputMb * 1e6 / fs::file_size(Folder(kXlsxFiles) / "peer.xlsx"));
    if (const double deflate = DeflateSeconds(Folder(kXlsxFiles) / "out.xlsx"); deflate >= 0)
      now += Format("; deflate of the output %.2f s CPU", deflate) +
             Format(" = %.0f%% of ours", 100 * deflate / m.cpu);
    AddFigure("merge 100 .xlsx files x 10,000 rows x 20 columns to .xlsx (--values)", now, "none (new)",
              "20x openpyxl + xlsxwriter, under 150 MB, file within 1.15x");
  }
  const auto csv = measures.find("csv");
  if (csv != measures.end()) {
    const TMeasure& m = csv->second;
    std::string now = Seconds(m);
    now += BesidePeer("pandas", MergeWithPandas(kCsvUtf8), m, "python3-pandas");
    AddFigure("merge 100 CSV files x 10,000 rows x 20 columns (UTF-8) to .csv (--values)", now, "none (new)",
              "3x pandas, under 100 MB");
  }
  if (auto it = measures.find("csvgb"); it != measures.end()) {
    std::string now = Seconds(it->second);
    if (csv != measures.end())
      now += Format("; %.2fx UTF-8's time", it->second.wall / csv->second.wall) +
             Format(" (%.2fx its CPU)", it->second.cpu / csv->second.cpu);
    AddFigure("the same files in GB18030", now, "none (new)", "at most 1.5x UTF-8's time");
  }
  const char* before[] = {"10,000", "30,000", "65,536"};
  int i = 0;
  for (int rows : {10000, 30000, 65536}) {
    auto it = measures.find("rows" + std::to_string(rows));
    if (it != measures.end())
      AddFigure(std::string("time per 1,000 output rows at ") + before[i] + " rows",
                Format("%.1f ms", it->second.wall * 1000.0 * 1000.0 / it->second.rows), "-",
                "the same at each");
    ++i;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return plicato::bench::RunBenchmarks(argc, argv, "bench_merge", ReportFigures);
}
