#include "merge/MergeEngine.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cfenv>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "merge/CsvReader.h"
#include "merge/ReadAhead.h"
#include "merge/RowSource.h"
#include "workbook/NumberText.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

// The classic merge's columns of a sheet: 255 text cells a row in an .xls output, as it has always been.
constexpr uint32_t kClassicColumns = 255;
constexpr int kMaxHeaderRows = 10;
// The reader's words for a password that does not open a file, and for a file that needs one.
constexpr char kInvalidPassword[] = "Invalid password";
constexpr char kPasswordRequired[] = "File is encrypted. Password required.";
// Files up to this size are read ahead, while the file before them is merged: two models of them fit
// in memory easily.
constexpr uintmax_t kReadAheadBytes = 64 << 20;
// Progress within a file is reported at most this often.
constexpr std::chrono::milliseconds kProgressInterval(100);

namespace fs = std::filesystem;

// An output that could not be written: the run ends with this message, which names the output; the
// input being merged is not to blame.
class EOutputError : public EMergeError {
 public:
  using EMergeError::EMergeError;
};

TCsvOptions CsvOptionsOf(const TMergeOptions& options) {
  return {options.csvEncoding, options.csvDelimiter, options.values};
}

std::string Shown(const fs::path& path) {
  return path.string();
}

// Only a regular file is asked for its content: opening a named pipe to look at it would wait for a
// writer forever. Anything else goes to the .xls reader, which says what the path is.
bool HoldsXlsx(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && DetectWorkbookContent(path) == wcXlsx;
}

// Reads an .xls file. The reader takes one password per read, after its default one: each password
// next gives is a new read of the file, which fails early, at the file's encryption record. opened is
// the password that opened the file, or empty.
std::unique_ptr<TXLSWorkbook> ReadXlsWith(const fs::path& path,
                                          const std::function<std::optional<std::u16string>()>& next,
                                          std::u16string& opened) {
  bool tried = false;
  for (;;) {
    auto input = std::make_unique<TXLSWorkbook>();
    input->Filename = FileNameFromPath(path);
    bool offered = false;
    std::u16string password;
    input->OnPassword = [&](std::u16string& asked) {
      std::optional<std::u16string> candidate = next();
      if (!candidate) return false;
      asked = password = std::move(*candidate);
      offered = true;
      return true;
    };
    try {
      ReadWorkbook(*input);
    } catch (const EPlicatoError& e) {
      if (offered && e.Kind() == ekWrongPassword) {
        tried = true;
        continue;
      }
      // An encrypted .xlsx is a compound document the .xls reader cannot make sense of; say what it is.
      if (HoldsEncryptedPackage(path)) throw EXlsxError(kEncryptedXlsx, ekEncrypted);
      throw;
    }
    // Aborted: no password left to offer. The reader's own words say why the file stays closed.
    if (input->Aborted) {
      throw tried ? EXLSError(kInvalidPassword, ekWrongPassword) : EXLSError(kPasswordRequired, ekEncrypted);
    }
    opened = offered ? std::move(password) : std::u16string();
    input->OnPassword = nullptr;  // it refers to this frame
    return input;
  }
}

// A listed file read ahead: an .xls file read with the passwords known (and no other), a CSV file opened
// (its encoding found, its first piece read), an .xlsx file opened (its styles and strings read, its first
// worksheet being inflated: its rows are streamed in its turn).
std::unique_ptr<TInputBook> ReadBookAhead(const fs::path& path, const std::vector<std::u16string>& known,
                                          const TCsvOptions& csv, std::u16string& opened) {
  if (HoldsXlsx(path)) return MakeXlsxBook(path);
  if (ReadAsCsv(path)) return MakeCsvBook(path, csv);
  size_t next = 0;
  auto offer = [&]() -> std::optional<std::u16string> {
    if (next < known.size()) return known[next++];
    return std::nullopt;
  };
  return MakeXlsBook(ReadXlsWith(path, offer, opened));
}

// 1st, 2nd, 3rd, 4th, ..., 11th, 12th, 13th, ..., 21st.
std::string Ordinal(uint32_t n) {
  const uint32_t tens = n % 100, ones = n % 10;
  const char* suffix = "th";
  if (tens < 11 || tens > 13) suffix = ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th";
  return std::to_string(n) + suffix;
}

std::string Rows(int64_t n) {
  return std::to_string(n) + (n == 1 ? " row" : " rows");
}

TOutCell TextCell(uint16_t column, std::u16string_view text) {
  TOutCell cell;
  cell.column = column;
  cell.text = text;
  return cell;
}

// A row kept for the top of every continuation output: the header rows, with their own texts.
struct TStoredRow {
  std::vector<TOutCell> cells;
  std::vector<std::u16string> texts;
  std::vector<std::u16string> formats;

  void Assign(std::span<const TOutCell> from) {
    cells.assign(from.begin(), from.end());
    texts.resize(cells.size());
    formats.resize(cells.size());
    for (size_t i = 0; i < cells.size(); ++i) {
      texts[i].assign(cells[i].text);
      formats[i].assign(cells[i].format);
      cells[i].text = texts[i];
      cells[i].format = formats[i];
    }
  }
};

TNoteFacts Facts(TNoteFacts::TKind kind, int64_t rows = 0) {
  TNoteFacts facts;
  facts.kind = kind;
  facts.rows = rows;
  return facts;
}

// What the run knows of the sheet being merged.
struct TSheetState {
  int64_t taken = 0;     // rows the mode took, header rows included
  int64_t data = 0;      // data rows given to outputs
  int64_t counted = -1;  // data rows counted before (for marks into an output that cannot go back), or -1
  // Classic mode: the sheet's rows end at the first one without text.
  uint32_t next = 0;           // the row expected next
  bool ended = false;          // that row was found
  bool endHoldsValue = false;  // the row read that ended the rows (it or a later one) holds a value
};

