#include "merge/RowSource.h"

#include <algorithm>

#include "biff/CodePage.h"
#include "merge/MergeEngine.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

constexpr int kMaxXlsRows = 65536;

class TXlsRowSource : public TRowSource {
 public:
  explicit TXlsRowSource(std::unique_ptr<TXLSWorkbook> workbook)
      : workbook_(std::move(workbook)), sheet_(workbook_->Sheets()[0]) {}

  bool NextRow() override {
    if (row_ >= kMaxXlsRows) return false;
    // The row's cells are looked up once, for the text test and the copy alike.
    bool hasText = false;
    for (int column = 0; column < kColumns; ++column) {
      const TCell* cell = sheet_.FindCell(column, row_);
      cells_[column] = cell;
      if (cell && cell->kind == ckString && !TSST::EntryIsEmpty(cell->entry)) hasText = true;
    }
    ++row_;
    return hasText;
  }

  void CellText(int column, std::u16string& text) override {
    text.clear();
    // Ask the kind first: most cells are not numbers, and a failed number lookup must not cost an
    // exception per cell.
    const TCell* cell = cells_[column];
    if (cell && cell->kind == ckFloat) {
      text = FromUtf8(RoundedNumberText(cell->number));
    } else if (cell && cell->kind == ckString) {
      TSST::AppendEntryText(cell->entry, text);
    }
  }

 private:
  std::unique_ptr<TXLSWorkbook> workbook_;
  TSheet& sheet_;
  int row_ = 0;
  const TCell* cells_[kColumns] = {};
};

class TXlsxRowSource : public TRowSource {
 public:
  explicit TXlsxRowSource(const std::filesystem::path& path) : reader_(path) {}

  bool NextRow() override {
    // A row the sheet leaves out holds no text, so it ends the file like an empty row of an .xls sheet.
    if (ended_ || !reader_.NextRow(row_) || row_.index != next_) return End();
    ++next_;
    std::fill(std::begin(cells_), std::end(cells_), nullptr);
    bool hasText = false;
    uint32_t leftOut = 0;
    for (const TXlsxCell& cell : row_.cells) {
      if (cell.column >= kColumns) {
        if (cell.kind != xkBlank) leftOut = cell.column + 1u;
        continue;
      }
      cells_[cell.column] = &cell;
      // Only a text cell keeps its row, as in .xls: a formula's cached text is a formula's result.
      if (cell.kind == xkText && !cell.formula && !cell.text.empty()) hasText = true;
    }
    if (!hasText) return End();
    lastColumnLeftOut_ = std::max(lastColumnLeftOut_, leftOut);
    return true;
  }

  void CellText(int column, std::u16string& text) override {
    text.clear();
    const TXlsxCell* cell = cells_[column];
    // Booleans, errors, blanks and formulas, whatever their cached value, become empty text as in .xls.
    if (!cell || cell->formula) return;
    if (cell->kind == xkNumber) {
      text = FromUtf8(RoundedNumberText(cell->number));
    } else if (cell->kind == xkText) {
      text.assign(cell->text);
    }
  }

  uint32_t LastColumnLeftOut() const override { return lastColumnLeftOut_; }

 private:
  // Once ended the reader is not asked again: the rest of the sheet is never merged.
  bool End() {
    ended_ = true;
    return false;
  }

  TXlsxSheetReader reader_;
  TXlsxRow row_;
  uint32_t next_ = 0;
  bool ended_ = false;
  uint32_t lastColumnLeftOut_ = 0;
  const TXlsxCell* cells_[kColumns] = {};
};

}  // namespace

std::unique_ptr<TRowSource> MakeXlsRowSource(std::unique_ptr<TXLSWorkbook> workbook) {
  return std::make_unique<TXlsRowSource>(std::move(workbook));
}

std::unique_ptr<TRowSource> MakeXlsxRowSource(const std::filesystem::path& path) {
  return std::make_unique<TXlsxRowSource>(path);
}

}  // namespace plicato
