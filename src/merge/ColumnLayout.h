// The columns of the output's rows: the source column, the mark column, then a sheet's data columns
// moved right past them; how many columns of a sheet are read and how many fit; how far a classic row
// is padded. It also keeps the header rows, taken from the first sheet that gives rows and repeated atop
// every continuation output.
//
// A row's data cells are placed one by one (Place). That is where a file's own column map (its columns
// matched to the output's by header name, TColumnMatch::Map) goes: a cell's column in its sheet is mapped
// to the output's data column first and then shifted past the source and mark, a cell of a column left
// out is not placed, and the columns that fit are then counted in the output's data columns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "merge/output/OutputNames.h"
#include "workbook/RowOutput.h"

namespace plicato {

class TColumnLayout {
 public:
  struct TSettings {
    TOutputFormat format = ofXls;
    bool classic = true;
    bool sourceColumn = false;
    bool mark = false;
    int headerRows = 0;  // 0 to 10
    std::u16string sourceCaption;
  };
  void Set(const TSettings& settings);

  uint32_t Limit() const { return limit_; }  // the columns of a sheet read
  uint32_t Fit() const { return fit_; }      // the columns of a sheet that fit the output
  uint16_t Shift() const { return shift_; }  // the columns before the data: source and mark
  uint32_t OutputColumns() const { return maxColumns_; }
  uint16_t PadTo() const { return padTo_; }
  int HeaderRows() const { return headerRows_; }
  bool SourceColumn() const { return sourceColumn_; }

  // The source column's text for the file's rows; for a sheet's rows, with the sheet's name where every
  // sheet is merged (sheet not null).
  void SetFileSource(std::u16string source) { fileSource_ = std::move(source); }
  void SetSheetSource(const std::u16string* sheet) {
    sheetSource_ = sheet ? fileSource_ + u" | " + *sheet : fileSource_;
  }

  // The row to write from the data cells taken: the source cell (on a header row, the caption on the
  // first), the mark when there is one (mark >= 0), and the data cells moved right past them. Valid until
  // the next call.
  std::span<const TOutCell> Assemble(std::span<const TOutCell> data, int headerIndex, bool header, int64_t mark);
  // The mark given late, on the first row of a sheet's part in an output that can go back to it.
  const TOutCell& MarkCell(int64_t rows);

  // The header rows: none yet, being taken from the first sheet that gives rows, or taken.
  bool WantsHeader() const { return headerRows_ > 0 && headerState_ == hsNone; }
  // Keeps a header row taken; the header sheet is then being collected.
  void StoreHeader(std::span<const TOutCell> cells);
  // The sheet that gave the header rows is through (or failed): they are what they are.
  void EndHeader() {
    if (headerState_ == hsCollecting) headerState_ = hsDone;
  }
  // Header rows that no written output holds, of a file that failed: the next file gives them.
  void ForgetHeader() {
    headers_.clear();
    headerState_ = hsNone;
  }
  size_t StoredHeaders() const { return headers_.size(); }
  std::span<const TOutCell> StoredHeader(size_t i) const { return headers_[i].cells; }

 private:
  enum THeaderState : uint8_t { hsNone, hsCollecting, hsDone };

  // A header row kept, with its own texts.
  struct THeaderRow {
    std::vector<TOutCell> cells;
    std::vector<std::u16string> texts;
    std::vector<std::u16string> formats;

    void Assign(std::span<const TOutCell> from);
  };

  // A data cell at its column in the output.
  TOutCell Place(TOutCell cell) const {
    cell.column = static_cast<uint16_t>(cell.column + shift_);
    return cell;
  }

  uint32_t maxColumns_ = 0;
  bool sourceColumn_ = false;
  int headerRows_ = 0;
  std::u16string sourceCaption_;
  uint16_t sourceIndex_ = 0, markIndex_ = 0, shift_ = 0;
  uint32_t limit_ = 0;
  uint32_t fit_ = 0;
  uint16_t padTo_ = 0;
  std::u16string fileSource_, sheetSource_;
  THeaderState headerState_ = hsNone;
  std::vector<THeaderRow> headers_;
  std::vector<TOutCell> cells_;
  std::u16string markText_;
  TOutCell markCell_;
};

}  // namespace plicato
