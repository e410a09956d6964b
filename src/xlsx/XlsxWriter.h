// The .xlsx output of a merge: one worksheet of up to 1,048,576 rows x 16,384 columns, written with
// libxlsxwriter in its constant-memory mode. Each row goes to the library's worksheet data file as the
// next row begins, so the workbook never sits in memory whole; the library's own temporary files lie in
// the target's folder and are unlinked as soon as they are made.
//
// Cells:
//   text     an inline string, cut to 32,767 UTF-16 units (a spreadsheet cell holds no more; a surrogate
//            pair is not split); an empty text writes nothing. Control characters are written as the
//            format's _xHHHH_ escapes.
//   number   the value with its number format, one xlsxwriter format per format code (General: none);
//            -0 is written as 0. The library writes 16 significant digits ("%.16G", in the C locale
//            whatever the process's locale): every number of 16 digits or fewer reads back exactly,
//            one that needs 17 (0.1 + 0.2) reads back within one unit of its 16th digit.
//            NaN and infinities, which a worksheet cannot hold, are written as the error #NUM!.
//   boolean  TRUE or FALSE
//   error    the formula of that error value ("=#DIV/0!") with the error's text as its cached result:
//            spreadsheet programs show the error; a reader that does not evaluate sees its text. (The
//            library has no error cells of their own.)
// The file is written to a temporary file beside the target and renamed over it on Commit; a failure of
// the library (a full disk, any lxw_error) is an EFileError naming the output, and an
// output destroyed without Commit leaves the target as it was and no temporary file behind. The package
// uses ZIP64, which Excel 2007 cannot open, only when its worksheet part passes 4 GB and needs it.
#pragma once

#include <filesystem>
#include <memory>

#include "workbook/RowOutput.h"

namespace plicato {

std::unique_ptr<TRowOutput> MakeXlsxOutput(const std::filesystem::path& target);

}  // namespace plicato
