#include "cli/XlsxDump.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>

#include "biff/CodePage.h"
#include "workbook/Cell.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

// A number the way a workbook renders a number cell in the General format: at most 15 significant
// digits, exponents as E+n / E-n, the locale's decimal separator; so .xls and .xlsx dumps compare.
std::string NumberText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  std::string text = buffer;
  const size_t e = text.find('E');
  if (e != std::string::npos) {
    std::string digits = text.substr(e + 2);
    while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
    text = text.substr(0, e) + "E" + (text[e + 1] == '-' ? "-" : "+") + digits;
  }
  const lconv* conv = std::localeconv();
  const std::string separator =
      conv && conv->decimal_point && *conv->decimal_point ? conv->decimal_point : ".";
  if (const size_t dot = text.find('.'); separator != "." && dot != std::string::npos)
    text.replace(dot, 1, separator);
  return text;
}

std::string CellText(const TXlsxCell& cell) {
  switch (cell.kind) {
    case xkNumber:
      return NumberText(cell.number);
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