// One run of MergeFiles: the output being filled and where the current file's rows go.
class TMergeRun {
 public:
  explicit TMergeRun(TMergeHost& host) : host_(host) {}

  TMergeReport Run();
  // Of a run that failed: the input that could not be merged, the output that could not be written (or
  // would replace an input); each empty when the failure was not theirs.
  const fs::path& FailedInput() const { return failedInput_; }
  const fs::path& FailedOutput() const { return failedOutput_; }
  // What the run wrote and which continuation files beside them are older, for a message that ends it.
  std::string OutputsText() const;

 private:
  enum THeaderState : uint8_t { hsNone, hsCollecting, hsDone };

  std::unique_ptr<TInputBook> OpenBook(const fs::path& path, size_t index);
  std::unique_ptr<TXLSWorkbook> ReadXls(const fs::path& path);
  void ReadAhead(size_t index);
  std::optional<std::u16string> NextPassword(const fs::path& path, size_t& next);
  std::vector<size_t> ChooseSheets(const TInputBook& book) const;

  void MergeFile(const fs::path& path, int32_t done, int32_t total);
  void MergeSheet(TInputBook& book, size_t sheet, int32_t done, int32_t total);
  bool NextTaken(TInputBook& book, TSheetState& state);
  void TakeClassic();
  bool TakeValues(bool date1904);
  int64_t CountDataRows(TInputBook& book);
  void NoteRowsLeftBehind(TInputBook& book, const TSheetState& state);

  void BeginOutput();
  fs::path CurrentSavePath();
  void Assemble(std::span<const TOutCell> data, int headerIndex, bool header, int64_t mark);
  void PutRow();
  void EmitHeader();
  void EmitData(TSheetState& state);
  void FinishPart();
  void Split();
  void WriteOutput(uint32_t rows);
  EOutputError OutputFailure(const fs::path& output, const std::string& message, TErrorKind kind);
  EOutputError OutOfMemoryWriting();
  std::string TakeBack();
  void Note(const std::string& text, TNoteFacts facts);
  void FlushNotes(const fs::path& path);
  std::vector<fs::path> OlderOutputs() const;
  std::string ReportText() const;

  TMergeHost& host_;
  TMergeReport report_;
  // The run's settings, taken when it starts.
  TMergeOptions options_;
  bool mark_ = false;
  bool classic_ = true;
  int headerRows_ = 0;
  fs::path savePath_;  // resolved
  TOutputFormat format_ = ofXls;
  std::unique_ptr<TListedFiles> listed_;
  std::vector<fs::path> list_;             // the files to merge, in order
  std::vector<std::u16string> passwords_;  // the host's, taken when the run starts
  std::u16string lastPassword_;            // the one that opened the last encrypted file
  // The output layout: the source column, the mark column, then the data columns moved right by shift_.
  uint32_t maxRows_ = 0;
  uint32_t maxColumns_ = 0;
  bool revisable_ = false;  // the output can take a cell into a row given before, and drop rows
  uint16_t sourceColumn_ = 0, markColumn_ = 0, shift_ = 0;
  uint32_t limit_ = 0;  // the columns of a sheet read
  uint32_t fit_ = 0;    // the columns of a sheet that fit the output
  uint16_t padTo_ = 0;
  // The output being filled: null until a row needs it, and after each split.
  std::unique_ptr<TRowOutput> output_;
  fs::path outputName_;
  std::vector<fs::path> written_;
  uint32_t outputRow_ = 0;
  uint32_t outputHeaderRows_ = 0;  // the repeated header rows at the top of the current output
  int32_t splitNumber_ = 0;
  // The header rows: taken from the first sheet that gives rows, repeated atop every continuation output.
  THeaderState headerState_ = hsNone;
  std::vector<TStoredRow> headers_;
  // The current sheet's rows in the current output, and the output row of the first of them.
  int64_t partRows_ = 0;
  uint32_t partFirstRow_ = 0;
  // The current file: its rows in all, where they began, whether it gave the header rows, its notes.
  int64_t fileRows_ = 0;
  uint32_t fileFirstRow_ = 0;
  int32_t fileFirstSplit_ = 0;
  bool fileGaveHeader_ = false;
  bool cutShort_ = false;  // a stop request ended the file at a split
  uint32_t fileLastColumnOut_ = 0;
  std::vector<TFileNote> fileNotes_;  // the current file's remarks (without the file)
  std::u16string fileSource_;         // the source column's text for the file
  std::u16string sheetSource_;        // ... for the sheet being merged
  std::u16string sheetLabel_;         // the sheet's name where every sheet is merged, else empty
  std::chrono::steady_clock::time_point lastProgress_;
  uint32_t rowsGiven_ = 0;  // data rows given in the run, for reading the clock now and then
  int32_t filesDone_ = 0, filesTotal_ = 0;
  // The row being read, the row taken from it (data cells at the sheet's columns) and the row written.
  TInRow row_;
  std::vector<TOutCell> taken_;
  std::vector<std::u16string> texts_;  // the classic merge's texts of numbers, by column
  std::vector<TOutCell> cells_;
  std::span<const TOutCell> assembled_;  // the row Assemble made: cells_, or the data cells themselves
  std::u16string markText_;
  fs::path failedInput_, failedOutput_;
  bool formatsNoted_ = false;  // the output's lack of room for number formats was said, once a run
  // Last: destroyed first, while what a read under way was given still stands.
  TReadAhead readAhead_;
};

