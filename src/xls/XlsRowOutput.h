// The .xls output of the merge: its rows go into the first worksheet of a workbook model, which
// TXLSWorkbook::Write writes at Commit (to a temporary file beside the target, renamed over it once
// complete). A classic merge's rows give the very records the merge has always written.
//
// The model holds the rows until Commit, so the output is revisable: a cell can still be added to a row
// given before, and the rows from one on can be dropped. A full output (65,536 rows of 255 text cells) is
// some 280 MB of model; the merge frees it as soon as it is written.
#pragma once

#include <filesystem>
#include <memory>

#include "workbook/RowOutput.h"

namespace plicato {

// An Excel 97-2003 workbook of one worksheet, 65,536 rows x 256 columns, to be written at path. Number
// formats of value cells become cell formats (XF records) with those formats; General numbers, texts,
// booleans and errors take the default cell format. Nothing is written before Commit.
std::unique_ptr<TRowOutput> MakeXlsOutput(const std::filesystem::path& path);

}  // namespace plicato
