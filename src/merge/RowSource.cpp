#include "merge/RowSource.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>

#include "biff/Errors.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace {

constexpr uint32_t kXlsColumns = 256;
constexpr uint16_t kWsBoolDialog = 0x0010;  // WSBOOL fDialog: a dialog sheet, stored as a worksheet

class TXlsBook : public TInputBook {
 public:
  explicit TXlsBook(std::unique_ptr<TXLSWorkbook> workbook)
      : workbook_(std::move(workbook)), serial_(++serials) {
    // The worksheets (and modules) in their order, with the chart sheets at their places among them.
    TSheets& sheets = workbook_->Sheets();
    const std::vector<TChartSheet>& charts = workbook_->ChartSheets();
    const size_t total = static_cast<size_t>(sheets.Count()) + charts.size();
    size_t nextSheet = 0, nextChart = 0;
    for (size_t position = 0; position < total; ++position) {
      const bool chart =
          nextChart < charts.size() && (static_cast<size_t>(charts[nextChart].position) <= position ||
                                        nextSheet >= static_cast<size_t>(sheets.Count()));
      if (chart) {
        sheets_.push_back({charts[nextChart++].name, false});
        models_.push_back(-1);
      } else {
        TSheet& sheet = sheets[static_cast<int>(nextSheet)];
        const bool worksheet = sheet.Kind() == 0 && (sheet.Records().WsBool() & kWsBoolDialog) == 0;
        sheets_.push_back({sheet.Name(), worksheet});
        models_.push_back(static_cast<int>(nextSheet++));
      }
    }
  }

  const std::vector<TInSheet>& Sheets() const override { return sheets_; }

  void SelectSheet(size_t index) override {
    if (index >= sheets_.size() || models_[index] < 0) throw EXLSError("Not a worksheet", ekSheetMissing);
    sheet_ = &workbook_->Sheets()[models_[index]];
    row_ = 0;
    end_ = sheet_->Cells().IsEmpty() ? 0 : static_cast<uint32_t>(sheet_->Cells().CalcBounds().lastRow) + 1;
  }

  bool NextRow(TInRow& row) override {
    uint32_t stored = 0;
    if (!NextStoredRow(row.index, stored)) return false;
    ++rowStamp_;
    row.cells.clear();
    row.lastColumnOut = 0;
    for (uint32_t column = 0; column < stored; ++column) {
      const TCell* cell = cells_[column];
      if (!cell) continue;
      if (column >= columnLimit_) {
        if (cell->kind != ckBlank) row.lastColumnOut = column + 1;
        continue;
      }
      TInCell& in = row.cells.emplace_back();
      in.column = static_cast<uint16_t>(column);
      Convert(*cell, in, texts_[column]);
    }
    return true;
  }

  bool SkipRow(uint32_t& index, bool& holdsValue) override {
    uint32_t stored = 0;
    if (!NextStoredRow(index, stored)) return false;
    holdsValue = false;
    for (uint32_t column = 0; column < stored && !holdsValue; ++column) {
      const TCell* cell = cells_[column];
      if (!cell || cell->kind == ckBlank) continue;
      if (cell->kind == ckString) {
        holdsValue = !TSST::EntryIsEmpty(cell->entry);
      } else if (cell->kind == ckStringFormula || cell->kind == ckStringArrayFormula) {
        holdsValue = !cell->formula->text.empty();
      } else {
        holdsValue = true;
      }
    }
    return true;
  }

  bool Date1904() const override { return workbook_->Workbook().Date1904(); }

 private:
  // The next row with a stored cell: its index and the count RowCells gives for it.
  bool NextStoredRow(uint32_t& index, uint32_t& stored) {
    while (sheet_ && row_ < end_) {
      index = row_++;
      // The row's cells are looked up once, for the tests and the copy alike.
      stored = sheet_->Cells().RowCells(index, cells_.data(), kXlsColumns);
      if (stored > 0) return true;
    }
    return false;
  }

