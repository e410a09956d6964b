// What the benchmark programs share: the peak memory of one piece of work, and the table each prints
// at its end, where every figure measured in this run stands beside the figure it replaces (measured on
// the development machine, 2 cores, before the work that changed it) and the figure aimed at.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace plicato::bench {

// Forgets the process's peak resident memory so far, so that the next reading is the peak of what runs
// in between (Linux: writing 5 to clear_refs resets the high-water mark).
inline void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The process's peak resident memory since the last reset, in MB (0 where the system does not say).
inline double PeakMemoryMb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// CPU seconds of the whole process so far (all threads): the machine may be busy, and wall time then
// says more about the machine than about the work.
inline double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct TFigure {
  std::string work;
  std::string now;
  std::string before;
  std::string goal;
};

inline std::vector<TFigure>& Figures() {
  static std::vector<TFigure> figures;
  return figures;
}

inline void AddFigure(std::string work, std::string now, std::string before, std::string goal) {
  Figures().push_back({std::move(work), std::move(now), std::move(before), std::move(goal)});
}

inline std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

inline void PrintFigures(const char* program) {
  if (Figures().empty()) return;
  size_t widths[4] = {4, 3, 6, 4};
  for (const TFigure& f : Figures()) {
    widths[0] = std::max(widths[0], f.work.size());
    widths[1] = std::max(widths[1], f.now.size());
    widths[2] = std::max(widths[2], f.before.size());
  }
  std::printf("\n%s: now, beside the figure it replaces\n", program);
  auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
    std::printf("  %-*s  %-*s  %-*s  %s\n", int(widths[0]), a.c_str(), int(widths[1]), b.c_str(), int(widths[2]),
                c.c_str(), d.c_str());
  };
  line("work", "now", "before", "goal");
  for (const TFigure& f : Figures()) line(f.work, f.now, f.before, f.goal);
}

// The main of a benchmark program: runs the benchmarks the command line selects, then report, which adds
// the figures measured; then prints the table.
inline int RunBenchmarks(int argc, char** argv, const char* program, const std::function<void()>& report) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  report();
  PrintFigures(program);
  return 0;
}

}  // namespace plicato::bench
