// The columns of the output's rows: the source column, the mark column, then a sheet's data columns
// moved right past them; how many columns of a sheet are read and how many fit; how far a classic row
// is padded. It also keeps the header rows, taken from the first sheet that gives rows and repeated atop
// every continuation output.
//
// A row's data cells are placed one by one (Place). Where columns are matched by header name, a sheet's
// own column map (TColumnMatch::Map) takes each data cell's column in its sheet to the output's data
// column before the shift past the source and mark; a cell of a column left out (past the output's
// width, or past the columns the header pre-read knew of) is not placed but counted for the remark. The
// last header row is then the union's names; the header rows above it are the first file's, as they are.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "merge/ColumnMatch.h"
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

  // Matching columns by header: the output's data columns, named (the union, as many as are written).
  // The last header row is written with these names from then on.
  void SetColumnNames(const std::vector<std::u16string>& names);
  size_t Columns() const { return names_.size(); }
  // The current sheet, file of match: its map from its columns to the output's data columns (kLeftOut:
  // not written), widened as values past its header come. A named column past the names written is left
  // out: a sheet matched late brings no new column. Null: no map yet, nothing is placed.
  void SetMap(TColumnMatch* match, size_t file);
  // The last header row, of the union's names; at the output's data columns before the shift.
  std::span<const TOutCell> NamesRow() const { return namesRow_; }
  // The sheet's columns (zero-based) whose values were left out since the last call, ascending.
  std::vector<uint32_t> TakeColumnsLeftOut();

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

  static constexpr uint32_t kLeftOut = TColumnMatch::kLeftOut;

  // A data cell at its column in the output.
  TOutCell Place(TOutCell cell) const {
    cell.column = static_cast<uint16_t>(cell.column + shift_);
    return cell;
  }
  // The data cells laid out through the sheet's map, in ascending output columns; a classic row carries
  // a text in every written column, as its rows by position do.
  void PlaceMatched(std::span<const TOutCell> data);
  void TakeMap(const std::vector<uint32_t>& map);

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
  // Matching columns by header.
  bool matching_ = false;
  bool classic_ = true;
  std::vector<std::u16string> names_;
  std::vector<TOutCell> namesRow_;
  TColumnMatch* match_ = nullptr;
  size_t file_ = 0;
  std::vector<uint32_t> map_;
  bool identity_ = false;  // map_ keeps every column where it is: rows within it pass unchanged
  size_t width_ = 0;  // the data columns a row of the sheet may fill
  std::vector<TOutCell> matched_;     // a matched row's data cells, ascending
  std::vector<TOutCell> byColumn_;    // a matched row's cells at their output data columns
  std::vector<bool> filled_;          // which of byColumn_ the row gave
  std::vector<bool> leftOut_;         // the sheet's columns whose values were left out
  std::u16string markText_;
  TOutCell markCell_;
};

}  // namespace plicato