  // The text of a string entry, valid until the next NextRow. The texts of the entries met lately are
  // kept by entry: the cells of a sheet mostly repeat texts met in rows before, and widening an entry's
  // characters again for every cell was a large share of the merge's own work. An entry whose place in
  // the cache a text of the same row holds is spelled into the column's own text instead.
  std::u16string_view EntryText(const TSSTEntry* entry, std::u16string& own) {
    const auto bits = reinterpret_cast<uintptr_t>(entry);
    TEntryText& slot = entryTexts_[((bits >> 3) ^ (bits >> 15)) % entryTexts_.size()];
    if (slot.entry != entry) {
      if (slot.row == rowStamp_) {
        own.clear();
        TSST::AppendEntryText(entry, own);
        return own;
      }
      slot.entry = entry;
      slot.text.clear();
      TSST::AppendEntryText(entry, slot.text);
    }
    slot.row = rowStamp_;
    return slot.text;
  }

  void Convert(const TCell& cell, TInCell& in, std::u16string& text) {
    switch (cell.kind) {
      case ckFloat:
        in.kind = ikNumber;
        in.number = cell.number;
        in.format = FormatText(cell.format);
        break;
      case ckString:
        in.kind = ikText;
        in.text = EntryText(cell.entry, text);
        in.textKey = TTextKey{serial_, cell.entry};
        break;
      case ckBoolean:
        in.kind = ikBoolean;
        in.boolean = cell.Boolean();
        break;
      case ckError:
        in.kind = ikError;
        in.error = cell.Error();
        break;
      case ckNumberFormula:
      case ckNumberArrayFormula:
        in.kind = ikNumber;
        in.formula = true;
        in.number = cell.FormulaNumber();
        in.format = FormatText(cell.format);
        break;
      case ckStringFormula:
      case ckStringArrayFormula:
        in.kind = ikText;
        in.formula = true;
        in.text = cell.formula->text;
        break;
      case ckBooleanFormula:
        in.kind = ikBoolean;
        in.formula = true;
        in.boolean = cell.formula->small != 0;
        break;
      case ckErrorFormula:
        in.kind = ikError;
        in.formula = true;
        in.error = static_cast<TCellError>(cell.formula->small);
        break;
      default:
        in.kind = ikBlank;
        break;
    }
  }

  // The number format code of a cell format, empty for General; looked up once per format.
  std::u16string_view FormatText(uint32_t handle) {
    if (handle >= formats_.size()) formats_.resize(handle + 1);
    TFormatText& known = formats_[handle];
    if (!known.looked) {
      known.looked = true;
      if (const TCellFormat* format = workbook_->CellFormats().ByHandle(handle)) {
        known.text = format->NumberFormatText();
        if (known.text == u"General" || known.text == u"GENERAL") known.text.clear();
      }
    }
    return known.text;
  }

  // Books are made on more than one thread (the next file is read ahead).
  static inline std::atomic<uint64_t> serials{0};

  std::unique_ptr<TXLSWorkbook> workbook_;
  const uint64_t serial_;  // the source of the keys of its texts: its entries
  std::vector<TInSheet> sheets_;
  std::vector<int> models_;  // per entry of sheets_: its index in the model's sheets, -1 for a chart
  TSheet* sheet_ = nullptr;
  uint32_t row_ = 0;  // the next row to look at
  uint32_t end_ = 0;  // one past the sheet's last row
  std::array<TCell*, kXlsColumns> cells_{};
  std::array<std::u16string, kXlsColumns> texts_;
  struct TEntryText {
    const TSSTEntry* entry = nullptr;
    uint32_t row = 0;  // the rowStamp_ of the last row that used it
    std::u16string text;
  };
  std::vector<TEntryText> entryTexts_ = std::vector<TEntryText>(4096);
  uint32_t rowStamp_ = 0;  // counts the rows given
  struct TFormatText {
    bool looked = false;
    std::u16string text;
  };
  // By cell format handle. A deque, so that growing it leaves the texts already handed out in place.
  std::deque<TFormatText> formats_;
};

