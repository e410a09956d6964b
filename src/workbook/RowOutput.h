// Where merged rows go: one output file of one format (.xls, .xlsx or .csv), filled row by row from the
// top and then committed. The merge writes through this interface alone and does not know which format it
// has; each format's writer lives with that format and implements it. How an output is chosen, named,
// written behind and put in place is told in merge/output/Outputs.h; the interface and the table of what
// each format holds are here, below the writers that implement and check against them.
//
// An output writes as it is given rows where its format allows (.xlsx and .csv stream them to a temporary
// file beside the target), so a million-row output never sits in memory whole. Nothing replaces the target
// before Commit: an output destroyed without it removes its temporary file and leaves the target as it was.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "workbook/Cell.h"

namespace plicato {

enum TOutputFormat : uint8_t { ofXls, ofXlsx, ofCsv };

enum TOutKind : uint8_t { okText, okNumber, okBoolean, okError };

// Names a text without spelling it: cells with the same key hold the same text, so an output can look
// the text up once for all of them. source is a number no other input of the process shares (0: no key),
// entry the input's own name for the text (its string table entry).
struct TTextKey {
  uint64_t source = 0;
  const void* entry = nullptr;
};

// One cell of a row. Views point into the caller's memory and are valid during the PutRow call only.
struct TOutCell {
  uint16_t column = 0;
  TOutKind kind = okText;
  bool boolean = false;       // okBoolean
  TCellError error = ceNone;  // okError: one of the seven error values
  double number = 0;          // okNumber
  std::u16string_view text;   // okText; an empty text is a text cell in .xls, nothing in .xlsx and .csv
  TTextKey textKey;           // okText: the text's key, when its input gives one
  // okNumber: the number format code the value is shown with ("0.00%", "yyyy\-mm\-dd"); empty for General.
  // Dates are numbers with a date format, counted in the 1900 date system.
  std::u16string_view format;
};

// The rows and columns one file of a format holds, stated here only: the writers refuse what lies
// beyond, the merge splits its output at the rows, and the output-clash check counts continuations by them.
struct TOutputCapacity {
  uint32_t rows;
  uint32_t columns;
};
inline constexpr TOutputCapacity kOutputCapacities[] = {
    {65536, 256},          // ofXls: a BIFF8 worksheet
    {1048576, 16384},      // ofXlsx: an Office Open XML worksheet
    {UINT32_MAX, 16384}};  // ofCsv: no row limit; the columns a spreadsheet program opens
constexpr TOutputCapacity CapacityOf(TOutputFormat format) { return kOutputCapacities[format]; }

class TRevisableOutput;

class TRowOutput {
 public:
  virtual ~TRowOutput() = default;

  // The distinct number formats given that the output could not hold (an .xls file holds 32,768 cell
  // formats): their numbers show as General.
  virtual uint32_t FormatsLeftOut() const { return 0; }

  // Adds output row `row` (below the format's capacity; rows come in ascending order, each at most once,
  // and a row not given is empty) with its cells in ascending columns, each column at most once, below
  // the capacity's columns. Throws EFileError when the output cannot be written (a full disk is found as
  // the rows are written).
  virtual void PutRow(uint32_t row, std::span<const TOutCell> cells) = 0;

  // Finishes the file and puts it in place of the target: written to a temporary file beside it, synced,
  // renamed over it, and the folder synced. Throws EFileError naming the output when it cannot.
  virtual void Commit() = 0;

  // The output's revisable calls, or null for an output that streams its rows away (.xlsx, .csv).
  virtual TRevisableOutput* Revisable() { return nullptr; }
};

// An output that holds its rows until Commit (.xls) and so can still change rows it was given, and pad
// them: what a classic merge needs of its .xls output.
class TRevisableOutput : public TRowOutput {
 public:
  TRevisableOutput* Revisable() override { return this; }

  // The rows given from now on get an empty text cell in each column after their last cell and below
  // padTo (0: none): the classic merge's rows carry one text cell in each of their 255 columns.
  virtual void PadRowsTo(uint16_t padTo) = 0;
  // Adds a cell to a row given before, in a column where the row has no cell: the merge's mark of a
  // file's row count, known once the file's rows are given.
  virtual void PutLateCell(uint32_t row, const TOutCell& cell) = 0;
  // Forgets the rows from fromRow on, so that the next row given may be fromRow again: the rows of a file
  // that failed part-way.
  virtual void DropRows(uint32_t fromRow) = 0;
};

}  // namespace plicato
