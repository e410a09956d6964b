// The input side of the merge: a workbook to merge, its sheets, and the rows of the sheet being read as
// typed cells, the same for .xls and .xlsx files. The merge applies its rules (classic or value mode,
// header rows) to these rows; an input book only reads.
//
// A CSV file is a book of one sheet (CsvReader.h).
//
// An .xls file is read whole into a workbook model first; an .xlsx/.xlsm file is streamed from its sheet
// XML one row at a time, so that a sheet of a million rows never becomes a model in memory. A streamed
// book can therefore fail in NextRow, after some of its rows were given. Selecting a sheet again reads it
// again from its top (a streamed sheet is parsed a second time).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/Cell.h"
#include "workbook/RowOutput.h"

namespace plicato {

class TXLSWorkbook;

enum TInKind : uint8_t { ikBlank, ikNumber, ikText, ikBoolean, ikError };

// One cell of an input row. A formula cell gives its cached result as a cell of the result's kind, with
// formula set. Views are valid until the next NextRow or SelectSheet.
struct TInCell {
  uint16_t column = 0;
  TInKind kind = ikBlank;
  bool formula = false;
  bool boolean = false;        // ikBoolean
  TCellError error = ceNone;   // ikError: one of the seven error values, ceNone for another (see text)
  double number = 0;           // ikNumber
  std::u16string_view text;    // ikText: the text, possibly empty; ikError: the error as written, if known
  TTextKey textKey;            // ikText: the text's key, when the book gives one (not for formula results)
  std::u16string_view format;  // ikNumber: the number format code, empty for General
};

struct TInRow {
  uint32_t index = 0;          // 0-based row number in the sheet
  std::vector<TInCell> cells;  // ascending columns below the book's column limit
  // The one-based number of the last column at or past the column limit holding a value (not blank), or 0.
  uint32_t lastColumnOut = 0;
};

// A remark on what a book read of its selected sheet that lost nothing but should be looked at, with the
// file's one-based line where it was first found.
struct TInRemark {
  enum TKind : uint8_t {
    rkUndecodable,    // bytes the encoding cannot decode, read as U+FFFD
    rkUnclosedQuote,  // a quote left open, closed by the file's end: the rest was taken as its field
  };
  TKind kind = rkUndecodable;
  uint32_t line = 0;
};

struct TInSheet {
  std::u16string name;
  bool worksheet = true;  // false for chart, macro, dialog sheets and VB modules: they are not merged
};

class TInputBook {
 public:
  virtual ~TInputBook() = default;

  // Every sheet in the workbook's order (as its tabs show them).
  virtual const std::vector<TInSheet>& Sheets() const = 0;
  // Starts reading sheet index of Sheets() (a worksheet) from its top; also to read it again.
  virtual void SelectSheet(size_t index) = 0;
  // The next row of the selected sheet that has cells, in ascending row order; rows without cells are
  // passed over. False after the last.
  virtual bool NextRow(TInRow& row) = 0;
  // Moves past the next row without giving its cells: its index, and whether it holds a value (a cell
  // that is not blank, in any column). False after the last.
  virtual bool SkipRow(uint32_t& index, bool& holdsValue) = 0;
  // The workbook counts its dates from 1904, not 1900.
  virtual bool Date1904() const = 0;
  // The remarks on the selected sheet as far as it was read; selecting it again begins them anew.
  virtual std::vector<TInRemark> Remarks() const { return {}; }
  // The book has only the one sheet, whichever sheet a run asks for (a CSV file).
  virtual bool OneSheet() const { return false; }

  // The columns given in rows' cells (0 to columns - 1); the others are only reported (lastColumnOut).
  void SetColumnLimit(uint32_t columns) { columnLimit_ = columns; }

 protected:
  uint32_t columnLimit_ = 256;
};

// Takes a workbook that has been read.
std::unique_ptr<TInputBook> MakeXlsBook(std::unique_ptr<TXLSWorkbook> workbook);
// Opens an Office Open XML workbook (EXlsxError when it cannot).
std::unique_ptr<TInputBook> MakeXlsxBook(const std::filesystem::path& path);

// Whether a number format code shows a date: a day, month or year part outside quoted text, escaped
// characters and brackets ("yyyy-mm-dd", "d-mmm", "mmmm"; not "h:mm", "[h]:mm:ss", "[mm]:ss" or "0.00").
// An elapsed-time format is a duration, whatever else it shows.
bool IsDateFormat(std::u16string_view format);

// The serial number of the 1900 date system for a date counted from 1904 (1904-01-01 is 1462 there).
constexpr double kDays1900To1904 = 1462;

}  // namespace plicato
