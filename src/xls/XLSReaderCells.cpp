// The reader's cell records other than formulas: blank, number, RK, boolean and error cells, text
// cells, the rows (ROW), and the look-ups behind a cell's format.
#include "xls/XLSReader.h"

#include "biff/BIFFString.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "workbook/CellFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSReaderCellPlacing.h"

namespace plicato {

namespace rec = BIFFRecs;

// ---------------------------------------------------------------------------------------------------
// Cell formats

uint32_t TXLSReader::LookUpFormatHandle(int xf) {
  TCellFormats& formats = workbook_.CellFormats();
  TCellFormat* format = formats.Item(formats.AdoptableIndex(xf < 0 ? kDefaultCellFormatIndex : xf));
  formats.AddUse(format);
  if (formats.InitialCount() == INT32_MAX && xf >= 0) {
    if (formats.Count() != xfHandlesFor_) {
      xfHandles_.clear();
      xfHandlesFor_ = formats.Count();
    }
    const auto index = static_cast<size_t>(xf);
    if (index >= xfHandles_.size()) xfHandles_.resize(index + 1, 0);
    xfHandles_[index] = format->Handle() + 1;
  }
  return format->Handle();
}

void TXLSReader::EnsureFormats() {
  // Cells, rows and columns name a cell format; a file without XF records before them gets the
  // default formats, so that every index has a format to fall back on.
  TCellFormats& formats = workbook_.CellFormats();
  if (formats.Count() == 0) formats.AddDefaultFormats();
  // The file's formats and fonts are the workbook's initial ones from here on (they become so after the
  // read anyway). Counted, a format whose last user went - a cell stored twice, a column replaced -
  // would be deleted and every later format renumbered, so that the XF indexes of the cells still to
  // come would name the wrong formats.
  formats.SuspendUseCounting();
  workbook_.Fonts().SuspendUseCounting();
}

// ---------------------------------------------------------------------------------------------------
// Number, blank and boolean cells

bool TXLSReader::OnBlank(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6);
  if (TSheet* sheet = CellTarget(h)) PutCell(*sheet, h.column, h.row, h.xf, MakeBlankCell);
  return false;
}

bool TXLSReader::OnMulBlank(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6, false);  // the first column, then one XF per column
  TSheet* sheet = CellSheet();
  if (!sheet) return false;
  const uint32_t count = static_cast<uint32_t>(r.Size() - 6) / 2;
  const uint8_t* p = r.Current();
  for (uint32_t i = 0; i < count && h.column + i <= 0xFF; ++i)
    PutCell(*sheet, h.column + i, h.row, DecodeFixed16(p + 2 * i), MakeBlankCell);
  return false;
}

