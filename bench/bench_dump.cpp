// Speed of `plicato-cli dump` against xlrd: both print the first sheet of one workbook as CSV. The
// workbook, made by our writer, has 65,536 rows x 6 columns of mixed cells: whole numbers, hundredths,
// numbers without an RK form, texts that repeat, a text of its own per row, and negative halves.
//
// Each run of the dump is a process of its own, as a user runs it; its time is the CPU time of that
// process (user + system, from wait4), so a busy machine does not stretch it, and includes starting the
// program and reading the file. The xlrd script (open_workbook, sheet 0, csv.writer of each row's values)
// runs once, timed the same way, and the report prints both times and their ratio; without python3-xlrd
// that comparison is skipped with a note.
// Run: build/bench/bench_dump
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "BenchFigures.h"
#include "biff/CodePage.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 65536;
constexpr int kColumns = 6;

const char kXlrdScript[] =
    "import csv, sys, xlrd\n"
    "sheet = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
    "out = csv.writer(sys.stdout)\n"
    "for r in range(sheet.nrows):\n"
    "    out.writerow(sheet.row_values(r))\n";

void PutCell(plicato::TSheet& sheet, int column, int row) {
  switch (column) {
    case 0:
      sheet.PutFloat(column, row, row * 3.0, 15);
      break;
    case 1:
      sheet.PutFloat(column, row, (row % 10000) / 100.0, 15);
      break;
    case 2:
      sheet.PutFloat(column, row, row + 0.123456789, 15);
      break;
    case 3:
      sheet.PutText(column, row, plicato::FromUtf8("item " + std::to_string(row % 500)));
      break;
    case 4:
      sheet.PutText(column, row, plicato::FromUtf8("row " + std::to_string(row) + ", a text of its own"));
      break;
    default:
      sheet.PutFloat(column, row, -row * 0.5, 15);
      break;
  }
}

// The generated file, in a temporary folder of this process that goes with the process.
class TDumpFile {
 public:
  TDumpFile() {
    folder_ = fs::temp_directory_path() / ("plicato-bench-dump-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    path_ = folder_ / "dump.xls";
    plicato::TXLSWorkbook workbook;
    plicato::TSheet& sheet = workbook.Sheets()[0];
    for (int row = 0; row < kRows; ++row)
      for (int column = 0; column < kColumns; ++column) PutCell(sheet, column, row);
    workbook.Filename = plicato::FromUtf8(path_.string());
    WriteWorkbook(workbook);
  }
  ~TDumpFile() {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  TDumpFile(const TDumpFile&) = delete;
  TDumpFile& operator=(const TDumpFile&) = delete;

  const fs::path& Path() const { return path_; }

 private:
  fs::path folder_;
  fs::path path_;
};

const TDumpFile& DumpFile() {
  static const TDumpFile file;
  return file;
}

// Runs the program with its output and errors going nowhere; the CPU seconds it used, or -1 when it
// could not be started or failed.
double ChildCpuSeconds(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// For the closing table: the dump's mean CPU time, and xlrd's (0 when it did not run).
double dumpSeconds = 0;
double xlrdSeconds = 0;

void BM_DumpAgainstXlrd(benchmark::State& state) {
  const TDumpFile& file = DumpFile();
  double total = 0;
  int runs = 0;
  for (auto _ : state) {
    const double seconds = ChildCpuSeconds({PLICATO_CLI, "dump", file.Path().string()});
    if (seconds < 0) {
      state.SkipWithError("plicato-cli dump failed");
      return;
    }
    state.SetIterationTime(seconds);
    total += seconds;
    ++runs;
  }
  const double dump = total / runs;
  state.counters["dump_ms"] = dump * 1e3;
  dumpSeconds = dump;

  // Once, after the dump's runs: python3-xlrd is a peer used as a black box, and may be missing.
  static double xlrd = -2;  // -2: not run yet; -1: not available
  if (xlrd == -2) {
    xlrd = ChildCpuSeconds({PLICATO_PYTHON, "-c", "import xlrd"}) < 0
               ? -1
               : ChildCpuSeconds({PLICATO_PYTHON, "-c", kXlrdScript, file.Path().string()});
  }
  if (xlrd < 0) {
    state.SetLabel("xlrd comparison skipped: " PLICATO_PYTHON " cannot import xlrd (python3-xlrd)");
    return;
  }
  xlrdSeconds = xlrd;
  state.counters["xlrd_ms"] = xlrd * 1e3;
  state.counters["xlrd_per_dump"] = xlrd / dump;
}

BENCHMARK(BM_DumpAgainstXlrd)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  return plicato::bench::RunBenchmarks(argc, argv, "bench_dump", [] {
    if (dumpSeconds <= 0) return;
    using plicato::bench::Format;
    std::string now = Format("%.3f s CPU", dumpSeconds);
    now += xlrdSeconds > 0
               ? Format("; xlrd %.2f s", xlrdSeconds) + Format(" = %.1fx", xlrdSeconds / dumpSeconds)
               : std::string("; xlrd not installed");
    plicato::bench::AddFigure("dump 65,536 rows x 6 columns to CSV", now, "0.17 s; xlrd 0.47 s = 2.8x",
                              "10x xlrd or more");
  });
}