class TXlsxBook : public TInputBook {
 public:
  explicit TXlsxBook(const std::filesystem::path& path) : reader_(path) {
    for (const TXlsxSheetEntry& entry : reader_.Sheets()) sheets_.push_back({entry.name, entry.worksheet});
  }

  const std::vector<TInSheet>& Sheets() const override { return sheets_; }

  void SelectSheet(size_t index) override {
    reader_.SelectSheet(index);
    ended_ = false;
  }

  bool NextRow(TInRow& row) override {
    if (!Read()) return false;
    row.index = row_.index;
    row.cells.clear();
    row.lastColumnOut = 0;
    for (const TXlsxCell& cell : row_.cells) {
      if (cell.column >= columnLimit_) {
        if (cell.kind != xkBlank) row.lastColumnOut = cell.column + 1u;
        continue;
      }
      TInCell& in = row.cells.emplace_back();
      in.column = cell.column;
      in.formula = cell.formula;
      switch (cell.kind) {
        case xkBlank:
          in.kind = ikBlank;
          break;
        case xkNumber:
          in.kind = ikNumber;
          in.number = cell.number;
          in.format = cell.format;
          break;
        case xkText:
          in.kind = ikText;
          in.text = cell.text;
          break;
        case xkBoolean:
          in.kind = ikBoolean;
          in.boolean = cell.boolean;
          break;
        case xkError:
          in.kind = ikError;
          in.error = cell.error;
          in.text = cell.text;
          break;
      }
    }
    return true;
  }

  bool SkipRow(uint32_t& index, bool& holdsValue) override {
    if (!Read()) return false;
    index = row_.index;
    holdsValue = std::any_of(row_.cells.begin(), row_.cells.end(), [](const TXlsxCell& cell) {
      return cell.kind != xkBlank && !(cell.kind == xkText && cell.text.empty());
    });
    return true;
  }

  bool Date1904() const override { return reader_.Date1904(); }

 private:
  // Once ended the reader is not asked again until a sheet is selected.
  bool Read() {
    if (ended_) return false;
    ended_ = !reader_.NextRow(row_);
    return !ended_;
  }

  TXlsxSheetReader reader_;
  std::vector<TInSheet> sheets_;
  TXlsxRow row_;
  bool ended_ = false;
};

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

}  // namespace

std::unique_ptr<TInputBook> MakeXlsBook(std::unique_ptr<TXLSWorkbook> workbook) {
  return std::make_unique<TXlsBook>(std::move(workbook));
}

std::unique_ptr<TInputBook> MakeXlsxBook(const std::filesystem::path& path) {
  return std::make_unique<TXlsxBook>(path);
}

bool IsDateFormat(std::u16string_view format) {
  bool dayOrYear = false, month = false, time = false;
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = Lower(format[i]);
    if (c == u'"') {
      while (++i < format.size() && format[i] != u'"') {
      }
    } else if (c == u'\\' || c == u'_' || c == u'*') {
      ++i;  // an escaped character, the width of one, or the fill character
    } else if (c == u'[') {
      const size_t end = std::min(format.find(u']', i + 1), format.size());
      const std::u16string_view inside = format.substr(i + 1, end - i - 1);
      // [h], [mm], [ss]: elapsed time, whatever follows it ("[h]:mm" is hours and minutes, not a month): a
      // duration is the same count of days in either date system. Anything else there is a colour, a
      // condition or a locale.
      if (!inside.empty() && inside.find_first_not_of(inside[0]) == std::u16string_view::npos &&
          std::u16string_view(u"hHmMsS").find(inside[0]) != std::u16string_view::npos)
        return false;
      i = end;
    } else if (c == u'd' || c == u'y') {
      dayOrYear = true;
    } else if (c == u'm') {
      month = true;
    } else if (c == u'h' || c == u's') {
      time = true;
    }
  }
  // An m beside hours or seconds is minutes ("h:mm", "mm:ss"), and AM/PM holds one too.
  return dayOrYear || (month && !time);
}

}  // namespace plicato
