// The number formats of a workbook's cell formats, from its styles part: a cell's s attribute is an index
// into <cellXfs>, whose numFmtId names a format defined in <numFmts> or a built-in one. Each format is
// known by its code ("0.00%", "yyyy-mm-dd"), the empty code being General, and by whether it shows a date
// or a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xlsx/XlsxValues.h"
#include "xlsx/XmlPart.h"

namespace plicato::xlsx {

// The code of a built-in number format: ids 0-49 as the .xls reader has them, the Chinese (PRC) dates and
// times of ids 27-36 and 50-58; empty for General and for an id without a built-in code.
std::u16string_view BuiltInFormatCode(uint32_t id);
// True for a code that shows a date or a time: a d, m, y, h or s outside quotes, escapes and brackets, or
// an elapsed time ([h], [mm], [ss]).
bool IsDateFormat(std::u16string_view code);
// The code a date cell (t="d") is shown with when its style has no date format.
std::u16string_view DateShapeFormat(TDateShape shape);

class TCellStyles {
 public:
  // The number format code of cell format xf; General (empty) for an index the workbook does not have.
  std::u16string_view Format(uint32_t xf) const {
    return xf < xfs_.size() ? std::u16string_view(codes_[xfs_[xf]].code) : std::u16string_view();
  }
  bool IsDate(uint32_t xf) const { return xf < xfs_.size() && codes_[xfs_[xf]].date; }

 private:
  friend class TStylesPart;
  struct TCode {
    std::u16string code;
    bool date = false;
  };
  std::vector<TCode> codes_;   // distinct codes, the cell formats' numbers point here
  std::vector<uint32_t> xfs_;  // code of each cell format
};

class TStylesPart : public TXmlPart {
 public:
  using TXmlPart::TXmlPart;
  // The cell formats' codes, once the part has been parsed.
  TCellStyles Take();

 protected:
  void StartElement(const char* name, const char** attributes) override;
  void EndElement(const char* name) override;
  void Characters(const char*, int) override {}

 private:
  std::unordered_map<uint32_t, std::u16string> custom_;  // <numFmt> by id
  std::vector<uint32_t> xfIds_;                          // numFmtId of each <xf> of <cellXfs>
  size_t customBytes_ = 0;
  bool inCellXfs_ = false, inNumFmts_ = false;
};

}  // namespace plicato::xlsx
