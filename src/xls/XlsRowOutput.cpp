#include "xls/XlsRowOutput.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/LargeChunks.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"
#include "xls/CellRecordEncoding.h"
#include "xls/XLSWorkbookIO.h"
#include "xls/XLSWriter.h"

namespace plicato {

namespace {

namespace R = BIFFRecs;

constexpr uint32_t kRows = CapacityOf(ofXls).rows;
constexpr uint32_t kColumns = CapacityOf(ofXls).columns;
// The cell formats an output holds: a cell record carries its format's index in 16 bits, and xlrd reads
// it as a signed one, refusing the whole file past index 32,767.
constexpr int32_t kMaxCellFormats = 32768;

// The cell formats (XF records) a merge's numbers are shown with: the default cell format with the
// number's format set, made once per format and kept (this holds a use of it) while the workbook lives,
// so that its index never changes.
class TFormatXFs {
 public:
  explicit TFormatXFs(TXLSWorkbook& workbook) : workbook_(workbook) {}

  int Of(std::u16string_view format) {
    if (format.empty()) return kDefaultCellFormatIndex;
    if (format == lastFormat_) return lastIndex_;
    auto found = indexes_.find(std::u16string(format));
    int index = kDefaultCellFormatIndex;
    if (found != indexes_.end()) {
      index = found->second;
    } else {
      TCellFormats& formats = workbook_.CellFormats();
      TCellFormat copy(&formats, kDefaultCellFormatIndex);
      if (formats.Count() >= kMaxCellFormats) {
        ++leftOut_;  // the file holds no more: the number shows as General
      } else {
        try {
          const int32_t highestId = formats.NumberFormats().HighestId();
          copy.SetNumberFormatText(format);
          // A number format made just now is in no cell format yet: there is none to look for (a search
          // of them all for each of many formats was the whole time of the output).
          index = (copy.Body.NumberFormatId > highestId ? formats.AddCounted(copy)
                                                        : formats.FindOrAddCounted(copy))
                      ->Index();
        } catch (const EPlicatoError&) {
          // A code the format table cannot hold (longer than 255 characters): the number shows as General.
        }
      }
      indexes_.emplace(format, index);
    }
    lastFormat_.assign(format);
    lastIndex_ = index;
    return index;
  }

  // The number formats the output was given that it holds no cell format for.
  uint32_t LeftOut() const { return leftOut_; }

 private:
  TXLSWorkbook& workbook_;
  std::unordered_map<std::u16string, int> indexes_;
  uint32_t leftOut_ = 0;
  std::u16string lastFormat_;
  int lastIndex_ = kDefaultCellFormatIndex;
};

// The string table entries of texts that came with a key (see TTextKey): such a text is looked up in the
// table once while its key stays here, instead of once per cell. Direct-mapped: a key takes its slot from
// the key there before. Every entry here is held by a cell of the output, so the cache is emptied when
// cells go.
class TKeyedTexts {
 public:
  struct TSlot {
    TTextKey key;
    TSSTEntry* entry = nullptr;
    uint32_t id = 0;  // the output's own number for the entry, where it has one
  };

  const TSlot* Find(const TTextKey& key) const {
    const TSlot& slot = slots_[SlotOf(key)];
    return slot.entry && slot.key.source == key.source && slot.key.entry == key.entry ? &slot : nullptr;
  }
  void Remember(const TTextKey& key, TSSTEntry* entry, uint32_t id = 0) {
    slots_[SlotOf(key)] = {key, entry, id};
  }
  void Clear() { slots_.fill({}); }

 private:
  static size_t SlotOf(const TTextKey& key) {
    const auto bits = reinterpret_cast<uintptr_t>(key.entry);
    return ((bits >> 3) ^ (bits >> 15) ^ key.source * 0x9E3779B1u) & (kSlots - 1);
  }
  static constexpr size_t kSlots = 4096;
  std::array<TSlot, kSlots> slots_{};
};

// A classic merge's padded rows: 255 cells each, put into the first worksheet of the model.
class TXlsRowOutput : public TRevisableOutput {
 public:
  explicit TXlsRowOutput(const std::filesystem::path& path) : sheet_(workbook_.Sheets()[0]) {
    workbook_.Filename = FileNameFromPath(path);
  }

