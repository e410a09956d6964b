// A merge's outputs, in this folder from the save path to the file in place:
//   chosen     by the save path's extension (.xls, .xlsx, .csv in any letter case; any other name gets
//              ".xls"): OutputFormatOf and ResolveSavePath, OutputNames.h
//   named      a split's continuations out-1.xls, out-2.xls ... beside the save path, and the check that
//              no output is one of the files to merge: OutputNames.h
//   made       MakeRowOutput below, the one place a format meets its writer: the .xls writer (xls/
//              XlsRowOutput.h), the .xlsx writer (xlsx/XlsxWriter.h), the .csv writer (CsvOutput.h)
//   written    the streamed formats on a thread of their own: WriteBehind.h
//   in place   at Commit, from a temporary file beside the target (biff/OutputFile.h, the bottom layer's,
//              as the .xls and .xlsx writers below this one put their files in place through it too)
// The merge knows an output by the interface in workbook/RowOutput.h alone, where each format's capacity
// is stated, once: the interface sits below the writers that implement it, so it cannot live here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "merge/output/OutputNames.h"
#include "workbook/RowOutput.h"

namespace plicato {

inline uint32_t OutputRowsOf(TOutputFormat format) { return CapacityOf(format).rows; }
inline uint32_t OutputColumnsOf(TOutputFormat format) { return CapacityOf(format).columns; }
// Whether the format's output is revisable (TRevisableOutput): .xls, whose rows wait until Commit.
inline bool OutputRevisable(TOutputFormat format) { return format == ofXls; }

// The output of a format at path (nothing is written before its Commit). padTo: a classic merge's rows,
// padded with empty texts up to that column where the format has them (.xls, in the workbook model's
// form that gives the records a classic merge has always written); 0: a value-mode merge's rows, which
// an .xls output encodes into their records as they come. headerRows: the rows an .xlsx output keeps in
// view above a frozen pane.
std::unique_ptr<TRowOutput> MakeRowOutput(TOutputFormat format, const std::filesystem::path& path,
                                          uint16_t padTo = 0, uint32_t headerRows = 0);

}  // namespace plicato
