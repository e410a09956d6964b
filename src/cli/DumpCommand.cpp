#include "cli/DumpCommand.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "cli/CommandLine.h"
#include "cli/StandardOutput.h"
#include "cli/XlsxDump.h"
#include "merge/output/CsvOutput.h"  // CsvField, the quoting the .csv output uses
#include "workbook/CellStorage.h"
#include "workbook/NumberText.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxReader.h"

namespace plicato {
namespace {

// The CSV text of worksheet cells, as TSheet::GetText renders them and CsvField quotes them, assembled in
// a large buffer that goes to stdout in few writes. Numbers and 8-bit strings, nearly every cell of a
// large sheet, are rendered here straight into the buffer; other cells take GetText.
class TCsvOutput {
 public:
  explicit TCsvOutput(TSheet& sheet) : sheet_(sheet), buffer_(kBufferSize) {
    const lconv* conv = std::localeconv();
    plainPoint_ = !conv || !conv->decimal_point || !*conv->decimal_point ||
                  std::string_view(conv->decimal_point) == ".";
  }

  // Every row from 0 to the last used one, every column from 0 to the last used one.
  void WriteSheet() {
    TCellStorage& storage = sheet_.Cells();
    if (storage.IsEmpty()) return;
    const TCellBounds bounds = storage.CalcBounds();
    lastColumn_ = static_cast<uint32_t>(bounds.lastColumn);
    // Cells come in key order, that is row by row. The texts of strings lie anywhere in memory: a few
    // cells ahead, the text of each string is fetched into the cache while earlier cells are written.
    storage.BeginIteration();
    TCellRef ahead[kLookAhead];
    auto fetch = [&storage]() {
      const TCellRef ref = storage.NextCell();
      if (ref && ref.cell->kind == ckString) {
        // The entry's head and the text after it, which often reaches into the next cache line.
        __builtin_prefetch(ref.cell->entry);
        __builtin_prefetch(reinterpret_cast<const char*>(ref.cell->entry) + 64);
      }
      return ref;
    };
    size_t count = 0;
    bool more = true;
    for (; count < kLookAhead && more; ++count) more = static_cast<bool>(ahead[count] = fetch());
    if (!more) --count;
    // The ring holds the next count cells in order from slot i on; a slot read is refilled with the
    // cell after the newest, until there is none.
    for (size_t i = 0; count > 0; i = (i + 1) % kLookAhead) {
      const TCellRef ref = ahead[i];
      ahead[i] = more ? fetch() : TCellRef{};
      if (!ahead[i]) {
        more = false;
        --count;
      }
      WriteCell(ref);
    }
    for (; row_ <= static_cast<uint32_t>(bounds.lastRow); ++row_, column_ = 0) EndRow();
  }

  // Writes what is left.
  void Finish() { Flush(); }

 private:
  static constexpr size_t kBufferSize = 256 << 10;
  static constexpr size_t kLookAhead = 32;

  void WriteCell(const TCellRef& ref) {
    const uint32_t row = KeyRow(ref.key), column = KeyColumn(ref.key);
    for (; row_ < row; ++row_, column_ = 0) EndRow();
    for (; column_ < column; ++column_) Separator();
    Separator();
    ++column_;
    const TCell& cell = *ref.cell;
    switch (cell.kind) {
      case ckBlank:
        return;
      case ckFloat:
        if (plainPoint_) return AppendNumber(cell.number);
        break;
      case ckNumberFormula:
      case ckNumberArrayFormula:
        if (plainPoint_) return AppendNumber(cell.FormulaNumber());
        break;
      case ckString:
        if (!cell.entry->Is16Bit()) return AppendLatin1(cell.entry->TextBytes(), cell.entry->CharCount);
        break;
      default:
        break;
    }
    AppendField(ToUtf8(sheet_.GetText(static_cast<int>(column), static_cast<int>(row))));
  }

  // Room for n more bytes at used_.
  char* Room(size_t n) {
    if (buffer_.size() - used_ < n) {
      Flush();
      if (buffer_.size() < n) buffer_.resize(n);
    }
    return buffer_.data() + used_;
  }

  void Separator() {
    if (column_ > 0) *Room(1) = ',', ++used_;
  }

  // The empty fields left in the row, and its end.
  void EndRow() {
    for (; column_ <= lastColumn_; ++column_) Separator();
    char* out = Room(2);
    out[0] = '\r';
    out[1] = '\n';
    used_ += 2;
  }

  void AppendField(const std::string& text) {
    const std::string field = CsvField(text);
    std::memcpy(Room(field.size()), field.data(), field.size());
    used_ += field.size();
  }

