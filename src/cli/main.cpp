// plicato-cli: the command-line front end of the engine.
//   dump   prints a worksheet of a workbook as CSV, or its stored cells one per line
//   merge  merges a worksheet of each of many workbooks into one, as the window does
//   copy   reads a workbook and writes it back through the engine
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "cli/StandardOutput.h"
#include "cli/Wording.h"
#include "cli/XlsxDump.h"
#include "merge/output/CsvOutput.h"  // CsvField, the quoting the .csv output uses
#include "merge/CsvReader.h"
#include "merge/FileSearch.h"
#include "merge/MergeEngine.h"
#include "merge/output/OutputNames.h"
#include "workbook/CellStorage.h"
#include "workbook/NumberText.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxReader.h"

namespace plicato {
namespace {

const char kUsage[] =
    "Usage:\n"
    "  plicato-cli dump [--password PW] [--sheet N] [--cells] FILE\n"
    "      Prints worksheet N (counted from 1; default 1, the first) as CSV (UTF-8), every cell as the\n"
    "      workbook renders it, from row 0 and column 0 to the last used row and column. With --cells,\n"
    "      one line per stored cell: row,col,kind,text (kinds: 1 blank, 4 number, 5 text, 6 boolean,\n"
    "      7 error, 8-13 formulas).\n"
    "  plicato-cli merge [--values] [--header-rows N [--match-columns]] [--source] [--sheet N|NAME|all]\n"
    "                    [--mark-rows] [--xlsx] [--csv] [--encoding NAME] [--delimiter C]\n"
    "                    [--skip-unreadable] [--password PW]... [--quiet] -o OUT PATH...\n"
    "      Merges the rows of the first worksheet of every file into OUT. OUT's extension chooses the\n"
    "      format: .xls (65,536 rows an output, then OUT-1.xls, ...), .xlsx (1,048,576 rows, then\n"
    "      OUT-1.xlsx, ...) or .csv (UTF-8, never split); without one, .xls is added. A PATH that is a\n"
    "      folder is searched for *.xls files, sub-folders included (with --xlsx also *.xlsx and *.xlsm\n"
    "      files, with --csv also *.csv and *.tsv files); a file is taken as it is and read by its\n"
    "      content, as CSV when it is named .csv or .tsv or has no extension and is no workbook.\n"
    "      A CSV file is UTF-8 or GB18030 (GBK), or as its byte-order mark says; --encoding NAME (an\n"
    "      iconv name, such as BIG5 or CP1252) reads files without a mark in another encoding. Its\n"
    "      separator (comma, tab, semicolon or |) is found from its first lines; --delimiter C (or tab)\n"
    "      sets it. In a classic merge its fields are texts; with --values plain numbers and ISO dates\n"
    "      become values (not leading zeros, '+' or more than 15 digits).\n"
    "      By default (the classic merge) a sheet's rows are taken from the top down to its first row\n"
    "      without text, every value as text, numbers rounded to whole numbers; a file that stops early\n"
    "      or gives no rows is named at the end. --values keeps every cell's type and number format\n"
    "      (dates stay dates) and takes every row that holds a value. --header-rows N (0-10) copies the\n"
    "      first N rows of the first file once, atop every output, and skips them in the other files.\n"
    "      --match-columns lays each file's columns out by the names in its last header row: the\n"
    "      output has every name any file has, and a file's remark names the columns it lacks or adds.\n"
    "      --source adds a first column naming each row's file (\"Source\" on the header). --sheet picks\n"
    "      the sheet: a number counted from 1 as the tabs show them (--sheet 1 is the first), a name\n"
    "      (any letter case), or all (every worksheet, each as a file of its own). --mark-rows puts each\n"
    "      file's row count in a column of its first row.\n"
    "      --skip-unreadable passes over a file that cannot be read (or lacks the sheet) and lists it at\n"
    "      the end (exit status 3). --password PW (repeatable) is tried on each encrypted file, in turn.\n"
    "      Progress goes to stderr (one line redrawn on a terminal, none otherwise), then a summary;\n"
    "      --quiet leaves only errors. Ctrl-C stops before the next file (or at a split) and writes\n"
    "      what was merged. No file to merge: exit status 1. `plicato-cli merge --help` lists the\n"
    "      options with their meanings.\n"
    "  plicato-cli copy [--password PW] IN.xls OUT.xls\n"
    "      Reads IN.xls and writes it back as OUT.xls through the engine, to repair or re-save a legacy\n"
    "      workbook. An encrypted IN.xls (opened with --password) is written decrypted.\n"
    "  plicato-cli [COMMAND] --help | --version\n";

// text for a terminal: a control character (C0, DEL, C1) or a byte that is not UTF-8 becomes an escape
// (\n, \t, \x1b, \u009b), so that a file name cannot begin a line of its own or steer the terminal
// with escape sequences. With indent, the engine's line separator CR starts an indented line instead.
std::string Printable(std::string_view text, bool indent = false) {
  std::string shown;
  shown.reserve(text.size());
  char hex[8];
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && indent) {
      shown += "\n    ";
    } else if (c == '\n' || c == '\t' || c == '\r') {
      shown += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else if (c >= 0x80) {
      // The length of a well-formed UTF-8 sequence here, or 0.
      const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                            : c >= 0xE0 && c <= 0xEF ? 3
                            : c >= 0xF0 && c <= 0xF4 ? 4
                                                     : 0;
      bool wellFormed = length > 0 && i + length <= text.size();
      for (size_t k = 1; wellFormed && k < length; ++k) wellFormed = (text[i + k] & 0xC0) == 0x80;
      if (!wellFormed) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        shown += hex;
      } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
        shown += hex;
        ++i;
      } else {
        shown.append(text.substr(i, length));
        i += length - 1;
      }
    } else {
      shown += static_cast<char>(c);
    }
    ++i;
  }
  return shown;
}

