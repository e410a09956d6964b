#include "merge/MergeEngine.h"

#include <sys/stat.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <system_error>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "merge/RowSource.h"
#include "workbook/XLSWorkbook.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

constexpr int kMaxRows = 65536;
constexpr int kColumns = TRowSource::kColumns;
// The reader's words for a password that does not open a file, and for a file that needs one.
constexpr char kInvalidPassword[] = "Invalid password";
constexpr char kPasswordRequired[] = "File is encrypted. Password required.";
// Progress within a file is reported at most this often.
constexpr std::chrono::milliseconds kProgressInterval(100);

namespace fs = std::filesystem;

// An output that could not be written: the run ends with this message, which names the output; the
// input being merged is not to blame.
class EOutputError : public EMergeError {
 public:
  using EMergeError::EMergeError;
};

std::string Shown(const fs::path& path) {
  return path.string();
}

// Only a regular file is asked for its content: opening a named pipe to look at it would wait for a
// writer forever. Anything else goes to the .xls reader, which says what the path is.
bool HoldsXlsx(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && DetectWorkbookContent(path) == wcXlsx;
}

// The name of a one-based column as a worksheet shows it: 1 is A, 27 is AA.
std::string ColumnName(uint32_t column) {
  std::string name;
  for (; column > 0; column = (column - 1) / 26)
    name.insert(name.begin(), static_cast<char>('A' + (column - 1) % 26));
  return name;
}

// One run of MergeFiles: the output being filled and where the current file's rows go.
class TMergeRun {
 public:
  explicit TMergeRun(TMergeHost& host) : host_(host) {}

  TMergeReport Run();

 private:
  // Output worksheet 0, begun when a row first needs it: a full output is written at once, and the next
  // one only exists once there is something to put in it.
  TSheet& Output();
  void WriteOutput();
  std::unique_ptr<TRowSource> OpenSource(const fs::path& path);
  std::unique_ptr<TXLSWorkbook> ReadXls(const fs::path& path);
  std::optional<std::u16string> NextPassword(const fs::path& path, size_t& next);
  void CopyRows(TRowSource& input, int32_t filesDone, int32_t filesTotal);
  std::string TakeBack();
  void PutMark(int rows);
  void Split();
  std::string ReportText() const;

  TMergeHost& host_;
  TMergeReport report_;
  std::vector<std::u16string> passwords_;  // the host's, taken when the run starts
  std::u16string lastPassword_;            // the one that opened the last encrypted file
  std::unique_ptr<TXLSWorkbook> output_;   // null until a row needs it, and after each split
  fs::path outputName_;
  std::vector<fs::path> written_;
  int outputRow_ = 0;
  int splitNumber_ = 0;
  // The current file's rows in the current output, and the output row of the first of them.
  int partRows_ = 0;
  int partFirstRow_ = 0;
  // The current file's rows in all, and the split number when it began.
  int64_t fileRows_ = 0;
  int fileFirstSplit_ = 0;
  std::u16string text_;  // reused for every copied text
};

TSheet& TMergeRun::Output() {
  if (!output_) {
    outputName_ = splitNumber_ == 0 ? host_.SavePath()
                                    : fs::path(SplitOutputName(host_.SavePath().native(), splitNumber_));
    output_ = std::make_unique<TXLSWorkbook>();
    output_->Filename = FileNameFromPath(outputName_);
  }
  return output_->Sheets()[0];
}

void TMergeRun::WriteOutput() {
  std::unique_ptr<TXLSWorkbook> output = std::move(output_);
  try {
    output->Filename = FileNameFromPath(outputName_);
    output->Write();
  } catch (const std::exception& e) {
    output.reset();
    ReleaseFreedMemory();
    throw EOutputError("The output \"" + Shown(outputName_) + "\" could not be written:\r" + e.what());
  }
  // The cells of a full output are hundreds of megabytes: they go back to the system, not just to the heap.
  output.reset();
  ReleaseFreedMemory();
  written_.push_back(outputName_);
}

