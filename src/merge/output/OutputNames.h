// Where a run's outputs go: the format chosen by the save path's extension, the save path as written, the
// continuation files of a split, and the check that no output is one of the files to merge. Outputs.h
// tells the rest of an output's way.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "workbook/RowOutput.h"

namespace plicato {

// The format of a save path's file name: .xls, .xlsx or .csv, in any letter case; any other name is
// written as .xls (see ResolveSavePath).
TOutputFormat OutputFormatOf(const std::filesystem::path& savePath);
// The save path a run writes: as given when its file name ends in .xls, .xlsx or .csv (any letter case),
// else with ".xls" added ("out" and "report.v2" are written as "out.xls" and "report.v2.xls"). A path
// ending in a separator is left as it is, for the output check to refuse.
std::filesystem::path ResolveSavePath(const std::filesystem::path& savePath);
// The name of continuation output n (n >= 1) of a save path: in the same folder, the file name's stem,
// "-" and n, and its extension (out.xls gives out-1.xls, Out.XLSX gives Out-1.XLSX). Only the file's name
// changes, never its folders. The save path is resolved first.
std::filesystem::path ContinuationName(const std::filesystem::path& savePath, int32_t n);
// The same as text: SplitOutputName("/data/out", 2) is "/data/out-2.xls".
std::string SplitOutputName(const std::string& savePath, int32_t splitNumber);
// The number n of a file name that is continuation n of the save path, else 0.
int32_t ContinuationNumber(const std::filesystem::path& savePath, const std::filesystem::path& name);
// The files in the save path's folder now that are continuation names of it, in ascending number (a
// .csv output has none: it is never split).
std::vector<std::filesystem::path> ExistingContinuations(const std::filesystem::path& savePath);

// The files of a run's list, to tell whether an output name is one of them: the same device and inode
// where the name exists, else the same normalised path (symbolic links resolved).
class TListedFiles {
 public:
  explicit TListedFiles(const std::vector<std::filesystem::path>& files);
  // The listed file that the name is, or null.
  const std::filesystem::path* Find(const std::filesystem::path& name) const;
  // The listed files whose normalised path is continuation n of the save path: (n, file), any n.
  std::vector<std::pair<int32_t, const std::filesystem::path*>> Continuations(
      const std::filesystem::path& savePath) const;

 private:
  std::vector<std::filesystem::path> files_;
  std::map<std::pair<dev_t, ino_t>, size_t> ids_;
  std::map<std::filesystem::path, size_t> names_;
};

// A run that would write over one of its own inputs: the output name (the save path or a continuation
// name) and the listed file that is the same file.
struct TOutputClash {
  std::filesystem::path output;
  std::filesystem::path input;
};

// Looks for an output name a run of this list could write that is a listed file: the save path (resolved),
// and every continuation name the run could take in the save path's format. An output holds the rows of
// the format less the header rows repeated at its top; a sheet gives at most the rows its format holds
// (CapacityOf), one sheet per file, or any number of sheets with everySheet (then every continuation
// number counts). A .csv output is never split: only its save path counts. headerRows: 0 to 10, as a
// run's options are checked.
std::optional<TOutputClash> FindOutputClash(const std::filesystem::path& savePath,
                                            const std::vector<std::filesystem::path>& files,
                                            int headerRows = 0, bool everySheet = false);

}  // namespace plicato
