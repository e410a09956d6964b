// An output that writes on a thread of its own. Writing a streamed format (.xlsx XML and its
// compression, .csv number texts) costs about as much as reading the inputs; with the rows
// handed over in batches, the merge reads the next rows while the ones before them are written.
//
// The rows are copied as they are given, so the caller's views may change at once, as for any output. A
// failure of the output on its thread is thrown by the PutRow or Commit that follows it: the merge meets
// it one batch later than it would have, and ends the output in the same way.
#pragma once

#include <memory>

#include "workbook/RowOutput.h"

namespace plicato {

// Wraps an output that is not revisable (a streaming one); a revisable one is given back as it is.
// Without a thread to be had, rows are written on the caller's thread.
std::unique_ptr<TRowOutput> WriteBehind(std::unique_ptr<TRowOutput> output);

}  // namespace plicato
