// What the command line prints as its result goes to standard output through here, so that a failed
// write (a full disk, a closed pipe) ends the command with a message instead of a success.
#pragma once

#include <string_view>

namespace plicato {

// Writes bytes to standard output at once; a failure raises EFileError "cannot write the output:
// <reason>". Not mixed with stdio's buffered stdout.
void WriteOutput(std::string_view bytes);

}  // namespace plicato
