// The cell records of a worksheet, the bulk of a workbook stream: a sheet has up to millions of them,
// written in one pass over the cell storage, row by row, with runs of numbers joined into MULRK records.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/CellRecordEncoding.h"
#include "xls/XLSWriter.h"

namespace plicato {

namespace {

namespace R = BIFFRecs;

constexpr uint32_t kMaxBody = kMaxRecordDataBiff8;

// The cell records, one function each. A sheet has up to millions of them: each is built straight
// into a buffer of whole records, which goes to the stream in large writes (the stream takes whole
// records as they are). Records too varied to build in place (texts,
// formulas) are assembled in one reused body first. Nothing of a record that fails reaches the buffer.
class TCellWriter {
 public:
  explicit TCellWriter(TXLSStream& stream) : stream_(stream), buffer_(new uint8_t[kBufferSize]) {
    body_.reserve(kMaxBody);
  }

  // Hands the buffered records to the stream; called at the end, and before a failure is passed on.
  void Flush() {
    if (used_ > 0) stream_.AppendRecords(buffer_.get(), used_);
    used_ = 0;
  }

  void WriteBlank(uint32_t row, uint32_t column, uint16_t xf) {
    uint8_t* p = Open(R::BLANK, 6);
    Head(p, row, column, xf);
  }

  // MULBLANK: row, first column, one XF per column, last column.
  void WriteBlankRun(uint32_t row, uint32_t first, const uint16_t* xfs, uint32_t count) {
    uint8_t* p = Open(R::MULBLANK, 6 + 2 * count);
    Head(p, row, first);
    p += 4;
    for (uint32_t i = 0; i < count; ++i, p += 2) EncodeFixed16(p, xfs[i]);
    EncodeFixed16(p, static_cast<uint16_t>(first + count - 1));
  }

  void WriteNumber(uint32_t row, uint32_t column, uint16_t xf, double number) {
    Took(EncodeNumberRecord(Room(kNumberRecordSize), row, column, xf, number));
  }

  void WriteRK(uint32_t row, uint32_t column, uint16_t xf, uint32_t rk) {
    Took(EncodeRKRecord(Room(kRKRecordSize), row, column, xf, rk));
  }

  void WriteMulRK(uint32_t row, uint32_t first, const uint16_t* xfs, const uint32_t* rks, uint32_t count) {
    Took(EncodeMulRKRecord(Room(MulRKRecordSize(count)), row, first, xfs, rks, count));
  }

  void WriteLabelSst(uint32_t row, uint32_t column, uint16_t xf, uint32_t sstIndex) {
    Took(EncodeLabelSstRecord(Room(kLabelSstRecordSize), row, column, xf, sstIndex));
  }

  // LABEL: a cell text held in the cell record itself, with 8-bit characters when all of them fit.
  void WriteLabel(uint32_t row, uint32_t column, uint16_t xf, const std::u16string& text) {
    const size_t bytes = FitsIn8Bits(text) ? text.size() : 2 * text.size();
    if (text.size() > 0xFFFF || 9 + bytes > kMaxBody)
      throw EXLSError(FormatMessage("Cell text of %zu characters is too long", text.size()));
    BodyHead(row, column, xf);
    PutBiffString(body_, text, /*shortCount=*/false, /*allowNarrow=*/true);
    Append(R::LABEL, body_);
  }

  void WriteBoolErr(uint32_t row, uint32_t column, uint16_t xf, uint8_t value, bool error) {
    Took(EncodeBoolErrRecord(Room(kBoolErrRecordSize), row, column, xf, value, error));
  }

