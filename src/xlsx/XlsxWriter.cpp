#include "xlsx/XlsxWriter.h"

#include <locale.h>
#include <xlsxwriter.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "biff/OutputFile.h"
#include "workbook/NumberFormatText.h"

namespace plicato {
namespace {

constexpr uint32_t kMaxRows = LXW_ROW_MAX;     // 1,048,576
constexpr uint32_t kMaxColumns = LXW_COL_MAX;  // 16,384
constexpr size_t kMaxTextUnits = 32767;        // the most a cell holds
// The worksheet data past which the package needs ZIP64: 4 GiB less room for the part's head and tail.
constexpr uint64_t kZip64Threshold = (uint64_t{1} << 32) - (uint64_t{1} << 20);

// libxlsxwriter prints numbers with printf's "%.16G", which follows LC_NUMERIC: a process whose locale
// writes "1,5" would write a damaged file. The C locale is put in place for this thread alone while the
// library runs.
class TCLocale {
 public:
  TCLocale() {
    static const locale_t kC = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    previous_ = kC ? ::uselocale(kC) : static_cast<locale_t>(0);
  }
  ~TCLocale() {
    if (previous_) ::uselocale(previous_);
  }
  TCLocale(const TCLocale&) = delete;
  TCLocale& operator=(const TCLocale&) = delete;

 private:
  locale_t previous_;
};

// UTF-16 to UTF-8, at most maxUnits UTF-16 units, a surrogate pair never split; U+0000, which would end
// the library's C string, becomes U+FFFD as lone surrogates do.
void ToUtf8Into(std::string& out, std::u16string_view text, size_t maxUnits) {
  if (text.size() > maxUnits) {
    const bool splitsPair = text[maxUnits - 1] >= 0xD800 && text[maxUnits - 1] <= 0xDBFF;
    text = text.substr(0, splitsPair ? maxUnits - 1 : maxUnits);
  }
  out.clear();
  AppendUtf8(out, text);
  for (size_t nul = out.find('\0'); nul != std::string::npos; nul = out.find('\0', nul))
    out.replace(nul, 1, "\xEF\xBF\xBD");
}

struct TFormatHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>()(s); }
};

class TXlsxOutput final : public TRowOutput {
 public:
  // The library writes the package by name to the replacement's temporary file, which Commit renames
  // over the target.
  explicit TXlsxOutput(const std::filesystem::path& target)
      : target_(target),
        file_(std::make_unique<cfb::TReplacement>(target)),
        temporaryName_(file_->TempPath().native()) {
    // The library's temporary files (the worksheet's data, the parts of the package) go beside the
    // target, on the disk that must hold the output anyway, not on a /tmp that may be small.
    const std::filesystem::path folder = file_->TempPath().parent_path();
    tmpdir_ = folder.empty() ? std::string(".") : folder.native();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = tmpdir_.data();
    // Excel 2007 and some readers refuse ZIP64: it is asked for at Commit only when the sheet needs it.
    options.use_zip64 = LXW_FALSE;
    TCLocale c;
    errno = 0;
    workbook_ = workbook_new_opt(temporaryName_.c_str(), &options);
    if (!workbook_) throw Abandon("the library could not start the workbook", errno);
    sheet_ = workbook_add_worksheet(workbook_, nullptr);
    if (!sheet_) throw Abandon("the library could not make the worksheet's temporary file", errno);
  }

  ~TXlsxOutput() override { FreeWorkbook(); }  // and file_ removes its temporary file

  uint32_t MaxRows() const override { return kMaxRows; }
  uint32_t MaxColumns() const override { return kMaxColumns; }

  void PutRow(uint32_t row, std::span<const TOutCell> cells, uint16_t /*padTo*/) override {
    Usable();
    if (row >= kMaxRows) throw Fail("[int] a row past the last row of a worksheet");
    if (started_ && row <= lastRow_) throw Fail("[int] rows out of order");
    // Checked before any cell of the row goes to the library, so that a refused row leaves no part of it.
    for (size_t i = 0; i < cells.size(); ++i)
      if (cells[i].column >= kMaxColumns || (i > 0 && cells[i].column <= cells[i - 1].column))
        throw Fail("[int] columns out of order");
    started_ = true;
    lastRow_ = row;
    TCLocale c;
    // A write of the row before this one that fails does so among this row's calls: errno then says why.
    errno = 0;
    for (const TOutCell& cell : cells) {
      lxw_error error = LXW_NO_ERROR;
      switch (cell.kind) {
        case okText:
          if (cell.text.empty()) continue;
          ToUtf8Into(text_, cell.text, kMaxTextUnits);
          error = worksheet_write_string(sheet_, row, cell.column, text_.c_str(), nullptr);
          break;
        case okNumber:
          if (!std::isfinite(cell.number)) {
            error = WriteError(row, cell.column, ceNum);
          } else {
            error = worksheet_write_number(sheet_, row, cell.column, cell.number == 0 ? 0.0 : cell.number,
                                           FormatOf(cell.format));
          }
          break;
        case okBoolean:
          error = worksheet_write_boolean(sheet_, row, cell.column, cell.boolean ? 1 : 0, nullptr);
          break;
        case okError:
          error = WriteError(row, cell.column, cell.error == ceNone ? ceNA : cell.error);
          break;
      }
      if (error != LXW_NO_ERROR) throw Abandon(lxw_strerror(error), 0);
    }
    // The rows before this one are in the library's data file: a write that failed there is found now, not
    // when the package is assembled, with what the system said (a full disk, a file size limit).
    if (std::ferror(sheet_->file)) throw Abandon("cannot write the worksheet's data", errno ? errno : ENOSPC);
  }

