#include "workbook/SheetData.h"

#include <cmath>
#include <cstring>

#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/Columns.h"
#include "workbook/NumberText.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

const char kWrongType[] = "Cell is missing/is of wrong type";

std::u16string ValueText(TXLSWorkbook& workbook, uint8_t kind, const TCell& cell) {
  switch (kind) {
    case ckFloat:
      return GeneralNumberText(cell.number);
    case ckString:
      return workbook.SST().EntryText(cell.entry);
    case ckBoolean:
      return cell.Boolean() ? workbook.StrTRUE : workbook.StrFALSE;
    case ckError:
      return ErrorText(cell.Error());
    case ckNumberFormula:
    case ckNumberArrayFormula:
      return GeneralNumberText(cell.FormulaNumber());
    case ckStringFormula:
    case ckStringArrayFormula:
      return cell.formula->text;
    case ckBooleanFormula:
      return cell.formula->small ? workbook.StrTRUE : workbook.StrFALSE;
    case ckErrorFormula:
      return ErrorText(static_cast<TCellError>(cell.formula->small));
    default:
      return std::u16string();
  }
}

inline bool ValidPosition(int column, int row) {
  return column >= 0 && column <= 255 && row >= 0 && row <= 65535;
}

}  // namespace

bool SameSheetName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperChar16(a[i]) != UpperChar16(b[i])) return false;
  return true;
}

// --- TSheet ---

TSheet::TSheet(TXLSWorkbook& workbook, uint8_t kind)
    : workbook_(workbook), kind_(kind), cells_(&workbook.CellFormats()) {
  TCellFormats* formats = &workbook.CellFormats();
  columns_ = std::make_unique<TXLSColumns>(
      formats, [this](TCellFormat* format, int column) { ApplyColumnFormat(format, column); });
  rows_ = std::make_unique<TXLSRows>(formats,
                                     [this](TCellFormat* format, int row) { ApplyRowFormat(format, row); });
  records_ = std::make_unique<TRecordStorageSheet>();
  printSettings_ = std::make_unique<TPrintSettings>(*records_);
  printSettings_->Reset();
  printSettings_->SetPaperSize(workbook.DefaultPaperSize());
}

TSheet::~TSheet() {
  // Cells first: they release their formats, which the rows and columns may share.
  cells_.ClearAll();
}

void TSheet::SetName(std::u16string_view name) {
  if (SameSheetName(name, name_)) return;
  TSheet* other = workbook_.Sheets().FindByName(name);
  if (other && other != this) throw EXLSError("Sheet name \"" + ToUtf8(name) + "\" allready exists");
  name_ = name;
}

uint32_t TSheet::HandleForIndex(int formatIndex) const {
  TCellFormats& formats = workbook_.CellFormats();
  int index = formats.AdoptableIndex(formatIndex < 0 ? 15 : formatIndex);
  TCellFormat* format = formats.Item(index);
  // A counted format gains a use for the cell that will hold it; destroying the cell gives it back.
  formats.AddUse(format);
  return format->Handle();
}

int TSheet::CellFormatIndex(const TCell& cell) const {
  TCellFormat* format = workbook_.CellFormats().ByHandle(cell.format);
  return format ? format->Index() : 15;
}

std::u16string TSheet::GetStringText(int column, int row) {
  if (!ValidPosition(column, row)) return std::u16string();
  const TCell* cell = cells_.LookupKey(CellKey(column, row));
  if (!cell || cell->kind != ckString) return std::u16string();
  std::u16string text;
  TSST::AppendEntryText(cell->entry, text);
  return text;
}

bool TSheet::HasNonEmptyText(int column, int row) {
  if (!ValidPosition(column, row)) return false;
  const TCell* cell = cells_.LookupKey(CellKey(column, row));
  return cell && cell->kind == ckString && !TSST::EntryIsEmpty(cell->entry);
}

int32_t TSheet::GetInteger(int column, int row) {
  const TCell* cell = ValidPosition(column, row) ? cells_.LookupKey(CellKey(column, row)) : nullptr;
  if (!cell || cell->kind != ckFloat) throw EXLSError(kWrongType);
  double rounded = std::nearbyint(cell->number);  // half to even in the default rounding mode
  // A value that does not fit is refused rather than cut to its low 32 bits.
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) throw EXLSError(kWrongType);
  return static_cast<int32_t>(rounded);
}

double TSheet::GetFloat(int column, int row) {
  const TCell* cell = ValidPosition(column, row) ? cells_.LookupKey(CellKey(column, row)) : nullptr;
  if (!cell) return 0;
  if (cell->kind == ckFloat) return cell->number;
  if (cell->kind == ckNumberFormula || cell->kind == ckNumberArrayFormula) return cell->FormulaNumber();
  return 0;
}

