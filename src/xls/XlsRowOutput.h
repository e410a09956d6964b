// The .xls output of the merge, in two forms. A classic merge's padded rows go into the first worksheet
// of a workbook model, which is written at Commit and gives the very records the merge has always
// written; a full output (65,536 rows of 255 text cells) is some 280 MB of model, freed as soon as it is
// written. A value-mode merge's rows are encoded into their cell records as they come, with no cell
// model. Either form writes at Commit (to a temporary file beside the target, renamed over it once
// complete) and holds the rows until then, so the output is revisable: a cell can still be added to a row
// given before, and the rows from one on can be dropped.
#pragma once

#include <filesystem>
#include <memory>

#include "workbook/RowOutput.h"

namespace plicato {

// An Excel 97-2003 workbook of one worksheet (CapacityOf(ofXls): 65,536 rows x 256 columns), to be written at path. Number
// formats of value cells become cell formats (XF records) with those formats; General numbers, texts,
// booleans and errors take the default cell format. Nothing is written before Commit.
// paddedRows: the rows are a classic merge's (see above).
std::unique_ptr<TRevisableOutput> MakeXlsOutput(const std::filesystem::path& path, bool paddedRows = true);

}  // namespace plicato
