#include "workbook/Cell.h"

#include <cstring>

#include "workbook/CellFormats.h"
#include "workbook/SST.h"

namespace plicato {

namespace {
constexpr uint8_t kBiffErrorCodes[8] = {0x2A, 0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A};
}

TCellError ErrorFromBiff(uint8_t code) {
  for (uint8_t e = ceNull; e <= ceNA; ++e)
    if (kBiffErrorCodes[e] == code) return static_cast<TCellError>(e);
  return ceNone;
}

uint8_t BiffFromError(TCellError error) {
  return error <= ceNA ? kBiffErrorCodes[error] : 0x2A;
}

const char16_t* ErrorText(TCellError error) {
  switch (error) {
    case ceNull:
      return u"#NULL!";
    case ceDiv0:
      return u"#DIV/0!";
    case ceValue:
      return u"#VALUE!";
    case ceRef:
      return u"#REF!";
    case ceName:
      return u"#NAME?";
    case ceNum:
      return u"#NUM!";
    case ceNA:
      return u"#N/A";
    default:
      return u"[int] No error value";
  }
}

double TCell::FormulaNumber() const {
  double value;
  std::memcpy(&value, formula->result, sizeof value);
  return value;
}

TCell MakeBlankCell(uint32_t format) {
  TCell cell;
  cell.kind = ckBlank;
  cell.format = format;
  return cell;
}

TCell MakeFloatCell(uint32_t format, double value) {
  TCell cell;
  cell.kind = ckFloat;
  cell.format = format;
  cell.number = value;
  return cell;
}

TCell MakeStringCell(uint32_t format, TSSTEntry* entry) {
  TCell cell;
  cell.kind = ckString;
  cell.format = format;
  cell.entry = entry;
  return cell;
}

TCell MakeBooleanCell(uint32_t format, bool value) {
  TCell cell;
  cell.kind = ckBoolean;
  cell.format = format;
  cell.small = value ? 1 : 0;
  return cell;
}

TCell MakeErrorCell(uint32_t format, TCellError error) {
  TCell cell;
  cell.kind = ckError;
  cell.format = format;
  cell.small = error;
  return cell;
}

TCell MakeFormulaCell(TCellKind kind, uint32_t format, TFormulaData* data) {
  TCell cell;
  cell.kind = kind;
  cell.format = format;
  cell.formula = data;
  return cell;
}

TCell CopyCell(const TCell& cell, TCellFormats& formats) {
  TCell copy = cell;
  formats.AddUse(formats.ByHandle(cell.format));
  if (cell.kind == ckString && cell.entry) cell.entry->RefCount++;
  if (IsFormulaKind(cell.kind)) {
    auto* data = new TFormulaData;
    data->expression = cell.formula->expression;
    data->tokenLength = cell.formula->tokenLength;
    data->arrayBody = cell.formula->arrayBody;
    data->arrayFlag = cell.formula->arrayFlag;
    data->tableBody = cell.formula->tableBody;
    if (IsArrayFormulaKind(cell.kind)) {
      std::memcpy(data->result, cell.formula->result, sizeof data->result);
      data->text = cell.formula->text;
    }
    copy.formula = data;
  }
  return copy;
}

void DestroyCell(TCell& cell, TCellFormats& formats) {
  if (cell.Empty()) return;
  if (IsFormulaKind(cell.kind)) delete cell.formula;
  formats.ReleaseFormat(formats.ByHandle(cell.format));
  cell = TCell();
}

}  // namespace plicato