std::unique_ptr<TInputBook> TMergeRun::OpenBook(const fs::path& path, size_t index) {
  std::u16string opened;
  std::unique_ptr<TInputBook> ahead = readAhead_.Take(path, opened);
  if (!opened.empty()) lastPassword_ = std::move(opened);
  ReadAhead(index);
  // By content, not by name: an .xlsx saved as .xls is still streamed, and an .xls named .xlsx read.
  std::unique_ptr<TInputBook> book = ahead             ? std::move(ahead)
                                     : HoldsXlsx(path) ? MakeXlsxBook(path)
                                     : ReadAsCsv(path) ? MakeCsvBook(path, CsvOptionsOf(options_))
                                                       : MakeXlsBook(ReadXls(path));
  book->SetColumnLimit(limit_);
  return book;
}

// The next password to offer an encrypted file: the known ones in turn, then the host's answers. An
// empty answer opens nothing, so the host is asked again at once.
std::optional<std::u16string> TMergeRun::NextPassword(const fs::path& path, size_t& next) {
  std::vector<const std::u16string*> known;
  if (!lastPassword_.empty()) known.push_back(&lastPassword_);
  for (const std::u16string& password : passwords_)
    if (!password.empty() && password != lastPassword_) known.push_back(&password);
  if (next < known.size()) return *known[next++];
  for (;;) {
    std::optional<std::u16string> answer = host_.AskPassword(path);
    if (!answer || !answer->empty()) return answer;
  }
}

std::unique_ptr<TXLSWorkbook> TMergeRun::ReadXls(const fs::path& path) {
  size_t next = 0;
  std::u16string opened;
  std::unique_ptr<TXLSWorkbook> input = ReadXlsWith(
      path, [&] { return NextPassword(path, next); }, opened);
  if (!opened.empty()) lastPassword_ = std::move(opened);
  return input;
}

// Starts reading the listed file after the one at index while that one is merged: an .xls file of a
// size two models of which fit in memory easily, read with the passwords known now (a file that needs
// another one is read in its turn, where the host can be asked), or a CSV file opened.
void TMergeRun::ReadAhead(size_t index) {
  if (index + 1 >= list_.size() || host_.StopRequested.load() == 1) return;
  const fs::path& path = list_[index + 1];
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kReadAheadBytes) return;
  std::vector<std::u16string> known;
  if (!lastPassword_.empty()) known.push_back(lastPassword_);
  for (const std::u16string& password : passwords_)
    if (!password.empty() && password != lastPassword_) known.push_back(password);
  readAhead_.Start(path, [path, known = std::move(known), csv = CsvOptionsOf(options_)](
                             std::u16string& opened) { return ReadBookAhead(path, known, csv, opened); });
}

// The sheets of a file the run merges, in order. A file without the sheet asked for cannot be merged:
// the failure's message says why.
std::vector<size_t> TMergeRun::ChooseSheets(const TInputBook& book) const {
  const std::vector<TInSheet>& sheets = book.Sheets();
  const TSheetChoice& choice = options_.sheet;
  std::vector<size_t> chosen;
  switch (choice.kind) {
    case TSheetChoice::scFirst:
      for (size_t i = 0; i < sheets.size() && chosen.empty(); ++i)
        if (sheets[i].worksheet) chosen.push_back(i);
      if (chosen.empty()) throw EMergeError("The workbook has no worksheet.", ekSheetMissing);
      break;
    case TSheetChoice::scIndex: {
      const size_t index = static_cast<size_t>(std::max(choice.index, 0));
      if (index >= sheets.size()) {
        throw EMergeError("The workbook has " + std::to_string(sheets.size()) +
                              (sheets.size() == 1 ? " sheet" : " sheets") + ": there is no sheet " +
                              std::to_string(index) + " (sheets are counted from 0).",
                          ekSheetMissing);
      }
      if (!sheets[index].worksheet) {
        throw EMergeError("Sheet " + std::to_string(index) + " (\"" + ToUtf8(sheets[index].name) +
                              "\") is not a worksheet.",
                          ekSheetMissing);
      }
      chosen.push_back(index);
      break;
    }
    case TSheetChoice::scName: {
      for (size_t i = 0; i < sheets.size() && chosen.empty(); ++i) {
        if (!SameSheetName(sheets[i].name, choice.name)) continue;
        if (!sheets[i].worksheet)
          throw EMergeError("The sheet \"" + ToUtf8(sheets[i].name) + "\" is not a worksheet.",
                            ekSheetMissing);
        chosen.push_back(i);
      }
      if (chosen.empty())
        throw EMergeError("The workbook has no sheet named \"" + ToUtf8(choice.name) + "\".", ekSheetMissing);
      break;
    }
    case TSheetChoice::scAll:
      for (size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].worksheet) chosen.push_back(i);
      break;
  }
  return chosen;
}

void TMergeRun::Note(const std::string& text, TNoteFacts facts) {
  facts.sheet = sheetLabel_;
  TFileNote note;
  note.text = sheetLabel_.empty() ? text : "Sheet \"" + ToUtf8(sheetLabel_) + "\": " + text;
  note.facts = std::move(facts);
  fileNotes_.push_back(std::move(note));
}

// The remarks on a file merged, made as it ends: in the report, and to the host as they are made.
void TMergeRun::FlushNotes(const fs::path& path) {
  for (TFileNote& note : fileNotes_) {
    host_.AddNote(path, note.text);
    note.file = path;
    report_.notes.push_back(std::move(note));
  }
  fileNotes_.clear();
}

// The save path a continuation output is named after: read again at each split. A path of another format
// than the run's is not followed: the run's outputs stay of one format.
fs::path TMergeRun::CurrentSavePath() {
  fs::path path = ResolveSavePath(host_.SavePath());
  return !path.empty() && OutputFormatOf(path) == format_ ? path : savePath_;
}

