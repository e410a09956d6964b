// Reads the worksheets of an Office Open XML workbook (.xlsx, .xlsm) row by row, for callers that want
// their values without building a workbook model: the merge (as a row source beside the .xls reader) and
// the command line's dump.
//
// The workbook part lists the sheets; each is found through the package's relationships. Chart, dialog
// and macro sheets are listed but not read. The styles (for the cells' number formats) and the shared
// strings are read when the workbook is opened and held for the whole read; a sheet is inflated by a
// worker thread, a few blocks ahead, and parsed with expat as its rows are asked for (see SheetRows.h).
// Memory is bounded by the shared strings (at most 1 GB; see SharedStrings.h) plus some ten megabytes for
// the sheet being read, 60 at most.
// Dates are numbers, as in .xls; a t="d" cell (an ISO 8601 date, time or duration) becomes the same
// serial number (a time a fraction of a day, a duration days).
//
// Every failure is an EXlsxError with a message naming the part and, for XML, the line: damage in the
// zip (CRC, deflate, truncation, two entries of one name), a part declaring more than 2 GB or inflating
// to more than it declared, shared strings past their memory budget, a document type or entity
// declaration, a missing relationship or part, a sheet cut short, a cell reference outside the worksheet,
// a value that is not what its type says. Running out of memory is an EXlsxError naming the file. An
// encrypted workbook (a compound document holding an EncryptedPackage stream) and an .xlsb workbook are
// refused with kEncryptedXlsx and kXlsbNotSupported.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "workbook/Cell.h"
#include "xlsx/XlsxErrors.h"

namespace plicato {

enum TXlsxCellKind : uint8_t { xkBlank, xkNumber, xkText, xkBoolean, xkError };

struct TXlsxCell {
  uint16_t column = 0;           // 0-based, below kXlsxMaxColumns
  TXlsxCellKind kind = xkBlank;  // xkBlank: a cell element without a value (often only a format)
  bool formula = false;          // the value is the cached result of a formula
  bool boolean = false;          // xkBoolean
  TCellError error = ceNone;     // xkError: one of the seven .xls error values, ceNone for any other
  double number = 0;             // xkNumber
  // xkText: the text; xkError: the error as written ("#DIV/0!"). Valid until the next NextRow.
  std::u16string_view text;
  // The number format code of the cell's style ("0.00%", "yyyy-mm-dd"), empty for General; for a date
  // cell (t="d") whose style shows no date, a date, date-time, time or duration code. Valid until the
  // next NextRow.
  std::u16string_view format;
};

// A sheet as the workbook lists it. Chart, dialog and macro sheets have worksheet = false.
struct TXlsxSheetEntry {
  std::u16string name;
  bool worksheet = true;
};

struct TXlsxRow {
  uint32_t index = 0;            // 0-based, below kXlsxMaxRows; rows absent from the sheet are skipped
  std::vector<TXlsxCell> cells;  // ascending columns, each at most once
};

inline constexpr uint32_t kXlsxMaxRows = 1048576;
inline constexpr uint32_t kXlsxMaxColumns = 16384;

class TXlsxSheetReader {
 public:
  // Opens the workbook and reads its styles and shared strings; the first NextRow starts on the first
  // worksheet. A workbook without a worksheet is refused (EXlsxError).
  explicit TXlsxSheetReader(const std::filesystem::path& path);
  // bytes must outlive the reader.
  explicit TXlsxSheetReader(std::span<const uint8_t> bytes);
  ~TXlsxSheetReader();
  TXlsxSheetReader(const TXlsxSheetReader&) = delete;
  TXlsxSheetReader& operator=(const TXlsxSheetReader&) = delete;

  // The next row of the sheet that has a <row> element, in ascending row order (rows out of order are
  // refused); false after the last. Cells' texts point into the reader and are valid until the next call.
  bool NextRow(TXlsxRow& row);

  // Every sheet in workbook order.
  const std::vector<TXlsxSheetEntry>& Sheets() const;
  // Moves reading to sheet index of Sheets(): the next NextRow gives its first row. Callable at any time,
  // after rows of another sheet were read or after a failure. EXlsxError for a sheet that is not a
  // worksheet, an index past the list, or a sheet whose part cannot be found; NextRow then fails too until
  // a sheet is chosen that can be read.
  void SelectSheet(size_t index);
  size_t SelectedSheet() const;  // the index in Sheets() of the sheet being read
  // The workbook counts its dates from 1904 (serial 0 is 1904-01-01), not from 1900.
  bool Date1904() const;

  const std::u16string& SheetName() const;  // of the sheet being read
  const std::string& SheetPart() const;     // its part name, "xl/worksheets/sheet1.xml"
  size_t SharedStringCount() const;

 private:
  struct TImpl;
  std::string file_;  // the file's name as messages give it
  std::unique_ptr<TImpl> impl_;
};

// The size of the pieces a large sheet is cut into, to be parsed on two threads (1 MB); 0 parses every
// sheet with one parser. For tests and benchmarks, which compare the two ways: they give the same rows and
// the same failures. Takes effect for readers that have not yet read their first row.
void SetXlsxSheetPieceSize(size_t bytes);

// The memory the shared strings of one .xlsx input may take: 1 GB, as the README states it. Tests set a
// smaller budget to meet the limit without building a gigabyte; it applies to readers opened after.
size_t XlsxSharedStringsBudget();
void SetXlsxSharedStringsBudget(size_t bytes);

// How a file given by name is to be read, by its first bytes: a zip archive is Office Open XML; anything
// else, a file that cannot be read included, goes to the .xls reader, which says what it cannot read.
enum TWorkbookContent : uint8_t { wcXls, wcXlsx };
TWorkbookContent DetectWorkbookContent(const std::filesystem::path& path);

// True for a compound document holding an EncryptedPackage stream: an encrypted .xlsx (or another
// encrypted Office file), damaged or not (a document whose sector chains are broken is searched for the
// stream's directory entry). Reads the whole file, so callers ask only once the .xls reader has refused it.
bool HoldsEncryptedPackage(const std::filesystem::path& path);

}  // namespace plicato