// The lines of the usage that are command's, or all of it when command is not one of them.
std::string Usage(const std::string& command) {
  const std::string usage = kUsage;
  const size_t start = command.empty() ? std::string::npos : usage.find("  plicato-cli " + command + " ");
  if (start == std::string::npos) return usage;
  return "Usage:\n" + usage.substr(start, usage.find("\n  plicato-cli ", start) + 1 - start);
}

// A command line that cannot be run: the reason, then the usage of the command (exit status 2).
int UsageError(const std::string& message, const std::string& command = "") {
  std::cerr << "plicato-cli: " << Printable(message) << "\n" << Usage(command);
  return 2;
}

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

// The command line of dump, as parsed.
struct TDumpArgs {
  std::string password;
  std::string sheet = "1";
  bool cells = false;
  std::vector<std::string> files;
};

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

// The command line of copy, as parsed.
struct TCopyArgs {
  std::string password;
  std::vector<std::string> files;
};

int Copy(const TCopyArgs& args) {
  const std::string& password = args.password;
  const std::vector<std::string>& files = args.files;
  if (files.size() != 2) return UsageError("copy needs IN.xls and OUT.xls", "copy");
  cfb::CheckOutputWritable(files[1]);
  cfb::RemoveTemporaryFilesOnSignals();
  TXLSWorkbook workbook;
  workbook.Filename = FileNameFromPath(files[0]);
  workbook.Password = FromUtf8(password);
  ReadWorkbook(workbook);
  // The password opened the input; the copy is written without one, decrypted.
  workbook.Password.clear();
  workbook.Filename = FileNameFromPath(files[1]);
  WriteWorkbook(workbook);
  return 0;
}

// A message's lines (the engine separates them with CR) on lines of their own, indented after the first.
std::string Indented(const std::string& message) {
  return Printable(message, true);
}

// The command line's view of the window-level state, in English. On a terminal, the progress is one line
// redrawn in place (file n of N, rows so far, time taken, the file's name); otherwise (a log, a pipe) and
// when quiet, there is none.
class TConsoleHost : public TMergeHost {
 public:
  explicit TConsoleHost(bool quiet)
      : quiet_(quiet),
        terminal_(!quiet && ::isatty(STDERR_FILENO) == 1),
        start_(std::chrono::steady_clock::now()) {}