// Begins the output a row needs: the save path or the next continuation name, checked against the list
// when it is taken, and on a continuation the header rows first.
void TMergeRun::BeginOutput() {
  if (output_) return;
  const fs::path name = splitNumber_ == 0 ? savePath_ : ContinuationName(CurrentSavePath(), splitNumber_);
  if (const fs::path* input = listed_->Find(name)) {
    throw OutputFailure(name,
                        "The output \"" + Shown(name) + "\" is the listed file \"" + Shown(*input) +
                            "\":\rchoose another save path.",
                        ekOutputClash);
  }
  outputName_ = name;
  output_ = MakeRowOutput(format_, name, classic_, static_cast<uint32_t>(headerRows_));
  outputRow_ = 0;
  if (splitNumber_ > 0) {
    for (size_t i = 0; i < headers_.size(); ++i) {
      Assemble(headers_[i].cells, static_cast<int>(i), true, -1);
      PutRow();
    }
  }
  outputHeaderRows_ = outputRow_;
}

// The row to write from the data cells taken: the source cell (on a header row, the caption on the
// first), the mark when there is one (mark >= 0), and the data cells moved right past them.
void TMergeRun::Assemble(std::span<const TOutCell> data, int headerIndex, bool header, int64_t mark) {
  if (shift_ == 0) {  // no source and no mark: the data cells as they are
    assembled_ = data;
    return;
  }
  cells_.clear();
  if (options_.sourceColumn) {
    if (!header) {
      cells_.push_back(TextCell(sourceColumn_, sheetSource_));
    } else if (headerIndex == 0) {
      cells_.push_back(TextCell(sourceColumn_, options_.sourceCaption));
    }
  }
  if (mark >= 0) {
    markText_ = FromUtf8(std::to_string(mark));
    cells_.push_back(TextCell(markColumn_, markText_));
  }
  for (TOutCell cell : data) {
    cell.column = static_cast<uint16_t>(cell.column + shift_);
    cells_.push_back(cell);
  }
  assembled_ = cells_;
}

// Writes the assembled row as the current output's next row.
void TMergeRun::PutRow() {
  try {
    output_->PutRow(outputRow_, assembled_, padTo_);
  } catch (const EFileError& e) {
    throw OutputFailure(outputName_,
                        "The output \"" + Shown(outputName_) + "\" could not be written:\r" + e.what(),
                        ekOutputUnwritable);
  } catch (const std::exception& e) {
    if (KindOf(e) == ekOutOfMemory) throw OutOfMemoryWriting();
    throw;
  }
  ++outputRow_;
  ++fileRows_;
  if (!formatsNoted_ && output_->FormatsLeftOut() > 0) {
    formatsNoted_ = true;
    Note("Numbers of some formats show as General: the output holds no more number formats.",
         Facts(TNoteFacts::nkFormatsLeftOut));
  }
}

void TMergeRun::EmitHeader() {
  headers_.emplace_back().Assign(taken_);
  BeginOutput();
  Assemble(taken_, static_cast<int>(headers_.size() - 1), true, -1);
  PutRow();
  if (outputRow_ >= maxRows_) Split();
}

void TMergeRun::EmitData(TSheetState& state) {
  BeginOutput();
  int64_t mark = -1;
  if (partRows_ == 0) {
    partFirstRow_ = outputRow_;
    // An output that cannot go back is given the mark with the row: the rows this output will hold.
    if (mark_ && !revisable_) mark = std::min<int64_t>(state.counted - state.data, maxRows_ - outputRow_);
  }
  Assemble(taken_, 0, false, mark);
  PutRow();
  ++partRows_;
  ++state.data;
  if (outputRow_ >= maxRows_) Split();
  // The clock is read every 64 rows: reading it for every row cost as much as a row's cells.
  if ((++rowsGiven_ & 63) != 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastProgress_ >= kProgressInterval) {
    lastProgress_ = now;
    host_.SetProgress(filesDone_, filesTotal_, fileRows_);
  }
}

// The end of the current sheet's rows in the current output: an output that can go back is given their
// mark now, on the first of them.
void TMergeRun::FinishPart() {
  if (mark_ && revisable_ && partRows_ > 0 && output_) {
    markText_ = FromUtf8(std::to_string(partRows_));
    output_->PutLateCell(partFirstRow_, TextCell(markColumn_, markText_));
  }
  partRows_ = 0;
  partFirstRow_ = 0;
}

void TMergeRun::Split() {
  // The output is full: mark the part of the current sheet it holds and write it; the next output is
  // begun by the next row that needs it.
  FinishPart();
  const uint32_t rows = outputRow_;
  outputRow_ = 0;
  outputHeaderRows_ = 0;
  ++splitNumber_;
  WriteOutput(rows);
}

// The output being filled could not be given the memory it asked for: it is dropped unwritten.
EOutputError TMergeRun::OutOfMemoryWriting() {
  return OutputFailure(outputName_, "Not enough memory to write \"" + Shown(outputName_) + "\".", ekOutOfMemory);
}

EOutputError TMergeRun::OutputFailure(const fs::path& output, const std::string& message, TErrorKind kind) {
  failedOutput_ = output;
  return EOutputError(message, kind);
}