std::u16string TSheet::GetText(int column, int row) {
  const TCell* cell = ValidPosition(column, row) ? cells_.LookupKey(CellKey(column, row)) : nullptr;
  if (!cell) return std::u16string();
  // Without a formula decoder the formula text cannot be shown; the stored result stands for it.
  return ValueText(workbook_, cell->kind, *cell);
}

TCellVariant TSheet::GetVariant(int column, int row) {
  const TCell* cell = ValidPosition(column, row) ? cells_.LookupKey(CellKey(column, row)) : nullptr;
  if (!cell) return ceNA;
  switch (cell->kind) {
    case ckFloat:
      return cell->number;
    case ckString:
      return workbook_.SST().EntryText(cell->entry);
    case ckBoolean:
      return cell->Boolean();
    case ckError:
      return cell->Error();
    case ckNumberFormula:
    case ckNumberArrayFormula:
      return cell->FormulaNumber();
    case ckStringFormula:
    case ckStringArrayFormula:
      return cell->formula->text;
    case ckBooleanFormula:
      return cell->formula->small != 0;
    case ckErrorFormula:
      return static_cast<TCellError>(cell->formula->small);
    default:
      return ceNA;
  }
}

int TSheet::DefaultFormatAt(int column, int row) {
  TCellFormats& formats = workbook_.CellFormats();
  const TXLSColumn* col = columns_->Item(column);
  int index = 15;
  if (col && col->FormatIndex() != 15) {
    index = col->FormatIndex();
  } else if (const TXLSRow* r = rows_->FindRow(row); r && r->FormatIndex() != 15) {
    index = r->FormatIndex();
  } else {
    return 15;
  }
  formats.AddUse(formats.Item(index));
  return index;
}

void TSheet::PutText(int column, int row, std::u16string_view text) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  TCellFormats& formats = workbook_.CellFormats();
  // DefaultFormatAt has counted the format's use already.
  int index = DefaultFormatAt(column, row);
  uint32_t handle = formats.Item(index)->Handle();
  TSSTEntry* entry = workbook_.SST().AddString(text);
  cells_.InsertAtKey(CellKey(column, row), MakeStringCell(handle, entry));
}

void TSheet::PutEmptyTexts(int firstColumn, int lastColumn, int row) {
  if (firstColumn > lastColumn) return;
  if (!ValidPosition(firstColumn, row) || !ValidPosition(lastColumn, row)) {
    // Fails where PutText would, after storing what PutText would have stored.
    for (int column = firstColumn; column <= lastColumn; ++column)
      PutText(column, row, std::u16string_view());
    return;
  }
  TCellFormats& formats = workbook_.CellFormats();
  // A column with a format of its own decides its cell's default format (see DefaultFormatAt); between
  // such columns the row decides, for the whole run.
  auto ownFormat = [this](int column) {
    const TXLSColumn* col = columns_->Item(column);
    return col && col->FormatIndex() != 15;
  };
  for (int column = firstColumn; column <= lastColumn;) {
    if (ownFormat(column)) {
      PutText(column, row, std::u16string_view());
      ++column;
      continue;
    }
    int end = column + 1;
    while (end <= lastColumn && !ownFormat(end)) ++end;
    const int count = end - column;
    // Looked up for each run, as the cells before it may have changed the format list.
    const TXLSRow* rowObject = rows_->FindRow(row);
    const int rowIndex = rowObject && rowObject->FormatIndex() != 15 ? rowObject->FormatIndex() : 15;
    TCellFormat* format = formats.Item(rowIndex);
    if (rowIndex != 15) formats.AddUses(format, count);  // as DefaultFormatAt counts each cell's use
    TSSTEntry* entry = workbook_.SST().AddEmptyStrings(count);
    cells_.InsertRun(CellKey(column, row), static_cast<uint32_t>(count),
                     MakeStringCell(format->Handle(), entry));
    column = end;
  }
}

void TSheet::PutTextFormatted(int column, int row, std::u16string_view text, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  uint32_t handle = HandleForIndex(formatIndex);
  TSSTEntry* entry = workbook_.SST().AddString(text);
  cells_.InsertAtKey(CellKey(column, row), MakeStringCell(handle, entry));
}

void TSheet::PutSharedString(int column, int row, TSSTEntry* entry, int formatIndex) {
  workbook_.SST().AddReference(entry);
  PutCountedString(column, row, entry, formatIndex);
}

void TSheet::PutCountedString(int column, int row, TSSTEntry* entry, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  cells_.InsertAtKey(CellKey(column, row), MakeStringCell(HandleForIndex(formatIndex), entry));
}