  uint32_t FormatsLeftOut() const override { return formats_.LeftOut(); }

  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    // A row given again would be written over cell by cell, mixing two rows' cells.
    if (row >= kRows || row < rows_) throw EXLSError(FormatMessage("[int] Row %u given out of order", row));
    int last = -1;
    for (const TOutCell& cell : cells) {
      Put(row, cell);
      last = cell.column;
    }
    const int end = std::min<int>(padTo_, kColumns);
    // The rest of the row is empty text, one text cell per column, put in one go.
    if (last + 1 < end) sheet_.PutEmptyTexts(last + 1, end - 1, static_cast<int>(row));
    rows_ = std::max(rows_, row + 1);
  }

  void PadRowsTo(uint16_t padTo) override { padTo_ = padTo; }
  void PutLateCell(uint32_t row, const TOutCell& cell) override { Put(row, cell); }
  void DropRows(uint32_t fromRow) override {
    if (fromRow >= rows_) return;
    keyed_.Clear();  // the entries it names may go with the rows
    sheet_.DeleteCells(0, kColumns - 1, static_cast<int>(fromRow), static_cast<int>(rows_ - 1));
    rows_ = fromRow;
  }

  void Commit() override {
    if (committed_) throw EXLSError("[int] The output is committed");
    WriteWorkbook(workbook_);
    committed_ = true;
  }

 private:
  void Put(uint32_t row, const TOutCell& cell) {
    const int r = static_cast<int>(row);
    switch (cell.kind) {
      case okText:
        if (cell.textKey.source != 0) {
          PutKeyedText(r, cell);
        } else {
          sheet_.PutText(cell.column, r, WithoutLoneSurrogates(cell.text, wellFormed_));
        }
        break;
      case okNumber:
        sheet_.PutFloat(cell.column, r, cell.number, formats_.Of(cell.format));
        break;
      case okBoolean:
        sheet_.PutBoolean(cell.column, r, cell.boolean, kDefaultCellFormatIndex);
        break;
      case okError:
        sheet_.PutError(cell.column, r, cell.error, kDefaultCellFormatIndex);
        break;
    }
  }

  void PutKeyedText(int row, const TOutCell& cell) {
    if (const TKeyedTexts::TSlot* known = keyed_.Find(cell.textKey)) {
      sheet_.PutSharedString(cell.column, row, known->entry, kDefaultCellFormatIndex);
      return;
    }
    TSSTEntry* entry = workbook_.SST().AddString(WithoutLoneSurrogates(cell.text, wellFormed_));
    try {
      sheet_.PutCountedString(cell.column, row, entry, kDefaultCellFormatIndex);
    } catch (...) {
      workbook_.SST().ReleaseEntry(entry);
      throw;
    }
    keyed_.Remember(cell.textKey, entry);
  }

  TXLSWorkbook workbook_;
  TSheet& sheet_;
  uint32_t rows_ = 0;  // one past the last row given
  uint16_t padTo_ = 0;
  bool committed_ = false;
  TFormatXFs formats_{workbook_};
  TKeyedTexts keyed_;
  std::u16string wellFormed_;  // a text's well-formed copy (xlrd refuses a workbook with a lone surrogate)
};

// A value-mode merge's rows: few cells a row, no padding. Each row is encoded into its cell records as it
// comes, so no cell model is built (a model costs some 700 bytes for a row of 20 cells, its records under
// 300, and writing it is a second pass over every cell); the records wait in memory until Commit writes
// them after the workbook's globals. A text record holds the output's own number for its entry until
// then, since an entry's number in the file is given out only as the SST is written. (A classic merge's
// rows stay with the model, whose bytes its outputs have always had.)
class TXlsRecordOutput : public TRevisableOutput, private TCellRecords {
 public:
  explicit TXlsRecordOutput(const std::filesystem::path& path) : sst_(workbook_.SST()) {
    workbook_.Filename = FileNameFromPath(path);
  }

  uint32_t FormatsLeftOut() const override { return formats_.LeftOut(); }

  void PutRow(uint32_t row, std::span<const TOutCell> cells) override {
    if (row >= kRows || (!rows_.empty() && row <= rows_.back().row))
      throw EXLSError(FormatMessage("[int] Row %u given out of order", row));
    scratch_.size = 0;
    try {
      int first = cells.empty() ? -1 : cells.front().column;
      int last = -1;
      for (const TOutCell& cell : cells) {
        Encode(row, cell, scratch_);
        last = cell.column;
      }
      FlushNumbers(scratch_);
      const int end = std::min<int>(padTo_, kColumns);
      if (last + 1 < end) {
        const int32_t count = end - last - 1;
        TSSTEntry* empty = sst_.AddEmptyStrings(count);
        uint32_t id = 0;
        try {
          id = IdOf(empty);
        } catch (...) {
          for (int32_t i = 0; i < count; ++i) sst_.ReleaseEntry(empty);
          throw;
        }
        for (int column = last + 1; column < end; ++column)
          LabelSst(scratch_, row, static_cast<uint32_t>(column), id);
        if (first < 0) first = last + 1;
        last = end - 1;
      }
      TRowSpan span{row};
      if (last >= 0) {
        span.firstColumn = static_cast<uint16_t>(first);
        span.lastColumn = static_cast<uint16_t>(last);
      }
      Store(span);
    } catch (...) {
      numbersCount_ = 0;
      ReleaseTexts(scratch_.begin(), scratch_.end());
      throw;
    }
  }

