// The command line's words for what the merge reports as facts: remarks on merged files, files passed
// over, and the failure that ends a run, in English. Lines are separated by carriage returns, as the
// command line's printing expects.
#pragma once

#include <string>

#include "merge/RunFacts.h"

namespace plicato {

// A remark on a merged file, after the file's name.
std::string NoteWords(const TNoteFacts& facts);
// Why a file was passed over (or could not be merged), and what became of its rows.
std::string FileFailureWords(const TFileFailure& failure);
// The whole message of a failure that ends a run.
std::string RunFailureWords(const TRunFailure& failure);

}  // namespace plicato
