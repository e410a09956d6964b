// What a run says about itself, as values: the remarks on files merged, why a file could not be merged,
// and what ended a run. The merge builds no sentence; each host (the command line in English, the window
// in its language) words these facts its own way.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "biff/Errors.h"
#include "merge/MergeOptions.h"

namespace plicato {

// A remark on a merged file.
struct TNoteFacts {
  enum TKind : uint8_t {
    nkNone,
    nkNoValues,        // the sheet gave no rows: it holds no values
    nkNoWorksheet,     // the file gave no rows: the workbook has no worksheet
    nkNoDataRows,      // the sheet gave no rows below its `rows` rows of header
    nkStoppedAt,       // the classic merge stopped at `row` (one-based), which has no text, after `rows`
                       // rows; `left` rows with values from there on were not merged
    nkCutAtSplit,      // a stop request took effect at a split, after `rows` rows of the sheet
    nkSheetsLeft,      // a stop request came before this sheet: it and the ones after it were not merged
    nkSheetMissing,    // the sheet, one of every sheet merged, could not be found and was passed over;
                       // `unreadable` says why (the reader's words)
    nkColumnsLeftOut,  // columns after `column` (one-based) were not merged; the sheet has values up to
                       // `lastColumn`; `reserved` columns of the output's `outputColumns` hold the
                       // source and mark, when they pushed data columns out
    nkUndecodable,     // bytes from line `row` on could not be decoded: read as U+FFFD
    nkUnclosedQuote,   // a quote opened on line `row` was never closed: the rest was taken as its field
    nkOneSheet,        // a CSV file has one sheet: it was merged, whichever sheet was asked for
    nkFormatsLeftOut,  // the output holds no more number formats: numbers of the formats after show as
                       // General
    // Matching columns by header:
    nkColumnsMatched,     // the sheet lacks the output's columns `lacking` and brought the new `brought`
    nkMatchedByPosition,  // the sheet's header cells are all empty: its columns were laid out by position
    nkUnionLeftOut,       // the output's columns `lacking` (the union's past its width) were left out;
                          // `reserved` of its `outputColumns` hold the source and mark
    nkColumnsNotMatched,  // the values of the sheet's `columns` (zero-based) were left out: no column of
                          // the output was theirs
    // Without it, in value mode:
    nkColumnsDiffer,  // the sheet's last header row names a column otherwise than the first file's at the
                      // same place: stacked by position
  };
  TKind kind = nkNone;
  std::u16string sheet;  // the sheet's name, where every sheet of a file is merged
  uint32_t row = 0;
  int64_t rows = 0;
  int64_t left = 0;
  bool leftAtLeast = false;  // `left` is a lower bound: the count was stopped, or the rest was unreadable
  std::string unreadable;    // why the rest of the sheet could not be read (the reader's words), or empty
  uint32_t column = 0, lastColumn = 0, outputColumns = 0, reserved = 0;
  std::vector<std::u16string> lacking, brought;  // column names
  std::vector<uint32_t> columns;
};

// Why a file could not be merged, and what became of the rows it had given.
struct TFileFailure {
  // A sheet the run asked for that the workbook does not give; else the reader's words say why.
  enum TSheetProblem : uint8_t {
    spNone,
    spNoWorksheet,        // the workbook has no worksheet
    spNoSheetNumber,      // the workbook has `sheets` sheets: none at the zero-based `index`
    spNotWorksheet,       // the sheet at `index`, `sheetName`, is not a worksheet
    spNamedNotWorksheet,  // the sheet `sheetName` is not a worksheet
    spNoSheetNamed,       // no sheet is named `sheetName`
  };
  TErrorKind kind = ekOther;
  std::string words;  // the reader's (or the system's) own words, in English; empty for a sheet problem
  TSheetProblem sheetProblem = spNone;
  size_t sheets = 0, index = 0;
  std::u16string sheetName;
  // Where the reading was when it failed: the sheet (its name) and the last row read well (one-based;
  // 0 when no row of it was read, or the failure came before the sheet's rows).
  std::u16string sheet;
  uint32_t afterRow = 0;
  bool reading = false;  // the failure came while the sheet's rows were read: sheet and afterRow hold
  // Its rows before the failure stay in this output, which cannot drop rows; rows of it up to this
  // output had already been written. Empty when not so.
  std::filesystem::path rowsStayIn, rowsWrittenTo;
};

// What a run reports about single files that did not end it: a remark on a merged file (facts), or a
// file passed over (failure).
struct TFileNote {
  std::filesystem::path file;
  TErrorKind kind = ekOther;  // of a file passed over: why it could not be read (failure.kind)
  TNoteFacts facts;           // of a remark on a file merged
  TFileFailure failure;       // of a file passed over
};

// What ended a run.
struct TRunFailure {
  enum TWhat : uint8_t {
    rfOther,               // only `file.words` say it
    rfOptions,             // the run's settings: `options`; nothing was written
    rfClash,               // the output `output` is the listed file `input`
    rfUnwritable,          // the output `output` could not be written: `file.words` (the system's)
    rfOutOfMemoryWriting,  // not enough memory to write `output`
    rfOutOfMemoryMerging,  // not enough memory to merge `input`
    rfOutOfMemory,         // not enough memory for the run's own work
    rfFile,                // the file `input` could not be merged: `file`
  };
  // What the run had written when it ended, said after the failure.
  enum TRest : uint8_t {
    rsUnsaid,          // not said (the outputs list says it, if anything)
    rsNothingWritten,  // nothing (after the last of `written`) was written
    rsRowsBefore,      // the rows merged before it were written to `written.back()`
    rsRestFailed,      // writing the rows before it failed too: `restFailure`
  };
  static TRunFailure Of(TWhat what, std::filesystem::path input = {}, std::filesystem::path output = {}) {
    TRunFailure failure;
    failure.what = what;
    failure.input = std::move(input);
    failure.output = std::move(output);
    return failure;
  }

