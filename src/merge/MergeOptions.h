// The settings of one merge run as one value: the caller (the window, the command line, a test) fills it,
// MergeFiles checks it once and keeps its own copy, and nothing of it is asked of the caller again while
// the run goes. The sheet choice is parsed here for both front ends, so that `2` is the same sheet in the
// window's box and after --sheet.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plicato {

// The most header rows a run copies once and skips in the other files.
inline constexpr int kMaxHeaderRows = 10;

// Which sheet of each file a run merges.
struct TSheetChoice {
  enum TKind : uint8_t { scFirst, scIndex, scName, scAll };
  TKind kind = scFirst;  // scFirst: the first worksheet
  int32_t index = 0;     // scIndex: zero-based, in the workbook's order of sheets (people count from 1)
  std::u16string name;   // scName: compared without regard to letter case
};

// A sheet choice as people type it: "all" for every worksheet, a number of up to five digits for that
// sheet counted from 1 (chart sheets included, as the tabs show them), anything else a sheet's name.
// Nothing for empty text and for a number 0, which counts from 0 and would be taken for the first sheet by
// some and for the second by others.
std::optional<TSheetChoice> ParseSheetChoice(std::u16string_view text);

// Everything a run reads. The defaults are the classic merge of the first sheet of each file.
struct TMergeOptions {
  std::vector<std::filesystem::path> files;  // full paths, as the file system's bytes, in merge order
  std::filesystem::path savePath;            // the output; without a known extension .xls is added
  // What the source column shows for each file, parallel to files: its path relative to the folder it
  // was found in, or the path as given for a file named directly. Empty: each file's path as listed.
  std::vector<std::filesystem::path> sourceNames;

  bool values = false;  // typed values, every row that holds one, no padding
  // 0 to kMaxHeaderRows: taken once from the first file that gives rows, skipped in the rest.
  int headerRows = 0;
  // Lays every file's columns out by the names in its last header row (needs headerRows of 1 or more).
  bool matchColumns = false;
  bool sourceColumn = false;
  std::u16string sourceCaption = u"Source";  // the source column's cell in the first header row
  // A column (the first, or the second after the source column) records on each file's first row in an
  // output how many of its rows that output holds.
  bool markRows = false;
  TSheetChoice sheet;
  // Whether a file that cannot be read is passed over and reported at the end instead of ending the run.
  bool skipUnreadable = false;
  // Tried on every encrypted file, in order, after the default one.
  std::vector<std::u16string> passwords;
  // CSV inputs: the encoding of files without a byte-order mark (an iconv name; empty: UTF-8 when valid,
  // else GB18030) and the separator (0: found from each file).
  std::string csvEncoding;
  char16_t csvDelimiter = 0;

  // The source column's name of files[index].
  const std::filesystem::path& SourceName(size_t index) const {
    return sourceNames.empty() ? files[index] : sourceNames[index];
  }
};

// What a run refuses in its options, before anything is read or written; each front end words it.
enum class TOptionsProblem : uint8_t {
  none,
  noFiles,      // the list is empty
  headerRows,   // header rows outside 0 to kMaxHeaderRows
  sheetNumber,  // a sheet number below 1
  sourceNames,  // source names given, but not one for each file
  delimiter,    // a CSV separator that is a quote or a line break
  matchColumns,  // matching columns by header without a header row to name them
};
TOptionsProblem FindOptionsProblem(const TMergeOptions& options);

// Throws EMergeError with the options' problem as its facts (rfOptions), with nothing written; returns when
// there is none. Where a run checks its options.
void CheckMergeOptions(const TMergeOptions& options);

}  // namespace plicato