void TMergeRun::WriteOutput(uint32_t rows) {
  std::unique_ptr<TRowOutput> output = std::move(output_);
  // Room for the output's name first: once the output stands in place of its target, recording it cannot
  // fail, and a run short of memory then never says nothing was written.
  fs::path name = outputName_;
  written_.reserve(written_.size() + 1);
  try {
    output->Commit();
  } catch (const std::exception& e) {
    output.reset();
    ReleaseFreedMemory();
    if (KindOf(e) == ekOutOfMemory) throw OutOfMemoryWriting();
    throw OutputFailure(outputName_,
                        "The output \"" + Shown(outputName_) + "\" could not be written:\r" + e.what(),
                        ekOutputUnwritable);
  }
  // The cells of a full .xls output are hundreds of megabytes: they go back to the system, not just to
  // the heap.
  output.reset();
  ReleaseFreedMemory();
  written_.push_back(std::move(name));
  report_.rowsWritten += rows;
}

// Reads the next row the mode takes into taken_. Classic mode: false at the first row without non-empty
// text (a row the sheet leaves out has none). Value mode: rows without a value are passed over.
bool TMergeRun::NextTaken(TInputBook& book, TSheetState& state) {
  if (classic_) {
    if (state.ended) return false;
    if (!book.NextRow(row_)) {
      state.ended = true;
      return false;
    }
    // Only a text cell keeps its row: a formula's cached text is a formula's result.
    const bool text = row_.index == state.next &&
                      std::any_of(row_.cells.begin(), row_.cells.end(), [](const TInCell& cell) {
                        return cell.kind == ikText && !cell.formula && !cell.text.empty();
                      });
    if (!text) {
      state.ended = true;
      state.endHoldsValue = row_.lastColumnOut != 0 ||
                            std::any_of(row_.cells.begin(), row_.cells.end(), [](const TInCell& cell) {
                              return cell.kind != ikBlank && !(cell.kind == ikText && cell.text.empty());
                            });
      return false;
    }
    ++state.next;
    TakeClassic();
    return true;
  }
  while (book.NextRow(row_))
    if (TakeValues(book.Date1904())) return true;
  return false;
}

// The classic row: every cell up to the last number or text as text (a number as its rounded value,
// anything else but a text empty); the output pads the rest of the row with empty texts.
void TMergeRun::TakeClassic() {
  taken_.clear();
  uint32_t width = 0;
  uint32_t out = row_.lastColumnOut;
  for (const TInCell& cell : row_.cells) {
    if (cell.formula || !(cell.kind == ikNumber || (cell.kind == ikText && !cell.text.empty()))) continue;
    if (cell.column < fit_) {
      width = cell.column + 1u;
    } else {
      out = std::max<uint32_t>(out, cell.column + 1u);
    }
  }
  if (out > 0) fileLastColumnOut_ = std::max(fileLastColumnOut_, out);
  auto cell = row_.cells.begin();
  for (uint32_t column = 0; column < width; ++column) {
    while (cell != row_.cells.end() && cell->column < column) ++cell;
    std::u16string_view text;
    TTextKey key;
    if (cell != row_.cells.end() && cell->column == column && !cell->formula) {
      if (cell->kind == ikNumber) {
        texts_[column] = FromUtf8(RoundedNumberText(cell->number));
        text = texts_[column];
      } else if (cell->kind == ikText) {
        text = cell->text;
        key = cell->textKey;
      }
    }
    taken_.push_back(TextCell(static_cast<uint16_t>(column), text));
    taken_.back().textKey = key;
  }
}

// The value row: each cell that holds a value with its type; false for a row without one.
bool TMergeRun::TakeValues(bool date1904) {
  taken_.clear();
  bool value = row_.lastColumnOut != 0;
  uint32_t out = row_.lastColumnOut;
  for (const TInCell& in : row_.cells) {
    const bool holdsValue = in.kind == ikText    ? !in.text.empty()
                            : in.kind == ikError ? in.error != ceNone || !in.text.empty()
                                                 : in.kind != ikBlank;
    if (!holdsValue) continue;
    value = true;
    if (in.column >= fit_) {
      out = std::max<uint32_t>(out, in.column + 1u);
      continue;
    }
    // Built in place: a cell built aside and copied in stalled on every copy.
    TOutCell& cell = taken_.emplace_back();
    cell.column = in.column;
    switch (in.kind) {
      case ikNumber:
        cell.kind = okNumber;
        cell.number = in.number;
        cell.format = in.format;
        // Dates are written in the 1900 date system.
        if (date1904 && !in.format.empty() && IsDateFormat(in.format)) cell.number += kDays1900To1904;
        break;
      case ikText:
        cell.text = in.text;
        cell.textKey = in.textKey;
        break;
      case ikBoolean:
        cell.kind = okBoolean;
        cell.boolean = in.boolean;
        break;
      case ikError:
        if (in.error != ceNone) {
          cell.kind = okError;
          cell.error = in.error;
        } else {
          cell.text = in.text;  // an error value no .xls file knows: as its text
        }
        break;
      case ikBlank:
        break;
    }
  }
  if (value && out > 0) fileLastColumnOut_ = std::max(fileLastColumnOut_, out);
  return value;
}

// The data rows the selected sheet will give (its rows taken less the header rows), read once ahead.
int64_t TMergeRun::CountDataRows(TInputBook& book) {
  TSheetState state;
  const uint32_t lastColumnOut = fileLastColumnOut_;
  while (NextTaken(book, state)) ++state.taken;
  fileLastColumnOut_ = lastColumnOut;
  return std::max<int64_t>(0, state.taken - headerRows_);
}

