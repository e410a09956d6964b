// The .xlsx output of a merge: one worksheet as large as CapacityOf(ofXlsx), its XML written
// row by row and deflated as it comes (TZipWriter), so that the sheet never sits in memory whole and the
// compression runs on the thread that gives the rows.
//
// Cells:
//   text     an inline string, cut to 32,767 UTF-16 units (a spreadsheet cell holds no more; a surrogate
//            pair is not split); an empty text writes nothing. What XML cannot hold (control characters
//            but tab and line feed, carriage returns that a parser would turn into line feeds, lone
//            surrogates, U+FFFE and U+FFFF) is written as the format's _xHHHH_ escape, and an underscore
//            before an x (which could begin such an escape) as _x005F_, so that every text reads back as
//            it was.
//   number   the shortest digits that read back as the same double, with its number format as a cell
//            style, one style per format code (General: none); -0 is written as 0. NaN and infinities,
//            which a worksheet cannot hold, are written as the error #NUM!.
//   boolean  TRUE or FALSE
//   error    an error cell of that value.
// The number format codes are written without the characters XML cannot hold.
//
// The file is written to a temporary file beside the target and renamed over it on Commit; a failure
// (a full disk, a file size limit) is an EFileError naming the output with the system's reason, the
// temporary file is removed at once, and an output destroyed without Commit leaves the target as it
// was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "workbook/RowOutput.h"

namespace plicato {

// frozenRows: the header rows kept in view above a frozen pane (0: none).
std::unique_ptr<TRowOutput> MakeXlsxOutput(const std::filesystem::path& target, uint32_t frozenRows = 0);

}  // namespace plicato
