// plicato-cli: the command-line front end of the engine.
//   dump   prints a worksheet of a workbook as CSV, or its stored cells one per line
//   merge  merges the first worksheets of many workbooks into one, as the window does
//   copy   reads a workbook and writes it back through the engine
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "cli/XlsxDump.h"
#include "merge/FileSearch.h"
#include "merge/MergeEngine.h"
#include "workbook/CellStorage.h"
#include "workbook/XLSWorkbook.h"
#include "xlsx/XlsxReader.h"

namespace plicato {
namespace {

const char kUsage[] =
    "Usage:\n"
    "  plicato-cli dump [--password PW] [--sheet N] [--cells] FILE\n"
    "      Prints worksheet N (default 0) as CSV (UTF-8), every cell as the workbook renders it, from\n"
    "      row 0 and column 0 to the last used row and column. With --cells, one line per stored cell:\n"
    "      row,col,kind,text (kinds: 1 blank, 4 number, 5 text, 6 boolean, 7 error, 8-13 formulas).\n"
    "  plicato-cli merge [--mark-rows] -o OUT.xls PATH...\n"
    "      Merges the rows of the first worksheet of every file into OUT.xls (split into OUT-1.xls, ...\n"
    "      at 65,536 rows). A PATH that is a folder is searched for *.xls files, sub-folders included;\n"
    "      a file is taken as it is. --mark-rows puts each file's row count in the first column.\n"
    "      Progress goes to stderr; Ctrl-C stops before the next file and writes what was merged.\n"
    "  plicato-cli copy [--password PW] IN.xls OUT.xls\n"
    "      Reads IN.xls and writes it back as OUT.xls through the engine, to repair or re-save a legacy\n"
    "      workbook. An encrypted IN.xls (opened with --password) is written decrypted.\n"
    "  plicato-cli --help\n";

int UsageError(const std::string& message) {
  std::cerr << "plicato-cli: " << message << "\n" << kUsage;
  return 2;
}

// RFC 4180: a field with a comma, quote, CR or LF is quoted, quotes doubled.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

int Dump(const std::vector<std::string>& args) {
  std::string password, file;
  int sheetIndex = 0;
  bool cells = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--password" && i + 1 < args.size()) {
      password = args[++i];
    } else if (a == "--sheet" && i + 1 < args.size()) {
      char* end = nullptr;
      long n = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || n < 0 || n > 65535) return UsageError("--sheet needs a sheet number");
      sheetIndex = static_cast<int>(n);
    } else if (a == "--cells") {
      cells = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option \"" + a + "\"");
    } else if (file.empty()) {
      file = a;
    } else {
      return UsageError("dump takes one file");
    }
  }
  if (file.empty()) return UsageError("dump needs a file");
  if (DetectWorkbookContent(file) == wcXlsx) {
    if (sheetIndex != 0) throw EXlsxError("Only the first worksheet of an .xlsx file is read");
    const std::string text = DumpXlsxSheet(file, cells, &CsvField);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }

  TXLSWorkbook workbook;
  workbook.Filename = FileNameFromPath(file);
  workbook.Password = FromUtf8(password);
  try {
    workbook.Read();
  } catch (const EPlicatoError&) {
    if (HoldsEncryptedPackage(file)) throw EXlsxError(kEncryptedXlsx);
    throw;
  }
  if (sheetIndex >= workbook.Sheets().Count())
    throw EXLSError(FormatMessage("The workbook has %d worksheet(s); there is no worksheet %d",
                                  workbook.Sheets().Count(), sheetIndex));
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
  } else if (!sheet.Cells().IsEmpty()) {
    TCellBounds bounds = sheet.Cells().CalcBounds();
    for (int row = 0; row <= bounds.lastRow; ++row) {
      for (int column = 0; column <= bounds.lastColumn; ++column) {
        if (column > 0) out += ',';
        out += CsvField(ToUtf8(sheet.GetText(column, row)));
      }
      out += "\r\n";
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Copy(const std::vector<std::string>& args) {
  std::string password;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--password" && i + 1 < args.size())
      password = args[++i];
    else if (!a.empty() && a[0] == '-')
      return UsageError("unknown option \"" + a + "\"");
    else
      files.push_back(a);
  }
  if (files.size() != 2) return UsageError("copy needs IN.xls and OUT.xls");
  TXLSWorkbook workbook;
  workbook.Filename = FileNameFromPath(files[0]);
  workbook.Password = FromUtf8(password);
  workbook.Read();
  // The password opened the input; the copy is written without one, decrypted.
  workbook.Password.clear();
  workbook.Filename = FileNameFromPath(files[1]);
  workbook.Write();
  return 0;
}

// The command line's view of the window-level state: status lines go to stderr as they happen.
class TConsoleHost : public TMergeHost {
 public:
  TConsoleHost(std::vector<std::filesystem::path> files, std::filesystem::path out, bool mark)
      : files_(std::move(files)), out_(std::move(out)), mark_(mark) {}
  std::vector<std::filesystem::path> FileList() override { return files_; }
  std::filesystem::path SavePath() override { return out_; }
  bool MarkRows() override { return mark_; }
  void SetProgressText(const std::string& text) override { std::cerr << text << "\n"; }
  void SetCountText(const std::string& text) override { std::cerr << text << "\n"; }
  void SetCurrentFile(const std::string& path) override {
    if (!path.empty()) std::cerr << path << "\n";
  }
  void SetButtonCaption(const std::string&) override {}

 private:
  std::vector<std::filesystem::path> files_;
  std::filesystem::path out_;
  bool mark_;
};

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

extern "C" void OnCrash(int signal) {
  cfb::RemoveTemporaryFiles();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void InstallSignalHandlers() {
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  stop.sa_flags = SA_RESTART;  // a status line being written when the signal comes is not lost
  sigemptyset(&stop.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
  // A closed stderr (a pipe to `head`) must not end the merge; status lines are then just not shown.
  std::signal(SIGPIPE, SIG_IGN);
  // A write beyond the file size limit fails with a message instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(signal, OnCrash);
}

int Merge(const std::vector<std::string>& args) {
  std::filesystem::path out;
  bool mark = false;
  std::vector<std::filesystem::path> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" && i + 1 < args.size()) {
      out = args[++i];
    } else if (a == "--mark-rows") {
      mark = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option \"" + a + "\"");
    } else {
      paths.push_back(a);
    }
  }
  if (out.empty()) return UsageError("merge needs -o OUT.xls");
  if (paths.empty()) return UsageError("merge needs at least one folder or file");

  InstallSignalHandlers();
  std::vector<std::filesystem::path> files;
  for (const std::filesystem::path& p : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      SearchFiles(p.native(), "*.xls", true, [&](const std::string& f) {
        files.push_back(f);
        return true;
      });
    } else if (std::filesystem::is_regular_file(p, ec)) {
      files.push_back(p);
    } else {
      try {
        cfb::TInputFile check(p);  // says what the path is instead
      } catch (const std::exception& e) {
        std::cerr << "plicato-cli: " << e.what() << "\n";
        return 1;
      }
      std::cerr << "plicato-cli: \"" << p.string() << "\" is not a regular file\n";
      return 1;
    }
  }
  TConsoleHost host(std::move(files), out, mark);
  host.FoundCount.store(static_cast<int32_t>(host.FileList().size()));
  gHost = &host;
  if (gStopSignal != 0) host.StopRequested.store(1);
  MergeFiles(host);
  gHost = nullptr;
  if (gStopSignal != 0) {
    std::cerr << "plicato-cli: stopped by signal " << gStopSignal << ": " << host.MergedCount.load() << " of "
              << host.FoundCount.load() << " files merged\n";
    return 128 + gStopSignal;
  }
  return 0;
}

}  // namespace
}  // namespace plicato

int main(int argc, char** argv) {
  using namespace plicato;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  try {
    if (command == "--help" || command == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (command == "dump") return Dump(args);
    if (command == "merge") return Merge(args);
    if (command == "copy") return Copy(args);
    return UsageError("unknown command \"" + command + "\"");
  } catch (const std::exception& e) {
    std::string message = e.what();
    for (char& c : message)
      if (c == '\r') c = '\n';
    std::cerr << "plicato-cli: " << message << "\n";
    return 1;
  } catch (...) {
    std::cerr << "plicato-cli: unexpected failure\n";
    return 1;
  }
}
