#include "merge/output/CsvOutput.h"

#include <cmath>
#include <cstring>
#include <string>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "workbook/NumberFormatText.h"
#include "workbook/NumberText.h"

namespace plicato {

void AppendCsvField(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string CsvField(const std::string& text) {
  std::string field;
  AppendCsvField(field, text);
  return field;
}

namespace {

class TCsvFileOutput final : public TRowOutput {
 public:
  explicit TCsvFileOutput(const std::filesystem::path& target)
      : target_(target), file_(cfb::TOutput::ToFile(target)) {
    buffer_.reserve(kBufferSize + 4096);
    buffer_ = "\xEF\xBB\xBF";  // the byte-order mark
  }

  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    if (committed_) throw Fail("[int] the output is committed");
    if (started_ && row < nextRow_) throw Fail("[int] rows out of order");
    // Checked before anything of the row is written, so that a refused row leaves no part of it.
    for (size_t i = 0; i < cells.size(); ++i)
      if (cells[i].column >= kMaxColumns || (i > 0 && cells[i].column <= cells[i - 1].column))
        throw Fail("[int] columns out of order");
    // The rows not given before it are empty lines.
    for (; nextRow_ < row; ++nextRow_) {
      buffer_ += "\r\n";
      if (buffer_.size() >= kBufferSize) Flush();
    }
    uint32_t column = 0;
    for (const TOutCell& cell : cells) {
      // An empty text is an empty field: the row ends at its last cell with something to show.
      if (cell.kind == okText && cell.text.empty()) continue;
      buffer_.append(cell.column - column, ',');
      column = cell.column;
      AppendCell(cell);
    }
    buffer_ += "\r\n";
    nextRow_ = row + 1;
    started_ = true;
    if (buffer_.size() >= kBufferSize) Flush();
  }

  void Commit() override {
    if (committed_) throw Fail("[int] the output is committed");
    Flush();
    file_->Commit();
    committed_ = true;
  }

 private:
  static constexpr uint32_t kMaxColumns = CapacityOf(ofCsv).columns;
  static constexpr size_t kBufferSize = 1 << 20;

  EFileError Fail(const char* reason) const {
    return EFileError(FormatMessage("Cannot write file \"%s\": %s", target_.string().c_str(), reason),
                      ekOutputUnwritable);
  }

  void AppendCell(const TOutCell& cell) {
    switch (cell.kind) {
      case okText: {
        field_.clear();
        AppendUtf8(field_, cell.text);
        AppendCsvField(buffer_, field_);
        return;
      }
      case okNumber:
        if (IsGeneralFormat(cell.format)) {
          buffer_ += ShortestNumberText(cell.number);
        } else {
          AppendCsvField(buffer_, FormattedNumberText(cell.number, cell.format));
        }
        return;
      case okBoolean:
        buffer_ += cell.boolean ? "TRUE" : "FALSE";
        return;
      case okError:
        AppendUtf8(buffer_, cell.error == ceNone ? u"#N/A" : ErrorText(cell.error));
        return;
    }
  }

  void Flush() {
    if (buffer_.empty()) return;
    file_->Append(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size()));
    buffer_.clear();
  }

  std::filesystem::path target_;
  std::unique_ptr<cfb::TOutput> file_;  // the temporary file beside the target, renamed over it on Commit
  std::string buffer_;
  std::string field_;
  uint32_t nextRow_ = 0;  // the row after the last one written
  bool started_ = false;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<TRowOutput> MakeCsvOutput(const std::filesystem::path& target) {
  return std::make_unique<TCsvFileOutput>(target);
}

}  // namespace plicato
