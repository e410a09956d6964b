// The .csv output of a merge, and the CSV quoting that the command line's dump shares with it.
//
// RFC 4180 text in UTF-8 with a byte-order mark (so that spreadsheet programs open Chinese text as
// UTF-8), CRLF line ends, no row limit (CapacityOf(ofCsv)). A row holds its fields up to its last cell; a
// row the merge does not give is an empty line where a later row needs it to keep its position, and
// nothing after the last row given. Cells:
//   text      the text, quoted when it holds a comma, quote, CR or LF; an empty text an empty field
//   number    General (no format): the shortest digits that read back as the same double ("0.1",
//             "100000", "1e+300"; ShortestNumberText), -0 as 0; another format (a date, "0.00%") as the
//             format renders it (FormattedNumberText); NaN and infinities as #NUM!
//   boolean   TRUE or FALSE
//   error     its text ("#DIV/0!")
// The text is written to a temporary file beside the target through a buffer, and Commit syncs it and
// renames it over the target; a write that fails (a full disk) is an EFileError naming the output, and
// an output destroyed without Commit removes its temporary file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "workbook/RowOutput.h"

namespace plicato {

std::unique_ptr<TRowOutput> MakeCsvOutput(const std::filesystem::path& target);

// RFC 4180: a field with a comma, quote, CR or LF is quoted, its quotes doubled; any other is as it is.
void AppendCsvField(std::string& out, std::string_view text);
std::string CsvField(const std::string& text);

}  // namespace plicato
