#include "xls/XlsRowOutput.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "workbook/CellFormats.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato {

namespace {

constexpr uint32_t kRows = 65536;
constexpr uint32_t kColumns = 256;

class TXlsRowOutput : public TRowOutput {
 public:
  explicit TXlsRowOutput(const std::filesystem::path& path) : sheet_(workbook_.Sheets()[0]) {
    workbook_.Filename = FileNameFromPath(path);
  }

  uint32_t MaxRows() const override { return kRows; }
  uint32_t MaxColumns() const override { return kColumns; }

  void PutRow(uint32_t row, std::span<const TOutCell> cells, uint16_t padTo) override {
    int last = -1;
    for (const TOutCell& cell : cells) {
      Put(row, cell);
      last = cell.column;
    }
    const int end = std::min<int>(padTo, kColumns);
    // The rest of the row is empty text, one text cell per column, put in one go.
    if (last + 1 < end) sheet_.PutEmptyTexts(last + 1, end - 1, static_cast<int>(row));
    rows_ = std::max(rows_, row + 1);
  }

  bool Revisable() const override { return true; }
  void PutLateCell(uint32_t row, const TOutCell& cell) override { Put(row, cell); }
  void DropRows(uint32_t fromRow) override {
    if (fromRow >= rows_) return;
    sheet_.DeleteCells(0, kColumns - 1, static_cast<int>(fromRow), static_cast<int>(rows_ - 1));
    rows_ = fromRow;
  }

  void Commit() override { WriteWorkbook(workbook_); }

 private:
  void Put(uint32_t row, const TOutCell& cell) {
    const int r = static_cast<int>(row);
    switch (cell.kind) {
      case okText:
        sheet_.PutText(cell.column, r, cell.text);
        break;
      case okNumber:
        sheet_.PutFloat(cell.column, r, cell.number, FormatIndex(cell.format));
        break;
      case okBoolean:
        sheet_.PutBoolean(cell.column, r, cell.boolean, kDefaultCellFormatIndex);
        break;
      case okError:
        sheet_.PutError(cell.column, r, cell.error, kDefaultCellFormatIndex);
        break;
    }
  }

  // The cell format showing numbers with this number format: the default cell format with the number
  // format set, made once per format and kept (this output holds a use of it) until the output goes.
  int FormatIndex(std::u16string_view format) {
    if (format.empty()) return kDefaultCellFormatIndex;
    if (format == lastFormat_) return lastIndex_;
    auto found = indexes_.find(std::u16string(format));
    int index = kDefaultCellFormatIndex;
    if (found != indexes_.end()) {
      index = found->second;
    } else {
      TCellFormats& formats = workbook_.CellFormats();
      TCellFormat copy(&formats, kDefaultCellFormatIndex);
      try {
        copy.SetNumberFormatText(format);
        index = formats.FindOrAddCounted(copy)->Index();
      } catch (const EPlicatoError&) {
        // A code the format table cannot hold (longer than 255 characters): the number shows as General.
      }
      indexes_.emplace(format, index);
    }
    lastFormat_.assign(format);
    lastIndex_ = index;
    return index;
  }

  TXLSWorkbook workbook_;
  TSheet& sheet_;
  uint32_t rows_ = 0;  // one past the last row given
  std::unordered_map<std::u16string, int> indexes_;
  std::u16string lastFormat_;
  int lastIndex_ = kDefaultCellFormatIndex;
};

}  // namespace

std::unique_ptr<TRowOutput> MakeXlsOutput(const std::filesystem::path& path) {
  return std::make_unique<TXlsRowOutput>(path);
}

}  // namespace plicato