  void PadRowsTo(uint16_t padTo) override { padTo_ = padTo; }

  void PutLateCell(uint32_t row, const TOutCell& cell) override {
    scratch_.size = 0;
    try {
      Encode(row, cell, scratch_);
      FlushNumbers(scratch_);
      lates_.push_back({row, cell.column, {scratch_.begin(), scratch_.end()}});
    } catch (...) {
      numbersCount_ = 0;
      ReleaseTexts(scratch_.begin(), scratch_.end());
      throw;
    }
  }

  void DropRows(uint32_t fromRow) override {
    keyed_.Clear();  // the entries it names may go with the rows
    auto first = std::lower_bound(rows_.begin(), rows_.end(), fromRow,
                                  [](const TRowSpan& span, uint32_t r) { return span.row < r; });
    if (first != rows_.end()) {
      for (auto span = first; span != rows_.end(); ++span) {
        const uint8_t* data = chunks_[span->chunk].data;
        ReleaseTexts(data + span->begin, data + span->end);
      }
      while (chunks_.size() > first->chunk + 1) chunks_.pop_back();
      chunks_.back().used = first->begin;
      rows_.erase(first, rows_.end());
    }
    std::erase_if(lates_, [&](TLateCell& late) {
      if (late.row < fromRow) return false;
      ReleaseTexts(late.record.data(), late.record.data() + late.record.size());
      return true;
    });
  }

  void Commit() override {
    // While no entry has gone, the output's numbers are the entries' places in entries_: the SST is
    // written in that order, and the text records already hold their numbers.
    if (committed_) throw EXLSError("[int] The output is committed");
    sst_.SetWriteOrder(gone_ == 0 ? &entries_ : nullptr);
    WriteWorkbook(workbook_, *this);
    committed_ = true;
  }

 private:
  // The records of one row given: bytes [begin, end) of a chunk.
  struct TRowSpan {
    uint32_t row;
    uint16_t firstColumn = UINT16_MAX;  // UINT16_MAX: a row without cells
    uint16_t lastColumn = 0;
    uint32_t chunk = 0;
    uint32_t begin = 0;
    uint32_t end = 0;
  };
  // A cell added to a row given before.
  struct TLateCell {
    uint32_t row;
    uint16_t column;
    std::vector<uint8_t> record;
  };

  // Memory for the rows' records, a row never split between two (see LargeChunks.h).
  struct TChunk {
    uint8_t* data = AllocateChunk(kLargeChunkSize);
    size_t used = 0;
    TChunk() = default;
    TChunk(TChunk&& other) noexcept : data(std::exchange(other.data, nullptr)), used(other.used) {}
    TChunk& operator=(TChunk&&) = delete;
    ~TChunk() {
      if (data) FreeChunk(data, kLargeChunkSize);
    }
  };
  static constexpr uint32_t kFirstField = kRecordHeaderSize;  // a cell record's row, column, XF, value

  // The records of one row, built in place: a row of 256 cells takes at most 256 NUMBER records.
  struct TRowRecords {
    uint8_t bytes[256 * kNumberRecordSize];
    size_t size = 0;
    const uint8_t* begin() const { return bytes; }
    const uint8_t* end() const { return bytes + size; }
    uint8_t* End() { return bytes + size; }
    void Took(const uint8_t* to) { size = static_cast<size_t>(to - bytes); }
  };

  // A text record holding the output's number for its entry: the entry's SST number too while no entry
  // has gone (see Commit), else replaced by it as the records are written.
  static void LabelSst(TRowRecords& out, uint32_t row, uint32_t column, uint32_t id) {
    out.Took(EncodeLabelSstRecord(out.End(), row, column, kDefaultCellFormatIndex, id));
  }