std::unique_ptr<TRowSource> TMergeRun::OpenSource(const fs::path& path) {
  // By content, not by name: an .xlsx saved as .xls is still streamed, and an .xls named .xlsx read.
  if (HoldsXlsx(path)) return MakeXlsxRowSource(path);
  return MakeXlsRowSource(ReadXls(path));
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

// The reader takes one password per read, after its default one; each further password is a new read
// of the file, which fails early, at the file's encryption record.
std::unique_ptr<TXLSWorkbook> TMergeRun::ReadXls(const fs::path& path) {
  size_t next = 0;
  bool tried = false;
  for (;;) {
    auto input = std::make_unique<TXLSWorkbook>();
    input->Filename = FileNameFromPath(path);
    bool offered = false;
    std::u16string password;
    input->OnPassword = [&](std::u16string& asked) {
      std::optional<std::u16string> candidate = NextPassword(path, next);
      if (!candidate) return false;
      asked = password = std::move(*candidate);
      offered = true;
      return true;
    };
    try {
      input->Read();
    } catch (const EPlicatoError& e) {
      if (offered && std::string_view(e.what()).ends_with(kInvalidPassword)) {
        tried = true;
        continue;
      }
      // An encrypted .xlsx is a compound document the .xls reader cannot make sense of; say what it is.
      if (HoldsEncryptedPackage(path)) throw EXlsxError(kEncryptedXlsx);
      throw;
    }
    // Aborted: no password left to offer. The reader's own words say why the file stays closed.
    if (input->Aborted) throw EXLSError(tried ? kInvalidPassword : kPasswordRequired);
    if (offered) lastPassword_ = password;
    input->OnPassword = nullptr;  // it refers to this frame
    return input;
  }
}

// The mark of the current file's rows in the current output, on its first row there. A file with no
// rows in this output has nothing to mark here.
void TMergeRun::PutMark(int rows) {
  if (rows <= 0 || !host_.MarkRows()) return;
  Output().PutText(0, partFirstRow_, FromUtf8(std::to_string(rows)));
}

void TMergeRun::Split() {
  // The output is full: mark the part of the current file it holds and write it; the next output is
  // begun by the next row that needs it.
  PutMark(partRows_);
  outputRow_ = 0;
  ++splitNumber_;
  WriteOutput();
  partRows_ = 0;
  partFirstRow_ = 0;
}

void TMergeRun::CopyRows(TRowSource& input, int32_t filesDone, int32_t filesTotal) {
  auto lastProgress = std::chrono::steady_clock::now();
  while (input.NextRow()) {
    TSheet& out = Output();
    // Asked once a row: a row is copied whole to one place.
    const int shift = host_.MarkRows() ? 1 : 0;
    const int width = std::min(input.TextWidth(), kColumns);
    for (int column = 0; column < width; ++column) {
      input.CellText(column, text_);
      out.PutText(column + shift, outputRow_, text_);
    }
    // The rest of the row is empty text, still one text cell per column.
    out.PutEmptyTexts(width + shift, kColumns - 1 + shift, outputRow_);
    ++partRows_;
    ++fileRows_;
    if (++outputRow_ >= kMaxRows) Split();
    const auto now = std::chrono::steady_clock::now();
    if (now - lastProgress >= kProgressInterval) {
      lastProgress = now;
      host_.SetProgress(filesDone, filesTotal, fileRows_);
    }
  }
  PutMark(partRows_);
}

// A file that failed after some of its rows were taken (a streamed sheet damaged further down) gives
// none: its rows leave the current output. Rows in an output already written stay there; the returned
// text says so, or is empty.
std::string TMergeRun::TakeBack() {
  std::string said;
  if (output_ && outputRow_ > partFirstRow_) {
    output_->Sheets()[0].DeleteCells(0, kColumns, partFirstRow_, outputRow_ - 1);
    outputRow_ = partFirstRow_;
  }
  // An output holding nothing once more is not begun: a failure before any row leaves the target alone.
  if (output_ && outputRow_ == 0) output_.reset();
  if (splitNumber_ > fileFirstSplit_) {
    said = "Its rows before the failure up to \"" + Shown(written_.back()) + "\" had already been written.";
  }
  partRows_ = 0;
  fileRows_ = 0;
  return said;
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
  cfb::CheckOutputWritable(host_.SavePath());  // before any input is read, not after all of them
  const std::vector<fs::path> list = host_.FileList();
  // Refused before anything is read: the output would replace an input that is still to be merged.
  if (auto clash = FindOutputClash(host_.SavePath(), list)) {
    throw EMergeError("The output \"" + Shown(clash->output) + "\" is the listed file \"" +
                      Shown(clash->input) + "\":\rchoose another save path. Nothing was written.");
  }
  const bool skipUnreadable = host_.SkipUnreadable();
  passwords_ = host_.Passwords();
  const int32_t total = static_cast<int32_t>(list.size());
  host_.SetProgress(0, total, 0);

  std::string failedFile;
  std::string failure;
  bool stopped = false;
  for (size_t index = 0; index < list.size(); ++index) {
    if (host_.StopRequested.load() == 1) {
      stopped = true;
      break;
    }
    host_.SetProgressText("正在合并第" + std::to_string(index + 1) + "个XLS文件");
    const fs::path& path = list[index];
    host_.SetCurrentFile(path.string());
    const int32_t done = static_cast<int32_t>(index);
    partRows_ = 0;
    partFirstRow_ = outputRow_;
    fileRows_ = 0;
    fileFirstSplit_ = splitNumber_;
    try {
      std::unique_ptr<TRowSource> input = OpenSource(path);
      CopyRows(*input, done, total);
      if (const uint32_t last = input->LastColumnLeftOut()) {
        report_.notes.push_back(
            {path, "Columns after the 255th (IU) were not merged; the sheet has values up to column " +
                       ColumnName(last) + "."});
      }
    } catch (const EOutputError& e) {
      throw EOutputError(e.what() + ReportText());
    } catch (const std::exception& e) {
      std::string reason = e.what();
      if (const std::string said = TakeBack(); !said.empty()) reason += "\r" + said;
      if (skipUnreadable) {
        report_.skipped.push_back({path, reason});
        host_.SetProgress(done + 1, total, 0);
        continue;
      }
      // Stop at the failing file, but keep what was gathered before it: the output is written below.
      failedFile = Shown(path);
      failure = reason;
      break;
    }
    host_.SetProgress(done + 1, total, fileRows_);
    host_.MergedCount.fetch_add(1);
    host_.SetCountText(CountLineText(host_.FoundCount.load(), host_.MergedCount.load()));
  }

  if (failedFile.empty()) {
    // A finished run always leaves its output (an empty list gives an empty workbook); a stopped one
    // writes only rows it gathered, so that a stop before any row leaves an existing file alone.
    if (output_ || (!stopped && written_.empty())) {
      Output();
      try {
        WriteOutput();
      } catch (const EOutputError& e) {
        throw EOutputError(e.what() + ReportText());
      }
    }
    host_.SetProgressText("已停止");
    host_.SetButtonCaption("开始");
    host_.SetCurrentFile("");
    return std::move(report_);
  }
  std::string message = "File \"" + failedFile + "\" could not be merged:\r" + failure;
  if (output_) {
    try {
      WriteOutput();
      message += "\rThe rows merged before it were written to \"" + Shown(written_.back()) + "\".";
    } catch (const std::exception& e) {
      message += "\r" + std::string(e.what());
    }
  } else if (written_.empty()) {
    message += "\rNothing was written.";
  } else {
    message += "\rNothing was written after \"" + Shown(written_.back()) + "\".";
  }
  throw EMergeError(message + ReportText());
}

fs::path Normalised(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal() : canonical;
}

}  // namespace