bool TXLSReader::OnNumber(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 14);
  if (TSheet* sheet = CellTarget(h)) {
    const double value = DecodeDouble(r.Current());
    PutCell(*sheet, h.column, h.row, h.xf, [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

bool TXLSReader::OnRK(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 10);
  if (TSheet* sheet = CellTarget(h)) {
    const double value = DecodeRK(DecodeFixed32(r.Current()));
    PutCell(*sheet, h.column, h.row, h.xf, [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

bool TXLSReader::OnMulRK(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 6, false);  // the first column, then XF and RK value per column
  TSheet* sheet = CellSheet();
  if (!sheet) return false;
  const uint32_t count = static_cast<uint32_t>(r.Size() - 6) / 6;
  const uint8_t* p = r.Current();
  for (uint32_t i = 0; i < count && h.column + i <= 0xFF; ++i, p += 6) {
    const double value = DecodeRK(DecodeFixed32(p + 2));
    PutCell(*sheet, h.column + i, h.row, DecodeFixed16(p),
            [value](uint32_t format) { return MakeFloatCell(format, value); });
  }
  return false;
}

// The value byte, then the byte that tells an error (1) from a boolean.
void TXLSReader::PutBoolErr(TSheet& sheet, const TCellHead& h, TByteReader& r) {
  const uint8_t value = r.GetU8();
  if (r.GetU8() == 1)
    Vacate(sheet, h.column, h.row)->PutError(h.column, h.row, ErrorFromBiff(value), h.xf);
  else
    Vacate(sheet, h.column, h.row)->PutBoolean(h.column, h.row, value != 0, h.xf);
}

bool TXLSReader::OnBoolErr(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 8);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  PutBoolErr(*sheet, h, r);
  return false;
}

// BIFF2 cells: row, column, three attribute bytes, then the value; a number takes the number format the
// second attribute byte names, the other cells the default format.

bool TXLSReader::OnInteger2(TByteReader& r) {
  TCellHead h = ReadCellHead(r, 9, false);
  h.xf = OldCellFormat(r.Current()[1]);
  r.Skip(3);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)->PutFloat(h.column, h.row, r.GetU16(), h.xf);
  return false;
}

bool TXLSReader::OnNumber2(TByteReader& r) {
  TCellHead h = ReadCellHead(r, 15, false);
  h.xf = OldCellFormat(r.Current()[1]);
  r.Skip(3);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)->PutFloat(h.column, h.row, r.GetDouble(), h.xf);
  return false;
}

bool TXLSReader::OnBlank2(TByteReader& r) {
  if (version_ > xvExcel21) return true;  // not a record of later versions: kept as it is
  const TCellHead h = ReadCellHead(r, 7, false);
  if (TSheet* sheet = CellTarget(h)) Vacate(*sheet, h.column, h.row)->PutBlank(h.column, h.row, h.xf);
  return false;
}

bool TXLSReader::OnBoolErr2(TByteReader& r) {
  if (version_ > xvExcel21) return true;
  const TCellHead h = ReadCellHead(r, 9, false);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  r.Skip(3);
  PutBoolErr(*sheet, h, r);
  return false;
}

bool TXLSReader::OnRow(TByteReader& r) {
  if (TSheet* sheet = CellSheet()) sheet->Rows().ReadRow(r.Current(), static_cast<uint32_t>(r.Size()));
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Text cells

bool TXLSReader::OnLabelSST(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 10);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  const uint32_t index = r.GetU32();
  TSST& sst = workbook_.SST();
  if (index >= sst.FileIndexCount()) {
    // A string the table declares but does not hold (the file's count is wrong, the strings there were
    // kept): the cell is there, its text is lost, so it reads as empty text. An index past even the
    // declared count is a damaged reference to nothing.
    if (index >= sst.DeclaredCount())
      throw EXLSError(FormatMessage("Read error at %.8d", static_cast<int>(stream_.Position())));
    Vacate(*sheet, h.column, h.row)->PutTextFormatted(h.column, h.row, std::u16string(), h.xf);
    return false;
  }
  TSSTEntry* entry = sst.ReferenceAtFileIndex(index);
  PutCell(*sheet, h.column, h.row, h.xf, [entry](uint32_t format) { return MakeStringCell(format, entry); });
  return false;
}

bool TXLSReader::OnLabel(TByteReader& r) {
  const TCellHead h = ReadCellHead(r, 8);
  TSheet* sheet = CellTarget(h);
  if (!sheet) return false;
  const size_t count = r.GetU16();
  const uint32_t length = header_.length;
  const uint8_t flag = length >= 9 ? r.Current()[0] : 0xFF;
  std::u16string text;
  if (version_ >= xvExcel97 && (flag == 0 || flag == 1)) {
    r.Skip(1);
    const size_t bytes = flag ? 2 * count : count;
    if (length < 9 + bytes) Short(static_cast<uint32_t>(9 + bytes));
    text = GetBiffChars(r, count, flag == 1);
  } else {
    if (length < 8 + count) Short(static_cast<uint32_t>(8 + count));
    text = Text8(r.Current(), count);
  }
  Vacate(*sheet, h.column, h.row)->PutTextFormatted(h.column, h.row, text, h.xf);
  return false;
}

bool TXLSReader::OnLabel2(TByteReader& r) {
  // Row, column, three attribute bytes, the count byte, then the characters in the file's code page.
  if (r.Size() < 8) Short(8);
  const size_t count = r.Current()[7];
  const TCellHead h = ReadCellHead(r, static_cast<uint32_t>(8 + count), false);
  r.Skip(4);
  if (TSheet* sheet = CellTarget(h))
    Vacate(*sheet, h.column, h.row)
        ->PutTextFormatted(h.column, h.row, CodePageText(r.Current(), count), h.xf);
  return false;
}

}  // namespace plicato
