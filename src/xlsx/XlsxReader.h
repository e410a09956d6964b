// Reads the first worksheet of an Office Open XML workbook (.xlsx, .xlsm) row by row, for callers that
// want its values without building a workbook model: the merge (as a row source beside the .xls reader)
// and the command line's dump.
//
// The first <sheet> of the workbook part is found through the package's relationships. The shared strings
// and then the sheet are inflated by a worker thread, a few blocks ahead, and parsed with expat. A sheet
// of a few megabytes or less is parsed on the caller's thread, NextRow stopping the parse at the end of
// each row; a larger one is cut at its rows into pieces of a megabyte that a second worker and the
// caller's thread parse side by side, the rows delivered in document order and exactly as one parse
// would deliver them (see TSheetRows). Memory is bounded by the shared strings (held for the whole read)
// plus the inflater's blocks (a megabyte) and four pieces with their parsed rows: some ten megabytes for
// a common table, some 60 at most for pieces of nothing but empty <c/> elements (56 bytes a cell).
// Dates are numbers, as in .xls; a t="d" cell (an ISO 8601 date) becomes the same serial number.
//
// Every failure is an EXlsxError with a message naming the part and, for XML, the line: damage in the
// zip (CRC, deflate, truncation), a zip bomb (a part declaring more than 2 GB or more than 200 times its
// compressed size, or inflating to more than it declared), a document type or entity declaration, a
// missing relationship or part, a sheet cut short, a cell reference outside the worksheet, a value that
// is not what its type says. An encrypted workbook (a compound document holding an EncryptedPackage
// stream) and an .xlsb workbook are refused with kEncryptedXlsx and kXlsbNotSupported.
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
};

struct TXlsxRow {
  uint32_t index = 0;            // 0-based, below kXlsxMaxRows; rows absent from the sheet are skipped
  std::vector<TXlsxCell> cells;  // ascending columns, each at most once
};

inline constexpr uint32_t kXlsxMaxRows = 1048576;
inline constexpr uint32_t kXlsxMaxColumns = 16384;

class TXlsxSheetReader {
 public:
  // Opens the workbook and reads its shared strings; the first NextRow starts on the sheet.
  explicit TXlsxSheetReader(const std::filesystem::path& path);
  // bytes must outlive the reader.
  explicit TXlsxSheetReader(std::span<const uint8_t> bytes);
  ~TXlsxSheetReader();
  TXlsxSheetReader(const TXlsxSheetReader&) = delete;
  TXlsxSheetReader& operator=(const TXlsxSheetReader&) = delete;

  // The next row of the sheet that has a <row> element, in ascending row order (rows out of order are
  // refused); false after the last. Cells' texts point into the reader and are valid until the next call.
  bool NextRow(TXlsxRow& row);

  const std::u16string& SheetName() const;
  const std::string& SheetPart() const;  // the sheet's part name, "xl/worksheets/sheet1.xml"
  size_t SharedStringCount() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

// The size of the pieces a large sheet is cut into, to be parsed on two threads (1 MB); 0 parses every
// sheet with one parser. For tests and benchmarks, which compare the two ways: they give the same rows and
// the same failures. Takes effect for readers that have not yet read their first row.
void SetXlsxSheetPieceSize(size_t bytes);

// How a file given by name is to be read, by its first bytes: a zip archive is Office Open XML; anything
// else, a file that cannot be read included, goes to the .xls reader, which says what it cannot read.
enum TWorkbookContent : uint8_t { wcXls, wcXlsx };
TWorkbookContent DetectWorkbookContent(const std::filesystem::path& path);

// True for a compound document holding an EncryptedPackage stream: an encrypted .xlsx (or another
// encrypted Office file). Reads the whole file, so callers ask only once the .xls reader has refused it.
bool HoldsEncryptedPackage(const std::filesystem::path& path);

}  // namespace plicato
