#include "merge/MergeEngine.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "merge/ColumnLayout.h"
#include "merge/ColumnMatch.h"
#include "merge/HeaderScan.h"
#include "merge/InputFiles.h"
#include "merge/OutputSplitter.h"
#include "merge/RowRule.h"
#include "merge/RowSource.h"
#include "merge/RunReport.h"
#include "workbook/NumberFormatText.h"
#include "workbook/SheetData.h"

// A run of the merge, and the parts it hands rows through.
//
// The parts, each in a file of its own:
//   TInputFiles      where rows come from: the list, opening each file (passwords, read ahead), its sheets.
//   TRowRule         how the mode takes rows from a sheet: the classic rule or the value rule.
//   TColumnLayout    where a taken row's cells go in the output: source, mark, data; the header rows kept.
//   TOutputSplitter  the output being filled, splits into continuation outputs, taking a file's rows back.
//   TRunReport       remarks and the files passed over (as facts: the hosts word them), the report.
// TMergeRun below reads the host's settings once, sets the parts up and runs the files through them.
//
// The run's states (the output, then each file):
//
//   NO OUTPUT    Nothing is being filled: at the start, after each split, and after a failed file's rows
//                were all taken back. The first row that needs an output begins it (the splitter), with
//                the stored header rows first on a continuation.
//   OUTPUT OPEN  Rows are going in. Each taken row goes rule -> layout (Assemble) -> splitter (PutRow).
//   FULL         The output holds its format's last row: the splitter marks the sheet's part in it, writes
//                it and puts it in place (written, named in the report), and is in NO OUTPUT again. A stop
//                request takes effect here inside a file: the file is cut short (noted, not counted).
//   WRITTEN      At the run's end (list done, stopped, or a file failed without skipping) the output
//                being filled is written; a run that gathered no row writes nothing.
//
//   A file is BEGUN (FileBegun; the splitter notes where its rows begin; its remarks start empty), then
//   its sheets are taken one by one. It ends MERGED (its remarks go to the report and the host, FileMerged),
//   STOPPED (cut at a split: its rows up to it stay, it is not counted), or FAILED: its rows are TAKEN BACK
//   from the output being filled where the output can drop them, its remarks dropped, and then it is
//   SKIPPED (listed in the report) or it ENDS THE RUN (what was gathered before it is written, and the
//   failure's facts say what was written). Out of memory ends the run at once and drops the output
//   being filled; an output that cannot be written ends it too, naming that output.
//
// Who owns what: the run owns the host's settings and the parts; the splitter owns the output being
// filled and every name written; the layout owns the header rows (the splitter asks for them at each
// continuation, and forgets them when a failed file that gave them is taken back); the rule owns the row
// read and taken until the next one; the report owns every remark and the report returned.

namespace plicato {

namespace {

// Progress within a file is reported at most this often.
constexpr std::chrono::milliseconds kProgressInterval(100);

namespace fs = std::filesystem;

// A header cell taken, as its column's name: a text, or a number as its format shows it.
std::u16string HeaderName(const TOutCell& cell) {
  switch (cell.kind) {
    case okText: return std::u16string(cell.text);
    case okNumber: return FromUtf8(FormattedNumberText(cell.number, cell.format));
    case okBoolean: return cell.boolean ? u"TRUE" : u"FALSE";
    case okError: return std::u16string(ErrorText(cell.error));
  }
  return {};
}

// The names of a header row taken, one per column up to its last cell.
std::vector<std::u16string> HeaderNames(std::span<const TOutCell> cells) {
  std::vector<std::u16string> names;
  for (const TOutCell& cell : cells) {
    if (names.size() <= cell.column) names.resize(cell.column + 1u);
    names[cell.column] = HeaderName(cell);
  }
  while (!names.empty() && TColumnMatch::Fold(names.back()).empty()) names.pop_back();
  return names;
}

// One run of MergeFiles.
class TMergeRun {
 public:
  TMergeRun(TMergeHost& host, TMergeOptions options)
      : host_(host), splitter_(host, layout_, report_), options_(std::move(options)) {}

