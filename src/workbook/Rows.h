// TXLSRow and TXLSRows: a worksheet's row properties (ROW records): height, options and a default cell
// format per row, kept in ascending row order for lookups. A format change is reported to the sheet,
// which then reformats the row's cells.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "workbook/FormattedObj.h"

namespace plicato {

class TXLSRow : public TFormattedObjectNotify {
 public:
  TXLSRow(TCellFormats* formats, uint16_t index, int32_t formatIndex)
      : TFormattedObjectNotify(formats, formatIndex), Index(index) {}
  int NotifyNumber() const override { return Index; }
  void AfterChange() override {}

  uint16_t Index;
  uint16_t FirstColumn = 0;
  uint16_t LastColumnPlus1 = 255;
  uint16_t Height = 255;  // twips
  uint16_t Options = 0;   // the ROW record's option word
};

class TXLSRows {
 public:
  TXLSRows(TCellFormats* formats, TFormattedObjectNotify::TChangeHandler onChange)
      : formats_(formats), onChange_(std::move(onChange)) {}

  int Count() const { return static_cast<int>(rows_.size()); }
  TXLSRow* Item(int position) const;  // EListError outside 0..Count-1
  TXLSRow* FindRow(int row) const;    // binary search; null when none (the list must be in order)
  // Appends a row object (options 0x0080 when its format is not 15).
  TXLSRow* Add(int row, int32_t formatIndex);
  void ReadRow(const uint8_t* body, uint32_t length);
  void SortRows();
  // The 16-byte ROW body for the writer.
  void FillRowRecord(int position, uint8_t* body) const;
  void Clear() { rows_.clear(); }

 private:
  TCellFormats* formats_;
  TFormattedObjectNotify::TChangeHandler onChange_;
  std::vector<std::unique_ptr<TXLSRow>> rows_;
};

}  // namespace plicato