void TMergeRun::MergeSheet(TInputBook& book, size_t sheet, int32_t done, int32_t total) {
  filesDone_ = done;
  filesTotal_ = total;
  try {
    book.SelectSheet(sheet);
  } catch (const EPlicatoError& e) {
    // Where every sheet is merged, a sheet listed without its part costs that sheet, not the others.
    if (options_.sheet.kind != TSheetChoice::scAll || e.Kind() != ekSheetMissing) throw;
    TNoteFacts facts = Facts(TNoteFacts::nkSheetMissing);
    facts.unreadable = e.what();
    Note("Passed over: the sheet could not be found (" + std::string(e.what()) + ").", facts);
    return;
  }
  TSheetState state;
  if (mark_ && !revisable_) {
    // The mark goes on the sheet's first row in an output that cannot go back to it: the rows are counted
    // first, and a streamed sheet is read a second time.
    state.counted = CountDataRows(book);
    book.SelectSheet(sheet);
  }
  const bool headerSheet = headerRows_ > 0 && headerState_ == hsNone;
  while (NextTaken(book, state)) {
    const int64_t ordinal = state.taken++;
    if (ordinal < headerRows_) {
      if (headerSheet) {
        headerState_ = hsCollecting;
        fileGaveHeader_ = true;
        EmitHeader();
      }
      continue;
    }
    const int32_t splits = splitNumber_;
    EmitData(state);
    // A stop request takes effect at a split: the rows up to it are written, the rest is not read.
    if (splitNumber_ != splits && host_.StopRequested.load() == 1) {
      cutShort_ = true;
      break;
    }
  }
  FinishPart();
  if (headerState_ == hsCollecting) headerState_ = hsDone;
  if (cutShort_) {
    Note("Stopped at a split after " + Rows(state.taken) + " of the sheet: the rest of it was not merged.",
         Facts(TNoteFacts::nkCutAtSplit, state.taken));
  } else if (classic_) {
    NoteRowsLeftBehind(book, state);
  } else if (state.taken == 0) {
    Note("Gave no rows: the sheet holds no values.", Facts(TNoteFacts::nkNoValues));
  }
  if (!cutShort_ && headerRows_ > 0 && state.taken > 0 && state.data == 0 && !headerSheet) {
    const int64_t header = std::min<int64_t>(state.taken, headerRows_);
    Note("Gave no rows below its " + Rows(header) + " of header.", Facts(TNoteFacts::nkNoDataRows, header));
  }
  for (const TInRemark& remark : book.Remarks()) {
    TNoteFacts facts = Facts(remark.kind == TInRemark::rkUndecodable ? TNoteFacts::nkUndecodable
                                                                     : TNoteFacts::nkUnclosedQuote);
    facts.row = remark.line;
    const std::string line = "line " + std::to_string(remark.line);
    Note(
        remark.kind == TInRemark::rkUndecodable
            ? "Bytes the encoding cannot decode, first on " + line + ", were read as U+FFFD."
            : "The quote opened on " + line + " is never closed: the rest of the file was read as its field.",
        facts);
  }
}

// Classic mode: the rows with values the sheet holds from the row that ended its rows on, said when
// there are any, and a sheet that gave no rows said in any case.
void TMergeRun::NoteRowsLeftBehind(TInputBook& book, const TSheetState& state) {
  int64_t left = state.endHoldsValue ? 1 : 0;
  std::string incomplete;
  TNoteFacts facts = Facts(TNoteFacts::nkStoppedAt, state.taken);
  facts.row = state.next + 1;
  try {
    uint32_t index = 0;
    bool value = false;
    while (book.SkipRow(index, value)) {
      left += value ? 1 : 0;
      if (host_.StopRequested.load() == 1) {
        incomplete = " (the count was stopped)";
        facts.leftAtLeast = true;
        break;
      }
    }
  } catch (const std::exception& e) {
    incomplete = " (the rest of the sheet could not be read: " + std::string(e.what()) + ")";
    facts.leftAtLeast = true;
    facts.unreadable = e.what();
  }
  const std::string count = (incomplete.empty() ? "" : "at least ") + Rows(left) + " with values";
  const std::string were = left == 1 && incomplete.empty() ? " was" : " were";
  const std::string where = "row " + std::to_string(state.next + 1) + ", which has no text";
  facts.left = left;
  if (state.taken == 0 && left == 0 && incomplete.empty()) {
    Note("Gave no rows: the sheet holds no values.", Facts(TNoteFacts::nkNoValues));
  } else if (state.taken == 0) {
    Note("Gave no rows: stopped at " + where + "; " + count + were + " not merged" + incomplete + ".", facts);
  } else if (left > 0) {
    Note("Stopped at " + where + ", after " + Rows(state.taken) + ": " + count + " from there on" + were +
             " not merged" + incomplete + ".",
         facts);
  }
}

