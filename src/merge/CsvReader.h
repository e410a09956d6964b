// A CSV file (a .csv or .tsv export, or a text file named without an extension) as an input book of one
// sheet, for the merge's row source interface beside .xls and .xlsx.
//
// The file is streamed: it is decoded and split in pieces, so memory does not grow with its length. Its
// encoding is told by a byte-order mark (UTF-8, UTF-16 LE or BE); otherwise it is the one asked for (any
// name iconv knows), or UTF-8 when the whole file is valid UTF-8 and GB18030 (which holds GBK and GB2312)
// when it is not. Fields follow RFC 4180 and are lenient where exports are not: CRLF, LF or CR line ends,
// rows of differing lengths, a quote inside an unquoted field taken as it stands. The separator is the
// one asked for, a tab for .tsv, or else the one of comma, tab, semicolon and '|' that splits the first
// lines into the same number of fields.
//
// Damage that loses nothing is read and remarked (bytes the encoding cannot decode become U+FFFD, an
// unclosed quote takes the rest of the file); a line longer than kCsvLineBudget characters is refused:
// such a file is no CSV export, and reading on would hold it whole.
//
// This reader lives beside the merge rather than below it: it gives the merge's own input rows, and its
// value rules (CsvFieldValue) are those of the merge's value mode, not of any workbook.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "merge/RowSource.h"

namespace plicato {

// How CSV inputs are read; the defaults find everything from the files.
struct TCsvOptions {
  std::string encoding;    // an iconv name, for files without a byte-order mark; empty: UTF-8 or GB18030
  char16_t delimiter = 0;  // 0: a tab for .tsv, otherwise found from the first lines
  bool values = false;     // numbers and ISO dates become values (CsvFieldValue); otherwise all is text
};

// The characters one line (a record, with the line breaks inside its quotes) may hold.
constexpr size_t kCsvLineBudget = 1 << 20;

// Opens a CSV file (EFileError when it cannot be read, EPlicatoError of kind ekUnsupported for an
// encoding iconv does not know). Its one sheet is named after the file.
std::unique_ptr<TInputBook> MakeCsvBook(const std::filesystem::path& path, const TCsvOptions& options);

// Whether a listed file is read as CSV: a .csv or .tsv name (any letter case), or a file without an
// extension that does not begin as a workbook does; a workbook saved under a .csv name stays a workbook.
bool ReadAsCsv(const std::filesystem::path& path);

// The bytes a CSV file is read and decoded in at a time (256 KB). For tests and fuzzing, which read files
// in pieces of a few bytes to reach every way a piece can end: the rows are the same. The separator is
// found from the first piece, so they name it. Takes effect for readers opened after it.
void SetCsvPieceSize(size_t bytes);

// Whether iconv can decode from the encoding name.
bool CsvEncodingKnown(const std::string& name);

// What a field is in value mode. A number in plain notation that would lose nothing as one ("-12.5",
// "3e-4"; not "00123", "+5", "1,234.5" or 16 significant digits and more); an ISO date "yyyy-mm-dd" or
// "yyyy/mm/dd", optionally with " hh:mm" or " hh:mm:ss", as its serial number in the 1900 date system.
// Anything else is text.
enum TCsvValue : uint8_t { cvText, cvNumber, cvDate, cvDateTime };
TCsvValue CsvFieldValue(std::u16string_view field, double& value);

// The number formats of the dates CsvFieldValue finds.
inline constexpr char16_t kCsvDateFormat[] = u"yyyy-mm-dd";
inline constexpr char16_t kCsvDateTimeFormat[] = u"yyyy-mm-dd hh:mm:ss";

}  // namespace plicato
