// The rows of one worksheet part, parsed as they are asked for. A small sheet is parsed by one parser on
// the caller's thread, row by row; a large one is cut at its rows into pieces of a megabyte that a worker
// and the caller's thread parse side by side, the rows delivered in document order and exactly as one
// parse would deliver them (see TRowPieces in RowPieces.h). Memory: the inflater's blocks, four pieces
// with their parsed rows, and two rows; some ten megabytes for a common sheet, some 60 at most for pieces
// of nothing but empty <c/> elements (56 bytes a cell).
//
// A row number written twice in a row (<row r="5"> after <row r="5">) gives one row with the cells of
// both, the later cell kept where both have one, as spreadsheet programs read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "xlsx/SharedStrings.h"
#include "xlsx/XlsxReader.h"
#include "xlsx/XlsxStyles.h"
#include "xlsx/ZipPackage.h"

namespace plicato::xlsx {

// What the cells of a sheet are read against. Outlives the sheet's reader.
struct TSheetContext {
  const TSharedStrings& strings;
  const TCellStyles& styles;
  bool date1904 = false;
  bool dateCompatibility = true;  // the 1900 system's fictitious 1900-02-29 counts (see ParseIsoDate)
};

// Parsed rows kept compactly, for one row of the single parse or for all rows of a piece parsed ahead:
// the cells' values (a shared string or a format is a view of a table that outlives the store), texts of
// their own in one buffer.
struct TStoredCell {
  TXlsxCell cell;  // text: a shared string or an error's name; a text of its own is in owned
  size_t offset = 0, length = 0;
  bool owned = false;
};

struct TStoredRow {
  uint32_t index = 0;
  size_t end = 0;  // the end of the row's cells; they start where the row before ends
};

struct TRowStore {
  std::vector<TStoredCell> cells;
  std::vector<TStoredRow> rows;
  std::u16string texts;

  void Clear() {
    cells.clear();
    rows.clear();
    texts.clear();
  }
  size_t Begin(size_t r) const { return r == 0 ? 0 : rows[r - 1].end; }
  // The texts of row r point into the store: valid while it is neither cleared nor added to.
  void Deliver(size_t r, TXlsxRow& row) const;
  // Adds the cells of row r of from as a row of this store, or to its last row when that has the same
  // number (sorted by column, the later of two cells in one column kept).
  void Take(const TRowStore& from, size_t r);
};

// Cells of a row from begin on, written out of column order: sorted, the last of several at one column
// kept.
void SortCells(std::vector<TStoredCell>& cells, size_t begin);

class TRowPieces;

class TSheetRows {
 public:
  TSheetRows(std::unique_ptr<TPartReader> source, const TSheetContext& context);
  ~TSheetRows();
  TSheetRows(const TSheetRows&) = delete;
  TSheetRows& operator=(const TSheetRows&) = delete;

  // The next row in ascending order, each number once; false after the last. A failure is thrown after
  // the rows before it were given, and again at every later call.
  bool Next(TXlsxRow& row);

 private:
  std::unique_ptr<TRowPieces> pieces_;
  // The row given last and the row read ahead, which may yet take the cells of a repeated row number.
  TRowStore stores_[2];
  size_t ahead_ = 0;  // the store of the row read ahead
  bool hasAhead_ = false;
  std::exception_ptr failure_;
};

// The size of the pieces (see SetXlsxSheetPieceSize).
void SetPieceSize(size_t bytes);

}  // namespace plicato::xlsx
