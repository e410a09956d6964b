// The rows of one input file as the merge takes them: from the top of its first worksheet down to its
// first row without non-empty text, every value already in the form the merge writes it (a number as the
// text of its rounded value, a text as it is, anything else empty text).
//
// An .xls file is read whole into a workbook model first; an .xlsx/.xlsm file is streamed from its sheet
// XML one row at a time, so that a sheet of a million rows never becomes a model in memory. A streamed
// source can therefore fail in NextRow, after some of its rows were taken.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace plicato {

class TXLSWorkbook;

class TRowSource {
 public:
  // Columns 0 to 254 are merged; a worksheet's further columns are not.
  static constexpr int kColumns = 255;

  virtual ~TRowSource() = default;

  // Moves to the next row. False once the file has ended: past its last row, at a row the sheet leaves
  // out, or at a row with no non-empty text in the merged columns (that row is not taken).
  virtual bool NextRow() = 0;
  // Replaces text with the merged form of the current row's cell in column (below kColumns).
  virtual void CellText(int column, std::u16string& text) = 0;
  // The column from which on every cell of the current row gives the empty text (at most kColumns).
  virtual int TextWidth() const { return kColumns; }
  // The one-based number of the last column past the merged ones that held a value in a row taken, or 0.
  virtual uint32_t LastColumnLeftOut() const { return 0; }
};

// Takes a workbook that has been read; its worksheet 0 is the source.
std::unique_ptr<TRowSource> MakeXlsRowSource(std::unique_ptr<TXLSWorkbook> workbook);
// Opens an Office Open XML workbook (EXlsxError when it cannot); its first worksheet is the source.
std::unique_ptr<TRowSource> MakeXlsxRowSource(const std::filesystem::path& path);

}  // namespace plicato
