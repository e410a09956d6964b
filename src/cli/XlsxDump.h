// The dump command for Office Open XML workbooks: the first worksheet, streamed, printed in the forms
// the dump prints for .xls (CSV of every cell as a workbook renders it, or one line per cell).
#pragma once

#include <filesystem>
#include <string>

namespace plicato {

// csvField quotes one field as the .xls dump does. Returns the text to print.
std::string DumpXlsxSheet(const std::filesystem::path& path, bool cells,
                          std::string (*csvField)(const std::string&));

}  // namespace plicato
