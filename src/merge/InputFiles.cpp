#include "merge/InputFiles.h"

#include <algorithm>
#include <functional>
#include <system_error>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "merge/RunReport.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

// Files up to this size are read ahead, while the file before them is merged: two models of them fit
// in memory easily.
constexpr uintmax_t kReadAheadBytes = 64 << 20;
// The files whose books the header pre-read keeps for the run, in all. Kept, the first files are merged
// at once while the next is read ahead; many kept books cost more in fresh memory than reading the files
// again does (the benchmark's 100 files of 200 KB merged slower with all of them kept).
constexpr uintmax_t kKeptBytes = 16 << 20;

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

}  // namespace

bool HoldsXlsx(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && DetectWorkbookContent(path) == wcXlsx;
}

std::unique_ptr<TXLSWorkbook> ReadXlsWith(const fs::path& path,
                                          const std::function<std::optional<std::u16string>()>& next,
                                          std::u16string& opened,
                                          const std::function<void(TXLSWorkbook&)>& read) {
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
      if (read) {
        read(*input);
      } else {
        ReadWorkbook(*input);
      }
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

TInputFiles::TInputFiles(TMergeHost& host, std::vector<fs::path> list, const TMergeOptions& options)
    : host_(host),
      list_(std::move(list)),
      sheet_(options.sheet),
      csv_{options.csvEncoding, options.csvDelimiter, options.values} {}

void TInputFiles::Keep(size_t index, std::unique_ptr<TInputBook>& book) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(list_.at(index), ec);
  if (ec || size > kKeptBytes - keptBytes_) return;
  keptBytes_ += size;
  kept_[index] = std::move(book);
}

std::unique_ptr<TInputBook> TInputFiles::Open(size_t index, uint32_t limit) {
  const fs::path& path = list_[index];
  std::u16string opened;
  std::unique_ptr<TInputBook> ahead;
  if (auto kept = kept_.find(index); kept != kept_.end()) {
    ahead = std::move(kept->second);
    kept_.erase(kept);
  } else {
    ahead = readAhead_.Take(path, opened);
  }
  if (!opened.empty()) lastPassword_ = std::move(opened);
  ReadAhead(index);
  // By content, not by name: an .xlsx saved as .xls is still streamed, and an .xls named .xlsx read.
  std::unique_ptr<TInputBook> book = ahead             ? std::move(ahead)
                                     : HoldsXlsx(path) ? MakeXlsxBook(path)
                                     : ReadAsCsv(path) ? MakeCsvBook(path, csv_)
                                                       : MakeXlsBook(ReadXls(path));
  book->SetColumnLimit(limit);
  return book;
}

// The passwords known now, in the order they are offered: the one that opened the last encrypted file
// first, then the host's (an empty one opens nothing).
std::vector<std::u16string> TInputFiles::KnownPasswords() const {
  std::vector<std::u16string> known;
  if (!lastPassword_.empty()) known.push_back(lastPassword_);
  for (const std::u16string& password : passwords_)
    if (!password.empty() && password != lastPassword_) known.push_back(password);
  return known;
}

// The next password to offer an encrypted file: the known ones in turn, then the host's answers. An
// empty answer opens nothing, so the host is asked again at once.
std::optional<std::u16string> TInputFiles::NextPassword(const fs::path& path, size_t& next) {
  const std::vector<std::u16string> known = KnownPasswords();
  if (next < known.size()) return known[next++];
  for (;;) {
    std::optional<std::u16string> answer = host_.AskPassword(path);
    if (!answer || !answer->empty()) return answer;
  }
}

std::unique_ptr<TXLSWorkbook> TInputFiles::ReadXls(const fs::path& path) {
  size_t next = 0;
  std::u16string opened;
  std::unique_ptr<TXLSWorkbook> input = ReadXlsWith(path, [&] { return NextPassword(path, next); }, opened);
  if (!opened.empty()) lastPassword_ = std::move(opened);
  return input;
}

// Starts reading the listed file after the one at index while that one is merged: an .xls file of a
// size two models of which fit in memory easily, read with the passwords known now (a file that needs
// another one is read in its turn, where the host can be asked), or a CSV file opened.
void TInputFiles::ReadAhead(size_t index) {
  if (index + 1 >= list_.size() || host_.StopRequested.load() == 1 || kept_.count(index + 1) != 0) return;
  const fs::path& path = list_[index + 1];
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kReadAheadBytes) return;
  readAhead_.Start(path, [path, known = KnownPasswords(), csv = csv_](std::u16string& opened) {
    return ReadBookAhead(path, known, csv, opened);
  });
}

namespace {

// A sheet asked for that the workbook does not give, as the failure of the file.
EMergeError SheetMissing(TFileFailure::TSheetProblem problem, size_t sheets = 0, size_t index = 0,
                         std::u16string name = {}) {
  TRunFailure failure;
  failure.what = TRunFailure::rfFile;
  failure.file.kind = ekSheetMissing;
  failure.file.sheetProblem = problem;
  failure.file.sheets = sheets;
  failure.file.index = index;
  failure.file.sheetName = std::move(name);
  return EMergeError(std::move(failure), ekSheetMissing);
}

}  // namespace

std::vector<size_t> TInputFiles::ChooseSheets(const TInputBook& book) const {
  const std::vector<TInSheet>& sheets = book.Sheets();
  const TSheetChoice& choice = sheet_;
  std::vector<size_t> chosen;
  switch (choice.kind) {
    case TSheetChoice::scFirst:
      for (size_t i = 0; i < sheets.size() && chosen.empty(); ++i)
        if (sheets[i].worksheet) chosen.push_back(i);
      if (chosen.empty()) throw SheetMissing(TFileFailure::spNoWorksheet);
      break;
    case TSheetChoice::scIndex: {
      const size_t index = static_cast<size_t>(std::max(choice.index, 0));
      if (index >= sheets.size()) throw SheetMissing(TFileFailure::spNoSheetNumber, sheets.size(), index);
      if (!sheets[index].worksheet)
        throw SheetMissing(TFileFailure::spNotWorksheet, sheets.size(), index, sheets[index].name);
      chosen.push_back(index);
      break;
    }
    case TSheetChoice::scName: {
      for (size_t i = 0; i < sheets.size() && chosen.empty(); ++i) {
        if (!SameSheetName(sheets[i].name, choice.name)) continue;
        if (!sheets[i].worksheet) throw SheetMissing(TFileFailure::spNamedNotWorksheet, sheets.size(), i, sheets[i].name);
        chosen.push_back(i);
      }
      if (chosen.empty()) throw SheetMissing(TFileFailure::spNoSheetNamed, sheets.size(), 0, choice.name);
      break;
    }
    case TSheetChoice::scAll:
      for (size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].worksheet) chosen.push_back(i);
      break;
  }
  return chosen;
}

}  // namespace plicato
