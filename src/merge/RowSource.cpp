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
    stored_ = static_cast<int>(sheet_.Cells().RowCells(static_cast<uint32_t>(row_), cells_, kColumns));
    bool hasText = false;
    textWidth_ = 0;
    for (int column = 0; column < stored_; ++column) {
      const TCell* cell = cells_[column];
      if (!cell) continue;
      if (cell->kind == ckString && !TSST::EntryIsEmpty(cell->entry)) {
        hasText = true;
        textWidth_ = column + 1;
      } else if (cell->kind == ckFloat) {
        textWidth_ = column + 1;
      }
    }
    ++row_;
    return hasText;
  }

  int TextWidth() const override { return textWidth_; }

  void CellText(int column, std::u16string& text) override {
    text.clear();
    if (column >= stored_) return;
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
  // The current row's cells below column stored_ (null where none); none from there on.
  TCell* cells_[kColumns] = {};
  int stored_ = 0;
  int textWidth_ = 0;
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
    textWidth_ = 0;
    for (const TXlsxCell& cell : row_.cells) {
      if (cell.column >= kColumns) {
        if (cell.kind != xkBlank) leftOut = cell.column + 1u;
        continue;
      }
      cells_[cell.column] = &cell;
      // Only a text cell keeps its row, as in .xls: a formula's cached text is a formula's result.
      if (cell.kind == xkText && !cell.formula && !cell.text.empty()) hasText = true;
      if (!cell.formula && (cell.kind == xkNumber || cell.kind == xkText))
        textWidth_ = std::max(textWidth_, static_cast<int>(cell.column) + 1);
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
  int TextWidth() const override { return textWidth_; }

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
  int textWidth_ = 0;
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