  void Encode(uint32_t row, const TOutCell& cell, TRowRecords& out) {
    if (cell.column >= kColumns)
      throw EXLSError(FormatMessage("Invalid cell position %d:%d", cell.column, static_cast<int>(row)));
    if (cell.kind == okNumber) {
      const auto xf = static_cast<uint16_t>(formats_.Of(cell.format));
      if (const std::optional<uint32_t> rk = EncodeRK(cell.number)) {
        if (numbersCount_ > 0 && cell.column != numbersFirst_ + numbersCount_) FlushNumbers(out);
        if (numbersCount_ == 0) {
          numbersFirst_ = cell.column;
          numbersRow_ = row;
        }
        numberXFs_[numbersCount_] = xf;
        numberRKs_[numbersCount_++] = *rk;
        return;
      }
      FlushNumbers(out);
      out.Took(EncodeNumberRecord(out.End(), row, cell.column, xf, cell.number));
      return;
    }
    FlushNumbers(out);
    if (cell.kind == okText) {
      LabelSst(out, row, cell.column, TextId(cell));
      return;
    }
    const uint8_t value = cell.kind == okBoolean ? (cell.boolean ? 1 : 0) : BiffFromError(cell.error);
    out.Took(EncodeBoolErrRecord(out.End(), row, cell.column, kDefaultCellFormatIndex, value,
                                 cell.kind == okError));
  }

  // Numbers with an RK form in consecutive columns go out as one RK or MULRK record.
  void FlushNumbers(TRowRecords& out) {
    if (numbersCount_ == 0) return;
    if (numbersCount_ == 1)
      out.Took(EncodeRKRecord(out.End(), numbersRow_, numbersFirst_, numberXFs_[0], numberRKs_[0]));
    else
      out.Took(
          EncodeMulRKRecord(out.End(), numbersRow_, numbersFirst_, numberXFs_, numberRKs_, numbersCount_));
    numbersCount_ = 0;
  }

  // The output's number for the entry of the cell's text, with one more reference to the entry.
  uint32_t TextId(const TOutCell& cell) {
    if (cell.textKey.source != 0) {
      if (const TKeyedTexts::TSlot* known = keyed_.Find(cell.textKey)) {
        sst_.AddReference(known->entry);
        return known->id;
      }
    }
    TSSTEntry* entry = sst_.AddString(WithoutLoneSurrogates(cell.text, wellFormed_));
    uint32_t id = 0;
    try {
      id = IdOf(entry);
    } catch (...) {
      sst_.ReleaseEntry(entry);
      throw;
    }
    if (cell.textKey.source != 0) keyed_.Remember(cell.textKey, entry, id);
    return id;
  }
  uint32_t IdOf(TSSTEntry* entry) {
    const auto [at, added] = ids_.try_emplace(entry, static_cast<uint32_t>(entries_.size()));
    if (added) {
      try {
        entries_.push_back(entry);
      } catch (...) {
        ids_.erase(at);
        throw;
      }
    }
    return at->second;
  }
  // Gives back the reference of one text record; an entry no cell holds any more leaves the table.
  void Release(uint32_t id) {
    TSSTEntry* entry = entries_[id];
    if (sst_.ReleaseEntry(entry)) {
      ids_.erase(entry);
      entries_[id] = nullptr;
      ++gone_;
    }
  }
  void ReleaseTexts(const uint8_t* p, const uint8_t* end) {
    for (; p < end; p += kRecordHeaderSize + DecodeFixed16(p + 2))
      if (DecodeFixed16(p) == R::LABELSST) Release(DecodeFixed32(p + kFirstField + 6));
  }

  void Store(TRowSpan& span) {
    if (chunks_.empty() || chunks_.back().used + scratch_.size > kLargeChunkSize) chunks_.emplace_back();
    TChunk& chunk = chunks_.back();
    span.chunk = static_cast<uint32_t>(chunks_.size() - 1);
    span.begin = static_cast<uint32_t>(chunk.used);
    span.end = static_cast<uint32_t>(span.begin + scratch_.size);
    rows_.push_back(span);
    std::memcpy(chunk.data + chunk.used, scratch_.bytes, scratch_.size);
    chunk.used = span.end;
  }

