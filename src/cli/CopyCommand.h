// The copy command: a legacy workbook read and written back through the engine, to repair or re-save it.
#pragma once

#include <string>
#include <vector>

namespace plicato {

// The command line of copy, as parsed.
struct TCopyArgs {
  std::string password;
  std::vector<std::string> files;
};

// Copies the first file to the second; a usage error's exit status, or 0. A failure raises the reader's or
// the writer's error.
int Copy(const TCopyArgs& args);

}  // namespace plicato