  void WriteFormula(const TSheet& sheet, uint32_t row, uint32_t column, uint16_t xf, const TCell& cell) {
    const TFormulaData* data = cell.Formula();
    if (!data) throw EXLSError("[int] Formula cell without its formula");
    const size_t exprLength = data->expression.size();
    if (exprLength > kMaxBody - 22)
      throw EXLSError(FormatMessage("Formula of %zu bytes does not fit in one record", exprLength));
    BodyHead(row, column, xf);
    uint8_t result[8];
    switch (cell.kind) {
      case ckNumberFormula:
      case ckNumberArrayFormula:
        std::memcpy(result, data->result, 8);
        break;
      case ckBooleanFormula: {
        const uint8_t bytes[8] = {1, 0, data->small, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(result, bytes, 8);
        break;
      }
      case ckErrorFormula: {
        const uint8_t code = BiffFromError(static_cast<TCellError>(data->small));
        const uint8_t bytes[8] = {2, 0, code, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(result, bytes, 8);
        break;
      }
      default: {  // text results: the text follows in a STRING record; 3 marks the empty text
        const uint8_t bytes[8] = {
            static_cast<uint8_t>(data->text.empty() ? 3 : 0), 0, 0, 0, 0, 0, 0xFF, 0xFF};
        std::memcpy(result, bytes, 8);
        break;
      }
    }
    body_.insert(body_.end(), result, result + 8);
    PutFixed16(body_, sheet.RecalcFormulas ? 0x0002 : 0);
    PutFixed32(body_, 0);
    PutFixed16(body_, static_cast<uint16_t>(data->tokenLength));
    body_.insert(body_.end(), data->expression.begin(), data->expression.end());
    Append(R::FORMULA, body_);

    if (IsArrayFormulaKind(cell.kind)) {
      if (data->arrayFlag == 0) Append(R::ARRAY, data->arrayBody);
      if (cell.kind == ckStringArrayFormula) WriteString(data->text);
      return;
    }
    // The first cell of an array with a boolean or error result, and the first cell of a data table,
    // carry their record; a text result's STRING comes after it.
    if (!data->arrayBody.empty() && data->arrayFlag == 0) Append(R::ARRAY, data->arrayBody);
    if (!data->tableBody.empty()) Append(R::TABLE, data->tableBody);
    if (cell.kind == ckStringFormula) WriteString(data->text);
  }

  // STRING: the cached text of a formula. A text too long for one record goes on in CONTINUE records,
  // each starting with its own flag byte, and never splits a character.
  void WriteString(const std::u16string& text) {
    if (text.empty()) return;
    if (text.size() > 0xFFFF)
      throw EXLSError(FormatMessage("Formula text of %zu characters is too long", text.size()));
    const std::u16string_view all(text);
    size_t chars = std::min<size_t>(text.size(), (kMaxBody - 3) / 2);
    body_.clear();
    PutBiffString(body_, all.substr(0, chars));
    EncodeFixed16(body_.data(), static_cast<uint16_t>(text.size()));  // the count is of the whole text
    Append(R::STRING, body_);
    for (size_t done = chars; done < text.size(); done += chars) {
      chars = std::min<size_t>(text.size() - done, (kMaxBody - 1) / 2);
      body_.clear();
      PutFixed8(body_, 1);
      PutBiffChars(body_, all.substr(done, chars), /*wide=*/true);
      Append(R::CONTINUE, body_);
    }
  }

 private:
  // Room for the largest record twice over, and then some: a flush every few thousand cells.
  static constexpr size_t kBufferSize = 64 << 10;

  // Room for a whole record of up to this many bytes at the buffer's end, and the end of the record
  // written there.
  uint8_t* Room(uint32_t bytes) {
    if (used_ + bytes > kBufferSize) Flush();
    return buffer_.get() + used_;
  }
  void Took(const uint8_t* end) { used_ = static_cast<size_t>(end - buffer_.get()); }
  // Begins a record of a body length up to kMaxBody in the buffer: writes its header and returns where
  // its body goes.
  uint8_t* Open(uint16_t id, uint32_t length) {
    if (used_ + kRecordHeaderSize + length > kBufferSize) Flush();
    uint8_t* p = buffer_.get() + used_;
    EncodeFixed16(p, id);
    EncodeFixed16(p + 2, static_cast<uint16_t>(length));
    used_ += kRecordHeaderSize + length;
    return p + kRecordHeaderSize;
  }
  // The row and column (the first column of a run) and, for one cell, its XF.
  static void Head(uint8_t* p, uint32_t row, uint32_t column) {
    EncodeFixed16(p, static_cast<uint16_t>(row));
    EncodeFixed16(p + 2, static_cast<uint16_t>(column));
  }
  static void Head(uint8_t* p, uint32_t row, uint32_t column, uint16_t xf) {
    Head(p, row, column);
    EncodeFixed16(p + 4, xf);
  }
  void BodyHead(uint32_t row, uint32_t column, uint16_t xf) {
    body_.clear();
    PutFixed16(body_, static_cast<uint16_t>(row));
    PutFixed16(body_, static_cast<uint16_t>(column));
    PutFixed16(body_, xf);
  }
  // One record of any body length; a body longer than a record goes on in CONTINUE records, as the
  // stream's AppendRecord would write it.
  void Append(uint16_t id, const std::vector<uint8_t>& body) {
    const uint8_t* data = body.data();
    size_t left = body.size();
    uint16_t pieceId = id;
    do {
      const auto piece = static_cast<uint32_t>(std::min<size_t>(left, kMaxBody));
      uint8_t* p = Open(pieceId, piece);
      if (piece > 0) std::memcpy(p, data, piece);
      data += piece;
      left -= piece;
      pieceId = R::CONTINUE;
    } while (left > 0);
  }

  TXLSStream& stream_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t used_ = 0;
  std::vector<uint8_t> body_;
};

// Numbers with an RK form in consecutive columns of one row, written as one RK or MULRK record.
class TRKCache {
 public:
  // False when the column does not continue the run (the caller then flushes and writes NUMBER).
  bool Accept(uint32_t rk, uint16_t xf, int32_t column, uint16_t row) {
    if (count_ > 255) throw EXLSError("RK Cache overflow");
    if (count_ == 0) {
      first_ = column;
      row_ = row;
    } else if (column != last_ + 1) {
      return false;
    }
    xf_[count_] = xf;
    rk_[count_] = rk;
    ++count_;
    last_ = column;
    return true;
  }

  // Called for every cell: the empty cache returns at once, inline.
  void Flush(TCellWriter& out) {
    if (count_ != 0) WriteOut(out);
  }

 private:
  void WriteOut(TCellWriter& out) {
    if (count_ == 1)
      out.WriteRK(row_, static_cast<uint32_t>(first_), xf_[0], rk_[0]);
    else
      out.WriteMulRK(row_, static_cast<uint32_t>(first_), xf_, rk_, static_cast<uint32_t>(count_));
    count_ = 0;
    first_ = last_ = -1;
  }

  uint16_t row_ = 0;
  int32_t first_ = -1;
  int32_t last_ = -1;
  int32_t count_ = 0;
  uint16_t xf_[256];
  uint32_t rk_[256];
};

// What a cell puts into the file: its own kind and value, or, for a formula written as its value, the
// cell kind of its cached result with that result.
struct TWrittenValue {
  TCellKind kind = ckNone;
  double number = 0;
  uint8_t small = 0;                     // boolean value, or TCellError
  const std::u16string* text = nullptr;  // a formula's text result (else the cell's shared string)
  bool fromFormula = false;
};

const std::u16string kNoText;

TWrittenValue FormulaAsValue(const TCell& cell) {
  const TFormulaData* data = cell.Formula();
  if (!data) throw EXLSError("[int] Formula cell without its formula");
  TWrittenValue v;
  v.fromFormula = true;
  switch (cell.kind) {
    case ckNumberFormula:
    case ckNumberArrayFormula: {
      // The first cell of an array formula with a boolean, error or text result keeps the result bytes
      // of its file, which mark that result instead of holding a number.
      const uint8_t* r = data->result;
      if (r[6] == 0xFF && r[7] == 0xFF) {
        switch (r[0]) {
          case 1:
            v.kind = ckBoolean;
            v.small = r[2] != 0 ? 1 : 0;
            return v;
          case 2:
            v.kind = ckError;
            v.small = ErrorFromBiff(r[2]);
            return v;
          default:
            v.kind = ckString;
            v.text = &kNoText;
            return v;
        }
      }
      v.kind = ckFloat;
      v.number = cell.FormulaNumber();
      return v;
    }
    case ckStringFormula:
    case ckStringArrayFormula:
      v.kind = ckString;
      v.text = &data->text;
      return v;
    case ckBooleanFormula:
      v.kind = ckBoolean;
      v.small = data->small != 0 ? 1 : 0;
      return v;
    default:
      v.kind = ckError;
      v.small = data->small;
      return v;
  }
}

// A formula whose token count runs past the bytes it holds (read from a damaged record of an older
// layout): as a FORMULA record it would claim bytes it does not have, and no reader would take the file.
// Its cached value is written instead.
bool TokensPastExpression(const TCell& cell) {
  const TFormulaData* data = cell.Formula();
  return data && data->tokenLength > data->expression.size();
}

TWrittenValue CellValue(const TCell& cell) {
  TWrittenValue v;
  v.kind = cell.kind;
  v.small = cell.small;
  if (cell.kind == ckFloat || cell.kind == ckInteger) v.number = cell.Number();
  return v;
}

}  // namespace

// Long on purpose: the loop every written cell goes through, one case per kind of value, its caches (the
// last format, the pending RK run) local to it so the hot path stays in one place.
void TXLSWriter::WriteCells(TSheet& sheet, TExcelVersion version, TXLSStream& stream) {
  TCellStorage& cells = sheet.Cells();
  const TCellFormats& formats = workbook_.CellFormats();
  TCellWriter out(stream);
  TRKCache rkCache;
  const std::function<void(int)>& onProgress = workbook_.OnProgress;
  const int sheetCount = std::max(1, workbook_.Sheets().Count());
  const uint32_t rowsForProgress = std::max<uint32_t>(1, std::min<uint32_t>(progressRows_, 65536));

  // Nearly every cell of a sheet shares one format: remember the last handle's XF index.
  uint32_t lastHandle = kNoFormatHandle;
  uint16_t lastXF = kDefaultCellFormatIndex;
  auto xfOf = [&](uint32_t handle) -> uint16_t {
    if (handle != lastHandle) {
      const TCellFormat* format = formats.ByHandle(handle);
      lastXF = static_cast<uint16_t>(WrittenFormatIndex(sheet, version, format ? format->Index() : -1));
      lastHandle = handle;
    }
    return lastXF;
  };

  // The formulas of a workbook read from a file before BIFF8 hold that version's tokens: such cells are
  // written as their cached values.
  const bool formulasAsValues = OldSource();

  int ordinal = 0;
  try {
    uint32_t previousRow = UINT32_MAX;
    cells.BeginIteration();
    for (TCellRef ref = cells.NextCell(); ref; ref = cells.NextCell()) {
      ++ordinal;
      const uint32_t row = KeyRow(ref.key);
      const uint32_t column = KeyColumn(ref.key);
      const TCell& cell = *ref.cell;
      // Cell blocks lie in the order they were made, which for a sheet filled row by row is this order:
      // ask for the cells a few blocks ahead before they are needed (a hint; any address will do).
      __builtin_prefetch(reinterpret_cast<const char*>(ref.cell) + 1024);
      if (row != previousRow) {
        rkCache.Flush(out);
        previousRow = row;
      }
      if (cell.kind == ckString) {
        // Most cells: a shared string.
        rkCache.Flush(out);
        const TSSTEntry* entry = cell.Entry();
        if (!entry) throw EXLSError("[int] Text cell without its string");
        out.WriteLabelSst(row, column, xfOf(cell.format), entry->Index);
      } else {
        const TWrittenValue value =
            IsFormulaKind(cell.kind) && (formulasAsValues || TokensPastExpression(cell))
                ? FormulaAsValue(cell)
                : CellValue(cell);
        if (value.kind != ckInteger && value.kind != ckFloat) rkCache.Flush(out);
        const uint16_t xf = xfOf(cell.format);

        switch (value.kind) {
          case ckString: {
            // A formula's text result has no shared string: written in the cell record itself.
            out.WriteLabel(row, column, xf, value.text ? *value.text : kNoText);
            break;
          }
          case ckBlank: {
            uint16_t xfs[256];
            uint32_t count = 0;
            xfs[count++] = xf;
            uint32_t last = column;
            for (TCellRef blank = cells.NextAdjacentBlank(); blank; blank = cells.NextAdjacentBlank()) {
              if (KeyRow(blank.key) != row || KeyColumn(blank.key) != last + 1)
                throw EXLSError("Row error in writing MULBLANK");
              xfs[count++] = xfOf(blank.cell->format);
              last = KeyColumn(blank.key);
            }
            if (count == 1)
              out.WriteBlank(row, column, xf);
            else
              out.WriteBlankRun(row, column, xfs, count);
            break;
          }
          case ckInteger:  // never created; its value would be held as a double like any number
          case ckFloat: {
            const double number = value.number;
            if (const std::optional<uint32_t> rk = EncodeRK(number);
                rk && rkCache.Accept(*rk, xf, static_cast<int32_t>(column), static_cast<uint16_t>(row)))
              break;
            rkCache.Flush(out);
            out.WriteNumber(row, column, xf, number);
            break;
          }
          case ckBoolean: {
            out.WriteBoolErr(row, column, xf, value.small, false);
            break;
          }
          case ckError: {
            // A formula's result without a known error value writes #N/A, as its FORMULA record would.
            const auto error = static_cast<TCellError>(value.small);
            if (error == ceNone && !value.fromFormula)
              throw EXLSError(FormatMessage("Invalid error value in cell %d:%d", static_cast<int>(row),
                                            static_cast<int>(column)));
            out.WriteBoolErr(row, column, xf, BiffFromError(error), true);
            break;
          }
          default:
            if (!IsFormulaKind(cell.kind))
              throw EXLSError(FormatMessage("[int] Unknown cell type %d", static_cast<int>(cell.kind)));
            out.WriteFormula(sheet, row, column, xf, cell);
            break;
        }
      }

      if (onProgress && ordinal % 100 == 0) {
        const int percent =
            static_cast<int>((static_cast<uint64_t>(sheetIndex_) * rowsForProgress + row + 1) * 100 /
                             (static_cast<uint64_t>(sheetCount) * rowsForProgress));
        if (percent > lastProgress_) {
          lastProgress_ = percent;
          onProgress(std::min(percent, 100));
        }
      }
    }
    rkCache.Flush(out);
    out.Flush();
  } catch (const std::exception& failure) {
    // The records before the failing one are written, as each would have been on its own; the failure
    // reported stays the first one.
    try {
      out.Flush();
    } catch (const std::exception&) {
    }
    throw EXLSError(WrapMessage(ordinal, failure), KindOf(failure));
  }
}

}  // namespace plicato
