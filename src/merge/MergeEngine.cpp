#include "merge/MergeEngine.h"

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <memory>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

constexpr int kMaxRows = 65536;
constexpr int kColumns = 255;  // column 255 of a source sheet is never read

// One run of MergeFiles: the output being filled and where the current file's rows go.
class TMergeRun {
 public:
  explicit TMergeRun(TMergeHost& host) : host_(host) {}

  void Run();

 private:
  void NewOutput(const std::string& name);
  void WriteOutput();
  void CopyRows(TSheet& input);
  // Looks up the row's cells once; true when one of them is a text cell with non-empty text.
  bool GatherRow(TSheet& input, int row);
  void PutMark(int rows);
  void Split();

  TMergeHost& host_;
  std::unique_ptr<TXLSWorkbook> output_;
  std::string outputName_;
  int outputRow_ = 0;
  int splitNumber_ = 0;
  // The current file's rows in the current output, and the output row of the first of them.
  int partRows_ = 0;
  int partFirstRow_ = 0;
  std::u16string text_;              // reused for every copied text
  const TCell* row_[kColumns] = {};  // the current input row's cells
};

void TMergeRun::NewOutput(const std::string& name) {
  output_ = std::make_unique<TXLSWorkbook>();
  outputName_ = name;
  output_->Filename = FromUtf8(name);
}

void TMergeRun::WriteOutput() {
  output_->Filename = FromUtf8(outputName_);
  output_->Write();
  output_.reset();
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
  output_->Sheets()[0].PutText(0, partFirstRow_, FromUtf8(std::to_string(rows)));
}

void TMergeRun::Split() {
  // The output is full: mark the part of the current file it holds, write it, and go on in a new one.
  PutMark(partRows_);
  outputRow_ = 0;
  ++splitNumber_;
  WriteOutput();
  NewOutput(SplitOutputName(host_.SavePath(), splitNumber_));
  partRows_ = 0;
  partFirstRow_ = 0;
}

void TMergeRun::CopyRows(TSheet& input) {
  partRows_ = 0;
  partFirstRow_ = outputRow_;
  for (int row = 0; row < kMaxRows; ++row) {
    // A file ends at its first row without non-empty text; that row is not copied.
    if (!GatherRow(input, row)) break;
    TSheet& out = output_->Sheets()[0];
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
  const std::vector<std::string> list = host_.FileList();
  NewOutput(host_.SavePath());

  std::string failedFile;
  std::string failure;
  for (size_t index = 0; index < list.size(); ++index) {
    if (host_.StopRequested.load() == 1) break;
    host_.SetProgressText("正在合并第" + std::to_string(index + 1) + "个XLS文件");
    const std::string& path = list[index];
    host_.SetCurrentFile(path);
    try {
      TXLSWorkbook input;
      input.Filename = FromUtf8(path);
      input.Read();
      CopyRows(input.Sheets()[0]);
    } catch (const std::exception& e) {
      // Stop at the failing file, but keep what was gathered before it: the output is written below.
      failedFile = path;
      failure = e.what();
      break;
    }
    host_.MergedCount.fetch_add(1);
    host_.SetCountText(CountLineText(host_.FoundCount.load(), host_.MergedCount.load()));
  }

  if (failedFile.empty()) {
    WriteOutput();
    host_.SetProgressText("已停止");
    host_.SetButtonCaption("开始");
    host_.SetCurrentFile("");
    return;
  }
  std::string message = "File \"" + failedFile + "\" could not be merged:\r" + failure;
  try {
    WriteOutput();
  } catch (const std::exception& e) {
    message += "\rThe output \"" + outputName_ + "\" could not be written either:\r" + e.what();
  }
  throw EMergeError(message);
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

void MergeFiles(TMergeHost& host) {
  TMergeRun(host).Run();
}

}  // namespace plicato