std::string CountLineText(int32_t found, int32_t merged) {
  return "共有" + std::to_string(found) + "个XLS文件 已合并" + std::to_string(merged) + "个";
}

std::string SplitOutputName(const std::string& savePath, int32_t splitNumber) {
  std::string name = savePath + "--" + std::to_string(splitNumber) + ".xls";
  const std::string drop = ".xls-";
  for (size_t at = name.find(drop); at != std::string::npos; at = name.find(drop, at))
    name.erase(at, drop.size());
  return name;
}

std::optional<TOutputClash> FindOutputClash(const fs::path& savePath, const std::vector<fs::path>& files) {
  std::map<std::pair<dev_t, ino_t>, size_t> ids;
  std::map<fs::path, size_t> names;
  // Every 65,536 rows make a split, and a file gives at most a whole sheet: one split for an .xls file,
  // sixteen for an .xlsx file.
  size_t splits = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat info {};
    bool xlsx = false;
    if (::stat(files[i].c_str(), &info) == 0) {
      ids.emplace(std::make_pair(info.st_dev, info.st_ino), i);
      // Only a regular file is opened to look: a named pipe would wait for a writer.
      xlsx = S_ISREG(info.st_mode) && DetectWorkbookContent(files[i]) == wcXlsx;
    }
    names.emplace(Normalised(files[i]), i);
    splits += xlsx ? kXlsxMaxRows / kMaxRows : 1;
  }
  for (size_t split = 0; split <= splits; ++split) {
    const fs::path output =
        split == 0 ? savePath : fs::path(SplitOutputName(savePath.native(), static_cast<int32_t>(split)));
    struct stat info {};
    if (::stat(output.c_str(), &info) == 0) {
      auto same = ids.find(std::make_pair(info.st_dev, info.st_ino));
      if (same != ids.end()) return TOutputClash{output, files[same->second]};
    }
    auto same = names.find(Normalised(output));
    if (same != names.end()) return TOutputClash{output, files[same->second]};
  }
  return std::nullopt;
}

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

std::string RoundedNumberText(double value) {
  if (!std::isfinite(value)) return std::string();
  double rounded = std::nearbyint(value);  // the default rounding mode: half to even
  char buffer[400];
  if (std::fabs(rounded) < 9.2e18) {
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(rounded));
  } else {
    // Beyond 64 bits every double is a whole number already; print all of its digits.
    std::snprintf(buffer, sizeof buffer, "%.0f", rounded);
  }
  return buffer;
}

TMergeReport MergeFiles(TMergeHost& host) {
  return TMergeRun(host).Run();
}

}  // namespace plicato
