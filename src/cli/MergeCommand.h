// The merge command: its options (for `merge --help`) turned into the run's options, the search of the
// folders given, the run with the console host, and what the run left said at its end.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace plicato {

// The command line of merge, as parsed; the values checked here are read by Merge.
struct TMergeArgs {
  std::string out;
  bool values = false, source = false, mark = false, xlsx = false, skip = false, csv = false, quiet = false;
  bool matchColumns = false;
  std::string encoding, delimiter;
  std::string headerRows = "0";
  std::string sheet;
  CLI::Option* sheetOption = nullptr;
  bool sheetGiven = false;
  std::vector<std::string> passwords;
  std::vector<std::string> paths;
};

// merge's options, each with its meaning for `merge --help`, and two examples after them.
void AddMergeOptions(CLI::App& command, TMergeArgs& merge);

// Merges the files args name; the exit status: 0, 1 (nothing to merge), 2 (a usage error), 3 (files or
// folders passed over) or 128 + the stop signal. A failure of the run raises EMergeError.
int Merge(const TMergeArgs& args);

}  // namespace plicato
