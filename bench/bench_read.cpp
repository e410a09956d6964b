// Reading speed: TXLSWorkbook::Read of one large workbook made by our writer, from the file and from an
// in-memory image. The sheet has 65,536 rows x 20 columns of mixed cells: numbers with an RK form (whole
// and hundredths) and without one, texts that repeat and texts that do not, booleans, errors, runs of
// blanks, and a formula every 64 rows. Reports MB/s of workbook stream and rows/s (both per CPU second:
// the "Time" column gives the wall time, which a busy machine stretches) and the stream size.
// Run: build/bench/bench_read
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "BenchFigures.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/XLSStream.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 65536;
constexpr int kColumns = 20;

// tNum with the constant: a formula whose cached result is that number.
std::unique_ptr<plicato::TFormulaData> NumberFormula(double value) {
  auto data = std::make_unique<plicato::TFormulaData>();
  data->expression.resize(9);
  data->expression[0] = 0x1F;
  plicato::EncodeDouble(data->expression.data() + 1, value);
  data->tokenLength = 9;
  plicato::EncodeDouble(data->result, value);
  return data;
}

// One cell of the generated sheet, by column (two groups of ten kinds).
void PutCell(plicato::TSheet& sheet, int column, int row) {
  switch (column % 10) {
    case 0:  // whole numbers: RK integer form
      sheet.PutFloat(column, row, row * 20.0 + column, 15);
      break;
    case 1:  // hundredths: RK form of 100 times the number
      sheet.PutFloat(column, row, (row % 10000) / 100.0, 15);
      break;
    case 2:  // no RK form: NUMBER
      sheet.PutFloat(column, row, row + 0.123456789, 15);
      break;
    case 3:  // texts with many repeats
      sheet.PutText(column, row, plicato::FromUtf8("item " + std::to_string(row % 500)));
      break;
    case 4:  // a text of its own per row
      sheet.PutText(column, row,
                    plicato::FromUtf8("row " + std::to_string(row) + " col " + std::to_string(column)));
      break;
    case 5:
      sheet.PutBoolean(column, row, row % 3 == 0, 15);
      break;
    case 6:
    case 7:  // a run of two blanks: MULBLANK
      sheet.PutBlank(column, row, 15);
      break;
    case 8:
      if (row % 64 == 0)
        sheet.PutFormula(column, row, plicato::ckNumberFormula, 15, NumberFormula(row));
      else
        sheet.PutText(column, row, column < 10 ? u"yes" : u"no");
      break;
    default:
      if (row % 97 == 0)
        sheet.PutError(column, row, plicato::ceDiv0, 15);
      else
        sheet.PutFloat(column, row, -row * 0.5, 15);
      break;
  }
}

// The generated file, in a temporary folder of this process that goes with the process.
class TLargeFile {
 public:
  TLargeFile() {
    folder_ = fs::temp_directory_path() / ("plicato-bench-read-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    path_ = folder_ / "large.xls";
    plicato::TXLSWorkbook workbook;
    plicato::TSheet& sheet = workbook.Sheets()[0];
    for (int row = 0; row < kRows; ++row)
      for (int column = 0; column < kColumns; ++column) PutCell(sheet, column, row);
    workbook.Filename = plicato::FromUtf8(path_.string());
    WriteWorkbook(workbook);

    std::vector<uint8_t> image(fs::file_size(path_));
    if (FILE* f = std::fopen(path_.string().c_str(), "rb")) {
      image.resize(std::fread(image.data(), 1, image.size(), f));
      std::fclose(f);
    }
    image_ = std::move(image);
    plicato::TXLSStream stream;
    stream.SetSourceMemory(&image_);
    stream.OpenRead("");
    streamBytes_ = stream.StreamSize();
    stream.Close();
  }
  ~TLargeFile() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  TLargeFile(const TLargeFile&) = delete;
  TLargeFile& operator=(const TLargeFile&) = delete;

  const fs::path& Path() const { return path_; }
  const std::vector<uint8_t>& Image() const { return image_; }
  uint64_t StreamBytes() const { return streamBytes_; }

 private:
  fs::path folder_;
  fs::path path_;
  std::vector<uint8_t> image_;
  uint64_t streamBytes_ = 0;
};

const TLargeFile& LargeFile() {
  static const TLargeFile file;
  return file;
}

void ReportRates(benchmark::State& state, const TLargeFile& file) {
  // Rates print as "MB=.../s" and "rows=.../s"; size_MB is the workbook stream read per iteration.
  state.counters["MB"] = benchmark::Counter(static_cast<double>(file.StreamBytes()) / 1e6,
                                            benchmark::Counter::kIsIterationInvariantRate);
  state.counters["rows"] = benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["size_MB"] = static_cast<double>(file.StreamBytes()) / 1e6;
}

// The read must have found every row: a benchmark of a read that stops early measures nothing.
bool ReadWhole(benchmark::State& state, plicato::TXLSWorkbook& workbook) {
  if (workbook.Sheets().Count() != 1 || !workbook.Sheets()[0].FindCell(kColumns - 1, kRows - 1)) {
    state.SkipWithError("the workbook read back is incomplete");
    return false;
  }
  return true;
}

// The best CPU time of one read from the file, for the closing table.
double bestFileRead = 0;

void BM_ReadLargeWorkbookFromFile(benchmark::State& state) {
  const TLargeFile& file = LargeFile();
  const std::u16string name = plicato::FromUtf8(file.Path().string());
  for (auto _ : state) {
    const double start = plicato::bench::CpuSeconds();
    {
      plicato::TXLSWorkbook workbook;
      workbook.Filename = name;
      ReadWorkbook(workbook);
      if (!ReadWhole(state, workbook)) break;
    }
    const double seconds = plicato::bench::CpuSeconds() - start;
    if (bestFileRead == 0 || seconds < bestFileRead) bestFileRead = seconds;
  }
  ReportRates(state, file);
}

void BM_ReadLargeWorkbookFromMemory(benchmark::State& state) {
  const TLargeFile& file = LargeFile();
  for (auto _ : state) {
    plicato::TXLSWorkbook workbook;
    ReadWorkbook(workbook, file.Image());
    if (!ReadWhole(state, workbook)) break;
  }
  ReportRates(state, file);
}

BENCHMARK(BM_ReadLargeWorkbookFromFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadLargeWorkbookFromMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return plicato::bench::RunBenchmarks(argc, argv, "bench_read", [] {
    if (bestFileRead <= 0) return;
    using plicato::bench::Format;
    const double mb = static_cast<double>(LargeFile().StreamBytes()) / 1e6;
    plicato::bench::AddFigure(
        "read 65,536 rows x 20 columns from the file (best of the runs, CPU)",
        Format("%.0f MB/s", mb / bestFileRead) + Format(" (%.0f ms)", bestFileRead * 1e3), "151 MB/s",
        "400 MB/s or more");
  });
}
