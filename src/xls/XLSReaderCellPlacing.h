// The steps that take a cell record's cell to its place, shared by the reader's cell and formula
// handlers: the sheet that takes cells, the cell a record replaces, the format handle of an XF index,
// the fields every cell record starts with. Inline, and so in a header: the reader takes them for
// every cell of a file. Only the reader's own sources include it.
#pragma once

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSReader.h"

namespace plicato {

inline TSheet* TXLSReader::CellSheet() {
  if (substream_ != TSubstream::ssSheet) return nullptr;
  if (!(sheetPlaceholders_ & PlaceholderBit(BIFFRecs::PH_CELLS))) {
    Placeholder(BIFFRecs::PH_CELLS);
    EnsureFormats();
  }
  return sheet_;
}

// A cell record for a place that already holds a cell (overlapping records) replaces that cell with
// the format the new record names: the last record is the one that counts, as in Excel. (Storing over
// a cell would keep the old cell's format, and the old text's reference.)
//
// Cells mostly come in ascending key order, row by row: while every cell of the sheet was stored by this
// read below the next free key, a cell at or above it cannot meet an old one and needs no lookup.
inline TSheet* TXLSReader::Vacate(TSheet& sheet, uint32_t column, uint32_t row) {
  const uint32_t key = CellKey(column, row);
  if (&sheet != keySheet_) {
    keySheet_ = &sheet;
    keysAscending_ = sheet.Cells().IsEmpty();
    nextFreeKey_ = 0;
  }
  if (key >= nextFreeKey_) {
    nextFreeKey_ = key + 1;
    if (keysAscending_) return &sheet;
  }
  if (TCell* old = sheet.Cells().LookupKey(key)) {
    // The old text gives back its reference, but its entry stays in the table even at count 0 (as
    // entries read from a file do): the file index may name it again for a later LABELSST. The count
    // may dip below 0 until the references gathered per file index reach it at the end of the read.
    if (old->kind == ckString) workbook_.SST().DropReference(old->entry);
    sheet.Cells().DeleteAtKey(key);
  }
  return &sheet;
}

// What TSheet::HandleForIndex gives for the XF index, looked up once per index while the format list
// keeps its length and its use counting is suspended (as it is from a sheet's first cell on: see
// EnsureFormats): then a format takes no use for a cell, and an index always names the same format.
inline uint32_t TXLSReader::FormatHandle(int xf) {
  const auto index = static_cast<size_t>(xf);
  if (index < xfHandles_.size() && xfHandles_[index] != 0) {
    const TCellFormats& formats = workbook_.CellFormats();
    if (formats.Count() == xfHandlesFor_ && formats.InitialCount() == INT32_MAX) return xfHandles_[index] - 1;
  }
  return LookUpFormatHandle(xf);
}

// Stores a cell made with the format handle of its XF at a place Vacate cleared; the position is valid
// (a 16-bit row, a column CellTarget or the caller kept within 255).
template <class Make>
inline void TXLSReader::PutCell(TSheet& sheet, uint32_t column, uint32_t row, int xf, Make make) {
  Vacate(sheet, column, row);
  sheet.Cells().InsertAtKey(CellKey(column, row), make(FormatHandle(xf)));
}

// Rows are 16-bit in every cell record and so always in the sheet. A column beyond 255 cannot exist in
// an .xls sheet (and would land in another column of the cell key): such a cell is left out, since one
// stray cell is no reason to refuse the whole file.

inline TXLSReader::TCellHead TXLSReader::ReadCellHead(TByteReader& r, uint32_t size, bool withXF) {
  if (r.Size() < size) Short(size);
  // Checked once against the record: the fields are decoded in place.
  const uint8_t* p = r.Current();
  TCellHead head;
  head.row = DecodeFixed16(p);
  head.column = DecodeFixed16(p + 2);
  head.xf = withXF ? DecodeFixed16(p + 4) : kDefaultCellFormatIndex;
  r.Skip(withXF ? 6 : 4);
  return head;
}

inline TSheet* TXLSReader::CellTarget(const TCellHead& head) {
  TSheet* sheet = CellSheet();
  return sheet && head.column <= 0xFF ? sheet : nullptr;
}

}  // namespace plicato