  void Commit() override {
    Usable();
    TCLocale c;
    // The last row, still in memory, goes to the data file, and the file is flushed: the library
    // checks neither, so a failure there is found here.
    lxw_worksheet_write_single_row(sheet_);
    errno = 0;
    if (std::fflush(sheet_->file) != 0 || std::ferror(sheet_->file))
      throw Abandon("cannot write the worksheet's data", errno ? errno : ENOSPC);
    // A sheet part past 4 GB (some 150 million cells) has no place in a plain zip archive: ZIP64 then,
    // which the package is assembled with at close.
    const off_t sheetBytes = ::ftello(sheet_->file);
    if (sheetBytes < 0 || static_cast<uint64_t>(sheetBytes) > kZip64Threshold)
      workbook_->options.use_zip64 = LXW_TRUE;
    errno = 0;
    sheet_ = nullptr;
    const lxw_error error = workbook_close(std::exchange(workbook_, nullptr));
    if (error != LXW_NO_ERROR) {
      // The library also prints its own line on stderr. A failure of a file operation says its reason
      // in errno better than the library's text ("Usually a permissions error").
      const int reason = errno;
      const bool fileError = error == LXW_ERROR_CREATING_XLSX_FILE || error == LXW_ERROR_CREATING_TMPFILE ||
                             error == LXW_ERROR_READING_TMPFILE || error == LXW_ERROR_ZIP_FILE_OPERATION;
      if (fileError && reason != 0) throw Abandon(std::strerror(reason), 0);
      throw Abandon(lxw_strerror(error), reason);
    }
    try {
      file_->Commit();
    } catch (const EFileError&) {
      abandoned_ = "the output could not be put in place";
      throw;
    }
    abandoned_ = "[int] the output is committed";
  }

 private:
  EFileError Fail(const std::string& reason) const {
    return EFileError(FormatMessage("Cannot write file \"%s\": %s", target_.string().c_str(), reason.c_str()),
                      ekOutputUnwritable);
  }

  void Usable() const {
    if (!abandoned_.empty()) throw Fail(abandoned_);
  }

  // Ends the output at a failure: the library's workbook and the temporary file go at once, and the
  // reason stays for any later use.
  EFileError Abandon(const std::string& reason, int error) {
    std::string text = reason;
    if (error != 0) text += std::string(" (") + std::strerror(error) + ")";
    FreeWorkbook();
    file_.reset();  // removes the temporary file
    abandoned_ = text;
    return Fail(text);
  }

  // Gives up the library's workbook unwritten. Freeing it leaves the worksheet's data file open (only
  // assembling the package closes it): closed here, so that its descriptor and its disk space, which may
  // be hundreds of megabytes of an unlinked file, go now rather than when the process ends.
  void FreeWorkbook() noexcept {
    if (sheet_ && sheet_->optimize_tmpfile) {
      std::fclose(sheet_->optimize_tmpfile);
      sheet_->optimize_tmpfile = nullptr;
      sheet_->file = nullptr;
    }
    sheet_ = nullptr;
    if (workbook_) lxw_workbook_free(std::exchange(workbook_, nullptr));
  }

  lxw_error WriteError(uint32_t row, uint16_t column, TCellError value) {
    const std::u16string_view name = ErrorText(value);
    std::string text(name.begin(), name.end());  // ASCII
    const std::string formula = "=" + text;
    return worksheet_write_formula_str(sheet_, row, column, formula.c_str(), nullptr, text.c_str());
  }

  // The format of a number format code, made once per code; null for General.
  lxw_format* FormatOf(std::u16string_view code) {
    if (IsGeneralFormat(code)) return nullptr;
    if (code == lastCode_) return lastFormat_;
    auto it = formats_.find(code);
    if (it == formats_.end()) {
      lxw_format* format = workbook_add_format(workbook_);
      if (!format) throw Abandon(lxw_strerror(LXW_ERROR_MEMORY_MALLOC_FAILED), 0);
      ToUtf8Into(text_, code, SIZE_MAX);
      format_set_num_format(format, text_.c_str());
      it = formats_.emplace(std::u16string(code), format).first;
    }
    lastCode_ = it->first;
    lastFormat_ = it->second;
    return lastFormat_;
  }

  std::filesystem::path target_;  // as given, for messages
  std::unique_ptr<cfb::TReplacement> file_;
  std::string temporaryName_;
  std::string tmpdir_;
  lxw_workbook* workbook_ = nullptr;
  lxw_worksheet* sheet_ = nullptr;
  std::unordered_map<std::u16string, lxw_format*, TFormatHash, std::equal_to<>> formats_;
  std::u16string_view lastCode_;  // a key of formats_
  lxw_format* lastFormat_ = nullptr;
  std::string text_;
  uint32_t lastRow_ = 0;
  bool started_ = false;
  std::string abandoned_;  // why the output can no longer be used
};

}  // namespace

std::unique_ptr<TRowOutput> MakeXlsxOutput(const std::filesystem::path& target) {
  return std::make_unique<TXlsxOutput>(target);
}

}  // namespace plicato
