#include "merge/HeaderScan.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "biff/CodePage.h"
#include "merge/InputFiles.h"
#include "biff/Errors.h"
#include "workbook/NumberFormatText.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

// The cells each mode takes: the classic merge only texts and numbers entered as such, value mode every
// cell that holds a value (a formula as its cached result).
bool Taken(const TInCell& cell, bool values) {
  if (!values) return !cell.formula && (cell.kind == ikNumber || (cell.kind == ikText && !cell.text.empty()));
  switch (cell.kind) {
    case ikText:
      return !cell.text.empty();
    case ikError:
      return cell.error != ceNone || !cell.text.empty();
    case ikBlank:
      return false;
    default:
      return true;
  }
}

// A header cell as the sheet shows it: a number as its format displays it, a date in the 1900 system.
std::u16string ShownText(const TInCell& cell, bool date1904) {
  switch (cell.kind) {
    case ikText:
      return std::u16string(cell.text);
    case ikNumber: {
      double number = cell.number;
      if (date1904 && !cell.format.empty() && IsDateFormat(cell.format)) number += kDays1900To1904;
      return FromUtf8(FormattedNumberText(number, cell.format));
    }
    case ikBoolean:
      return cell.boolean ? u"TRUE" : u"FALSE";
    case ikError:
      return cell.error != ceNone ? std::u16string(ErrorText(cell.error)) : std::u16string(cell.text);
    case ikBlank:
      break;
  }
  return {};
}

// The rows of each sheet an .xls file is first read with: the header rows and a margin for the empty rows
// value mode passes over above them. A sheet whose header rows are not among them is read again whole.
constexpr uint32_t kTopRowsMargin = 32;

// An .xls workbook opened with the default password and the known ones, never asking. With top rows (see
// ReadWorkbookTop), whole tells whether the book holds every cell of the file.
std::unique_ptr<TXLSWorkbook> ReadXls(const fs::path& path, const std::vector<std::u16string>& passwords,
                                      uint32_t top, bool& whole) {
  size_t next = 0;
  auto offer = [&]() -> std::optional<std::u16string> {
    while (next < passwords.size() && passwords[next].empty()) ++next;
    if (next >= passwords.size()) return std::nullopt;
    return passwords[next++];
  };
  std::u16string opened;
  return ReadXlsWith(path, offer, opened, [&](TXLSWorkbook& workbook) {
    whole = top == UINT32_MAX ? (ReadWorkbook(workbook), true) : ReadWorkbookTop(workbook, top);
  });
}

// By content, as the run opens it: an .xlsx saved as .xls is still streamed. An .xls file is read with its
// top rows only unless top is UINT32_MAX. whole tells a book read whole, which the run may keep; cut one
// that left cells out for top.
std::unique_ptr<TInputBook> OpenBook(const fs::path& path, const THeaderScanOptions& options, uint32_t top,
                                     bool& whole, bool& cut) {
  whole = cut = false;
  if (HoldsXlsx(path)) return MakeXlsxBook(path);
  if (ReadAsCsv(path)) return MakeCsvBook(path, options.csv);
  std::unique_ptr<TInputBook> book = MakeXlsBook(ReadXls(path, options.passwords, top, whole));
  cut = !whole;
  return book;
}

// The rows the run takes as header rows, as it takes them: in value mode the rows that hold a value, in
// the classic merge the rows from the top down to the first without text. Returns whether the sheet gave
// all its header rows.
bool ScanSheet(TInputBook& book, THeaderSheet& sheet, const THeaderScanOptions& options) {
  book.SelectSheet(sheet.index);
  const int headerRows = std::max(options.headerRows, 1);
  const uint32_t limit = std::min<uint32_t>(options.columnLimit, std::numeric_limits<uint16_t>::max());
  TInRow row;
  int taken = 0;
  uint32_t width = 0, next = 0;
  while (taken < headerRows && book.NextRow(row)) {
    uint32_t rowWidth = row.lastColumnOut != 0 ? limit : 0;
    for (const TInCell& cell : row.cells)
      if (Taken(cell, options.values)) rowWidth = std::max<uint32_t>(rowWidth, cell.column + 1u);
    if (!options.values) {
      const bool text = std::any_of(row.cells.begin(), row.cells.end(), [](const TInCell& cell) {
        return cell.kind == ikText && !cell.formula && !cell.text.empty();
      });
      if (row.index != next++ || !text) break;
    } else if (rowWidth == 0) {
      continue;
    }
    width = std::max(width, rowWidth);
    if (++taken != headerRows) continue;
    for (const TInCell& cell : row.cells) {
      if (!Taken(cell, options.values)) continue;
      sheet.names.resize(cell.column + 1u);
      sheet.names[cell.column] = ShownText(cell, book.Date1904());
    }
  }
  if (taken >= headerRows) sheet.names.resize(std::max<size_t>(sheet.names.size(), width));
  sheet.known = true;
  return taken >= headerRows;
}

