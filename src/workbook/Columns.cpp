#include "workbook/Columns.h"

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"

namespace plicato {

bool TXLSColumn::SameLayout(const TXLSColumn& other) const {
  return Width == other.Width && Hidden == other.Hidden && OutlineLevel == other.OutlineLevel &&
         Collapsed == other.Collapsed && FormatIndex() == other.FormatIndex();
}

TXLSColumn* TXLSColumns::Add(int index, int32_t formatIndex) {
  if (index < 0 || index > 255) throw EXLSError("Invalid columns");
  if (columns_.empty()) columns_.resize(256);
  auto column = std::make_unique<TXLSColumn>(formats_, static_cast<uint8_t>(index), formatIndex);
  if (onChange_) column->SetOnChange(onChange_);
  columns_[index] = std::move(column);
  return columns_[index].get();
}

void TXLSColumns::ClearColumns(int first, int last) {
  if (first < 0 || first > 255 || last < 0 || last > 255 || last < first) throw EXLSError("Invalid columns");
  for (int i = first; i <= last && static_cast<size_t>(i) < columns_.size(); ++i) columns_[i].reset();
}

void TXLSColumns::ReadColInfo(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  uint32_t first = r.GetU16(), last = r.GetU16();
  int32_t width = r.GetU16();
  int32_t xf = r.GetU16();
  uint16_t options = r.GetU16();
  if (first > 255) first = 255;
  if (last > 255) last = 255;
  if (last < first) return;
  for (uint32_t c = first; c <= last; ++c) {
    TXLSColumn* column = Add(static_cast<int>(c), xf);
    column->Width = width;
    column->Hidden = (options & 0x0001) ? 1 : 0;
    column->UserSetWidth = (options & 0x0002) ? 1 : 0;
    column->OutlineLevel = static_cast<uint8_t>((options >> 8) & 0x07);
    column->Collapsed = (options & 0x1000) ? 1 : 0;
  }
}

void TXLSColumns::WriteColInfo(TXLSStream& stream) const {
  int c = 0;
  const int count = static_cast<int>(columns_.size());
  while (c < count) {
    const TXLSColumn* column = columns_[c].get();
    if (!column) {
      ++c;
      continue;
    }
    int last = c;
    while (last + 1 < count && columns_[last + 1] && columns_[last + 1]->SameLayout(*column)) ++last;
    // A width other than the default is a width the user set; hidden, outline level and collapsed
    // go out with any width, or hidden and grouped columns would come back visible and flat.
    uint16_t options = (column->Width != 2500 || column->UserSetWidth) ? 0x0002 : 0;
    if (column->Hidden) options |= 0x0001;
    options |= static_cast<uint16_t>((column->OutlineLevel & 0x07) << 8);
    if (column->Collapsed) options |= 0x1000;
    std::vector<uint8_t> body;
    PutFixed16(body, static_cast<uint16_t>(c));
    PutFixed16(body, static_cast<uint16_t>(last));
    PutFixed16(body, static_cast<uint16_t>(column->Width));
    PutFixed16(body, static_cast<uint16_t>(column->FormatIndex()));
    PutFixed16(body, options);
    PutFixed16(body, 0);
    stream.AppendRecord(BIFFRecs::COLINFO, body);
    c = last + 1;
  }
}

}  // namespace plicato
