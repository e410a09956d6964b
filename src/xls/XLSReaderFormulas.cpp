// The reader's formula records: FORMULA (and its BIFF2-4 forms) with its STRING, shared formulas
// (SHRFMLA) expanded into each cell they cover, and array formulas (ARRAY).
#include "xls/XLSReader.h"

#include <algorithm>
#include <utility>

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "workbook/SheetData.h"
#include "xls/XLSReaderCellPlacing.h"

namespace plicato {

namespace rec = BIFFRecs;

namespace {
// BIFF2-4 FORMULA: where the token count is.
constexpr size_t kOldFormulaTokenCount = 16;
// Bound on the tokens copied into the cells of shared formulas: a multiple of the workbook stream.
constexpr uint64_t kSharedExpansionFactor = 16;
constexpr uint64_t kSharedExpansionAllowance = 64u << 20;
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Shared formulas

namespace {

// Bytes that follow the token byte, or 0 with ok = false for a token the walk does not know.
size_t TokenOperandSize(const uint8_t* t, size_t p, size_t size, bool biff8, bool& ok) {
  ok = true;
  const uint8_t ptg = t[p];
  if (ptg < 0x20) {
    switch (ptg) {
      case 0x01:  // tExp
      case 0x02:  // tTbl
        return 4;
      case 0x1C:  // tErr
      case 0x1D:  // tBool
        return 1;
      case 0x1E:  // tInt
        return 2;
      case 0x1F:  // tNum
        return 8;
      case 0x17:  // tStr: count, (BIFF8: option byte), characters
        if (p + 1 >= size) break;
        if (!biff8) return 1 + size_t{t[p + 1]};
        if (p + 2 >= size) break;
        return 2 + size_t{t[p + 1]} * ((t[p + 2] & 0x01) ? 2 : 1);
      case 0x19:  // tAttr: options, 16-bit value; tAttrChoose adds a jump table of value + 1 entries
        if (p + 3 >= size) break;
        return 3 + ((t[p + 1] & 0x04) ? 2 * (size_t{DecodeFixed16(t + p + 2)} + 1) : 0);
      default:
        if (ptg >= 0x03 && ptg <= 0x16) return 0;  // operators, parentheses, missing argument
        break;
    }
    ok = false;
    return 0;
  }
  switch ((ptg & 0x1F) | 0x20) {
    case 0x20:  // tArray (its constants follow the whole expression)
      return 7;
    case 0x21:  // tFunc
      return 2;
    case 0x22:  // tFuncVar
      return 3;
    case 0x23:  // tName
      return biff8 ? 4 : 14;
    case 0x24:  // tRef
    case 0x2A:  // tRefErr
    case 0x2C:  // tRefN
      return biff8 ? 4 : 3;
    case 0x25:  // tArea
    case 0x2B:  // tAreaErr
    case 0x2D:  // tAreaN
      return biff8 ? 8 : 6;
    case 0x26:  // tMemArea
    case 0x27:  // tMemErr
    case 0x28:  // tMemNoMem
      return 6;
    case 0x29:  // tMemFunc
    case 0x2E:  // tMemAreaN
    case 0x2F:  // tMemNoMemN
      return 2;
    case 0x39:  // tNameX
      return biff8 ? 6 : 24;
    case 0x3A:  // tRef3d
    case 0x3C:  // tRefErr3d
      return biff8 ? 6 : 17;
    case 0x3B:  // tArea3d
    case 0x3D:  // tAreaErr3d
      return biff8 ? 10 : 20;
    default:
      ok = false;
      return 0;
  }
}

// BIFF8: 16-bit row; 16-bit column word with bit 15 = row relative, bit 14 = column relative. A relative
// part is an offset from the cell, taken modulo the sheet size.
void FixRowBiff8(uint8_t* rowField, uint16_t columnWord, uint32_t row) {
  if (columnWord & 0x8000) EncodeFixed16(rowField, static_cast<uint16_t>(DecodeFixed16(rowField) + row));
}
void FixColumnBiff8(uint8_t* columnField, uint32_t column) {
  const uint16_t word = DecodeFixed16(columnField);
  if (word & 0x4000)
    EncodeFixed16(columnField, static_cast<uint16_t>((word & 0xC000) | ((word + column) & 0xFF)));
}
// BIFF5: 16-bit row word with the two flags in bits 15 and 14 and a 14-bit row; 8-bit column.
void FixRowBiff5(uint8_t* rowField, uint8_t* columnField, uint32_t row, uint32_t column) {
  const uint16_t word = DecodeFixed16(rowField);
  if (word & 0x8000)
    EncodeFixed16(rowField, static_cast<uint16_t>((word & 0xC000) | ((word + row) & 0x3FFF)));
  if (word & 0x4000) *columnField = static_cast<uint8_t>(*columnField + column);
}

}  // namespace

void ConvertSharedFormulaTokens(uint8_t* tokens, size_t size, uint32_t row, uint32_t column, bool biff8) {
  size_t p = 0;
  while (p < size) {
    bool ok;
    const size_t operand = TokenOperandSize(tokens, p, size, biff8, ok);
    if (!ok || operand > size - p - 1) return;
    const uint8_t ptg = tokens[p];
    uint8_t* o = tokens + p + 1;
    if (ptg >= 0x20 && ((ptg & 0x1F) | 0x20) == 0x2C) {  // tRefN -> tRef
      if (biff8) {
        FixRowBiff8(o, DecodeFixed16(o + 2), row);
        FixColumnBiff8(o + 2, column);
      } else {
        FixRowBiff5(o, o + 2, row, column);
      }
      tokens[p] = static_cast<uint8_t>(ptg - 8);
    } else if (ptg >= 0x20 && ((ptg & 0x1F) | 0x20) == 0x2D) {  // tAreaN -> tArea
      if (biff8) {
        FixRowBiff8(o, DecodeFixed16(o + 4), row);
        FixRowBiff8(o + 2, DecodeFixed16(o + 6), row);
        FixColumnBiff8(o + 4, column);
        FixColumnBiff8(o + 6, column);
      } else {
        FixRowBiff5(o, o + 4, row, column);
        FixRowBiff5(o + 2, o + 5, row, column);
      }
      tokens[p] = static_cast<uint8_t>(ptg - 8);
    }
    p += 1 + operand;
  }
}

std::string CellA1Name(uint32_t column, uint32_t row) {
  std::string name;
  column &= 0xFF;
  if (column >= 26) name += static_cast<char>('A' + column / 26 - 1);
  name += static_cast<char>('A' + column % 26);
  return name + std::to_string(row + 1);
}

bool TXLSReader::OnSharedFormula(TByteReader& r) {
  if (InSheet()) AddSharedFormula(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

bool TXLSReader::OnArray(TByteReader& r) {
  if (InSheet()) SetLastArray(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Formula cells

bool TXLSReader::ReadFormulaString(std::u16string& text) {
  const uint16_t next = stream_.PeekId();
  if (next != rec::STRING && next != rec::STRING_2) return false;
  ReadNextRecord();
  TByteReader r(auxBody_, auxHeader_.length);
  if (auxHeader_.id == rec::STRING_2) {
    const size_t count = r.GetU8();
    r.Require(count);
    text = CodePageText(r.Current(), count);
    return true;
  }
  const size_t count = r.GetU16();
  if (version_ < xvExcel97) {
    r.Require(count);
    text = CodePageText(r.Current(), count);
    return true;
  }
  text.clear();
  if (count == 0) return true;
  bool wide = (r.GetU8() & 0x01) != 0;
  text.reserve(count);
  for (;;) {
    text += GetBiffChars(r, std::min(count - text.size(), wide ? r.Remaining() / 2 : r.Remaining()), wide);
    if (text.size() == count) return true;
    // A long text goes on in CONTINUE records, each starting with the width of its characters.
    if (stream_.PeekId() != rec::CONTINUE)
      throw EXLSError(FormatMessage("The text of a STRING record is cut short (%zu of %zu characters)",
                                    text.size(), count));
    ReadNextRecord();
    r = TByteReader(auxBody_, auxHeader_.length);
    wide = (r.GetU8() & 0x01) != 0;
  }
}

bool TXLSReader::NonNumericResult(uint8_t type, uint8_t value, TCellKind& kind, TFormulaData& data) {
  switch (type) {
    case 0: {  // text, in the STRING record that follows
      const uint16_t next = stream_.PeekId();
      if (next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) throw EXLSError("Unxepected SHRFMLA");
      if (!ReadFormulaString(data.text)) return false;
      kind = ckStringFormula;
      return true;
    }
    case 1:
      kind = ckBooleanFormula;
      data.small = value != 0 ? 1 : 0;
      return true;
    case 2:
      kind = ckErrorFormula;
      data.small = ErrorFromBiff(value);
      return true;
    case 3:  // empty text
      kind = ckStringFormula;
      data.text.clear();
      return true;
    default:
      return false;
  }
}

void TXLSReader::PutFormulaCell(const TCellHead& h, TCellKind kind, std::unique_ptr<TFormulaData> data) {
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)
        ->PutFormula(static_cast<int>(h.column), static_cast<int>(h.row), kind, h.xf, std::move(data));
}

const TXLSReader::TSharedFormula* TXLSReader::FindSharedFormula(uint32_t row, uint32_t column) const {
  // The tExp token names the first cell of the shared range; overlapping ranges are told apart by it.
  if (auto it = sharedByAnchor_.find(CellKey(column, row)); it != sharedByAnchor_.end())
    return &shared_[it->second];
  for (const TSharedFormula& formula : shared_) {
    if (row >= formula.firstRow && row <= formula.lastRow && column >= formula.firstColumn &&
        column <= formula.lastColumn)
      return &formula;
  }
  return nullptr;
}

void TXLSReader::AddSharedFormula(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  TSharedFormula formula;
  formula.firstRow = r.GetU16();
  formula.lastRow = r.GetU16();
  formula.firstColumn = r.GetU8();
  formula.lastColumn = r.GetU8();
  r.Skip(2);
  formula.tokenCount = r.GetU16();
  r.Require(formula.tokenCount);
  formula.tokens.assign(r.Current(), r.Current() + formula.tokenCount);
  sharedByAnchor_[CellKey(formula.firstColumn, formula.firstRow)] = shared_.size();
  shared_.push_back(std::move(formula));
}

void TXLSReader::SetLastArray(const uint8_t* body, uint32_t length) {
  if (length < 6) throw EXLSError(FormatMessage("ARRAY record too short: %u bytes", length));
  arrayFirstRow_ = DecodeFixed16(body);
  arrayLastRow_ = DecodeFixed16(body + 2);
  arrayFirstColumn_ = body[4];
  arrayLastColumn_ = body[5];
  lastArray_.assign(body, body + length);
  hasArray_ = true;
}

TXLSReader::TFormulaForm TXLSReader::FormulaForm(const TCellHead& h, TByteReader tokens, uint16_t options,
                                                 const TSharedFormula*& shared) {
  shared = nullptr;
  // tExp: the cell belongs to a shared formula or an array formula whose first cell it names.
  if (tokens.Remaining() < 5 || tokens.GetU8() != 0x01) return TFormulaForm::ffPlain;
  const uint32_t expRow = tokens.GetU16(), expColumn = tokens.GetU8();
  const uint16_t next = stream_.PeekId();
  if ((options & 0x0008) || next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) {
    if (next == rec::SHRFMLA || next == rec::SHRFMLA_OLD) {
      ReadNextRecord();
      AddSharedFormula(auxBody_, auxHeader_.length);
    }
    shared = FindSharedFormula(expRow, expColumn);
    if (!shared)
      throw EXLSError(FormatMessage("Fixup error in shared formula at C=%d,R=%d (%s)",
                                    static_cast<int>(h.column), static_cast<int>(h.row),
                                    CellA1Name(h.column, h.row).c_str()));
    return TFormulaForm::ffShared;
  }
  if (next == rec::ARRAY) {
    ReadNextRecord();
    SetLastArray(auxBody_, auxHeader_.length);
    return TFormulaForm::ffArrayAnchor;
  }
  if (hasArray_ && h.row >= arrayFirstRow_ && h.row <= arrayLastRow_ && h.column >= arrayFirstColumn_ &&
      h.column <= arrayLastColumn_)
    return TFormulaForm::ffArrayMember;
  if ((shared = FindSharedFormula(expRow, expColumn)) != nullptr)
    return TFormulaForm::ffShared;  // a shared formula cell whose flag was not set
  hasArray_ = false;
  lastArray_.clear();
  return TFormulaForm::ffPlain;
}

void TXLSReader::TakeSharedTokens(const TSharedFormula& shared, const TCellHead& h, TFormulaData& data) {
  // Every cell of a shared formula gets its own copy of the tokens; their total is bounded by the
  // file's size, so that a file cannot make a few bytes per cell into a large claim on memory.
  sharedBytes_ += shared.tokens.size();
  if (sharedBytes_ > kSharedExpansionFactor * stream_.StreamSize() + kSharedExpansionAllowance)
    throw EXLSError(
        FormatMessage("Shared formulas expand to more than %llu bytes, too much for a workbook "
                      "stream of %llu bytes",
                      static_cast<unsigned long long>(sharedBytes_ - shared.tokens.size()),
                      static_cast<unsigned long long>(stream_.StreamSize())));
  data.expression = shared.tokens;
  data.tokenLength = shared.tokenCount;
  ConvertSharedFormulaTokens(data.expression.data(), data.expression.size(), h.row, h.column,
                             version_ >= xvExcel97);
}

void TXLSReader::PutArrayFormulaCell(const TCellHead& h, bool member, std::unique_ptr<TFormulaData> data) {
  const uint8_t* result = data->result;
  const bool marked = result[6] == 0xFF && result[7] == 0xFF;
  TCellKind kind = ckNumberArrayFormula;
  if (marked && (result[0] == 1 || result[0] == 2)) {
    // A boolean or error result: the plain formula kind of that result, holding the ARRAY record all
    // the same, so that it reads as its value and not as a number made of the marker bytes.
    NonNumericResult(result[0], result[2], kind, *data);
  } else if (ReadFormulaString(data->text) || (marked && result[0] == 3)) {
    kind = ckStringArrayFormula;
  }
  // The first cell writes the ARRAY record. The other cells keep only its fixed part (range, options,
  // token count): a copy of the whole body in every cell would let a small file claim a huge memory.
  if (member)
    data->arrayBody.assign(lastArray_.begin(),
                           lastArray_.begin() + std::min<size_t>(lastArray_.size(), kArrayFixedSize));
  else
    data->arrayBody = lastArray_;
  data->arrayFlag = member ? 1 : 0;
  PutFormulaCell(h, kind, std::move(data));
}

bool TXLSReader::OnFormula(TByteReader& r) {
  // Row, column, XF, the cached result, options, 4 unused bytes, the token count, the tokens.
  const TCellHead h = ReadCellHead(r, 22);
  if (!InSheet()) return false;
  auto data = std::make_unique<TFormulaData>();
  r.GetBytes(data->result, sizeof data->result);
  const uint16_t options = r.GetU16();
  r.Skip(4);
  const uint16_t tokenCount = r.GetU16();
  if (tokenCount > r.Remaining()) Short(22u + tokenCount);
  data->tokenLength = tokenCount;
  const uint8_t* result = data->result;
  const bool nonNumeric = result[6] == 0xFF && result[7] == 0xFF;
  const uint8_t resultType = result[0], resultValue = result[2];

  const TSharedFormula* shared = nullptr;
  TFormulaForm form = FormulaForm(h, TByteReader(r.Current(), tokenCount), options, shared);
  if (form == TFormulaForm::ffShared)
    TakeSharedTokens(*shared, h, *data);
  else
    data->expression.assign(r.Current(), r.Current() + r.Remaining());

  // An array member with a boolean or error result: the model's array formulas hold numbers and text
  // only. A member writes no ARRAY record, so as a plain formula cell it keeps both its value and its
  // file form. (The first cell must stay an array formula to carry the ARRAY record; its result bytes
  // are kept as they are.)
  if (form == TFormulaForm::ffArrayMember && nonNumeric && (resultType == 1 || resultType == 2))
    form = TFormulaForm::ffPlain;
  if (form == TFormulaForm::ffArrayAnchor || form == TFormulaForm::ffArrayMember) {
    PutArrayFormulaCell(h, form == TFormulaForm::ffArrayMember, std::move(data));
    return false;
  }
  // The first cell of a data table (tTbl) is followed by its TABLE record, and a text result's STRING
  // only after that: the cell keeps the record, which the writer puts back after it.
  if (tokenCount >= 1 && *r.Current() == 0x02 && stream_.PeekId() == rec::TABLE) {
    ReadNextRecord();
    data->tableBody.assign(auxBody_, auxBody_ + auxHeader_.length);
  }
  TCellKind kind = ckNumberFormula;
  if (nonNumeric ? NonNumericResult(resultType, resultValue, kind, *data) : tokenCount != 0)
    PutFormulaCell(h, kind, std::move(data));
  return false;
}

bool TXLSReader::OnOldFormula(TByteReader& r, const TOldFormulaLayout& layout) {
  TCellHead h = ReadCellHead(r, layout.tokens, layout.withXF);
  if (!InSheet()) return false;
  if (!layout.withXF) h.xf = OldCellFormat(r.Current()[1]);
  auto data = std::make_unique<TFormulaData>();
  r.Seek(layout.result);
  r.GetBytes(data->result, sizeof data->result);
  r.Seek(kOldFormulaTokenCount);
  data->tokenLength = layout.byteTokenCount ? r.GetU8() : r.GetU16();
  r.Seek(layout.tokens);
  data->expression.assign(r.Current(), r.Current() + r.Remaining());
  const uint8_t* result = data->result;
  TCellKind kind = ckNumberFormula;
  // A numeric result makes a cell even without tokens, unlike in BIFF5-8.
  if (result[6] == 0xFF && result[7] == 0xFF && !NonNumericResult(result[0], result[2], kind, *data))
    return false;
  PutFormulaCell(h, kind, std::move(data));
  return false;
}

bool TXLSReader::OnFormula3(TByteReader& r) {
  // BIFF3-4: row, column, XF, result (6), options (14), token count (16), tokens (18).
  return OnOldFormula(r, {.withXF = true, .result = 6, .byteTokenCount = false, .tokens = 18});
}

bool TXLSReader::OnFormula2(TByteReader& r) {
  // BIFF2: row, column, 3 attribute bytes, result (7), recalculation flag, token count (16), tokens (17).
  return OnOldFormula(r, {.withXF = false, .result = 7, .byteTokenCount = true, .tokens = 17});
}

}  // namespace plicato
