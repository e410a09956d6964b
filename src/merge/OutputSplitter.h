// The outputs of a run: the one being filled, begun when a row first needs it, and the continuation
// outputs after it. When an output is full it is split: the part of the current sheet it holds gets its
// mark, it is written and put in place, and the next one (named after the save path, read again from the
// host, with the header rows repeated first) is begun by the next row. A file that fails has its rows
// taken back from the output being filled where it can drop them.
//
// Owns the output being filled and its row count, the names written, the mark of the current sheet's
// part, and the rows of the current file; writes rows the layout assembles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "merge/ColumnLayout.h"
#include "merge/MergeError.h"
#include "merge/output/Outputs.h"
#include "merge/RunReport.h"
#include "workbook/RowOutput.h"

namespace plicato {

class TMergeHost;

// An output that could not be written: the run ends with this failure, which names the output; the
// input being merged is not to blame.
class EOutputError : public EMergeError {
 public:
  using EMergeError::EMergeError;
};

class TOutputSplitter {
 public:
  // The host is asked for the save path again at each split. The layout and report outlive the splitter.
  TOutputSplitter(TMergeHost& host, TColumnLayout& layout, TRunReport& report)
      : host_(host), layout_(layout), report_(report) {}

  // Takes the save path for the run, before any input is read: refused when it cannot be written, or
  // when it or a continuation name it could take is one of the listed files.
  void Open(const std::filesystem::path& savePath, const std::vector<std::filesystem::path>& list,
            int headerRows, bool everySheet, bool classic, bool mark);
  TOutputFormat Format() const { return format_; }

  // A file begins: its rows are counted from here, for taking them back.
  void BeginFile();
  // A header row taken (headerIndex counts from 0), and a data row; counted: the sheet's data rows still
  // to come with this one, known where marks go into an output that cannot go back, else negative.
  void PutHeader(std::span<const TOutCell> taken, int headerIndex);
  void PutData(std::span<const TOutCell> taken, int64_t counted);
  // The end of the current sheet's rows in the current output: an output that can go back is given their
  // mark now, on the first of them.
  void FinishPart();
  // Writes the output being filled, if any: the run's end.
  void Finish();
  // Whether an output is being filled, and writing it after a failing file.
  bool Filling() const { return output_ != nullptr; }
  void WriteRest() { WriteOutput(outputRow_); }
  // The output being filled is dropped unwritten.
  void Drop();

  // Takes a failed file's rows back; the failure is told which rows could not be taken back.
  void TakeBack(bool fileGaveHeader, TFileFailure& failure);

  int32_t Splits() const { return splitNumber_; }
  bool Revisable() const { return revisable_; }
  int64_t FileRows() const { return fileRows_; }
  const std::vector<std::filesystem::path>& Written() const { return written_; }
  // The continuation files of the save path now in its folder that this run did not write.
  std::vector<std::filesystem::path> OlderOutputs() const;
  // The output that could not be written or would replace an input, or empty.
  const std::filesystem::path& FailedOutput() const { return failedOutput_; }

 private:
  std::filesystem::path CurrentSavePath();
  void BeginOutput();
  void PutRow(std::span<const TOutCell> row);
  void Split();
  void WriteOutput(uint32_t rows);
  EOutputError OutputFailure(TRunFailure::TWhat what, const std::filesystem::path& output, TErrorKind kind,
                             std::string why = {}, const std::filesystem::path& input = {});
  EOutputError OutOfMemoryWriting();

  TMergeHost& host_;
  TColumnLayout& layout_;
  TRunReport& report_;
  std::filesystem::path savePath_;  // resolved
  TOutputFormat format_ = ofXls;
  bool classic_ = true;
  int headerRows_ = 0;
  bool mark_ = false;
  uint32_t maxRows_ = 0;
  bool revisable_ = false;  // the output can take a cell into a row given before, and drop rows
  std::unique_ptr<TListedFiles> listed_;
  // The output being filled: null until a row needs it, and after each split.
  std::unique_ptr<TRowOutput> output_;
  std::filesystem::path outputName_;
  std::vector<std::filesystem::path> written_;
  uint32_t outputRow_ = 0;
  uint32_t outputHeaderRows_ = 0;  // the repeated header rows at the top of the current output
  int32_t splitNumber_ = 0;
  // The current sheet's rows in the current output, and the output row of the first of them.
  int64_t partRows_ = 0;
  uint32_t partFirstRow_ = 0;
  // The current file: its rows in all, and where they began.
  int64_t fileRows_ = 0;
  uint32_t fileFirstRow_ = 0;
  int32_t fileFirstSplit_ = 0;
  std::filesystem::path failedOutput_;
};

}  // namespace plicato
