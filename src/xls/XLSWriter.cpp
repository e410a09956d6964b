#include "xls/XLSWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>

#include "biff/BIFFString.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

namespace R = BIFFRecs;

constexpr uint32_t kMaxBody = kMaxRecordDataBiff8;

// Fixed record sizes.
constexpr uint16_t kFilePassLength = TXLSStream::kFilePassSize;

// A failure while one record or cell is written, named by its number.
std::string WrapMessage(int number, const std::exception& failure) {
  return FormatMessage("Error on writing record # %d", number) + "\r" + failure.what();
}

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
    uint8_t* p = Open(R::NUMBER, 14);
    Head(p, row, column, xf);
    EncodeDouble(p + 6, number);
  }

  void WriteRK(uint32_t row, uint32_t column, uint16_t xf, uint32_t rk) {
    uint8_t* p = Open(R::RK, 10);
    Head(p, row, column, xf);
    EncodeFixed32(p + 6, rk);
  }

  // MULRK: row, first column, an XF and RK value per column, last column.
  void WriteMulRK(uint32_t row, uint32_t first, const uint16_t* xfs, const uint32_t* rks, uint32_t count) {
    uint8_t* p = Open(R::MULRK, 6 + 6 * count);
    Head(p, row, first);
    p += 4;
    for (uint32_t i = 0; i < count; ++i, p += 6) {
      EncodeFixed16(p, xfs[i]);
      EncodeFixed32(p + 2, rks[i]);
    }
    EncodeFixed16(p, static_cast<uint16_t>(first + count - 1));
  }

  void WriteLabelSst(uint32_t row, uint32_t column, uint16_t xf, uint32_t sstIndex) {
    uint8_t* p = Open(R::LABELSST, 10);
    Head(p, row, column, xf);
    EncodeFixed32(p + 6, sstIndex);
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

  // BOOLERR: the value (a boolean, or a BIFF error code) and whether it is an error.
  void WriteBoolErr(uint32_t row, uint32_t column, uint16_t xf, uint8_t value, bool error) {
    uint8_t* p = Open(R::BOOLERR, 8);
    Head(p, row, column, xf);
    p[6] = value;
    p[7] = error ? 1 : 0;
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

TWrittenValue CellValue(const TCell& cell) {
  TWrittenValue v;
  v.kind = cell.kind;
  v.small = cell.small;
  if (cell.kind == ckFloat || cell.kind == ckInteger) v.number = cell.Number();
  return v;
}

// Kept records whose layout is the same in BIFF5 (or before) and BIFF8. INTERFACEHDR is converted.
bool SameLayoutInBiff8(uint16_t id) {
  switch (id) {
    case R::WINDOW1:  // further windows on the workbook
    case R::SELECTION:
    case R::PANE:
    case R::SCL:
    case R::PASSWORD:
    case R::WSBOOL:
    case R::OBJPROTECT:
    case R::SCENPROTECT:
    case R::STANDARDWIDTH:
    case R::INTERFACEHDR:
    case R::MMS:
    case R::INTERFACEEND:
      return true;
    default:
      return false;
  }
}

// Picks the entries of a stored list of a workbook read from a file before BIFF8 that go out (see the
// class comment), in list order. A substream embedded in the list (a chart of a sheet's drawing, kept
// between its own BOF and EOF) goes with the drawing objects it belongs to, which are left out too.
//
// The list's own BOF is its first BOF and its own EOF its last EOF, which is always written. An embedded
// substream that a damaged file never closed takes the records after it: of those only the ones the
// reader added for the list itself when the list ended go out (placeholders, and the typed records the
// list refers to).
class TOldRecordFilter {
 public:
  explicit TOldRecordFilter(const TRecordStorageDefault& list) : list_(list) {
    for (int pos = list.Count() - 1; pos >= 0; --pos) {
      const TStoredRecord* entry = list.EntryAt(pos);
      if (entry && entry->Id() == R::EOF_) {
        ownEOF_ = pos;
        break;
      }
    }
  }

  bool Keeps(int pos, const TStoredRecord& entry) {
    const uint16_t id = entry.Id();
    if (R::IsBOF(id)) {
      if (!ownBOF_) {
        ownBOF_ = true;
        return true;
      }
      ++depth_;
      return false;
    }
    if (id == R::EOF_) {
      if (pos == ownEOF_) return true;
      if (depth_ > 0) --depth_;
      return false;  // an embedded substream's, or a stray one that would end the list early
    }
    if ((id & 0x8000) != 0) return true;  // placeholders: generated from the model
    if (depth_ > 0) return list_.HasTypedField(id) && list_.Current(id) == &entry;
    return list_.HasTypedField(id) || SameLayoutInBiff8(id);
  }

 private:
  const TRecordStorageDefault& list_;
  int ownEOF_ = -1;
  bool ownBOF_ = false;
  int depth_ = 0;
};

}  // namespace

int TXLSWriter::WrittenFormatIndex(const TSheet& /*sheet*/, TExcelVersion /*version*/, int formatIndex) {
  return formatIndex < 0 ? kDefaultCellFormatIndex : formatIndex;
}

// ---------------------------------------------------------------------------------------------------------
// The writer

TXLSWriter::TXLSWriter(TXLSWorkbook& workbook)
    : workbook_(workbook), stream_(std::make_unique<TXLSStream>()) {}

TXLSWriter::~TXLSWriter() = default;

void TXLSWriter::WriteWordRecord(uint16_t id, uint16_t value) {
  std::vector<uint8_t> body;
  PutFixed16(body, value);
  stream_->AppendRecord(id, body);
}

void TXLSWriter::WriteWorkbook(std::vector<uint8_t>* destination) {
  TXLSStream& stream = *stream_;
  sheetList_.clear();
  try {
    BuildSheetList();
    stream.SetExtraObjects(&workbook_.ExtraObjects());
    stream.SetDestMemory(destination);
    stream.SetPreserveMacros(workbook_.PreserveMacros);
    stream.OpenWrite(PathFromFileName(workbook_.Filename), xvExcel97);

    if (workbook_.Globals().Count() == 0) workbook_.Globals().MaterializeDefaults();
    WriteGlobals();
    // In BOUNDSHEET order: a chart sheet's substream stands where its sheet stands.
    for (const TBoundsheetData& entry : sheetList_) {
      if (entry.kind == 1)
        WriteChartSheet(entry);
      else
        WriteSheet(entry.index);
    }

    // The stream encrypts what it hands on from the FILEPASS written after the first BOF on.
    if (!workbook_.Password.empty() && !stream.Encrypting())
      throw EXLSError("[int] No encryption key: the FILEPASS record was not made");
    // The macro project of a file read is carried with its other parts; this writes one only when the
    // stream was given a project object.
    if (workbook_.PreserveMacros) stream.WriteVbaStorage();
    stream.Close();
  } catch (...) {
    // The output replaces the target only on Close: abandoning drops the partial workbook and leaves
    // any existing file untouched. A failure of the output itself (a full disk) is reported as such,
    // not as a failure of the record whose write it interrupted.
    const std::exception_ptr outputFailure = stream.OutputFailure();
    stream.Abandon();
    sheetList_.clear();
    if (outputFailure) std::rethrow_exception(outputFailure);
    throw;
  }
  sheetList_.clear();
}

void TXLSWriter::BuildSheetList() {
  // The worksheets in order, with the chart sheets of a workbook read from a file put back at their
  // places among them (those beyond the last worksheet after it).
  TSheets& sheets = workbook_.Sheets();
  const std::vector<TChartSheet>& charts = workbook_.ChartSheets();
  size_t chart = 0;
  auto addCharts = [&](int upTo) {
    for (; chart < charts.size() && charts[chart].position <= upTo; ++chart) {
      TBoundsheetData entry;
      entry.kind = 1;
      entry.index = static_cast<int32_t>(chart);
      entry.name = charts[chart].name;
      entry.visibility = charts[chart].visibility;
      sheetList_.push_back(std::move(entry));
    }
  };
  const int selectedTab = workbook_.Workbook().SelectedTab();
  for (int i = 0; i < sheets.Count(); ++i) {
    addCharts(static_cast<int>(sheetList_.size()));
    const int position = static_cast<int>(sheetList_.size());  // the tab order counts chart sheets
    TSheet& sheet = sheets.Item(i);
    if (TStoredRecord* window2 = sheet.Records().Window2(); window2 && window2->Holds(0, 2)) {
      uint16_t options = DecodeFixed16(window2->Data());
      if (sheet.PaneKind == 1) options |= kWindow2FrozenPanes | kWindow2FrozenNoSplit;
      if (position == selectedTab)
        options |= kWindow2Selected;
      else
        options &= static_cast<uint16_t>(~kWindow2Selected);
      EncodeFixed16(window2->Data(), options);
    }
    TBoundsheetData entry;
    switch (sheet.Kind()) {
      case 1:
        entry.kind = 2;
        break;  // VB module
      case 2:
        entry.kind = 3;
        break;  // macro sheet
      default:
        entry.kind = 0;
        break;
    }
    entry.index = i;
    entry.name = sheet.Name();
    entry.visibility = sheet.Hidden;
    sheetList_.push_back(std::move(entry));
  }
  addCharts(INT32_MAX);
}

// ---------------------------------------------------------------------------------------------------------
// Globals

bool TXLSWriter::OldSource() const {
  return workbook_.Version() < xvExcel97;
}

void TXLSWriter::WriteGlobals() {
  TRecordStorageGlobals& globals = workbook_.Globals();
  const bool old = OldSource();
  TOldRecordFilter filter(globals);
  for (int pos = 0; pos < globals.Count(); ++pos) {
    if (old) {
      const TStoredRecord* entry = globals.EntryAt(pos);
      if (!entry || !filter.Keeps(pos, *entry)) continue;
    }
    try {
      WriteGlobalsEntry(pos);
    } catch (const std::exception& failure) {
      throw EXLSError(WrapMessage(pos, failure), KindOf(failure));
    }
  }
}

void TXLSWriter::WriteGlobalsEntry(int pos) {
  TRecordStorageGlobals& globals = workbook_.Globals();
  const TStoredRecord* entry = globals.EntryAt(pos);
  if (!entry) return;
  switch (entry->Id()) {
    case R::WRITEACCESS: {
      globals.WriteEntry(pos, *stream_);
      const std::vector<uint8_t>& sharing = workbook_.FileSharing().Data();
      if (sharing.size() > 1) {
        if (sharing.size() > kMaxBody)
          throw EXLSError(FormatMessage("File sharing data of %zu bytes is too long", sharing.size()));
        if (OldSource())
          WriteOldFileSharing(sharing);
        else
          stream_->AppendRecord(R::FILESHARING, sharing);
      }
      break;
    }
    case R::CODEPAGE:
    case R::INTERFACEHDR:
      // An older file names its 8-bit code page; the texts of the BIFF8 output are all Unicode. (An
      // older INTERFACEHDR is empty, a BIFF8 one names the code page.)
      if (OldSource())
        WriteWordRecord(entry->Id(), kCodePageUtf16);
      else
        globals.WriteEntry(pos, *stream_);
      break;
    case R::OBPROJ:
      // OBPROJ announces a macro project: written only where the project goes along, since Excel
      // reports a file that announces a project it lacks as damaged.
      if (workbook_.PreserveMacros && stream_->CarriesVbaStorage()) globals.WriteEntry(pos, *stream_);
      break;
    case R::TABID:
      // A macro project with modules would add OBPROJ here; this system keeps none.
      WriteTabId(pos);
      break;
    case R::BOF:
      globals.WriteEntry(pos, *stream_);
      if (entry->Holds(2, 2) && DecodeFixed16(entry->Data() + 2) == R::BOF_GLOBALS &&
          !workbook_.Password.empty())
        WriteFilePass();
      break;
    case R::FILEPASS:
      // The encryption of the file that was read says nothing about this one: a password set for
      // writing brings its own FILEPASS after the BOF, and a kept one would claim an encryption that
      // is not there.
      break;
    case R::PH_FORMATS:
      WriteFormatRecords();
      break;
    case R::PH_BOUNDSHEETS:
      WriteBoundsheets();
      break;
    case R::PH_NAMES:         // external references and names: this system keeps none
    case R::PH_DRAWINGGROUP:  // drawings: none either
      break;
    case R::PH_SST:
      workbook_.SST().WriteSST(*stream_);
      break;
    default:
      // Placeholders are never written themselves; everything else goes out byte for byte.
      if ((entry->Id() & 0x8000) == 0) globals.WriteEntry(pos, *stream_);
      break;
  }
}

void TXLSWriter::WriteOldFileSharing(const std::vector<uint8_t>& data) {
  // Before BIFF8: read-only flag, password hash, then the user name as a 16-bit count and 8-bit
  // characters in the file's code page. BIFF8 puts the string's flag byte before the characters.
  if (data.size() < 6 || DecodeFixed16(data.data() + 4) == 0) {
    stream_->AppendRecord(
        R::FILESHARING, std::vector<uint8_t>(data.begin(), data.begin() + std::min<size_t>(data.size(), 6)));
    return;
  }
  const size_t count = std::min<size_t>(DecodeFixed16(data.data() + 4), data.size() - 6);
  const std::u16string name = DecodeCodePage(data.data() + 6, count, workbook_.CodePage);
  const size_t length = 7 + (FitsIn8Bits(name) ? name.size() : 2 * name.size());
  if (length > kMaxBody) throw EXLSError(FormatMessage("File sharing data of %zu bytes is too long", length));
  std::vector<uint8_t> body(data.begin(), data.begin() + 4);
  PutBiffString(body, name, /*shortCount=*/false, /*allowNarrow=*/true);
  stream_->AppendRecord(R::FILESHARING, body);
}

void TXLSWriter::WriteFilePass() {
  std::vector<uint8_t> filePass(kFilePassLength);
  stream_->MakeFilePass(filePass.data(), workbook_.Password);
  stream_->AppendRecord(R::FILEPASS, filePass);
  if (workbook_.Globals().IndexOf(R::INTERFACEHDR) < 0) {
    WriteWordRecord(R::INTERFACEHDR, kCodePageUtf16);
    WriteWordRecord(R::MMS, 0);
    stream_->AppendRecord(R::INTERFACEEND, {});
  }
}

void TXLSWriter::WriteTabId(int pos) {
  TRecordStorageGlobals& globals = workbook_.Globals();
  if (globals.EntryAt(pos)->Length() > 0) {
    globals.WriteEntry(pos, *stream_);
    return;
  }
  const int count = static_cast<int>(sheetList_.size());
  std::vector<uint8_t> body;
  for (int i = 0; i < count; ++i) PutFixed16(body, static_cast<uint16_t>(i + 1));
  // More sheets than one record holds go on in CONTINUE records.
  stream_->AppendRecord(R::TABID, body);
}

void TXLSWriter::WriteFormatRecords() {
  TXLSStream& stream = *stream_;
  workbook_.Fonts().WriteFontRecords(stream);
  workbook_.NumberFormats().WriteFormatRecords(stream);
  workbook_.CellFormats().WriteXFRecords(stream);
  if (workbook_.NotRead())
    TCellFormats::WriteDefaultStyles(stream);
  else
    workbook_.Styles().Write(stream);
  workbook_.Colors().WritePaletteRecord(stream);
}

void TXLSWriter::WriteBoundsheets() {
  for (TBoundsheetData& entry : sheetList_) {
    const size_t chars = entry.name.size();
    if (chars > 255) throw EXLSError(FormatMessage("Sheet name of %zu characters is too long", chars));
    std::vector<uint8_t> body;
    PutFixed32(body, 0);  // the sheet's stream position, patched when its BOF is written
    PutFixed8(body, entry.visibility);
    PutFixed8(body, kBoundsheetType[entry.kind & 0x03]);
    PutBiffString(body, entry.name, /*shortCount=*/true);  // always 16-bit characters
    entry.position = static_cast<int64_t>(stream_->Position() + kRecordHeaderSize);
    stream_->AppendRecord(R::BOUNDSHEET, body);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Worksheets

void TXLSWriter::WriteSheet(int sheetIndex) {
  sheetIndex_ = sheetIndex;
  TSheet& sheet = workbook_.Sheets().Item(sheetIndex);
  TRecordStorageSheet& records = sheet.Records();

  records.SetProtect(sheet.Protection == kAllProtectionFlags ? 0 : 1);
  TCellStorage& cells = sheet.Cells();
  if (cells.IsEmpty()) {
    records.SetDimensions(0, 0, 0, 0);
    progressRows_ = 1;
  } else {
    const TCellBounds b = cells.CalcBounds();
    records.SetDimensions(static_cast<uint32_t>(b.firstRow), static_cast<uint32_t>(b.lastRow) + 1,
                          static_cast<uint16_t>(b.firstColumn), static_cast<uint16_t>(b.lastColumn + 1));
    progressRows_ = static_cast<uint32_t>(b.lastRow) + 1;
  }
  if (!sheet.RecordsFilled) {
    // A list that already holds records (taken over from a file) must not be replaced by defaults.
    if (records.Count() == 0) records.MaterializeDefaults();
    sheet.RecordsFilled = true;
  }

  PatchBoundsheetPosition(sheetIndex);
  const bool old = OldSource();
  TOldRecordFilter filter(records);
  for (int pos = 0; pos < records.Count(); ++pos) {
    if (old) {
      const TStoredRecord* entry = records.EntryAt(pos);
      if (!entry || !filter.Keeps(pos, *entry)) continue;
    }
    WriteSheetEntry(sheet, pos);
  }
}

void TXLSWriter::WriteChartSheet(const TBoundsheetData& entry) {
  PatchPosition(entry);
  // Kept as read, record by record (the stream encrypts them like any other when asked to).
  const std::vector<uint8_t>& records = workbook_.ChartSheets()[static_cast<size_t>(entry.index)].records;
  for (size_t at = 0; at < records.size();) {
    if (records.size() - at < kRecordHeaderSize) throw EXLSError("[int] A chart sheet ends inside a record");
    const uint16_t id = DecodeFixed16(&records[at]);
    const uint16_t length = DecodeFixed16(&records[at + 2]);
    at += kRecordHeaderSize;
    if (records.size() - at < length) throw EXLSError("[int] A chart sheet ends inside a record");
    stream_->WriteRecord(id, &records[at], length);
    at += length;
  }
}

void TXLSWriter::PatchPosition(const TBoundsheetData& entry) {
  if (entry.position < 0) return;  // the globals list had no place for BOUNDSHEET records
  const uint64_t bof = stream_->Position();
  if (bof > UINT32_MAX) throw EXLSError("The workbook stream is too large");
  // The BOUNDSHEET records may have gone out to the file long since: the stream writes there.
  uint8_t position[4];
  EncodeFixed32(position, static_cast<uint32_t>(bof));
  stream_->Patch(static_cast<uint64_t>(entry.position), position, sizeof position);
}

void TXLSWriter::PatchBoundsheetPosition(int sheetIndex) {
  for (const TBoundsheetData& entry : sheetList_) {
    if (entry.kind != 1 && entry.index == sheetIndex) {
      PatchPosition(entry);
      return;
    }
  }
}

void TXLSWriter::WriteSheetEntry(TSheet& sheet, int pos) {
  TRecordStorageSheet& records = sheet.Records();
  const TStoredRecord* entry = records.EntryAt(pos);
  if (!entry) return;
  switch (entry->Id()) {
    case R::SELECTION:
      // With a pane the selections belong to the pane's records.
      if (sheet.PaneKind == 0) records.WriteEntry(pos, *stream_);
      break;
    case R::DEFCOLWIDTH:
      records.WriteEntry(pos, *stream_);  // auto-filters would follow; this system keeps none
      break;
    case R::WINDOW2:
      if (OldSource())
        WriteOldWindow2(*entry);
      else
        records.WriteEntry(pos, *stream_);
      if (sheet.Zoom != 0 && sheet.Zoom != 100) {
        std::vector<uint8_t> scl;
        PutFixed16(scl, sheet.Zoom);
        PutFixed16(scl, 100);
        stream_->AppendRecord(R::SCL, scl);
      }
      break;
    case R::PH_PAGEBREAKS:
      WritePageBreaks(sheet);
      break;
    case R::PH_HEADERFOOTER:
      WriteHeaderFooter(sheet);
      break;
    case R::PH_MARGINS:
      WriteMargins(sheet);
      break;
    case R::PH_COLINFO:
      sheet.Columns().WriteColInfo(*stream_);
      break;
    case R::PH_CELLS:
      WriteRows(sheet);
      WriteCells(sheet, xvExcel97, *stream_);
      break;
    case R::PH_SHEETEXTRAS:
      // Drawings, panes, merged cells, conditional formats, hyperlinks and validations would come
      // first; this system keeps none of them.
      WriteSheetProtection(sheet);
      break;
    default:
      if ((entry->Id() & 0x8000) == 0) records.WriteEntry(pos, *stream_);
      break;
  }
}

void TXLSWriter::WriteOldWindow2(const TStoredRecord& window2) {
  // Before BIFF8 the gridline colour is an RGB value (offset 6, 4 bytes, kept when the reader widened
  // the record); BIFF8 has a palette index and a reserved word there. The default colour stands in.
  std::vector<uint8_t> body(window2.Data(), window2.Data() + window2.Length());
  if (window2.Holds(6, 4)) {
    EncodeFixed16(body.data() + 6, kWindow2DefaultGridColor);
    EncodeFixed16(body.data() + 8, 0);
  }
  stream_->AppendRecord(R::WINDOW2, body);
}

void TXLSWriter::WritePageBreaks(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  const std::pair<uint16_t, const TPageBreaks*> lists[2] = {
      {R::HORIZONTALPAGEBREAKS, &print.HorizPagebreaks()}, {R::VERTICALPAGEBREAKS, &print.VertPagebreaks()}};
  for (const auto& [id, breaks] : lists) {
    if (breaks->empty()) continue;
    if (breaks->size() > (kMaxBody - 2) / 6)
      throw EXLSError(FormatMessage("%zu page breaks do not fit in one record", breaks->size()));
    std::vector<uint8_t> body;
    PutFixed16(body, static_cast<uint16_t>(breaks->size()));
    for (const TPageBreak& pageBreak : *breaks) {
      PutFixed16(body, pageBreak.position);
      PutFixed16(body, pageBreak.start);
      PutFixed16(body, pageBreak.end);
    }
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteHeaderFooter(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  for (const auto& [id, text] : {std::pair<uint16_t, const std::u16string*>{R::HEADER, &print.Header()},
                                 std::pair<uint16_t, const std::u16string*>{R::FOOTER, &print.Footer()}}) {
    if (text->size() > (kMaxBody - 3) / 2)
      throw EXLSError(FormatMessage("Header or footer of %zu characters is too long", text->size()));
    std::vector<uint8_t> body;
    if (!text->empty()) PutBiffString(body, *text);  // an empty text: an empty record
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteMargins(TSheet& sheet) {
  const TPrintSettings& print = sheet.PrintSettings();
  const std::pair<uint16_t, double> margins[4] = {{R::LEFTMARGIN, print.MarginLeft()},
                                                  {R::RIGHTMARGIN, print.MarginRight()},
                                                  {R::TOPMARGIN, print.MarginTop()},
                                                  {R::BOTTOMMARGIN, print.MarginBottom()}};
  for (const auto& [id, inches] : margins) {
    if (!(inches >= 0)) continue;  // a negative margin means "not stated"
    std::vector<uint8_t> body;
    PutDouble(body, inches);
    stream_->AppendRecord(id, body);
  }
}

void TXLSWriter::WriteRows(TSheet& sheet) {
  TXLSRows& rows = sheet.Rows();
  rows.SortRows();
  std::vector<uint8_t> body(kRowSize);
  for (int pos = 0; pos < rows.Count(); ++pos) {
    rows.FillRowRecord(pos, body.data());
    stream_->AppendRecord(R::ROW, body);
  }
}

void TXLSWriter::WriteSheetProtection(TSheet& sheet) {
  if (sheet.Protection == kAllProtectionFlags) return;
  // The shared-feature header of the protection feature: frtHeader (record id, flags 0, 8 reserved
  // bytes), the feature type, a reserved byte 1, header data size -1, then the flags of what stays
  // allowed and 2 reserved bytes.
  std::vector<uint8_t> body(kSheetProtectionSize, 0);
  uint8_t* p = body.data();
  EncodeFixed16(p, R::SHEETPROTECTION);
  EncodeFixed16(p + 12, kFeatureProtection);
  p[14] = 1;
  EncodeFixed32(p + 15, 0xFFFFFFFFu);
  EncodeFixed16(p + 19, sheet.Protection);
  stream_->AppendRecord(R::SHEETPROTECTION, body);
}

// ---------------------------------------------------------------------------------------------------------
// Cells

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
            formulasAsValues && IsFormulaKind(cell.kind) ? FormulaAsValue(cell) : CellValue(cell);
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