  // Latin-1 characters as UTF-8, quoted where CsvField quotes.
  void AppendLatin1(const uint8_t* chars, size_t count) {
    // Quoted, every character may double.
    char* const start = Room(4 * count + 2);
    char* out = start;
    bool special = false;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t c = chars[i];
      if (c < 0x80) {
        special = special || c == ',' || c == '"' || c == '\r' || c == '\n';
        *out++ = static_cast<char>(c);
      } else {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    if (special) out = QuoteInPlace(start, out);
    used_ += static_cast<size_t>(out - start);
  }

  // As GeneralNumberText with '.' as the decimal point.
  void AppendNumber(double value) {
    char* const start = Room(kGeneralNumberRoom);
    used_ += static_cast<size_t>(WriteGeneralNumber(start, value) - start);
  }

  // Quotes the field [start, end) where it stands, as CsvField does (the room after it holds the quotes
  // and a doubled quote per quote); returns the new end. Moved from the back, no byte is overwritten
  // before it is moved.
  static char* QuoteInPlace(char* start, char* end) {
    const auto quotes = std::count(start, end, '"');
    char* const newEnd = end + quotes + 2;
    char* out = newEnd;
    *--out = '"';
    for (char* in = end; in != start;) {
      const char c = *--in;
      *--out = c;
      if (c == '"') *--out = '"';
    }
    *--out = '"';
    return newEnd;
  }

  void Flush() {
    WriteOutput(std::string_view(buffer_.data(), used_));
    used_ = 0;
  }

  TSheet& sheet_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  uint32_t row_ = 0, column_ = 0;  // the next field to write
  uint32_t lastColumn_ = 0;
  bool plainPoint_ = true;  // the locale's decimal separator is '.', as numbers are rendered here
};

}  // namespace

int Dump(const TDumpArgs& args) {
  const std::string& password = args.password;
  const bool cells = args.cells;
  char* end = nullptr;
  const long n = std::strtol(args.sheet.c_str(), &end, 10);
  if (args.sheet.empty() || *end != '\0' || n < 0 || n > 65536)
    return UsageError("--sheet needs a sheet number", "dump");
  if (n == 0) return UsageError("--sheet: sheet numbers count from 1 (1 is the first sheet)", "dump");
  const int sheetIndex = static_cast<int>(n) - 1;
  if (args.files.empty()) return UsageError("dump needs a file", "dump");
  if (args.files.size() > 1) return UsageError("dump takes one file", "dump");
  const std::string& file = args.files.front();
  if (DetectWorkbookContent(file) == wcXlsx) {
    // Streamed: the CSV of a sheet of a million rows is never held whole.
    DumpXlsxSheet(file, static_cast<size_t>(sheetIndex), cells, &CsvField,
                  [](std::string_view text) { WriteOutput(text); });
    return 0;
  }

  // The process ends after the dump, and the workbook is left to it: taking a large workbook apart cell
  // by cell and string by string costs more than printing it. (Held here, it stays reachable for leak
  // checkers.)
  static TXLSWorkbook* left = nullptr;
  left = new TXLSWorkbook;
  TXLSWorkbook& workbook = *left;
  workbook.Filename = FileNameFromPath(file);
  workbook.Password = FromUtf8(password);
  try {
    ReadWorkbook(workbook);
  } catch (const EPlicatoError&) {
    if (HoldsEncryptedPackage(file)) throw EXlsxError(kEncryptedXlsx);
    throw;
  }
  if (sheetIndex >= workbook.Sheets().Count())
    throw EXLSError(FormatMessage("The workbook has %d worksheet(s); there is no worksheet %d",
                                  workbook.Sheets().Count(), sheetIndex + 1));
  TSheet& sheet = workbook.Sheets()[sheetIndex];
  std::string out;
  if (cells) {
    TCellStorage& storage = sheet.Cells();
    std::vector<uint32_t> keys;
    storage.BeginIteration();
    while (TCellRef ref = storage.NextCell()) keys.push_back(ref.key);
    for (uint32_t key : keys) {
      int row = static_cast<int>(KeyRow(key)), column = static_cast<int>(KeyColumn(key));
      out += std::to_string(row) + "," + std::to_string(column) + "," +
             std::to_string(sheet.GetCellKind(column, row)) + "," +
             CsvField(ToUtf8(sheet.GetText(column, row))) + "\r\n";
    }
  } else {
    TCsvOutput csv(sheet);
    csv.WriteSheet();
    csv.Finish();
    return 0;
  }
  WriteOutput(out);
  return 0;
}

}  // namespace plicato
