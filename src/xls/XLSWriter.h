// TXLSWriter: turns one workbook into a BIFF8 workbook stream inside a new compound document.
//
// The writer keeps no model of its own. It walks the workbook's stored record lists (one for the
// globals, one per worksheet) and writes every entry in list order: raw records byte for byte, and at
// the placeholders the records it generates from the model (fonts, formats, sheets, strings, cells).
// So a workbook built in memory comes out in the default record order, and a workbook read from a file
// in the file's own order with the model's records regenerated in place.
//
// One writer serves one write: create it, call WriteWorkbook once, free it. Writing changes the
// workbook in ways that persist: the WINDOW2 option bits of every worksheet, the stored PROTECT and
// DIMENSIONS values, the default records materialised into empty lists, and every shared string's
// index (given out while the SST is written).
//
// A workbook read from a file older than BIFF8 (Version() before xvExcel97) still holds that file's
// records in their old layouts, and its formulas as old tokens. Its output is BIFF8 all the same, so
// only what is in BIFF8 layout goes out: the lists' typed records (which the reader converts where the
// layouts differ), the records generated from the model, and the few kept records whose layout never
// changed; everything else is left out, since a BIFF8 reader would misread it. Its formula cells are
// written as their cached values. The workbook itself is not changed by this: only the file differs.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "biff/BIFFRecs.h"
#include "workbook/CellStorage.h"

namespace plicato {

class TXLSStream;
class TXLSWorkbook;
class TSheet;
class TStoredRecord;

// One BOUNDSHEET record to write.
struct TBoundsheetData {
  uint8_t kind = 0;       // 0 worksheet, 1 chart sheet, 2 VB module, 3 macro sheet
  int32_t index = 0;      // worksheet or module: position in TSheets; chart sheet: position among the charts
  int64_t position = -1;  // stream offset of the record's stream-position field; -1 until written
  std::u16string name;
  uint8_t visibility = 0;  // 0 visible, 1 hidden, 2 very hidden
};
using TBoundsheetList = std::vector<TBoundsheetData>;

// The cell records of a worksheet made before the write instead of a cell model (a merge's rows,
// encoded as they came): the writer puts them at the worksheet's cell placeholder and takes the sheet's
// dimensions from them.
class TCellRecords {
 public:
  virtual ~TCellRecords() = default;
  // The bounds of the cells, or nullopt when there are none.
  virtual std::optional<TCellBounds> Bounds() const = 0;
  // Appends the records, whole. Called after the SST is written: its entries' Index are the numbers the
  // file gives them.
  virtual void WriteTo(TXLSStream& stream) = 0;
};

class TXLSWriter {
 public:
  // The workbook must outlive the writer.
  explicit TXLSWriter(TXLSWorkbook& workbook);
  ~TXLSWriter();
  TXLSWriter(const TXLSWriter&) = delete;
  TXLSWriter& operator=(const TXLSWriter&) = delete;

  // Writes the whole workbook as BIFF8 to the file named by the workbook's Filename or, when
  // destination is given, into it (the compound document's bytes). On failure nothing is written: the
  // stream is abandoned, so an existing file of that name is left as it was.
  void WriteWorkbook(std::vector<uint8_t>* destination);
  // The worksheet's cells come from records instead of its cell storage (which should be empty). The
  // records must outlive the write.
  void SetCellRecords(int sheetIndex, TCellRecords* records) {
    recordsSheet_ = sheetIndex;
    cellRecords_ = records;
  }

  // The cell records of one worksheet (called at the worksheet's row-and-cell placeholder). A failure
  // is raised as "Error on writing record # %d" with the cell's one-based ordinal, a carriage return
  // and the failure's own message.
  void WriteCells(TSheet& sheet, TExcelVersion version, TXLSStream& stream);

  // The XF index a cell record carries: 15 for a negative format index, else the index itself. Only
  // BIFF8 is written, where XF indexes are file positions unchanged.
  static int WrittenFormatIndex(const TSheet& sheet, TExcelVersion version, int formatIndex);

 private:
  // A failure while one record or cell is written, named by its number.
  static std::string WrapMessage(int number, const std::exception& failure);
  void BuildSheetList();
  void WriteGlobals();
  void WriteGlobalsEntry(int pos);
  void WriteFormatRecords();
  void WriteBoundsheets();
  void WriteTabId(int pos);
  void WriteFilePass();
  void WriteSheet(int sheetIndex);
  void WriteSheetEntry(TSheet& sheet, int pos);
  void PatchBoundsheetPosition(int sheetIndex);
  void WriteChartSheet(const TBoundsheetData& entry);
  // Writes the current stream position into the entry's BOUNDSHEET record.
  void PatchPosition(const TBoundsheetData& entry);
  void WritePageBreaks(TSheet& sheet);
  void WriteHeaderFooter(TSheet& sheet);
  void WriteMargins(TSheet& sheet);
  void WriteRows(TSheet& sheet);
  void WriteSheetProtection(TSheet& sheet);
  // True when the workbook was read from a file before BIFF8 (see above).
  bool OldSource() const;
  void WriteOldFileSharing(const std::vector<uint8_t>& data);
  void WriteOldWindow2(const TStoredRecord& window2);

  // A record whose body is one 16-bit value.
  void WriteWordRecord(uint16_t id, uint16_t value);

  TXLSWorkbook& workbook_;
  std::unique_ptr<TXLSStream> stream_;
  TBoundsheetList sheetList_;
  int32_t sheetIndex_ = 0;         // the worksheet being written
  uint32_t progressRows_ = 65536;  // rows of the worksheet being written, for progress reports
  int lastProgress_ = 0;           // the highest percentage reported
  int recordsSheet_ = -1;          // the worksheet whose cells are cellRecords_
  TCellRecords* cellRecords_ = nullptr;
};

}  // namespace plicato
