#include "cli/XlsxDump.h"

#include <algorithm>
#include <memory>

#include "biff/CodePage.h"
#include "workbook/Cell.h"
#include "workbook/NumberText.h"
#include "xlsx/XlsxErrors.h"
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

// Output gathered into pieces of a quarter megabyte before it is written.
class TPieces {
 public:
  explicit TPieces(const std::function<void(std::string_view)>& write) : write_(write) {}
  std::string& Text() { return text_; }
  void Flush(bool all = false) {
    if (text_.size() < kPiece && !(all && !text_.empty())) return;
    write_(text_);
    text_.clear();
  }

 private:
  static constexpr size_t kPiece = 256 << 10;
  const std::function<void(std::string_view)>& write_;
  std::string text_;
};

// Opens the file on its worksheet number `worksheet`.
std::unique_ptr<TXlsxSheetReader> OpenWorksheet(const std::filesystem::path& path, size_t worksheet) {
  auto reader = std::make_unique<TXlsxSheetReader>(path);
  size_t seen = 0;
  for (size_t i = 0; i < reader->Sheets().size(); ++i)
    if (reader->Sheets()[i].worksheet && seen++ == worksheet) {
      if (i != reader->SelectedSheet()) reader->SelectSheet(i);
      return reader;
    }
  throw EXlsxError(
      FormatMessage("The workbook has %zu worksheet(s); there is no worksheet %zu", seen, worksheet + 1));
}

}  // namespace

void DumpXlsxSheet(const std::filesystem::path& path, size_t worksheet, bool cells,
                   std::string (*csvField)(const std::string&),
                   const std::function<void(std::string_view)>& write) {
  TPieces out(write);
  TXlsxRow row;
  if (cells) {
    const std::unique_ptr<TXlsxSheetReader> reader = OpenWorksheet(path, worksheet);
    while (reader->NextRow(row)) {
      for (const TXlsxCell& cell : row.cells)
        out.Text() += std::to_string(row.index) + "," + std::to_string(cell.column) + "," +
                      std::to_string(CellKind(cell)) + "," + csvField(CellText(cell)) + "\r\n";
      out.Flush();
    }
    out.Flush(true);
    return;
  }
  // The CSV spans the values from A1, as for .xls: one pass finds their extent, a second prints.
  int lastRow = -1, lastColumn = -1;
  {
    const std::unique_ptr<TXlsxSheetReader> reader = OpenWorksheet(path, worksheet);
    while (reader->NextRow(row))
      for (const TXlsxCell& cell : row.cells)
        if (cell.kind != xkBlank) {
          lastRow = static_cast<int>(row.index);
          lastColumn = std::max(lastColumn, static_cast<int>(cell.column));
        }
  }
  if (lastRow < 0) return;
  const std::unique_ptr<TXlsxSheetReader> reader = OpenWorksheet(path, worksheet);
  int next = 0;
  auto emptyRow = [&] {
    out.Text().append(static_cast<size_t>(lastColumn), ',');
    out.Text() += "\r\n";
    out.Flush();
  };
  while (next <= lastRow && reader->NextRow(row)) {
    for (; next < static_cast<int>(row.index) && next <= lastRow; ++next) emptyRow();
    if (next > lastRow) break;
    size_t i = 0;
    for (int column = 0; column <= lastColumn; ++column) {
      if (column > 0) out.Text() += ',';
      if (i < row.cells.size() && row.cells[i].column == column)
        out.Text() += csvField(CellText(row.cells[i++]));
    }
    out.Text() += "\r\n";
    out.Flush();
    ++next;
  }
  for (; next <= lastRow; ++next) emptyRow();
  out.Flush(true);
}

}  // namespace plicato