std::vector<size_t> FirstWorksheet(const TInputBook& book) {
  const std::vector<TInSheet>& sheets = book.Sheets();
  for (size_t i = 0; i < sheets.size(); ++i)
    if (sheets[i].worksheet) return {i};
  throw EPlicatoError("The workbook has no worksheet.", ekSheetMissing);
}

THeaderFile ScanFile(const fs::path& path, size_t number, const THeaderScanOptions& options) {
  THeaderFile file;
  file.path = path;
  // Whatever fails here fails again, with its full message, when the run comes to the file.
  try {
    // A top read that misses a sheet's header rows is short of rows only, not of anything else: all of
    // it is read again.
    bool whole = false, cut = false, complete = false;
    std::unique_ptr<TInputBook> book;
    for (uint32_t top = static_cast<uint32_t>(std::max(options.headerRows, 1)) + kTopRowsMargin; !complete;
         top = UINT32_MAX) {
      file.sheets.clear();
      book = OpenBook(path, options, top, whole, cut);
      book->SetColumnLimit(options.columnLimit);
      const std::vector<size_t> chosen = options.choose ? options.choose(*book) : FirstWorksheet(*book);
      complete = true;
      for (size_t index : chosen) {
        THeaderSheet& sheet = file.sheets.emplace_back();
        sheet.index = index;
        sheet.name = book->Sheets().at(index).name;
        try {
          complete = ScanSheet(*book, sheet, options) && complete;
        } catch (const EPlicatoError& e) {
          // A sheet listed without its part costs that sheet only, as in the run.
          if (e.Kind() != ekSheetMissing) throw;
          sheet.names.clear();
        }
      }
      complete = complete || !cut;
    }
    file.known = true;
    if (whole && options.keep) options.keep(number, book);
  } catch (const std::exception&) {
    file.sheets.clear();
  }
  return file;
}

}  // namespace

std::vector<THeaderFile> ScanHeaders(const std::vector<fs::path>& files, const THeaderScanOptions& options) {
  // Two readers take the files in turn: without it the pre-read of .xls files, each walked whole, costs
  // as much as the merge reading them ahead, one by one, while it writes.
  std::vector<THeaderFile> headers(files.size());
  std::atomic<size_t> next{0};
  std::mutex keeping;
  THeaderScanOptions own = options;
  if (options.keep)
    own.keep = [&keeping, &options](size_t file, std::unique_ptr<TInputBook>& book) {
      const std::lock_guard lock(keeping);
      options.keep(file, book);
    };
  auto scan = [&] {
    for (size_t i = next++; i < files.size() && !(options.stop && options.stop->load() == 1); i = next++) {
      try {
        headers[i] = ScanFile(files[i], i, own);
      } catch (const std::exception&) {
        // Short of memory even for the file's name: unknown, as any file that cannot be read here.
      }
    }
  };
  if (files.size() < 2) {
    scan();
    return headers;
  }
  std::thread other(scan);
  scan();
  other.join();
  return headers;
}

void MatchHeaders(std::vector<THeaderFile>& files, TColumnMatch& match) {
  for (THeaderFile& file : files) {
    for (THeaderSheet& sheet : file.sheets) {
      // A sheet without its header rows gives no data rows: it has no columns to match.
      sheet.match = sheet.known && !sheet.names.empty() ? static_cast<uint32_t>(match.AddFile(sheet.names))
                                                        : kNoHeaderMatch;
    }
  }
}

}  // namespace plicato