  std::optional<TCellBounds> Bounds() const override {
    std::optional<TCellBounds> bounds;
    auto take = [&](uint32_t row, int32_t first, int32_t last) {
      const auto r = static_cast<int32_t>(row);
      if (!bounds) bounds = TCellBounds{first, last, r, r};
      bounds->firstColumn = std::min(bounds->firstColumn, first);
      bounds->lastColumn = std::max(bounds->lastColumn, last);
      bounds->firstRow = std::min(bounds->firstRow, r);
      bounds->lastRow = std::max(bounds->lastRow, r);
    };
    for (const TRowSpan& span : rows_)
      if (span.firstColumn != UINT16_MAX) take(span.row, span.firstColumn, span.lastColumn);
    for (const TLateCell& late : lates_) take(late.row, late.column, late.column);
    return bounds;
  }

  // The records in row order, each late cell among its row's records by column, and every text record
  // holding its entry's SST number: the numbers the output gave, when the SST is written in their order,
  // else the numbers the SST gave, written over them. Runs of whole rows go out in one piece.
  void WriteTo(TXLSStream& stream) override {
    std::stable_sort(lates_.begin(), lates_.end(), [](const TLateCell& a, const TLateCell& b) {
      return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    const bool numbered = gone_ == 0;
    auto number = [&](uint8_t* p, const uint8_t* end) {
      if (numbered) return;
      for (; p < end; p += kRecordHeaderSize + DecodeFixed16(p + 2))
        if (DecodeFixed16(p) == R::LABELSST)
          EncodeFixed32(p + kFirstField + 6, entries_[DecodeFixed32(p + kFirstField + 6)]->Index);
    };
    const uint8_t* pending = nullptr;
    const uint8_t* pendingEnd = nullptr;
    auto flush = [&] {
      if (pending != pendingEnd) stream.AppendRecords(pending, static_cast<size_t>(pendingEnd - pending));
      pending = pendingEnd = nullptr;
    };
    auto append = [&](const uint8_t* from, const uint8_t* to) {
      if (from == to) return;
      if (from != pendingEnd) {
        flush();
        pending = from;
      }
      pendingEnd = to;
    };
    auto writeLate = [&](TLateCell& late) {
      flush();
      number(late.record.data(), late.record.data() + late.record.size());
      stream.AppendRecords(late.record.data(), late.record.size());
    };
    size_t late = 0;
    for (const TRowSpan& span : rows_) {
      while (late < lates_.size() && lates_[late].row < span.row) writeLate(lates_[late++]);
      uint8_t* const begin = chunks_[span.chunk].data + span.begin;
      uint8_t* const end = chunks_[span.chunk].data + span.end;
      number(begin, end);
      // A late cell goes before the first record of a later column (it never falls inside a run of
      // numbers: those hold a cell in every column they span).
      uint8_t* from = begin;
      for (uint8_t* p = begin; p < end && late < lates_.size() && lates_[late].row == span.row;
           p += kRecordHeaderSize + DecodeFixed16(p + 2)) {
        while (late < lates_.size() && lates_[late].row == span.row &&
               lates_[late].column < DecodeFixed16(p + kFirstField + 2)) {
          append(from, p);
          from = p;
          writeLate(lates_[late++]);
        }
      }
      append(from, end);
      while (late < lates_.size() && lates_[late].row == span.row) writeLate(lates_[late++]);
    }
    while (late < lates_.size()) writeLate(lates_[late++]);
    flush();
  }

  TXLSWorkbook workbook_;
  TSST& sst_;
  TFormatXFs formats_{workbook_};
  TKeyedTexts keyed_;
  std::u16string wellFormed_;  // a text's well-formed copy (xlrd refuses a workbook with a lone surrogate)
  std::unordered_map<TSSTEntry*, uint32_t> ids_;  // the output's number of each entry its texts hold
  std::vector<TSSTEntry*> entries_;               // by that number; null for an entry gone
  size_t gone_ = 0;                               // entries gone
  std::vector<TChunk> chunks_;
  std::vector<TRowSpan> rows_;
  uint16_t padTo_ = 0;
  bool committed_ = false;
  std::vector<TLateCell> lates_;
  TRowRecords scratch_;  // the records of the row being given
  // A run of numbers with an RK form in consecutive columns not yet written (one RK or MULRK record).
  uint16_t numberXFs_[256];
  uint32_t numberRKs_[256];
  uint32_t numbersCount_ = 0;
  uint32_t numbersFirst_ = 0;
  uint32_t numbersRow_ = 0;
};

}  // namespace

std::unique_ptr<TRevisableOutput> MakeXlsOutput(const std::filesystem::path& path, bool paddedRows) {
  if (paddedRows) return std::make_unique<TXlsRowOutput>(path);
  return std::make_unique<TXlsRecordOutput>(path);
}

}  // namespace plicato
