// The dump command: a worksheet of a workbook printed as CSV, or its stored cells one per line.
#pragma once

#include <string>
#include <vector>

namespace plicato {

// The command line of dump, as parsed.
struct TDumpArgs {
  std::string password;
  std::string sheet = "1";
  bool cells = false;
  std::vector<std::string> files;
};

// Prints the chosen worksheet of the one file to standard output; a usage error's exit status, or 0. A file
// that cannot be read, or lacks the sheet, raises the reader's error.
int Dump(const TDumpArgs& args);

}  // namespace plicato