  // A remark on a file comes as the file ends, so that a log shows it beside the time it was made.
  void AddNote(const TFileNote& note) override {
    if (quiet_) return;
    EndLine();
    std::cerr << Printable(note.file.string()) << ": " << Indented(NoteWords(note.facts)) << "\n";
  }
  void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) override {
    file_ = file.string();
    done_ = index;
    total_ = total;
    rows_ = 0;
    if (terminal_ && !file_.empty()) Draw();
  }
  void FileMerged(int32_t, int32_t) override {}
  void RunEnded(const TMergeReport&) override { EndLine(); }
  void SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) override {
    done_ = filesDone;
    total_ = filesTotal;
    rows_ = rowsOfFile;
    // A few redraws a second are enough to read; more would cost the terminal more than the merge.
    if (terminal_ && !file_.empty() &&
        std::chrono::steady_clock::now() - drawnAt_ >= std::chrono::milliseconds(100))
      Draw();
  }

  // Ends the line drawn in place, so that what is written next starts on a line of its own.
  void EndLine() {
    if (drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

  // Seconds since the host was made, as the summary gives them.
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  // "file 3 of 12, 1234 rows, 0:04  NAME" (the rows taken from that file so far), the name cut from the left
  // to the terminal's width so that the line never wraps.
  void Draw() {
    const auto seconds = static_cast<long>(Elapsed());
    char time[32];
    std::snprintf(time, sizeof time, "%ld:%02ld", seconds / 60, seconds % 60);
    std::string line = "file " + std::to_string(std::min(done_ + 1, total_)) + " of " +
                       std::to_string(total_) + ", " + std::to_string(rows_) +
                       (rows_ == 1 ? " row, " : " rows, ") + time + "  ";
    winsize size{};
    const size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    const size_t room = width > line.size() + 4 ? width - line.size() - 1 : 3;
    line += Tail(Printable(file_), room);
    std::cerr << "\r\033[K" << line << std::flush;
    drawn_ = true;
    drawnAt_ = std::chrono::steady_clock::now();
  }

  // The end of text in at most room characters (UTF-8 sequences counted as one and kept whole).
  static std::string Tail(const std::string& text, size_t room) {
    size_t characters = 0;
    for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
    if (characters <= room) return text;
    size_t start = 0;
    for (size_t drop = characters - room + 3; start < text.size(); ++start) {
      if ((static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) continue;
      if (drop == 0) break;
      --drop;
    }
    return "..." + text.substr(start);
  }

  bool quiet_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawnAt_;
  bool drawn_ = false;
  std::string file_;
  int32_t done_ = 0;
  int32_t total_ = 0;
  int64_t rows_ = 0;  // of the current file, as the engine last told them
};

// "a", "b" and "c" as one list.
std::string NameList(const std::vector<std::filesystem::path>& names) {
  std::string text;
  for (const std::filesystem::path& name : names)
    text += (text.empty() ? "" : ", ") + Printable(name.string());
  return text;
}

// The last line of a run: the files merged (and skipped), the rows written and where, the continuation
// files beside them that this run did not write, and the time taken.
std::string Summary(const TMergeReport& report, int32_t found, size_t skipped, double seconds) {
  std::string text = "merged " + std::to_string(report.filesMerged);
  if (report.filesMerged != found) text += " of " + std::to_string(found);
  text += found == 1 ? " file" : " files";
  if (skipped > 0) text += " (" + std::to_string(skipped) + " skipped)";
  text += report.outputs.empty()
              ? "; nothing was written: no rows were gathered"
              : "; wrote " + std::to_string(report.rowsWritten) +
                    (report.rowsWritten == 1 ? " row to " : " rows to ") + NameList(report.outputs);
  if (!report.olderOutputs.empty())
    text += "; older outputs, not from this run: " + NameList(report.olderOutputs);
  char time[32];
  std::snprintf(time, sizeof time, "; %.1f s", seconds);
  return text + time;
}

TConsoleHost* gHost = nullptr;
volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void OnStopSignal(int signal) {
  if (gStopSignal != 0) {
    // Asked twice: abandon the run at once. The output is only ever renamed into place once complete,
    // so removing the temporary file leaves the target as it was.
    cfb::RemoveTemporaryFiles();
    ::_exit(128 + signal);
  }
  // Like the Stop button: the current file is finished and the output written.
  gStopSignal = signal;
  if (gHost) gHost->StopRequested.store(1);
}

void InstallSignalHandlers() {
  cfb::RemoveTemporaryFilesOnSignals();
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  stop.sa_flags = SA_RESTART;  // a status line being written when the signal comes is not lost
  sigemptyset(&stop.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
  // A closed stderr (a pipe to `head`) must not end the merge; status lines are then just not shown.
  std::signal(SIGPIPE, SIG_IGN);
}

// The command line of merge, as parsed; the values checked here are read by Merge.
struct TMergeArgs {
  std::string out;
  bool values = false, source = false, mark = false, xlsx = false, skip = false, csv = false, quiet = false;
  bool matchColumns = false;
  std::string encoding, delimiter;
  std::string headerRows = "0";
  std::string sheet;
  CLI::Option* sheetOption = nullptr;
  bool sheetGiven = false;
  std::vector<std::string> passwords;
  std::vector<std::string> paths;
};

// The usage error of merge's options that the run itself would refuse, or 0. The run checks them again;
// here they are said as the options that were given.
int OptionsUsageError(const TMergeOptions& options) {
  switch (FindOptionsProblem(options)) {
    case TOptionsProblem::headerRows:
      return UsageError("--header-rows needs a number from 0 to " + std::to_string(kMaxHeaderRows), "merge");
    case TOptionsProblem::sheetNumber:
      return UsageError("--sheet: sheet numbers count from 1 (1 is the first sheet)", "merge");
    case TOptionsProblem::delimiter:
      return UsageError("--delimiter needs one character other than a quote or a line break", "merge");
    case TOptionsProblem::matchColumns:
      return UsageError("--match-columns needs --header-rows N (1 or more): the last header row names the columns",
                        "merge");
    case TOptionsProblem::none:
    case TOptionsProblem::noFiles:  // said once the folders have been searched
    case TOptionsProblem::sourceNames:
      return 0;
  }
  return 0;
}

int Merge(const TMergeArgs& args) {
  const bool xlsx = args.xlsx;
  TMergeOptions options;
  options.savePath = args.out;
  options.values = args.values;
  options.sourceColumn = args.source;
  options.markRows = args.mark;
  options.skipUnreadable = args.skip;
  const std::string& n = args.headerRows;
  if (n.size() > 2 || n.empty() ||
      !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return UsageError("--header-rows needs a number from 0 to " + std::to_string(kMaxHeaderRows), "merge");
  options.headerRows = std::stoi(n);
  options.matchColumns = args.matchColumns;
  if (args.sheetGiven) {
    if (args.sheet.empty()) return UsageError("--sheet needs a number, a name or all", "merge");
    const std::optional<TSheetChoice> sheet = ParseSheetChoice(FromUtf8(args.sheet));
    if (!sheet) return UsageError("--sheet: sheet numbers count from 1 (1 is the first sheet)", "merge");
    options.sheet = *sheet;
  }
  options.csvEncoding = args.encoding;
  if (!args.encoding.empty() && !CsvEncodingKnown(args.encoding))
    return UsageError("--encoding: the encoding \"" + args.encoding + "\" is not known (see iconv --list)",
                      "merge");
  if (!args.delimiter.empty()) {
    const std::u16string delimiter =
        args.delimiter == "tab" || args.delimiter == "\\t" ? u"\t" : FromUtf8(args.delimiter);
    if (delimiter.size() != 1)
      return UsageError("--delimiter needs one character other than a quote or a line break", "merge");
    options.csvDelimiter = delimiter[0];
  }
  if (const int error = OptionsUsageError(options)) return error;
  for (const std::string& password : args.passwords) options.passwords.push_back(FromUtf8(password));
  const std::vector<std::filesystem::path> paths(args.paths.begin(), args.paths.end());
  const std::filesystem::path& out = options.savePath;
  if (out.empty()) return UsageError("merge needs -o OUT (.xls, .xlsx or .csv)", "merge");
  if (paths.empty()) return UsageError("merge needs at least one folder or file", "merge");
  cfb::CheckOutputWritable(out);

  InstallSignalHandlers();
  std::vector<std::filesystem::path>& files = options.files;
  std::vector<std::pair<std::filesystem::path, std::string>> unreadableFolders;  // why; not in the list
  // The source column names a file found in a folder by its path below that folder, any other as given.
  std::vector<std::filesystem::path>& names = options.sourceNames;
  for (const std::filesystem::path& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      const std::string& folder = p.native();
      SearchFiles(
          folder, WorkbookPatterns(xlsx, args.csv), true,
          [&](const std::string& f) {
            files.push_back(f);
            size_t start = folder.size();
            if (start < f.size() && f[start] == '/') ++start;
            names.push_back(f.compare(0, folder.size(), folder) == 0 ? f.substr(start) : f);
            return true;
          },
          nullptr,
          [&](const std::string& unreadable, const std::string& reason) {
            unreadableFolders.emplace_back(unreadable, reason);
          });
    } else if (std::filesystem::is_regular_file(p, ec)) {
      files.push_back(p);
      names.push_back(p);
    } else {
      try {
        cfb::TInputFile check(p);  // says what the path is instead
      } catch (const std::exception& e) {
        std::cerr << "plicato-cli: " << Indented(e.what()) << "\n";
        return 1;
      }
      std::cerr << "plicato-cli: \"" << Printable(p.string()) << "\" is not a regular file\n";
      return 1;
    }
  }
  // Files the search could not see would be missing from the merge without a word: the run stops
  // unless unreadable inputs may be passed over, and then they are listed with the skipped files.
  if (!unreadableFolders.empty() && !options.skipUnreadable) {
    std::cerr << "plicato-cli: cannot read the folder \""
              << Printable(unreadableFolders.front().first.string())
              << "\": " << Printable(unreadableFolders.front().second)
              << ". Nothing was merged; --skip-unreadable merges the files that can be read.\n";
    return 1;
  }
  if (files.empty()) {
    std::string under;
    for (const std::filesystem::path& p : paths) under += (under.empty() ? "" : ", ") + Printable(p.string());
    std::cerr << "plicato-cli: no files to merge under " << under << "; nothing was written\n";
    return 1;
  }
  options.sourceCaption = u"Source";
  TConsoleHost host(args.quiet);
  host.FoundCount.store(static_cast<int32_t>(files.size()));
  gHost = &host;
  if (gStopSignal != 0) host.StopRequested.store(1);
  TMergeReport report;
  try {
    report = MergeFiles(host, std::move(options));
  } catch (...) {
    gHost = nullptr;
    host.EndLine();
    throw;
  }
  gHost = nullptr;
  // What was passed over is an error, shown even when quiet: the exit status alone would not say which.
  std::string passedOver;
  if (!report.skipped.empty()) {
    passedOver = std::to_string(report.skipped.size()) + " of " + std::to_string(host.FoundCount.load()) +
                 " files could not be read";
  }
  if (!unreadableFolders.empty()) {
    passedOver += (passedOver.empty() ? "" : ", and ") + std::to_string(unreadableFolders.size()) +
                  (unreadableFolders.size() == 1 ? " folder" : " folders") + " could not be read";
  }
  if (!passedOver.empty()) {
    const bool one = report.skipped.size() + unreadableFolders.size() == 1;
    std::cerr << "plicato-cli: " << passedOver << (one ? " and was skipped:\n" : " and were skipped:\n");
  }
  const size_t skippedFiles = report.skipped.size();
  for (const TFileNote& skipped : report.skipped)
    std::cerr << "  " << Printable(skipped.file.string()) << ": " << Indented(FileFailureWords(skipped.failure))
              << "\n";
  for (const auto& [folder, why] : unreadableFolders)
    std::cerr << "  " << Printable(folder.string()) << ": " << Indented("the folder could not be read: " + why)
              << "\n";
  if (!args.quiet) {
    if (gStopSignal != 0) {
      std::cerr << "plicato-cli: stopped by signal " << gStopSignal << ": " << host.MergedCount.load()
                << " of " << host.FoundCount.load() << " files merged\n";
    }
    std::cerr << "plicato-cli: " << Summary(report, host.FoundCount.load(), skippedFiles, host.Elapsed())
              << "\n";
  }
  if (gStopSignal != 0) return 128 + gStopSignal;
  return report.skipped.empty() && unreadableFolders.empty() ? 0 : 3;
}

// Given twice, an option's last value counts, as it always has. The type name is the value's name in the
// usage, which the message of a missing value shows.
CLI::Option* AddValue(CLI::App& command, const char* name, std::string& field, const char* type,
                      const char* meaning) {
  return command.add_option(name, field, meaning)
      ->type_name(type)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// merge's options, each with its meaning for `merge --help`, and two examples after them.
void AddMergeOptions(CLI::App& command, TMergeArgs& merge) {
  command.description(
      "Merges the rows of a worksheet of every file into OUT. A PATH that is a folder is searched for\n"
      "*.xls files, sub-folders included; a file is taken as it is and read by its content.");
  AddValue(command, "-o", merge.out, "OUT",
           "the output: .xls (split at 65,536 rows), .xlsx or .csv; .xls by default");
  command.add_flag("--values", merge.values, "keep types and number formats; take every row with a value");
  AddValue(command, "--header-rows", merge.headerRows, "N",
           "copy the first N rows (0-10) of the first file once, atop every output");
  command.add_flag("--match-columns", merge.matchColumns,
                   "lay each file's columns out by the names in its last header row");
  command.add_flag("--source", merge.source, "add a first column naming each row's file (\"Source\")");
  merge.sheetOption = AddValue(command, "--sheet", merge.sheet, "N|NAME|all",
                               "the sheet: a number counted from 1 (1 is the first), a name, or all of them");
  command.add_flag("--mark-rows", merge.mark, "note each file's row count on its first row");
  command.add_flag("--xlsx", merge.xlsx, "search folders for *.xlsx and *.xlsm files too");
  command.add_flag("--csv", merge.csv, "search folders for *.csv and *.tsv files too");
  AddValue(command, "--encoding", merge.encoding, "NAME",
           "the encoding of CSV inputs without a byte-order mark (default: UTF-8, else GB18030)");
  AddValue(command, "--delimiter", merge.delimiter, "C", "the separator of CSV inputs (one character or tab)");
  command.add_flag("--skip-unreadable", merge.skip, "pass over files that cannot be read (exit status 3)");
  // Every occurrence adds one password, never split at a comma or a space.
  command.add_option("--password", merge.passwords, "a password to try on encrypted files (repeatable)")
      ->type_name("PW")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command.add_flag("-q,--quiet", merge.quiet, "no progress, remarks or summary; only errors");
  command.add_option("PATH", merge.paths, "folders and files to merge, in this order")->type_name("");
  command.footer(
      "Progress goes to stderr (one line redrawn on a terminal), then a summary; Ctrl-C stops before the\n"
      "next file and writes what was merged.\n"
      "\n"
      "Examples:\n"
      "  plicato-cli merge --mark-rows -o year.xls reports/\n"
      "  plicato-cli merge --xlsx --skip-unreadable --source -o all.xlsx reports/ extra.xls");
  command.set_help_flag("-h,--help", "show this help and exit");
  command.get_formatter()->column_width(28);
}

// Each option binds a field of its command's arguments; values are checked by the command itself, with
// messages of its own. An option that takes a value always takes the next argument, even one that begins
// with a dash (a password "--help"); "--" ends the options; options and paths mix in any order. Unknown
// options are collected rather than thrown, to be named the way this program names them.
int RunCommand(const std::string& name, std::vector<std::string> args) {
  CLI::App command("", "plicato-cli " + name);
  command.allow_extras();
  TDumpArgs dump;
  TMergeArgs merge;
  TCopyArgs copy;
  if (name == "dump") {
    AddValue(command, "--password", dump.password, "PW", "");
    AddValue(command, "--sheet", dump.sheet, "N", "");
    command.add_flag("--cells", dump.cells);
    command.add_option("FILE", dump.files);
  } else if (name == "merge") {
    AddMergeOptions(command, merge);
  } else if (name == "copy") {
    AddValue(command, "--password", copy.password, "PW", "");
    command.add_option("FILE", copy.files);
  } else {
    return UsageError("unknown command \"" + name + "\"");
  }
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes the arguments last first
    command.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::fputs(name == "merge" ? command.help().c_str() : Usage(name).c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what(), name);
  }
  // "--" stays among the extras; it is no unknown option.
  for (const std::string& extra : command.remaining())
    if (extra != "--") return UsageError("unknown option \"" + extra + "\"", name);
  if (name == "dump") return Dump(dump);
  if (name == "copy") return Copy(copy);
  merge.sheetGiven = merge.sheetOption->count() > 0;
  return Merge(merge);
}

}  // namespace
}  // namespace plicato

int main(int argc, char** argv) {
  using namespace plicato;
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    // The options before the command; the command and all after it are left to RunCommand (so that a
    // path named like a command is just a path).
    CLI::App app("", "plicato-cli");
    app.set_version_flag("--version", std::string("plicato-cli ") + PLICATO_VERSION);
    app.prefix_command();
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      std::fputs(kUsage, stdout);
      return 0;
    } catch (const CLI::CallForVersion& version) {
      std::printf("%s\n", version.what());
      return 0;
    } catch (const CLI::ParseError& e) {
      return UsageError(e.what());
    }
    std::vector<std::string> rest = app.remaining();
    if (rest.empty()) return UsageError("no command given");
    if (!rest.front().empty() && rest.front()[0] == '-')
      return UsageError("unknown option \"" + rest.front() + "\"");
    const std::string command = rest.front();
    rest.erase(rest.begin());
    return RunCommand(command, std::move(rest));
  } catch (const EMergeError& e) {
    // The merge says what ended it as facts; these are its words.
    std::cerr << "plicato-cli: " << Printable(RunFailureWords(e.Facts()), true) << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "plicato-cli: " << Printable(e.what(), true) << "\n";
    return 1;
  } catch (...) {
    std::cerr << "plicato-cli: unexpected failure\n";
    return 1;
  }
}
