// TXLSColumn and TXLSColumns: a worksheet's column properties (COLINFO records): width, visibility,
// outline state and a default cell format per column. A format change is reported to the sheet, which
// then reformats the column's cells.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "workbook/FormattedObj.h"

namespace plicato {

class TXLSStream;

class TXLSColumn : public TFormattedObjectNotify {
 public:
  TXLSColumn(TCellFormats* formats, uint8_t index, int32_t formatIndex)
      : TFormattedObjectNotify(formats, formatIndex), Index(index) {}
  int NotifyNumber() const override { return Index; }

  uint8_t Index;
  int32_t Width = 2500;  // 1/256 of a character's width
  uint8_t Hidden = 0;
  uint8_t OutlineLevel = 0;  // 0..7
  uint8_t Collapsed = 0;
  uint8_t UserSetWidth = 0;

  // Equal for COLINFO runs: width, hidden, outline level, collapsed and format (not the user-set flag).
  bool SameLayout(const TXLSColumn& other) const;
};

class TXLSColumns {
 public:
  TXLSColumns(TCellFormats* formats, TFormattedObjectNotify::TChangeHandler onChange)
      : formats_(formats), onChange_(std::move(onChange)) {}

  TXLSColumn* Item(int index) const {
    return index >= 0 && static_cast<size_t>(index) < columns_.size() ? columns_[index].get() : nullptr;
  }
  // Creates the column object at index (replacing any there) with the given format.
  TXLSColumn* Add(int index, int32_t formatIndex);
  // Frees the column objects of first..last; "Invalid columns" outside 0..255 or last below first.
  void ClearColumns(int first, int last);
  void ReadColInfo(const uint8_t* body, uint32_t length);
  void WriteColInfo(TXLSStream& stream) const;

 private:
  TCellFormats* formats_;
  TFormattedObjectNotify::TChangeHandler onChange_;
  // 256 slots once the first column object is made; none for a sheet without column records.
  std::vector<std::unique_ptr<TXLSColumn>> columns_;
};

}  // namespace plicato
