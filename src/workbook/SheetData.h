// TSheets and TSheet: the worksheets of a workbook and their cell accessors.
//
// A worksheet is a grid of cells addressed by zero-based column (0-255) and row (0-65,535); it owns its
// cell storage, its columns and rows, its stored sheet records and its print settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "biff/BIFFRecs.h"
#include "workbook/Cell.h"
#include "workbook/CellStorage.h"

namespace plicato {

class TXLSWorkbook;
class TXLSColumns;
class TXLSRows;
class TRecordStorageSheet;
class TPrintSettings;
class TCellFormat;

// A cell's value as GetVariant gives it.
using TCellVariant = std::variant<double, std::u16string, bool, TCellError>;

class TSheet {
 public:
  TSheet(TXLSWorkbook& workbook, uint8_t kind);
  ~TSheet();
  TSheet(const TSheet&) = delete;
  TSheet& operator=(const TSheet&) = delete;

  TXLSWorkbook& Workbook() const { return workbook_; }

  const std::u16string& Name() const { return name_; }
  // Renames: a name equal to the current one ignoring case changes nothing; a name another worksheet
  // has fails with "Sheet name "<name>" allready exists".
  void SetName(std::u16string_view name);
  void SetNameUnchecked(std::u16string_view name) { name_ = name; }

  uint8_t Kind() const { return kind_; }  // 0 worksheet, 1 VB module, 2 macro sheet
  uint8_t Hidden = 0;                     // 0 visible, 1 hidden, 2 very hidden
  uint8_t TabColor = 0;
  uint16_t Protection = kAllProtectionFlags;  // all set for a new sheet
  bool RecalcFormulas = true;
  uint8_t PaneKind = 0;  // 1 = frozen panes
  uint16_t Zoom = 100;
  bool RecordsFilled = false;  // the stored records have received their defaults

  TCellStorage& Cells() { return cells_; }
  TXLSColumns& Columns() { return *columns_; }
  TXLSRows& Rows() { return *rows_; }
  TRecordStorageSheet& Records() { return *records_; }
  TPrintSettings& PrintSettings() { return *printSettings_; }

  // --- cell accessors ---
  std::u16string GetStringText(int column, int row);
  // True when the cell is a text cell with non-empty text (no copy of the text).
  bool HasNonEmptyText(int column, int row);
  // A number cell's value rounded half to even; "Cell is missing/is of wrong type" for anything else and
  // for a rounded value outside the signed 32-bit range.
  int32_t GetInteger(int column, int row);
  double GetFloat(int column, int row);
  std::u16string GetText(int column, int row);
  TCellVariant GetVariant(int column, int row);

  void PutText(int column, int row, std::u16string_view text);
  // PutText with the empty text for columns firstColumn to lastColumn of the row, in one go: a merge
  // output is mostly such runs.
  void PutEmptyTexts(int firstColumn, int lastColumn, int row);
  void PutTextFormatted(int column, int row, std::u16string_view text, int formatIndex);
  void PutSharedString(int column, int row, TSSTEntry* entry, int formatIndex);
  // As PutSharedString, for a caller that has counted the reference itself (the reader).
  void PutCountedString(int column, int row, TSSTEntry* entry, int formatIndex);
  void PutFloat(int column, int row, double value, int formatIndex);
  void PutBoolean(int column, int row, bool value, int formatIndex);
  void PutError(int column, int row, TCellError error, int formatIndex);
  void PutBlank(int column, int row, int formatIndex);
  // Formula cells (the reader's; kinds 8-13). Fails with "Invalid Formula cell type" for other kinds.
  void PutFormula(int column, int row, TCellKind kind, int formatIndex, std::unique_ptr<TFormulaData> data);

  TCell* FindCell(int column, int row);
  uint8_t GetCellKind(int column, int row);
  void DeleteCell(int column, int row);
  void DeleteCells(int firstColumn, int lastColumn, int firstRow, int lastRow);
  int DefaultFormatAt(int column, int row);

  // Format index of a stored cell (its format's current list position).
  int CellFormatIndex(const TCell& cell) const;

 private:
  uint32_t HandleForIndex(int formatIndex) const;
  // A row's or column's new format, given to its existing cells.
  void ApplyFormatToCells(TCellFormat* format, int firstColumn, int lastColumn, int firstRow, int lastRow);
  void ApplyColumnFormat(TCellFormat* format, int column);
  void ApplyRowFormat(TCellFormat* format, int row);

  TXLSWorkbook& workbook_;
  std::u16string name_;
  uint8_t kind_;
  TCellStorage cells_;
  std::unique_ptr<TXLSColumns> columns_;
  std::unique_ptr<TXLSRows> rows_;
  std::unique_ptr<TRecordStorageSheet> records_;
  std::unique_ptr<TPrintSettings> printSettings_;
};

class TSheets {
 public:
  explicit TSheets(TXLSWorkbook& workbook) : workbook_(workbook) {}

  int Count() const { return static_cast<int>(sheets_.size()); }
  TSheet& Item(int index) const;  // EListError outside 0..Count-1
  TSheet& operator[](int index) const { return Item(index); }
  // Adds a worksheet named "Sheet" + (one more than the number created before it).
  TSheet& Add(uint8_t kind = 0);
  TSheet* FindByName(std::u16string_view name) const;  // case-insensitive; null when absent
  int IndexOf(const TSheet& sheet) const;
  void Clear();

 private:
  TXLSWorkbook& workbook_;
  std::vector<std::unique_ptr<TSheet>> sheets_;
  int created_ = 0;
};

// Case-insensitive comparison of sheet names.
bool SameSheetName(std::u16string_view a, std::u16string_view b);

}  // namespace plicato
