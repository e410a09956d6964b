// Awkward cells for the row outputs (.xlsx, .csv): every cell kind, texts that need quoting or are too
// long for a worksheet cell, numbers that need 15 to 17 digits, dates, -0, NaN and infinities. Shared by
// the unit tests and by the interop program that hands the files to other readers.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "workbook/RowOutput.h"

namespace plicato::test {

struct TSampleCell {
  uint32_t row;
  uint16_t column;
  TOutKind kind;
  std::u16string text;  // okText
  double number = 0;    // okNumber
  std::u16string format = {};
  bool boolean = false;
  TCellError error = ceNone;
};

inline TSampleCell SampleText(uint32_t row, uint16_t column, std::u16string text) {
  return {row, column, okText, std::move(text)};
}
inline TSampleCell SampleNumber(uint32_t row, uint16_t column, double value, std::u16string format = {}) {
  return {row, column, okNumber, {}, value, std::move(format)};
}

// In ascending rows, then columns; rows 4 and 6 are not given.
inline std::vector<TSampleCell> SampleCells() {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<TSampleCell> cells = {SampleText(0, 0, u"plain"),
                                    SampleText(0, 1, u"say \"hi\""),
                                    SampleText(0, 2, u"a,b"),
                                    SampleText(0, 3, u"line1\r\nline2"),
                                    SampleText(0, 4, u"中文，测试"),
                                    SampleText(0, 5, u"\U0001F600 emoji"),
                                    SampleText(0, 6, u""),
                                    SampleText(0, 7, u" lead and trail "),
                                    SampleText(0, 8, u"=1+1"),
                                    SampleNumber(1, 0, 0.1),
                                    SampleNumber(1, 1, 0.1 + 0.2),
                                    SampleNumber(1, 2, 123456789012345.0),
                                    SampleNumber(1, 3, 1234567890123456.0),
                                    SampleNumber(1, 4, 1.2345678901234567),
                                    SampleNumber(1, 5, -0.0),
                                    SampleNumber(1, 6, 1e300),
                                    SampleNumber(1, 7, 5e-324),
                                    SampleNumber(1, 8, -1.5e-7),
                                    SampleNumber(1, 9, std::nan("")),
                                    SampleNumber(1, 10, inf),
                                    SampleNumber(1, 11, 42),
                                    SampleNumber(2, 0, 45322, u"yyyy\\-mm\\-dd"),
                                    SampleNumber(2, 1, 45322.75, u"yyyy-mm-dd hh:mm:ss"),
                                    SampleNumber(2, 2, 0.125, u"0.00%"),
                                    SampleNumber(2, 3, 1234567.891, u"#,##0.00"),
                                    SampleNumber(2, 4, 0.75, u"h:mm AM/PM"),
                                    SampleNumber(2, 5, 45322, u"yyyy\"年\"m\"月\"d\"日\""),
                                    {3, 0, okBoolean, {}, 0, {}, true},
                                    {3, 1, okBoolean, {}, 0, {}, false}};
  for (int e = ceNull; e <= ceNA; ++e)
    cells.push_back({3, static_cast<uint16_t>(1 + e), okError, {}, 0, {}, false, static_cast<TCellError>(e)});
  cells.push_back(SampleText(5, 0, u"中" + std::u16string(39999, u'x')));          // past a cell's 32,767
  cells.push_back(SampleText(5, 1, std::u16string(32767, u'y')));                  // exactly a cell's most
  cells.push_back(SampleText(5, 2, std::u16string(32766, u'z') + u"\U0001F600"));  // a pair across the limit
  cells.push_back(SampleText(7, 0, u""));
  cells.push_back(SampleText(8, 300, u"past column 255"));
  return cells;
}

// Cells that XML or a 16-digit writer would damage: texts with control characters, U+FFFE, lone
// surrogates, literal _xHHHH_ sequences, markup and a cut through 32,767 units; 17-digit, largest,
// denormal numbers and -0; dates before 1900 and after 9999; format codes with control characters and
// markup. In ascending rows, then columns.
inline std::vector<TSampleCell> AwkwardCells() {
  const std::u16string control = {u'a', 0x01, 0x08, 0x0B, 0x0C, 0x1F, u'\r', u'\t', u'\n', u'b'};
  return {
      SampleText(0, 0, control),
      SampleText(0, 1, std::u16string{u'x', 0xFFFE, 0xFFFF, u'y'}),
      SampleText(0, 2, std::u16string{0xD800, u'x', 0xDC00}),  // lone surrogates
      SampleText(0, 3, std::u16string{u'a', 0xDBFF}),
      SampleText(0, 4, u"_x0041_ and _x005f_ and _x12_ and _xZZZZ_ and __x0041__"),
      SampleText(0, 5, u"<&>\"'"),
      SampleText(0, 6, u"  "),
      SampleText(0, 7, std::u16string(32766, u'_') + u"_x0041_"),  // cut through an escape's text
      SampleNumber(1, 0, 1.7976931348623157e308),
      SampleNumber(1, 1, -1.7976931348623157e308),
      SampleNumber(1, 2, 0.1 + 0.2),
      SampleNumber(1, 3, 2.2250738585072009e-308),  // denormal
      SampleNumber(1, 4, 4.9406564584124654e-324),
      SampleNumber(1, 5, 1e21),
      SampleNumber(1, 6, 123456789012345678.0),
      SampleNumber(1, 7, -0.0),
      SampleNumber(2, 0, -1, u"yyyy\\-mm\\-dd"),      // before 1900
      SampleNumber(2, 1, 2958466.5, u"yyyy\\-mm\\-dd"),  // after 9999
      SampleNumber(2, 2, 1.5, std::u16string{u'0', u'.', u'0', u'"', 0x01, u'x', u'"'}),
      SampleNumber(2, 3, 2.5, u"0.0\"<&>\""),
      SampleNumber(2, 4, 3.5, std::u16string{0x01, 0xFFFF}),
  };
}

// Puts the cells row by row, their rows moved down by firstRow.
inline void PutSampleCells(TRowOutput& output, const std::vector<TSampleCell>& cells, uint32_t firstRow = 0) {
  std::vector<TOutCell> row;
  for (size_t i = 0; i < cells.size();) {
    row.clear();
    const uint32_t r = cells[i].row;
    for (; i < cells.size() && cells[i].row == r; ++i) {
      const TSampleCell& s = cells[i];
      TOutCell c;
      c.column = s.column;
      c.kind = s.kind;
      c.text = s.text;
      c.number = s.number;
      c.format = s.format;
      c.boolean = s.boolean;
      c.error = s.error;
      row.push_back(c);
    }
    output.PutRow(firstRow + r, row);
  }
}

}  // namespace plicato::test
