// The dump command for Office Open XML workbooks: a worksheet, streamed, printed in the forms the dump
// prints for .xls (CSV of every cell as a workbook renders it, or one line per cell).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace plicato {

// Prints worksheet `worksheet` of the file (zero-based, counting worksheets only, chart and other sheets
// passed over, as the .xls dump counts them; its messages count from 1) through write, a piece at a time as
// the sheet is read: the output is never held whole. The CSV spans A1 to the last row and column holding a
// value (cells of nothing but a format do not widen it). csvField quotes one field as the .xls dump does.
// EXlsxError when the file cannot be read or has no such worksheet; what write throws is passed on.
void DumpXlsxSheet(const std::filesystem::path& path, size_t worksheet, bool cells,
                   std::string (*csvField)(const std::string&),
                   const std::function<void(std::string_view)>& write);

}  // namespace plicato
