// The merge engine: appends the rows of a worksheet of every listed file (the first by default; one by
// number or name, or every worksheet) to one output, splitting it into continuation files when it is
// full. The classic merge takes each sheet's rows from the top down to its first row without text, every
// value as text; value mode takes every row that holds a value, every cell with its type. Header rows,
// a source column and a mark column may be added (TMergeOptions).
//
// The output's format follows the save path's extension (.xls, .xlsx, .csv; see OutputNames.h); the
// engine writes through TRowOutput and does not know which format it has.
//
// The engine knows nothing of the window. It reads the window-level state through TMergeHost, which the
// window, the command line and the tests each implement, and tells it how the run goes as events with
// values (a file begun, a file merged, the run ended or failed); each host renders them its own way. The
// events are made in order from the engine's thread; a host that shows them elsewhere must deliver them
// in that order.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "merge/MergeError.h"
#include "merge/OutputNames.h"

namespace plicato {

// Which sheet of each file a run merges.
struct TSheetChoice {
  enum TKind : uint8_t { scFirst, scIndex, scName, scAll };
  TKind kind = scFirst;  // scFirst: the first worksheet
  int32_t index = 0;     // scIndex: zero-based, in the workbook's order of sheets
  std::u16string name;   // scName: compared without regard to letter case
};

// How a run takes and writes its rows, beyond the basic run; read once when a run starts. The defaults
// are the classic merge.
struct TMergeOptions {
  bool values = false;  // typed values, every row that holds one, no padding
  int headerRows = 0;   // 0 to 10: taken once from the first file that gives rows, skipped in the rest
  // Lays every file's columns out by the names in its last header row (needs headerRows of 1 or more).
  bool matchColumns = false;
  bool sourceColumn = false;
  std::u16string sourceCaption = u"Source";  // the source column's cell in the first header row
  TSheetChoice sheet;
  // CSV inputs: the encoding of files without a byte-order mark (an iconv name; empty: UTF-8 when valid,
  // else GB18030) and the separator (0: found from each file).
  std::string csvEncoding;
  char16_t csvDelimiter = 0;
};

struct TMergeReport;

class TMergeHost {
 public:
  virtual ~TMergeHost() = default;

  // The files to merge, taken once when a run starts (full paths, as the file system's bytes).
  virtual std::vector<std::filesystem::path> FileList() = 0;
  // The save path, read when the run starts and again at each split.
  virtual std::filesystem::path SavePath() = 0;
  // The marking option: a column (the first, or the second after the source column) records on each
  // file's first row in an output how many of its rows that output holds. Read once when a run starts.
  virtual bool MarkRows() = 0;

  // How the run goes, in the order the engine tells it. The classic window shows a file begun as the
  // progress line MergingFileText(index + 1) and the path in the current-file field; a file merged as the
  // count line CountLineText(found, merged); the end as the progress line kStoppedText, the Start/Stop
  // caption kStartCaption and an empty current-file field.
  // A file begins: its zero-based index in the list of total files, and its path.
  virtual void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) = 0;
  // A file has been merged: the counters with it counted (MergedCount as it is now).
  virtual void FileMerged(int32_t found, int32_t merged) = 0;
  // The end of a run that returns its report (finished, or stopped: report.stopped), after its last
  // output was written. The report is the one MergeFiles returns.
  virtual void RunEnded(const TMergeReport& report) = 0;

  // Options a host may offer beyond the basic run; the defaults keep the basic behaviour. Read once when
  // a run starts, on the engine's thread.
  // Whether a file that cannot be read is passed over and reported at the end instead of ending the run.
  virtual bool SkipUnreadable() { return false; }
  // Passwords to try on every encrypted file, in order, after the default one.
  virtual std::vector<std::u16string> Passwords() { return {}; }
  // Asked when no known password opens an encrypted file: the password to try next, or nothing to give
  // the file up as unreadable. May block while a user answers; called on the engine's thread.
  virtual std::optional<std::u16string> AskPassword(const std::filesystem::path& /*file*/) {
    return std::nullopt;
  }
  // How far the run is: files finished of files listed, and the rows of the current file copied so far.
  // Made in order with the other events, at most about ten times a second and once as each file ends.
  virtual void SetProgress(int32_t /*filesDone*/, int32_t /*filesTotal*/, int64_t /*rowsOfFile*/) {}
  // The run's options (read once, when it starts, on the engine's thread).
  virtual TMergeOptions Options() { return {}; }
  // What the source column shows for a listed file: its path relative to the folder it was found in, or
  // the path as given for a file named directly. Asked on the engine's thread as each file begins, only
  // when the source column is on. The default: the path as listed.
  virtual std::filesystem::path SourceName(const std::filesystem::path& file) { return file; }
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

// The classic status texts, for a host that shows the run as the classic window did.
// "正在合并第" number "个XLS文件", number one-based
std::string MergingFileText(int32_t number);
// "共有" FoundCount "个XLS文件 已合并" MergedCount "个"
std::string CountLineText(int32_t found, int32_t merged);
inline constexpr char kStoppedText[] = "已停止";  // the progress line after a run
inline constexpr char kStartCaption[] = "开始";   // the Start/Stop caption while no run is under way

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
  };
  TKind kind = nkNone;
  std::u16string sheet;  // the sheet's name, where every sheet of a file is merged
  uint32_t row = 0;
  int64_t rows = 0;
  int64_t left = 0;
  bool leftAtLeast = false;  // `left` is a lower bound: the count was stopped, or the rest was unreadable
  std::string unreadable;    // why the rest of the sheet could not be read (the reader's words), or empty
  uint32_t column = 0, lastColumn = 0, outputColumns = 0, reserved = 0;
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
// When the host skips unreadable files, a file that fails is passed over instead (none of its rows is
// kept where the output can still drop them) and listed in the returned report with its reason; a
// failure message that ends a run lists the outputs written, the older continuation files beside them,
// the files passed over and the notes made before it.
TMergeReport MergeFiles(TMergeHost& host);

}  // namespace plicato
