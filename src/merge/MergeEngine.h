// The merge engine: appends the rows of a worksheet of every listed file (the first by default; one by
// number or name, or every worksheet) to one output, splitting it into continuation files when it is
// full. The classic merge takes each sheet's rows from the top down to its first row without text, every
// value as text; value mode takes every row that holds a value, every cell with its type. Header rows,
// a source column and a mark column may be added (TMergeOptions).
//
// The output's format follows the save path's extension (.xls, .xlsx, .csv; see output/Outputs.h); the
// engine writes through TRowOutput and does not know which format it has.
//
// The engine knows nothing of the window. A run takes its settings as one value (TMergeOptions) when it
// starts, and tells its host (TMergeHost, which the window, the command line and the tests each
// implement) how it goes as events with values (a file begun, a file merged, the run ended or failed);
// each host renders them its own way. The events are made in order from the engine's thread; a host that
// shows them elsewhere must deliver them in that order. The host also carries the stop request and the
// counters shared with its front end, and answers password questions.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "merge/MergeError.h"
#include "merge/MergeOptions.h"
#include "merge/output/Outputs.h"

namespace plicato {

struct TMergeReport;

class TMergeHost {
 public:
  virtual ~TMergeHost() = default;

  // How the run goes, in the order the engine tells it. The window shows a file begun as its progress
  // line and the path in the current-file field, a file merged as its count line, and the end as its
  // stopped line, the Start caption and an empty current-file field.
  // A file begins: its zero-based index in the list of total files, and its path.
  virtual void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) = 0;
  // A file has been merged: the counters with it counted (MergedCount as it is now).
  virtual void FileMerged(int32_t found, int32_t merged) = 0;
  // The end of a run that returns its report (finished, or stopped: report.stopped), after its last
  // output was written. The report is the one MergeFiles returns.
  virtual void RunEnded(const TMergeReport& report) = 0;

  // Asked when no known password opens an encrypted file: the password to try next, or nothing to give
  // the file up as unreadable. May block while a user answers; called on the engine's thread.
  virtual std::optional<std::u16string> AskPassword(const std::filesystem::path& /*file*/) {
    return std::nullopt;
  }
  // How far the run is: files finished of files listed, and the rows of the current file copied so far.
  // Made in order with the other events, at most about ten times a second and once as each file ends.
  virtual void SetProgress(int32_t /*filesDone*/, int32_t /*filesTotal*/, int64_t /*rowsOfFile*/) {}
  // The save path as it is now, read again at each split to name the continuation output (the window's
  // field may have been edited meanwhile). Empty, the default: the run's own save path. A path of another
  // output format than the run's is not followed.
  virtual std::filesystem::path SavePathAtSplit() { return {}; }
  // A remark on a file as the run makes it (rows left behind, columns left out, a file cut short by a
  // stop); the returned report lists it again. Made in order with the other events.
  virtual void AddNote(const std::filesystem::path& /*file*/, const std::string& /*text*/) {}
  // The end of a run that fails, just before its exception leaves MergeFiles (instead of RunEnded): the
  // input that could not be merged and the output that could not be written or would replace an input,
  // each empty when the failure was not theirs.
  virtual void RunFailed(const std::filesystem::path& /*input*/, const std::filesystem::path& /*output*/) {}

  std::atomic<int32_t> StopRequested{0};  // 1 asks the run to stop before its next file
  std::atomic<int32_t> FoundCount{0};
  std::atomic<int32_t> MergedCount{0};  // not reset by a run: merging twice counts on
};

// The name of a one-based column as a worksheet shows it: 1 is A, 27 is AA.
std::string ColumnName(uint32_t column);

// Returns the memory freed by a written output workbook to the system.
void ReleaseFreedMemory();

// What a remark on a merged file says, as facts a host can put in its own words (the note's text says it
// in English).
struct TNoteFacts {
  enum TKind : uint8_t {
    nkNone,            // the text alone
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

// What a run reports about single files that did not end it.
struct TFileNote {
  TFileNote() = default;
  TFileNote(std::filesystem::path path, std::string words, TErrorKind errorKind = ekOther,
            TNoteFacts said = {})
      : file(std::move(path)), text(std::move(words)), kind(errorKind), facts(std::move(said)) {}

  std::filesystem::path file;
  std::string text;
  TErrorKind kind = ekOther;  // of a file passed over: why it could not be read
  TNoteFacts facts;           // of a remark on a file merged
};
struct TMergeReport {
  std::vector<TFileNote> skipped;  // files passed over as unreadable, with the reason
  std::vector<TFileNote> notes;    // files merged with a remark, such as columns left out or rows left behind
  std::vector<std::filesystem::path> outputs;  // every output file written, in order
  std::vector<std::filesystem::path>
      olderOutputs;  // continuation names of the save path this run did not write
  int32_t filesMerged = 0;
  int64_t rowsWritten = 0;  // rows put in the outputs, header rows and marks included
  bool stopped = false;     // ended by a stop request before the list's end
};

// Runs the whole merge. Before the first file is read, an empty list, an output format this program does
// not write, and a run whose output (the save path or a continuation name it could take) would be one of
// its inputs are refused with EMergeError, and nothing is written; each output name is checked again as it
// is taken. Throws EMergeError when a file fails: the rows gathered so far have then been written when
// there were any (an existing file at the save path is otherwise left as it was), and the message names
// the failing file, carries the reader's message and says what was written. An output that cannot be
// written ends the run with a message naming that output. A run that gathers no row writes nothing. A
// stop request takes effect before the next file, or at a split inside a file (which is then noted as
// cut short); the rows gathered are written.
// The options are checked first (CheckMergeOptions) and copied: the caller's value may change or go
// while the run goes.
// When the options skip unreadable files, a file that fails is passed over instead (none of its rows is
// kept where the output can still drop them) and listed in the returned report with its reason; a
// failure message that ends a run lists the outputs written, the older continuation files beside them,
// the files passed over and the notes made before it.
TMergeReport MergeFiles(TMergeHost& host, TMergeOptions options);

}  // namespace plicato
