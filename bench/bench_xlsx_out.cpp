// Writing speed and memory of the .xlsx output (and, for comparison, the .csv output): 1,000,000 rows x
// 20 columns (ids, dates, repeating and unique texts, amounts with a format, quantities, flags,
// full-precision numbers) through MakeXlsxOutput, row by row as the merge gives them, beside
// python3-xlsxwriter's constant_memory mode writing the same cells (xlsx_out_xlsxwriter.py) in the same
// run. Prints CPU and wall seconds, the peak memory of each (ours: the process's high-water mark reset
// before the write) and the file sizes. Never asserts.
// Run: build/bench/bench_xlsx_out [ROWS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "biff/CodePage.h"
#include "merge/output/CsvOutput.h"
#include "xlsx/XlsxWriter.h"

namespace {

namespace fs = std::filesystem;
using plicato::TOutCell;

constexpr uint16_t kColumns = 20;

// Row i, the cells xlsx_out_xlsxwriter.py writes. texts holds the texts the cells point to.
void Row(uint32_t i, std::vector<TOutCell>& cells, std::vector<std::u16string>& texts) {
  auto number = [&](uint16_t c, double value, std::u16string_view format = {}) {
    cells[c].kind = plicato::okNumber;
    cells[c].number = value;
    cells[c].format = format;
  };
  auto text = [&](uint16_t c, const std::string& value) {
    texts[c] = plicato::FromUtf8(value);
    cells[c].kind = plicato::okText;
    cells[c].text = texts[c];
  };
  number(0, i + 1.0);
  number(1, 40000 + i % 3000, u"yyyy-mm-dd");
  text(2, "item " + std::to_string(i % 500));
  text(3, "order " + std::to_string(i));
  number(4, (i % 100000) / 100.0, u"#,##0.00");
  number(5, i % 97);
  cells[6].kind = plicato::okBoolean;
  cells[6].boolean = i % 2 == 0;
  number(7, i * 1.0000001 / 3);
  for (uint16_t c = 8; c < kColumns; ++c) {
    if (c % 2 == 0)
      number(c, static_cast<double>((uint64_t{i} * c) % 1000) + 0.25);
    else
      text(c, "c" + std::to_string(c) + "-" + std::to_string(i % 1000));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t rows = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  const fs::path scratch = fs::temp_directory_path() / ("plicato-bench-xlsx-out-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const fs::path ours = scratch / "ours.xlsx", theirs = scratch / "xlsxwriter.xlsx";

  std::vector<TOutCell> cells(kColumns);
  for (uint16_t c = 0; c < kColumns; ++c) cells[c].column = c;
  std::vector<std::u16string> texts(kColumns);
  // One output of each format, the same rows: CPU and wall seconds, peak memory in MB.
  struct TRun {
    double cpu, wall, peak, base;
  };
  auto write = [&](const std::unique_ptr<plicato::TRowOutput>& output) {
    plicato::bench::ResetPeakMemory();
    TRun run{plicato::bench::CpuSeconds(), 0, 0, plicato::bench::PeakMemoryMb()};
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < rows; ++i) {
      Row(i, cells, texts);
      output->PutRow(i, cells);
    }
    output->Commit();
    run.cpu = plicato::bench::CpuSeconds() - run.cpu;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peak = plicato::bench::PeakMemoryMb();
    return run;
  };
  const TRun csv = write(plicato::MakeCsvOutput(scratch / "ours.csv"));
  std::printf(
      "plicato: %u rows x %u columns to .csv: %.2f s CPU, %.2f s wall, peak memory %.1f MB, %.1f MB file\n",
      rows, kColumns, csv.cpu, csv.wall, csv.peak, fs::file_size(scratch / "ours.csv") / 1e6);
  const TRun xlsx = write(plicato::MakeXlsxOutput(ours));
  const double ourCpu = xlsx.cpu, ourWall = xlsx.wall, ourPeak = xlsx.peak;
  std::printf(
      "plicato: %u rows x %u columns to .xlsx: %.2f s CPU, %.2f s wall, peak memory %.1f MB (%.1f MB "
      "above the process before it), %.1f MB file\n",
      rows, kColumns, ourCpu, ourWall, ourPeak, ourPeak - xlsx.base, fs::file_size(ours) / 1e6);

  const std::string command = "/usr/bin/python3 -W ignore " + std::string(PLICATO_BENCH_SOURCE) +
                              "/xlsx_out_xlsxwriter.py " + std::to_string(rows) + " " + theirs.string();
  double theirCpu = 0, theirWall = 0, theirPeak = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf %lf %lf", &theirCpu, &theirWall, &theirPeak) != 3) theirCpu = 0;
    pclose(pipe);
  }
  if (theirCpu > 0) {
    std::printf("xlsxwriter (constant_memory): %.2f s CPU, %.2f s wall, peak memory %.1f MB, %.1f MB file\n",
                theirCpu, theirWall, theirPeak, fs::file_size(theirs) / 1e6);
    std::printf("ratio xlsxwriter / plicato: CPU %.1fx, wall %.1fx\n", theirCpu / ourCpu,
                theirWall / ourWall);
    plicato::bench::AddFigure(
        "write " + std::to_string(rows) + " rows x 20 columns of .xlsx, beside xlsxwriter",
        plicato::bench::Format("%.1f s CPU", ourCpu) +
            plicato::bench::Format(" = %.1fx xlsxwriter", theirCpu / ourCpu) +
            plicato::bench::Format(", %.0f MB", ourPeak),
        "none (new)", "faster than xlsxwriter, memory flat");
    plicato::bench::PrintFigures("bench_xlsx_out");
  } else {
    std::printf("xlsxwriter: not run (python3-xlsxwriter missing?)\n");
  }
  fs::remove_all(scratch);
  return 0;
}
