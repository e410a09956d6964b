// Reads the header rows of every listed file before a run writes its first row, so that matching
// columns by name knows the whole union of names from the start: every output, a continuation file or a
// streamed .xlsx/.csv output included, begins with the whole header.
//
// Only what is needed is read where the format allows it: a streamed .xlsx sheet and a CSV file stop
// after their header rows (a damaged row below them is met, and handled, when the run merges the file).
// An .xls file's records are all walked, as its rows may be stored out of order, but only the cells of
// its top rows are kept; a sheet whose header rows lie further down is read again whole, and such a book
// the run may keep. Values past a sheet's header row are met when the run merges the sheet
// (TColumnMatch::Widen).
//
// A file that cannot be read here is not a failure here: it is marked unknown, and the run fails on it
// or passes it over, as it would without the pre-read, when it comes to the file. An encrypted file is
// tried with the passwords known only; nobody is asked here.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "merge/ColumnMatch.h"
#include "merge/CsvReader.h"
#include "merge/RowSource.h"

namespace plicato {

inline constexpr uint32_t kNoHeaderMatch = std::numeric_limits<uint32_t>::max();

// One chosen sheet of a file: the names of its columns and how wide its data is.
struct THeaderSheet {
  size_t index = 0;       // in the book's Sheets()
  std::u16string name;    // the sheet's name
  bool known = false;     // false: the sheet could not be read here (a sheet listed without its part)
  // One text per column (0 to size - 1), the cells of the last header row as the sheet shows them, empty
  // for an empty cell; as many as the header rows are wide. Empty when the sheet gave fewer rows than its
  // header rows.
  std::vector<std::u16string> names;
  // The sheet's number in the TColumnMatch that MatchHeaders fed; kNoHeaderMatch for a sheet not added.
  uint32_t match = kNoHeaderMatch;
};

struct THeaderFile {
  std::filesystem::path path;
  bool known = false;  // false: the file could not be opened here, or no known password opened it
  std::vector<THeaderSheet> sheets;  // the chosen sheets, in order; none when unknown
};

struct THeaderScanOptions {
  int headerRows = 1;  // the last of these rows names the columns
  bool values = false;  // value mode (rows that hold a value) or the classic merge (rows of text from the top)
  TCsvOptions csv;
  std::vector<std::u16string> passwords;  // tried on an encrypted .xls file after the default one
  uint32_t columnLimit = 16384;           // the columns read of each row
  // The sheets of a book the run merges, as the run chooses them; throws when the book has none it can
  // merge (the file is then unknown here). By default the first worksheet.
  std::function<std::vector<size_t>(const TInputBook&)> choose;
  // A stop request (1): no further file is read, the rest are left unknown.
  const std::atomic<int32_t>* stop = nullptr;
  // Offered each .xls book read whole here after its header is read, with the file's index in the list:
  // a run may take the book (move it out) instead of reading the file again, as far
  // as its memory allows. A book left in place is freed. Files are read by two threads at once: this and
  // choose are called from either, this one call at a time.
  std::function<void(size_t file, std::unique_ptr<TInputBook>& book)> keep;
};

// The header of every file, in the order of the list.
std::vector<THeaderFile> ScanHeaders(const std::vector<std::filesystem::path>& files,
                                     const THeaderScanOptions& options);

// Adds every known sheet of every file to match, in order (each sheet of a file is a file of its own
// there), and records its number in the sheet's match.
void MatchHeaders(std::vector<THeaderFile>& files, TColumnMatch& match);

}  // namespace plicato
