// How a mode takes rows from a sheet. The classic rule takes the rows from the top down to the first one
// without text, every cell up to the last number or text as text; the value rule takes every row that
// holds a value, every cell with its type. Either way only the columns that fit the output are taken;
// the columns left out are counted for the file's remark. The rule owns the row being read and the row
// taken from it, which the caller lays out before asking for the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "merge/RowSource.h"
#include "merge/RunReport.h"
#include "workbook/RowOutput.h"

namespace plicato {

inline TOutCell TextCell(uint16_t column, std::u16string_view text) {
  TOutCell cell;
  cell.column = column;
  cell.text = text;
  return cell;
}

// What the run knows of the sheet being merged.
struct TSheetState {
  int64_t taken = 0;     // rows the mode took, header rows included
  int64_t data = 0;      // data rows given to outputs
  int64_t counted = -1;  // data rows counted before (for marks into an output that cannot go back), or -1
  // Classic mode: the sheet's rows end at the first one without text.
  uint32_t next = 0;           // the row expected next
  bool ended = false;          // that row was found
  bool endHoldsValue = false;  // the row read that ended the rows (it or a later one) holds a value
};

class TRowRule {
 public:
  // classic: the classic rule, else the value rule. limit: the columns of a sheet read; fit: those of
  // them that fit the output.
  TRowRule(bool classic, uint32_t limit, uint32_t fit) : classic_(classic), fit_(fit), texts_(limit) {}

  // Reads the next row the mode takes; its cells are then Taken(). Classic mode: false at the first row
  // without non-empty text (a row the sheet leaves out has none). Value mode: rows without a value are
  // passed over.
  bool Next(TInputBook& book, TSheetState& state);
  // The last row of the sheet Next read (one-based), 0 before the first: where a failure came after.
  void BeginSheet() { lastRead_ = 0; }
  uint32_t LastRowRead() const { return lastRead_; }
  // The data cells taken, at the sheet's columns; valid until the next call of Next.
  const std::vector<TOutCell>& Taken() const { return taken_; }

  // The data rows the selected sheet will give (its rows taken less headerRows), read once ahead; the
  // sheet is then read to its end.
  int64_t CountDataRows(TInputBook& book, int headerRows);
  // Classic mode, after Next ended the sheet's rows: the rows with values from the one that ended them on.
  // A stop request stops the count.
  TRowsLeft CountRowsLeft(TInputBook& book, const TSheetState& state, const std::atomic<int32_t>& stop);

  // The columns of the file's rows left out (one past the last with a value), or 0: counted from
  // BeginFile on.
  void BeginFile() { lastColumnOut_ = 0; }
  uint32_t LastColumnOut() const { return lastColumnOut_; }

 private:
  void TakeClassic();
  bool TakeValues(bool date1904);

  bool classic_;
  uint32_t fit_;
  uint32_t lastColumnOut_ = 0;
  uint32_t lastRead_ = 0;
  TInRow row_;
  std::vector<TOutCell> taken_;
  std::vector<std::u16string> texts_;  // the classic merge's texts of numbers, by column
};

}  // namespace plicato