  TMergeReport Run();
  // Of a run that failed: the input that could not be merged, the output that could not be written (or
  // would replace an input); each empty when the failure was not theirs.
  const fs::path& FailedInput() const { return failedInput_; }
  const fs::path& FailedOutput() const { return splitter_.FailedOutput(); }
  // The failure that ends the run, with what the run wrote, the older continuation files beside them,
  // the files passed over and the remarks so far.
  EMergeError Ending(TRunFailure failure, TErrorKind kind) const {
    report_.List(failure, splitter_.Written(), splitter_.OlderOutputs());
    return EMergeError(std::move(failure), kind);
  }

 private:
  enum TFileEnd : uint8_t { feMerged, feSkipped, feFailed, feStopped };

  void Start();
  void MatchColumns();
  void SetSheetColumns(size_t index, size_t sheet);
  void TakeHeaderRow(int64_t ordinal, bool headerSheet);
  void NoteColumnsLeftOut();
  TFileEnd MergeOne(size_t index);
  void MergeFile(size_t index);
  void MergeSheet(TInputBook& book, size_t sheet);
  void GiveData(TSheetState& state);
  TMergeReport Finish(bool stopped);
  [[noreturn]] void Fail();
  TFileFailure FileFailure(const std::exception& e) const;

  TMergeHost& host_;
  TRunReport report_;
  TColumnLayout layout_;
  TOutputSplitter splitter_;
  // The run's settings, taken when it starts.
  TMergeOptions options_;
  bool mark_ = false;
  bool classic_ = true;
  int headerRows_ = 0;
  bool skipUnreadable_ = false;
  std::optional<TRowRule> rule_;
  // Matching columns by header: every file's header, read before the first row, and their union.
  std::vector<THeaderFile> headers_;
  std::optional<TColumnMatch> match_;
  bool sheetMatchLate_ = false;  // the current sheet was not known at the pre-read: it is matched as read
  bool unionNoted_ = false;      // the union's columns past the output's width were named
  // Without matching, in value mode: the first file's last header row, folded, and whether another
  // file's was found to differ (said once).
  std::optional<std::vector<std::u16string>> firstNames_;
  bool differNoted_ = false;
  // The current file: whether it gave the header rows, whether a stop request cut it short at a split.
  bool fileGaveHeader_ = false;
  bool cutShort_ = false;
  std::chrono::steady_clock::time_point lastProgress_;
  uint32_t rowsGiven_ = 0;  // data rows given in the run, for reading the clock now and then
  int32_t filesDone_ = 0, filesTotal_ = 0;
  // The sheet whose rows are being read, if any: a failure says where it came.
  bool reading_ = false;
  std::u16string readingSheet_;
  // The failure that ends the run: the file and why.
  fs::path failedInput_;
  TFileFailure failure_;
  // Last: destroyed first, while what a read under way was given still stands.
  std::optional<TInputFiles> inputs_;
};

// Checks the run's settings, then the output before any input is read.
void TMergeRun::Start() {
  CheckMergeOptions(options_);
  std::vector<fs::path> list = options_.files;
  mark_ = options_.markRows;
  classic_ = !options_.values;
  headerRows_ = options_.headerRows;
  splitter_.Open(ResolveSavePath(options_.savePath), list, headerRows_,
                 options_.sheet.kind == TSheetChoice::scAll, classic_, mark_);
  inputs_.emplace(host_, std::move(list), options_);
  skipUnreadable_ = options_.skipUnreadable;
  inputs_->SetPasswords(options_.passwords);
  layout_.Set({splitter_.Format(), classic_, options_.sourceColumn, mark_, headerRows_, options_.sourceCaption});
  // Matching takes every column read: the layout leaves out what the output cannot hold.
  rule_.emplace(classic_, layout_.Limit(), options_.matchColumns ? layout_.Limit() : layout_.Fit());
  filesTotal_ = static_cast<int32_t>(inputs_->List().size());
  if (options_.matchColumns) MatchColumns();
}

// Reads the header rows of every listed file before the first row is written, so that every output
// begins with the whole union of names. An .xls book read for it is kept for the run, as memory allows.
void TMergeRun::MatchColumns() {
  THeaderScanOptions scan;
  scan.headerRows = headerRows_;
  scan.values = options_.values;
  scan.csv = {options_.csvEncoding, options_.csvDelimiter, options_.values};
  scan.passwords = options_.passwords;
  scan.columnLimit = layout_.Limit();
  scan.choose = [this](const TInputBook& book) {
    return book.OneSheet() ? std::vector<size_t>{0} : inputs_->ChooseSheets(book);
  };
  scan.stop = &host_.StopRequested;  // the run then stops before its first file
  scan.keep = [this](size_t file, std::unique_ptr<TInputBook>& book) { inputs_->Keep(file, book); };
  headers_ = ScanHeaders(inputs_->List(), scan);
  match_.emplace(layout_.Fit());
  MatchHeaders(headers_, *match_);
  std::vector<std::u16string> names = match_->Columns();
  names.resize(match_->Kept());
  layout_.SetColumnNames(names);
}

// The map of the file's sheet for the layout, and the remarks of its columns; a sheet the pre-read did
// not know (a password typed only now) is matched when its header rows are read.
void TMergeRun::SetSheetColumns(size_t index, size_t sheet) {
  const THeaderSheet* known = nullptr;
  for (const THeaderSheet& scanned : headers_.at(index).sheets)
    if (scanned.index == sheet && scanned.match != kNoHeaderMatch) known = &scanned;
  sheetMatchLate_ = known == nullptr;
  // Until its header rows are read, a late sheet lays nothing out by position.
  layout_.SetMap(known ? &*match_ : nullptr, known ? known->match : 0);
  if (!known) return;
  const TColumnFacts facts = match_->Facts(known->match);
  if (facts.unnamed) report_.NoteMatchedByPosition();
  std::vector<std::u16string> lacking, brought;
  for (uint32_t column : facts.lacking) lacking.push_back(match_->Columns()[column]);
  for (uint32_t column : facts.brought) brought.push_back(match_->Columns()[column]);
  if (!lacking.empty() || !brought.empty()) report_.NoteColumnsMatched(lacking, brought);
  if (!unionNoted_ && match_->Columns().size() > match_->Kept() &&
      std::find(match_->Map(known->match).begin(), match_->Map(known->match).end(), TColumnMatch::kLeftOut) !=
          match_->Map(known->match).end()) {
    unionNoted_ = true;
    std::vector<std::u16string> names;
    for (size_t column = match_->Kept(); column < match_->Columns().size(); ++column)
      if (match_->Named(static_cast<uint32_t>(column))) names.push_back(match_->Columns()[column]);
    if (!names.empty()) report_.NoteUnionLeftOut(names, layout_.OutputColumns(), layout_.Shift());
  }
}

// A header row taken: kept as the output's header when the sheet gives it (the last one the union's
// names where columns are matched), matched where the sheet was not known before, compared with the
// first file's where files stacked by position may differ.
void TMergeRun::TakeHeaderRow(int64_t ordinal, bool headerSheet) {
  const bool last = ordinal == headerRows_ - 1;
  if (last && match_ && sheetMatchLate_) {
    // The output's columns are written already: the columns only this sheet brings are left out (the
    // layout counts them), the ones it lacks are said as for any other.
    const size_t number = match_->AddFile(HeaderNames(rule_->Taken()));
    layout_.SetMap(&*match_, number);
    const TColumnFacts facts = match_->Facts(number);
    if (facts.unnamed) report_.NoteMatchedByPosition();
    std::vector<std::u16string> lacking;
    for (uint32_t column : facts.lacking)
      if (column < layout_.Columns()) lacking.push_back(match_->Columns()[column]);
    if (!lacking.empty()) report_.NoteColumnsMatched(lacking, {});
  }
  if (last && !match_ && !classic_ && !differNoted_) {
    std::vector<std::u16string> names = HeaderNames(rule_->Taken());
    for (std::u16string& name : names) name = TColumnMatch::Fold(name);
    // Only a column named otherwise at the same place puts values under a wrong name: a file with more
    // or fewer columns at the end stacks well by position.
    auto differs = [&](const std::vector<std::u16string>& first) {
      for (size_t i = 0; i < std::min(names.size(), first.size()); ++i)
        if (!names[i].empty() && !first[i].empty() && names[i] != first[i]) return true;
      return false;
    };
    if (!firstNames_) {
      firstNames_ = std::move(names);
    } else if (differs(*firstNames_)) {
      differNoted_ = true;
      report_.NoteColumnsDiffer();
    }
  }
  if (!headerSheet) return;
  fileGaveHeader_ = true;
  const std::span<const TOutCell> row = last && match_ ? layout_.NamesRow() : std::span<const TOutCell>(rule_->Taken());
  layout_.StoreHeader(row);
  splitter_.PutHeader(row, static_cast<int>(layout_.StoredHeaders() - 1));
}

// The sheet's columns whose values the layout left out, in the file's remark.
void TMergeRun::NoteColumnsLeftOut() {
  const std::vector<uint32_t> columns = layout_.TakeColumnsLeftOut();
  if (!columns.empty()) report_.NoteColumnsNotMatched(columns);
}

TMergeReport TMergeRun::Run() {
  Start();
  const std::vector<fs::path>& list = inputs_->List();
  host_.SetProgress(0, filesTotal_, 0);
  bool stopped = false;
  for (size_t index = 0; index < list.size(); ++index) {
    if (host_.StopRequested.load() == 1) {
      stopped = true;
      break;
    }
    const TFileEnd end = MergeOne(index);
    if (end == feFailed) Fail();
    if (end == feStopped) {
      stopped = true;
      break;
    }
  }
  return Finish(stopped);
}

// Merges the listed file at index, from FileBegun to how it ended.
TMergeRun::TFileEnd TMergeRun::MergeOne(size_t index) {
  const fs::path& path = inputs_->List()[index];
  const int32_t done = static_cast<int32_t>(index);
  filesDone_ = done;
  host_.FileBegun(done, filesTotal_, path);
  splitter_.BeginFile();
  fileGaveHeader_ = false;
  rule_->BeginFile();
  cutShort_ = false;
  reading_ = false;
  report_.DropFileNotes();
  lastProgress_ = std::chrono::steady_clock::now();
  try {
    MergeFile(index);
  } catch (const EOutputError& e) {
    throw Ending(e.Facts(), e.Kind());
  } catch (const std::exception& e) {
    // Out of memory is the machine's limit, not the file's fault: the run ends without passing the file
    // over, and the output, whose rows may be short of what was given, is not put in place of the target.
    if (KindOf(e) == ekOutOfMemory) {
      failedInput_ = path;
      splitter_.Drop();
      TRunFailure failure = TRunFailure::Of(TRunFailure::rfOutOfMemoryMerging, path);
      failure.rest = TRunFailure::rsNothingWritten;
      throw Ending(std::move(failure), ekOutOfMemory);
    }
    TFileFailure failure = FileFailure(e);
    splitter_.TakeBack(fileGaveHeader_, failure);
    report_.DropFileNotes();
    if (skipUnreadable_) {
      report_.Skip(path, std::move(failure));
      host_.SetProgress(done + 1, filesTotal_, 0);
      return feSkipped;
    }
    // Stop at the failing file, but keep what was gathered before it: the output is written by Fail.
    failedInput_ = path;
    failure_ = std::move(failure);
    return feFailed;
  }
  report_.FlushNotes(host_, path);
  if (cutShort_) {
    // Rows up to a split were kept; the file is not counted as merged.
    host_.SetProgress(done, filesTotal_, splitter_.FileRows());
    return feStopped;
  }
  host_.SetProgress(done + 1, filesTotal_, splitter_.FileRows());
  host_.MergedCount.fetch_add(1);
  ++report_.Value().filesMerged;
  host_.FileMerged(host_.FoundCount.load(), host_.MergedCount.load());
  return feMerged;
}

void TMergeRun::MergeFile(size_t index) {
  std::unique_ptr<TInputBook> book = inputs_->Open(index, layout_.Limit());
  const std::vector<size_t> sheets = book->OneSheet() ? std::vector<size_t>{0} : inputs_->ChooseSheets(*book);
  const TSheetChoice& choice = options_.sheet;
  if (book->OneSheet() &&
      ((choice.kind == TSheetChoice::scIndex && choice.index != 0) ||
       (choice.kind == TSheetChoice::scName && !SameSheetName(choice.name, book->Sheets()[0].name))))
    report_.NoteOneSheet();
  if (options_.sourceColumn) layout_.SetFileSource(FromUtf8(options_.SourceName(index).string()));
  const bool every = choice.kind == TSheetChoice::scAll;
  if (sheets.empty()) report_.NoteNoWorksheet();
  for (size_t i = 0; i < sheets.size(); ++i) {
    const TInSheet& sheet = book->Sheets()[sheets[i]];
    report_.SetSheet(every ? sheet.name : std::u16string());
    layout_.SetSheetSource(every ? &sheet.name : nullptr);
    if (i > 0 && host_.StopRequested.load() == 1) {
      cutShort_ = true;
      report_.NoteSheetsLeft();
      break;
    }
    readingSheet_ = sheet.name;
    if (match_) SetSheetColumns(index, sheets[i]);
    MergeSheet(*book, sheets[i]);
    if (match_) NoteColumnsLeftOut();
    if (cutShort_) break;
  }
  report_.SetSheet({});
  if (rule_->LastColumnOut() > 0) {
    // Where columns are matched the rule takes every column read; the layout says what it left out.
    const uint32_t fit = match_ ? layout_.Limit() : layout_.Fit();
    report_.NoteColumnsLeftOut(fit, layout_.Limit(), rule_->LastColumnOut(), layout_.OutputColumns(),
                               layout_.Shift());
  }
}

void TMergeRun::MergeSheet(TInputBook& book, size_t sheet) {
  try {
    book.SelectSheet(sheet);
  } catch (const EPlicatoError& e) {
    // Where every sheet is merged, a sheet listed without its part costs that sheet, not the others.
    if (options_.sheet.kind != TSheetChoice::scAll || e.Kind() != ekSheetMissing) throw;
    report_.NoteSheetMissing(e.what());
    return;
  }
  TSheetState state;
  if (mark_ && !splitter_.Revisable()) {
    // The mark goes on the sheet's first row in an output that cannot go back to it: the rows are counted
    // first, and a streamed sheet is read a second time.
    state.counted = rule_->CountDataRows(book, headerRows_);
    book.SelectSheet(sheet);
  }
  const bool headerSheet = layout_.WantsHeader();
  reading_ = true;
  rule_->BeginSheet();
  while (rule_->Next(book, state)) {
    const int64_t ordinal = state.taken++;
    if (ordinal < headerRows_) {
      TakeHeaderRow(ordinal, headerSheet);
      continue;
    }
    const int32_t splits = splitter_.Splits();
    GiveData(state);
    // A stop request takes effect at a split: the rows up to it are written, the rest is not read.
    if (splitter_.Splits() != splits && host_.StopRequested.load() == 1) {
      cutShort_ = true;
      break;
    }
  }
  reading_ = false;
  splitter_.FinishPart();
  layout_.EndHeader();
  if (cutShort_) {
    report_.NoteCutAtSplit(state.taken);
  } else if (classic_) {
    report_.NoteRowsLeft(state.taken, state.next + 1, rule_->CountRowsLeft(book, state, host_.StopRequested));
  } else if (state.taken == 0) {
    report_.NoteNoValues();
  }
  if (!cutShort_ && headerRows_ > 0 && state.taken > 0 && state.data == 0 && !headerSheet)
    report_.NoteNoDataRows(std::min<int64_t>(state.taken, headerRows_));
  for (const TInRemark& remark : book.Remarks()) report_.NoteRemark(remark);
}

// Hands a data row taken to the splitter, and tells the host how far the file is now and then.
void TMergeRun::GiveData(TSheetState& state) {
  splitter_.PutData(rule_->Taken(), state.counted - state.data);
  ++state.data;
  // The clock is read every 64 rows: reading it for every row cost as much as a row's cells.
  if ((++rowsGiven_ & 63) != 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastProgress_ >= kProgressInterval) {
    lastProgress_ = now;
    host_.SetProgress(filesDone_, filesTotal_, splitter_.FileRows());
  }
}

// The end of a run that was not failed by a file: the output being filled is written, if any (a run that
// gathered no row leaves an existing file alone).
TMergeReport TMergeRun::Finish(bool stopped) {
  TMergeReport& report = report_.Value();
  report.stopped = stopped;
  try {
    splitter_.Finish();
  } catch (const EOutputError& e) {
    throw Ending(e.Facts(), e.Kind());
  }
  report.outputs = splitter_.Written();
  report.olderOutputs = splitter_.OlderOutputs();
  host_.RunEnded(report);
  return std::move(report);
}

// The end of a run a file failed: the rows gathered before it are written, and the failure says so.
void TMergeRun::Fail() {
  TRunFailure failure = TRunFailure::Of(TRunFailure::rfFile, failedInput_);
  failure.file = failure_;
  failure.rest = TRunFailure::rsNothingWritten;
  if (splitter_.Filling()) {
    try {
      splitter_.WriteRest();
      failure.rest = TRunFailure::rsRowsBefore;
    } catch (const std::exception& e) {
      failure.rest = TRunFailure::rsRestFailed;
      failure.restWords = e.what();
      if (const auto* output = dynamic_cast<const EMergeError*>(&e)) {
        const TRunFailure& facts = output->Facts();
        failure.restWhat = facts.what;
        failure.restOutput = facts.output;
        failure.restInput = facts.input;
        failure.restWords = facts.file.words;
      }
    }
  }
  throw Ending(std::move(failure), failure_.kind);
}

// Why the file being merged failed, from its exception: a sheet asked for that it lacks, or the reader's
// words; where its rows were being read, the sheet and the last row read well.
TFileFailure TMergeRun::FileFailure(const std::exception& e) const {
  TFileFailure failure;
  if (const auto* merge = dynamic_cast<const EMergeError*>(&e)) failure = merge->Facts().file;
  if (failure.sheetProblem == TFileFailure::spNone && failure.words.empty()) failure.words = e.what();
  failure.kind = KindOf(e);
  if (reading_) {
    failure.reading = true;
    failure.sheet = readingSheet_;
    failure.afterRow = rule_->LastRowRead();
  }
  return failure;
}

}  // namespace

std::string ColumnName(uint32_t column) {
  std::string name;
  for (; column > 0; column = (column - 1) / 26)
    name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
  return name;
}

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

TMergeReport MergeFiles(TMergeHost& host, TMergeOptions options) {
  TMergeRun run(host, std::move(options));
  try {
    return run.Run();
  } catch (const std::bad_alloc&) {
    // Short of memory outside a file's merge and an output's writing (taking the list, naming the
    // outputs, the report at the end): the run's own work. What it wrote before is said.
    std::optional<EMergeError> failure;
    const TRunFailure facts = TRunFailure::Of(TRunFailure::rfOutOfMemory, run.FailedInput(), run.FailedOutput());
    try {
      failure.emplace(run.Ending(facts, ekOutOfMemory));
    } catch (const std::bad_alloc&) {
      failure.emplace(facts, ekOutOfMemory);
    }
    host.RunFailed(failure->Facts());
    throw *failure;
  } catch (const EMergeError& e) {
    host.RunFailed(e.Facts());
    throw;
  } catch (const std::exception& e) {
    TRunFailure failure = TRunFailure::Of(TRunFailure::rfOther, run.FailedInput(), run.FailedOutput());
    failure.file.words = e.what();
    host.RunFailed(failure);
    throw;
  }
}

}  // namespace plicato