void TMergeRun::MergeFile(const fs::path& path, int32_t done, int32_t total) {
  std::unique_ptr<TInputBook> book = OpenBook(path, static_cast<size_t>(done));
  const std::vector<size_t> sheets = book->OneSheet() ? std::vector<size_t>{0} : ChooseSheets(*book);
  const TSheetChoice& choice = options_.sheet;
  if (book->OneSheet() &&
      ((choice.kind == TSheetChoice::scIndex && choice.index != 0) ||
       (choice.kind == TSheetChoice::scName && !SameSheetName(choice.name, book->Sheets()[0].name))))
    Note("A CSV file has one sheet: it was merged in place of the sheet asked for.",
         Facts(TNoteFacts::nkOneSheet));
  if (options_.sourceColumn) fileSource_ = FromUtf8(host_.SourceName(path).string());
  const bool every = options_.sheet.kind == TSheetChoice::scAll;
  if (sheets.empty()) Note("Gave no rows: the workbook has no worksheet.", Facts(TNoteFacts::nkNoWorksheet));
  for (size_t i = 0; i < sheets.size(); ++i) {
    const TInSheet& sheet = book->Sheets()[sheets[i]];
    sheetLabel_ = every ? sheet.name : std::u16string();
    sheetSource_ = every ? fileSource_ + u" | " + sheet.name : fileSource_;
    if (i > 0 && host_.StopRequested.load() == 1) {
      cutShort_ = true;
      Note("Stopped before this sheet: it and the sheets after it were not merged.",
           Facts(TNoteFacts::nkSheetsLeft));
      break;
    }
    MergeSheet(*book, sheets[i], done, total);
    if (cutShort_) break;
  }
  sheetLabel_.clear();
  if (fileLastColumnOut_ > 0) {
    std::string text = "Columns after the " + Ordinal(fit_) + " (" + ColumnName(fit_) + ") were not merged";
    if (fit_ < limit_)
      text += ": the output has " + std::to_string(maxColumns_) + " columns, the first " +
              std::to_string(shift_) + " for the source and mark";
    TNoteFacts facts = Facts(TNoteFacts::nkColumnsLeftOut);
    facts.column = fit_;
    facts.lastColumn = fileLastColumnOut_;
    if (fit_ < limit_) {
      facts.outputColumns = maxColumns_;
      facts.reserved = shift_;
    }
    Note(text + "; the sheet has values up to column " + ColumnName(fileLastColumnOut_) + ".", facts);
  }
}

// A file that failed after some of its rows were taken (a streamed sheet damaged further down) gives
// none: its rows leave the current output where it can drop them, and an output that cannot drop them is
// dropped whole when it holds nothing else (no earlier file's rows are lost by it). Rows in an output
// already written stay there; the returned text says so, or is empty.
std::string TMergeRun::TakeBack() {
  std::string said;
  if (output_) {
    const uint32_t from = splitNumber_ == fileFirstSplit_ ? fileFirstRow_ : outputHeaderRows_;
    if (outputRow_ > from) {
      if (revisable_ || from <= outputHeaderRows_) {
        if (revisable_) output_->DropRows(from);
        outputRow_ = from;
        // Header rows it gave that no written output holds go with it: the next file gives them.
        if (fileGaveHeader_ && splitNumber_ == 0) {
          headers_.clear();
          headerState_ = hsNone;
        }
      } else {
        said = "Its rows before the failure stay in \"" + Shown(outputName_) + "\", which cannot drop rows.";
      }
    }
    // An output holding nothing of its own once more is not begun: a failure before any row leaves the
    // target alone.
    if (outputRow_ <= outputHeaderRows_) output_.reset();
  }
  if (headerState_ == hsCollecting) headerState_ = hsDone;
  if (splitNumber_ > fileFirstSplit_) {
    if (!said.empty()) said += "\r";
    said += "Its rows before the failure up to \"" + Shown(written_.back()) + "\" had already been written.";
  }
  partRows_ = 0;
  fileRows_ = 0;
  fileNotes_.clear();
  return said;
}

// The continuation files of the save path now in its folder that this run did not write.
std::vector<fs::path> TMergeRun::OlderOutputs() const {
  std::vector<fs::path> older;
  for (fs::path& name : ExistingContinuations(savePath_))
    if (std::find(written_.begin(), written_.end(), name) == written_.end()) older.push_back(std::move(name));
  return older;
}

std::string TMergeRun::OutputsText() const {
  auto list = [](const std::vector<fs::path>& names) {
    std::string text;
    for (const fs::path& name : names) text += (text.empty() ? "\"" : ", \"") + Shown(name) + "\"";
    return text;
  };
  std::string text;
  if (!written_.empty()) text += "\rThis run wrote " + list(written_) + ".";
  const std::vector<fs::path> older = OlderOutputs();
  if (!older.empty()) text += "\rOlder outputs, not from this run: " + list(older) + ".";
  return text;
}

// The files passed over and the remarks so far, one line each, for a message that ends the run.
std::string TMergeRun::ReportText() const {
  std::string text;
  for (const TFileNote& note : report_.skipped)
    text += "\rPassed over: \"" + Shown(note.file) + "\": " + note.text;
  for (const TFileNote& note : report_.notes) text += "\r\"" + Shown(note.file) + "\": " + note.text;
  return text;
}

