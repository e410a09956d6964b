#include "workbook/Rows.h"

#include <algorithm>

#include "biff/Coding.h"
#include "biff/Errors.h"
#include "workbook/CellFormats.h"

namespace plicato {

TXLSRow* TXLSRows::Item(int position) const {
  if (position < 0 || position >= Count()) throw EListError(position);
  return rows_[position].get();
}

TXLSRow* TXLSRows::FindRow(int row) const {
  if (row < 0 || row > 65535 || rows_.empty()) return nullptr;
  auto it = std::lower_bound(rows_.begin(), rows_.end(), row,
                             [](const std::unique_ptr<TXLSRow>& r, int value) { return r->Index < value; });
  return it != rows_.end() && (*it)->Index == row ? it->get() : nullptr;
}

TXLSRow* TXLSRows::Add(int row, int32_t formatIndex) {
  auto object = std::make_unique<TXLSRow>(formats_, static_cast<uint16_t>(row), formatIndex);
  if (object->FormatIndex() != 15) object->Options = 0x0080;
  if (onChange_) object->SetOnChange(onChange_);
  rows_.push_back(std::move(object));
  return rows_.back().get();
}

void TXLSRows::ReadRow(const uint8_t* body, uint32_t length) {
  TByteReader r(body, length);
  uint16_t index = r.GetU16();
  uint16_t first = r.GetU16();
  uint16_t last = r.GetU16();
  uint16_t height = r.GetU16();
  r.Skip(4);
  uint16_t options = r.GetU16();
  // BIFF8 keeps the XF at offset 14; a shorter (older) record has none.
  int32_t xf = 15;
  if ((options & 0x0080) && r.Remaining() >= 2) xf = r.GetU16();
  // The XF word's high bits are flags of later versions: only the low 12 bits name a format.
  xf &= 0x0FFF;
  TXLSRow* row = Add(index, xf);
  row->FirstColumn = first;
  row->LastColumnPlus1 = last;
  row->Height = height;
  row->Options = options;
}

void TXLSRows::SortRows() {
  std::stable_sort(rows_.begin(), rows_.end(),
                   [](const std::unique_ptr<TXLSRow>& a, const std::unique_ptr<TXLSRow>& b) {
                     return a->Index < b->Index;
                   });
}

void TXLSRows::FillRowRecord(int position, uint8_t* body) const {
  const TXLSRow* row = Item(position);
  int32_t xf = row->FormatIndex();
  uint16_t options = static_cast<uint16_t>(row->Options | 0x0100);
  if (xf == 15)
    options &= static_cast<uint16_t>(~0x0080);
  else
    options |= 0x0080;
  EncodeFixed16(body, row->Index);
  EncodeFixed16(body + 2, row->FirstColumn);
  EncodeFixed16(body + 4, row->LastColumnPlus1);
  EncodeFixed16(body + 6, row->Height);
  EncodeFixed16(body + 8, 0);
  EncodeFixed16(body + 10, 0);
  EncodeFixed16(body + 12, options);
  EncodeFixed16(body + 14, static_cast<uint16_t>(xf));
}

}  // namespace plicato