  TWhat what = rfOther;
  TOptionsProblem options = TOptionsProblem::none;
  std::filesystem::path input, output;
  TFileFailure file;
  bool beforeAnyInput = false;  // of rfClash: refused before any input was read, nothing written
  TRest rest = rsUnsaid;
  // Of rsRestFailed: the failure of writing the output (rfUnwritable, rfOutOfMemoryWriting, rfClash or
  // rfOther), its output, input and words.
  TWhat restWhat = rfOther;
  std::filesystem::path restOutput, restInput;
  std::string restWords;
  std::vector<std::filesystem::path> written;  // the outputs the run wrote
  std::vector<std::filesystem::path> older;    // continuation files beside them not from this run
  bool listed = false;                         // written, older, skipped and notes are the run's lists
  std::vector<TFileNote> skipped;              // files passed over before it
  std::vector<TFileNote> notes;                // remarks made before it
};

// The input a failure is the fault of (the file being merged), and the output (one that could not be
// written or would replace an input); each empty when the failure was not theirs.
inline std::filesystem::path BlamedInput(const TRunFailure& f) {
  const bool input = f.what == TRunFailure::rfFile || f.what == TRunFailure::rfOutOfMemoryMerging ||
                     f.what == TRunFailure::rfOther || f.what == TRunFailure::rfOutOfMemory;
  return input ? f.input : std::filesystem::path();
}
inline std::filesystem::path BlamedOutput(const TRunFailure& f) {
  if (f.rest == TRunFailure::rsRestFailed) return f.restOutput;
  const bool output = f.what == TRunFailure::rfClash || f.what == TRunFailure::rfUnwritable ||
                      f.what == TRunFailure::rfOutOfMemoryWriting || f.what == TRunFailure::rfOther ||
                      f.what == TRunFailure::rfOutOfMemory;
  return output ? f.output : std::filesystem::path();
}

}  // namespace plicato