TMergeReport TMergeRun::Run() {
  list_ = host_.FileList();
  const std::vector<fs::path>& list = list_;
  if (list.empty()) throw EMergeError("There are no files to merge.\rNothing was written.");
  options_ = host_.Options();
  mark_ = host_.MarkRows();
  classic_ = !options_.values;
  headerRows_ = std::clamp(options_.headerRows, 0, kMaxHeaderRows);
  savePath_ = ResolveSavePath(host_.SavePath());
  try {
    cfb::CheckOutputWritable(savePath_);  // before any input is read, not after all of them
  } catch (const std::exception&) {
    failedOutput_ = savePath_;
    throw;
  }
  format_ = OutputFormatOf(savePath_);
  // Refused before anything is read: the output would replace an input that is still to be merged.
  if (auto clash =
          FindOutputClash(savePath_, list, headerRows_, options_.sheet.kind == TSheetChoice::scAll)) {
    failedOutput_ = clash->output;
    throw EMergeError("The output \"" + Shown(clash->output) + "\" is the listed file \"" +
                          Shown(clash->input) + "\":\rchoose another save path. Nothing was written.",
                      ekOutputClash);
  }
  listed_ = std::make_unique<TListedFiles>(list);
  const bool skipUnreadable = host_.SkipUnreadable();
  passwords_ = host_.Passwords();

  // The layout of the output's rows, from the format's size; and whether the output can go back to a row.
  maxRows_ = OutputRowsOf(format_);
  maxColumns_ = OutputColumnsOf(format_);
  revisable_ = OutputRevisable(format_);
  sourceColumn_ = 0;
  markColumn_ = options_.sourceColumn ? 1 : 0;
  shift_ = static_cast<uint16_t>((options_.sourceColumn ? 1 : 0) + (mark_ ? 1 : 0));
  // The classic merge reads 255 columns where it pads its rows to them; a larger output takes every
  // column it can hold.
  limit_ = classic_ && maxColumns_ <= 256 ? kClassicColumns : maxColumns_;
  fit_ = std::min<uint32_t>(limit_, maxColumns_ - shift_);
  padTo_ = classic_ ? static_cast<uint16_t>(std::min<uint32_t>(kClassicColumns + shift_, 0xFFFF)) : 0;
  texts_.assign(limit_, std::u16string());

  const int32_t total = static_cast<int32_t>(list.size());
  host_.SetProgress(0, total, 0);
  std::string failedFile;
  std::string failure;
  TErrorKind failureKind = ekOther;
  bool stopped = false;
  for (size_t index = 0; index < list.size(); ++index) {
    if (host_.StopRequested.load() == 1) {
      stopped = true;
      break;
    }
    const fs::path& path = list[index];
    const int32_t done = static_cast<int32_t>(index);
    host_.FileBegun(done, total, path);
    partRows_ = 0;
    fileRows_ = 0;
    fileFirstRow_ = output_ ? outputRow_ : 0;
    fileFirstSplit_ = splitNumber_;
    fileGaveHeader_ = false;
    fileLastColumnOut_ = 0;
    cutShort_ = false;
    fileNotes_.clear();
    lastProgress_ = std::chrono::steady_clock::now();
    try {
      MergeFile(path, done, total);
    } catch (const EOutputError& e) {
      throw EOutputError(e.what() + OutputsText() + ReportText(), e.Kind());
    } catch (const std::exception& e) {
      // Out of memory is the machine's limit, not the file's fault: the run ends without passing the file
      // over, and the output, whose rows may be short of what was given, is not put in place of the target.
      if (KindOf(e) == ekOutOfMemory) {
        failedInput_ = path;
        output_.reset();
        ReleaseFreedMemory();
        const std::string what = "Not enough memory to merge \"" + Shown(path) + "\".";
        const std::string nothing = written_.empty() ? "Nothing was written."
                                                     : "Nothing was written after \"" + Shown(written_.back()) + "\".";
        throw EMergeError(what + "\r" + nothing + OutputsText() + ReportText(), ekOutOfMemory);
      }
      std::string reason = e.what();
      if (const std::string said = TakeBack(); !said.empty()) reason += "\r" + said;
      if (skipUnreadable) {
        report_.skipped.push_back({path, reason, KindOf(e)});
        host_.SetProgress(done + 1, total, 0);
        continue;
      }
      // Stop at the failing file, but keep what was gathered before it: the output is written below.
      failedFile = Shown(path);
      failedInput_ = path;
      failure = reason;
      failureKind = KindOf(e);
      break;
    }
    FlushNotes(path);
    if (cutShort_) {
      // Rows up to a split were kept; the file is not counted as merged.
      stopped = true;
      host_.SetProgress(done, total, fileRows_);
      break;
    }
    host_.SetProgress(done + 1, total, fileRows_);
    host_.MergedCount.fetch_add(1);
    ++report_.filesMerged;
    host_.FileMerged(host_.FoundCount.load(), host_.MergedCount.load());
  }
  report_.stopped = stopped;

  if (failedFile.empty()) {
    // A run writes only rows it gathered: one that gathered none leaves an existing file alone.
    if (output_) {
      FinishPart();
      try {
        WriteOutput(outputRow_);
      } catch (const EOutputError& e) {
        throw EOutputError(e.what() + OutputsText() + ReportText(), e.Kind());
      }
    }
    report_.outputs = written_;
    report_.olderOutputs = OlderOutputs();
    host_.RunEnded(report_);
    return std::move(report_);
  }
  std::string message = "File \"" + failedFile + "\" could not be merged:\r" + failure;
  if (output_) {
    try {
      WriteOutput(outputRow_);
      message += "\rThe rows merged before it were written to \"" + Shown(written_.back()) + "\".";
    } catch (const std::exception& e) {
      message += "\r" + std::string(e.what());
    }
  } else if (written_.empty()) {
    message += "\rNothing was written.";
  } else {
    message += "\rNothing was written after \"" + Shown(written_.back()) + "\".";
  }
  throw EMergeError(message + OutputsText() + ReportText(), failureKind);
}

}  // namespace

std::string MergingFileText(int32_t number) {
  return "正在合并第" + std::to_string(number) + "个XLS文件";
}

std::string ColumnName(uint32_t column) {
  std::string name;
  for (; column > 0; column = (column - 1) / 26)
    name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
  return name;
}

std::string CountLineText(int32_t found, int32_t merged) {
  return "共有" + std::to_string(found) + "个XLS文件 已合并" + std::to_string(merged) + "个";
}

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

TMergeReport MergeFiles(TMergeHost& host) {
  TMergeRun run(host);
  try {
    return run.Run();
  } catch (const std::bad_alloc&) {
    // Short of memory outside a file's merge and an output's writing (taking the list, naming the
    // outputs, the report at the end): the run's own work. What it wrote before is said.
    host.RunFailed(run.FailedInput(), run.FailedOutput());
    std::string written;
    try {
      written = run.OutputsText();
    } catch (const std::bad_alloc&) {
    }
    throw EMergeError("Not enough memory to merge the files." + written, ekOutOfMemory);
  } catch (...) {
    host.RunFailed(run.FailedInput(), run.FailedOutput());
    throw;
  }
}

}  // namespace plicato
