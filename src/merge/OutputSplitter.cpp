#include "merge/OutputSplitter.h"

#include <algorithm>

#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "merge/MergeEngine.h"

namespace plicato {

namespace fs = std::filesystem;

void TOutputSplitter::Open(const fs::path& savePath, const std::vector<fs::path>& list, int headerRows,
                           bool everySheet, bool classic, bool mark) {
  savePath_ = savePath;
  try {
    cfb::CheckOutputWritable(savePath_);  // before any input is read, not after all of them
  } catch (const std::exception&) {
    failedOutput_ = savePath_;
    throw;
  }
  format_ = OutputFormatOf(savePath_);
  // Refused before anything is read: the output would replace an input that is still to be merged.
  if (auto clash = FindOutputClash(savePath_, list, headerRows, everySheet)) {
    failedOutput_ = clash->output;
    TRunFailure failure;
    failure.what = TRunFailure::rfClash;
    failure.output = clash->output;
    failure.input = clash->input;
    failure.beforeAnyInput = true;
    throw EMergeError(std::move(failure), ekOutputClash);
  }
  listed_ = std::make_unique<TListedFiles>(list);
  classic_ = classic;
  headerRows_ = headerRows;
  mark_ = mark;
  maxRows_ = OutputRowsOf(format_);
  revisable_ = OutputRevisable(format_);
}

void TOutputSplitter::BeginFile() {
  partRows_ = 0;
  fileRows_ = 0;
  fileFirstRow_ = output_ ? outputRow_ : 0;
  fileFirstSplit_ = splitNumber_;
}

// The save path a continuation output is named after: read again at each split. A path of another format
// than the run's is not followed: the run's outputs stay of one format.
fs::path TOutputSplitter::CurrentSavePath() {
  fs::path path = ResolveSavePath(host_.SavePathAtSplit());
  return !path.empty() && OutputFormatOf(path) == format_ ? path : savePath_;
}

// Begins the output a row needs: the save path or the next continuation name, checked against the list
// when it is taken, and on a continuation the header rows first.
void TOutputSplitter::BeginOutput() {
  if (output_) return;
  const fs::path name = splitNumber_ == 0 ? savePath_ : ContinuationName(CurrentSavePath(), splitNumber_);
  if (const fs::path* input = listed_->Find(name))
    throw OutputFailure(TRunFailure::rfClash, name, ekOutputClash, {}, *input);
  outputName_ = name;
  output_ = MakeRowOutput(format_, name, layout_.PadTo(), static_cast<uint32_t>(headerRows_));
  outputRow_ = 0;
  if (splitNumber_ > 0) {
    for (size_t i = 0; i < layout_.StoredHeaders(); ++i)
      PutRow(layout_.Assemble(layout_.StoredHeader(i), static_cast<int>(i), true, -1));
  }
  outputHeaderRows_ = outputRow_;
}

// Writes the row as the current output's next row.
void TOutputSplitter::PutRow(std::span<const TOutCell> row) {
  try {
    output_->PutRow(outputRow_, row);
  } catch (const EFileError& e) {
    throw OutputFailure(TRunFailure::rfUnwritable, outputName_, ekOutputUnwritable, e.what());
  } catch (const std::exception& e) {
    if (KindOf(e) == ekOutOfMemory) throw OutOfMemoryWriting();
    throw;
  }
  ++outputRow_;
  ++fileRows_;
  if (!report_.FormatsNoted() && output_->FormatsLeftOut() > 0) report_.NoteFormatsLeftOut();
}

void TOutputSplitter::PutHeader(std::span<const TOutCell> taken, int headerIndex) {
  BeginOutput();
  PutRow(layout_.Assemble(taken, headerIndex, true, -1));
  if (outputRow_ >= maxRows_) Split();
}

void TOutputSplitter::PutData(std::span<const TOutCell> taken, int64_t counted) {
  BeginOutput();
  int64_t mark = -1;
  if (partRows_ == 0) {
    partFirstRow_ = outputRow_;
    // An output that cannot go back is given the mark with the row: the rows this output will hold.
    if (mark_ && !revisable_) mark = std::min<int64_t>(counted, maxRows_ - outputRow_);
  }
  PutRow(layout_.Assemble(taken, 0, false, mark));
  ++partRows_;
  if (outputRow_ >= maxRows_) Split();
}

void TOutputSplitter::FinishPart() {
  if (mark_ && revisable_ && partRows_ > 0 && output_) output_->Revisable()->PutLateCell(partFirstRow_, layout_.MarkCell(partRows_));
  partRows_ = 0;
  partFirstRow_ = 0;
}

void TOutputSplitter::Split() {
  // The output is full: mark the part of the current sheet it holds and write it; the next output is
  // begun by the next row that needs it.
  FinishPart();
  const uint32_t rows = outputRow_;
  outputRow_ = 0;
  outputHeaderRows_ = 0;
  ++splitNumber_;
  WriteOutput(rows);
}

void TOutputSplitter::Finish() {
  if (!output_) return;
  FinishPart();
  WriteOutput(outputRow_);
}

void TOutputSplitter::Drop() {
  output_.reset();
  ReleaseFreedMemory();
}

// The output being filled could not be given the memory it asked for: it is dropped unwritten.
EOutputError TOutputSplitter::OutOfMemoryWriting() {
  return OutputFailure(TRunFailure::rfOutOfMemoryWriting, outputName_, ekOutOfMemory);
}

EOutputError TOutputSplitter::OutputFailure(TRunFailure::TWhat what, const fs::path& output, TErrorKind kind,
                                            std::string why, const fs::path& input) {
  failedOutput_ = output;
  TRunFailure failure;
  failure.what = what;
  failure.output = output;
  failure.input = input;
  failure.file.words = std::move(why);
  return EOutputError(std::move(failure), kind);
}

void TOutputSplitter::WriteOutput(uint32_t rows) {
  // Room to record the output before it is put in place: once it is, nothing may fail before a failure
  // message could say that it was written.
  fs::path name = outputName_;
  written_.reserve(written_.size() + 1);
  std::unique_ptr<TRowOutput> output = std::move(output_);
  try {
    output->Commit();
  } catch (const std::exception& e) {
    output.reset();
    ReleaseFreedMemory();
    if (KindOf(e) == ekOutOfMemory) throw OutOfMemoryWriting();
    throw OutputFailure(TRunFailure::rfUnwritable, outputName_, ekOutputUnwritable, e.what());
  }
  // The cells of a full .xls output are hundreds of megabytes: they go back to the system, not just to
  // the heap.
  output.reset();
  ReleaseFreedMemory();
  written_.push_back(std::move(name));
  report_.Value().rowsWritten += rows;
}

// A file that failed after some of its rows were taken (a streamed sheet damaged further down) gives
// none: its rows leave the current output where it can drop them, and an output that cannot drop them is
// dropped whole when it holds nothing else (no earlier file's rows are lost by it). Rows in an output
// already written stay there; the failure is told where rows stayed.
void TOutputSplitter::TakeBack(bool fileGaveHeader, TFileFailure& failure) {
  if (output_) {
    const uint32_t from = splitNumber_ == fileFirstSplit_ ? fileFirstRow_ : outputHeaderRows_;
    if (outputRow_ > from) {
      if (revisable_ || from <= outputHeaderRows_) {
        if (revisable_) output_->Revisable()->DropRows(from);
        outputRow_ = from;
        // Header rows it gave that no written output holds go with it: the next file gives them.
        if (fileGaveHeader && splitNumber_ == 0) layout_.ForgetHeader();
      } else {
        failure.rowsStayIn = outputName_;
      }
    }
    // An output holding nothing of its own once more is not begun: a failure before any row leaves the
    // target alone.
    if (outputRow_ <= outputHeaderRows_) output_.reset();
  }
  layout_.EndHeader();
  if (splitNumber_ > fileFirstSplit_) failure.rowsWrittenTo = written_.back();
  partRows_ = 0;
  fileRows_ = 0;
}

std::vector<fs::path> TOutputSplitter::OlderOutputs() const {
  std::vector<fs::path> older;
  for (fs::path& name : ExistingContinuations(savePath_))
    if (std::find(written_.begin(), written_.end(), name) == written_.end()) older.push_back(std::move(name));
  return older;
}

}  // namespace plicato