void TSheet::PutFloat(int column, int row, double value, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  cells_.InsertAtKey(CellKey(column, row), MakeFloatCell(HandleForIndex(formatIndex), value));
}

void TSheet::PutBoolean(int column, int row, bool value, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  cells_.InsertAtKey(CellKey(column, row), MakeBooleanCell(HandleForIndex(formatIndex), value));
}

void TSheet::PutError(int column, int row, TCellError error, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  cells_.InsertAtKey(CellKey(column, row), MakeErrorCell(HandleForIndex(formatIndex), error));
}

void TSheet::PutBlank(int column, int row, int formatIndex) {
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  cells_.InsertAtKey(CellKey(column, row), MakeBlankCell(HandleForIndex(formatIndex)));
}

void TSheet::PutFormula(int column, int row, TCellKind kind, int formatIndex,
                        std::unique_ptr<TFormulaData> data) {
  if (!IsFormulaKind(kind) || !data) throw EXLSError("Invalid Formula cell type");
  if (!ValidPosition(column, row)) throw EXLSError(FormatMessage("Invalid cell position %d:%d", column, row));
  uint32_t handle = HandleForIndex(formatIndex);
  cells_.InsertAtKey(CellKey(column, row), MakeFormulaCell(kind, handle, data.release()));
}

TCell* TSheet::FindCell(int column, int row) {
  return ValidPosition(column, row) ? cells_.LookupKey(CellKey(column, row)) : nullptr;
}

uint8_t TSheet::GetCellKind(int column, int row) {
  const TCell* cell = FindCell(column, row);
  return cell ? cell->kind : ckNone;
}

void TSheet::DeleteCell(int column, int row) {
  try {
    TCell* cell = FindCell(column, row);
    if (!cell) return;
    if (cell->kind == ckString) workbook_.SST().ReleaseEntry(cell->entry);
    cells_.DeleteAtKey(CellKey(column, row));
  } catch (const std::exception&) {
    throw EXLSError(FormatMessage("Error on deleting cell %d:%d", column, row));
  }
}

void TSheet::DeleteCells(int firstColumn, int lastColumn, int firstRow, int lastRow) {
  for (int column = firstColumn; column <= lastColumn; ++column)
    for (int row = firstRow; row <= lastRow; ++row) DeleteCell(column, row);
}

void TSheet::ApplyFormatToCells(TCellFormat* format, int firstColumn, int lastColumn, int firstRow,
                                int lastRow) {
  TCellFormats& formats = workbook_.CellFormats();
  for (int row = firstRow; row <= lastRow; ++row) {
    for (int column = firstColumn; column <= lastColumn; ++column) {
      TCell* cell = FindCell(column, row);
      if (!cell || cell->format == format->Handle()) continue;
      formats.AddUse(format);
      TCellFormat* old = formats.ByHandle(cell->format);
      cell->format = format->Handle();
      cells_.NoteFormat(cell->format);
      formats.ReleaseFormat(old);
    }
  }
}

void TSheet::ApplyColumnFormat(TCellFormat* format, int column) {
  if (cells_.IsEmpty()) return;
  TCellBounds bounds = cells_.CalcBounds();
  ApplyFormatToCells(format, column, column, bounds.firstRow, bounds.lastRow);
}

void TSheet::ApplyRowFormat(TCellFormat* format, int row) {
  if (cells_.IsEmpty()) return;
  TCellBounds bounds = cells_.CalcBounds();
  ApplyFormatToCells(format, bounds.firstColumn, bounds.lastColumn, row, row);
}

// --- TSheets ---

TSheet& TSheets::Item(int index) const {
  if (index < 0 || index >= Count()) throw EListError(index);
  return *sheets_[index];
}

TSheet& TSheets::Add(uint8_t kind) {
  auto sheet = std::make_unique<TSheet>(workbook_, kind);
  sheet->SetNameUnchecked(u"Sheet" + FromUtf8(std::to_string(++created_)));
  sheets_.push_back(std::move(sheet));
  return *sheets_.back();
}

TSheet* TSheets::FindByName(std::u16string_view name) const {
  for (const auto& sheet : sheets_)
    if (SameSheetName(sheet->Name(), name)) return sheet.get();
  return nullptr;
}

int TSheets::IndexOf(const TSheet& sheet) const {
  for (size_t i = 0; i < sheets_.size(); ++i)
    if (sheets_[i].get() == &sheet) return static_cast<int>(i);
  return -1;
}

void TSheets::Clear() {
  sheets_.clear();
  // A cleared collection names its sheets afresh, so that a cleared workbook looks like a new one.
  created_ = 0;
}

}  // namespace plicato
