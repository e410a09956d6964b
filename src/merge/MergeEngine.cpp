#include "merge/MergeEngine.h"

#include <sys/stat.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <system_error>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

constexpr int kMaxRows = 65536;
constexpr int kColumns = 255;  // column 255 of a source sheet is never read

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

// One run of MergeFiles: the output being filled and where the current file's rows go.
class TMergeRun {
 public:
  explicit TMergeRun(TMergeHost& host) : host_(host) {}

  void Run();

 private:
  // Output worksheet 0, begun when a row first needs it: a full output is written at once, and the next
  // one only exists once there is something to put in it.
  TSheet& Output();
  void WriteOutput();
  void CopyRows(TSheet& input);
  // Looks up the row's cells once; true when one of them is a text cell with non-empty text.
  bool GatherRow(TSheet& input, int row);
  void PutMark(int rows);
  void Split();

  TMergeHost& host_;
  std::unique_ptr<TXLSWorkbook> output_;  // null until a row needs it, and after each split
  fs::path outputName_;
  std::vector<fs::path> written_;
  int outputRow_ = 0;
  int splitNumber_ = 0;
  // The current file's rows in the current output, and the output row of the first of them.
  int partRows_ = 0;
  int partFirstRow_ = 0;
  std::u16string text_;              // reused for every copied text
  const TCell* row_[kColumns] = {};  // the current input row's cells
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

bool TMergeRun::GatherRow(TSheet& input, int row) {
  bool hasText = false;
  for (int column = 0; column < kColumns; ++column) {
    const TCell* cell = input.FindCell(column, row);
    row_[column] = cell;
    if (cell && cell->kind == ckString && !TSST::EntryIsEmpty(cell->entry)) hasText = true;
  }
  return hasText;
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

void TMergeRun::CopyRows(TSheet& input) {
  partRows_ = 0;
  partFirstRow_ = outputRow_;
  for (int row = 0; row < kMaxRows; ++row) {
    // A file ends at its first row without non-empty text; that row is not copied.
    if (!GatherRow(input, row)) break;
    TSheet& out = Output();
    for (int column = 0; column < kColumns; ++column) {
      int target = host_.MarkRows() ? column + 1 : column;
      // Ask the kind first: most cells are not numbers, and a failed number lookup must not cost an
      // exception per cell.
      const TCell* cell = row_[column];
      if (cell && cell->kind == ckFloat) {
        out.PutText(target, outputRow_, FromUtf8(RoundedNumberText(cell->number)));
      } else if (cell && cell->kind == ckString) {
        text_.clear();
        TSST::AppendEntryText(cell->entry, text_);
        out.PutText(target, outputRow_, text_);
      } else {
        out.PutText(target, outputRow_, std::u16string_view());
      }
    }
    ++partRows_;
    if (++outputRow_ >= kMaxRows) Split();
  }
  PutMark(partRows_);
}

void TMergeRun::Run() {
  const std::vector<fs::path> list = host_.FileList();
  // Refused before anything is read: the output would replace an input that is still to be merged.
  if (auto clash = FindOutputClash(host_.SavePath(), list)) {
    throw EMergeError("The output \"" + Shown(clash->output) + "\" is the listed file \"" +
                      Shown(clash->input) + "\":\rchoose another save path. Nothing was written.");
  }

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
    try {
      TXLSWorkbook input;
      input.Filename = FileNameFromPath(path);
      input.Read();
      CopyRows(input.Sheets()[0]);
    } catch (const EOutputError&) {
      throw;
    } catch (const std::exception& e) {
      // Stop at the failing file, but keep what was gathered before it: the output is written below.
      failedFile = Shown(path);
      failure = e.what();
      break;
    }
    host_.MergedCount.fetch_add(1);
    host_.SetCountText(CountLineText(host_.FoundCount.load(), host_.MergedCount.load()));
  }

  if (failedFile.empty()) {
    // A finished run always leaves its output (an empty list gives an empty workbook); a stopped one
    // writes only rows it gathered, so that a stop before any row leaves an existing file alone.
    if (output_ || (!stopped && written_.empty())) {
      Output();
      WriteOutput();
    }
    host_.SetProgressText("已停止");
    host_.SetButtonCaption("开始");
    host_.SetCurrentFile("");
    return;
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
  throw EMergeError(message);
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
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat info {};
    if (::stat(files[i].c_str(), &info) == 0) ids.emplace(std::make_pair(info.st_dev, info.st_ino), i);
    names.emplace(Normalised(files[i]), i);
  }
  // Each file fills at most one output, so a list of n files needs at most n continuation names.
  for (size_t split = 0; split <= files.size(); ++split) {
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
  TMergeRun(host).Run();
  return {};
}

}  // namespace plicato
