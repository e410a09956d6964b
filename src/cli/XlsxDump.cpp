#include "cli/XlsxDump.h"

#include <algorithm>

#include "biff/CodePage.h"
#include "workbook/Cell.h"
#include "workbook/NumberText.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

std::string CellText(const TXlsxCell& cell) {
  switch (cell.kind) {
    case xkNumber:
      // As the workbook renders a number cell, so that .xls and .xlsx dumps compare.
      return ToUtf8(GeneralNumberText(cell.number));
    case xkText:
    case xkError:
      return ToUtf8(cell.text);
    case xkBoolean:
      return cell.boolean ? "TRUE" : "FALSE";
    default:
      return std::string();
  }
}

// The cell kinds of the .xls dump: 1 blank, 4 number, 5 text, 6 boolean, 7 error, 8-11 formulas.
int CellKind(const TXlsxCell& cell) {
  switch (cell.kind) {
    case xkNumber:
      return cell.formula ? ckNumberFormula : ckFloat;
    case xkText:
      return cell.formula ? ckStringFormula : ckString;
    case xkBoolean:
      return cell.formula ? ckBooleanFormula : ckBoolean;
    case xkError:
      return cell.formula ? ckErrorFormula : ckError;
    default:
      return ckBlank;
  }
}

}  // namespace

std::string DumpXlsxSheet(const std::filesystem::path& path, bool cells,
                          std::string (*csvField)(const std::string&)) {
  std::string out;
  TXlsxRow row;
  if (cells) {
    TXlsxSheetReader reader(path);
    while (reader.NextRow(row))
      for (const TXlsxCell& cell : row.cells)
        out += std::to_string(row.index) + "," + std::to_string(cell.column) + "," +
               std::to_string(CellKind(cell)) + "," + csvField(CellText(cell)) + "\r\n";
    return out;
  }
  // The CSV spans the used range from A1, as for .xls: one pass finds it, a second prints.
  int lastRow = -1, lastColumn = -1;
  {
    TXlsxSheetReader reader(path);
    while (reader.NextRow(row)) {
      if (row.cells.empty()) continue;
      lastRow = static_cast<int>(row.index);
      lastColumn = std::max(lastColumn, static_cast<int>(row.cells.back().column));
    }
  }
  if (lastRow < 0) return out;
  TXlsxSheetReader reader(path);
  int next = 0;
  auto emptyRow = [&] { out += std::string(static_cast<size_t>(lastColumn), ',') + "\r\n"; };
  while (next <= lastRow && reader.NextRow(row)) {
    for (; next < static_cast<int>(row.index) && next <= lastRow; ++next) emptyRow();
    if (next > lastRow) break;
    size_t i = 0;
    for (int column = 0; column <= lastColumn; ++column) {
      if (column > 0) out += ',';
      if (i < row.cells.size() && row.cells[i].column == column) out += csvField(CellText(row.cells[i++]));
    }
    out += "\r\n";
    ++next;
  }
  for (; next <= lastRow; ++next) emptyRow();
  return out;
}

}  // namespace plicato
