// Cells of a worksheet and their kinds.
//
// A merge output holds up to 65,536 x 255 cells, so a cell is a 16-byte value stored directly in the
// cell storage's blocks rather than an object of its own: its kind, one small value byte, the handle of
// its cell format (stable while the format lives, see TCellFormats), and one 8-byte payload. The key is
// not stored: it is the cell's place in the storage. Formula cells keep their expression and cached
// result in a separately allocated TFormulaData that the cell owns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plicato {

struct TSSTEntry;
class TCellFormats;

enum TCellKind : uint8_t {
  ckNone = 0,  // no cell
  ckBlank = 1,
  ckInteger = 3,  // reserved: no cell of this kind is ever created
  ckFloat = 4,
  ckString = 5,
  ckBoolean = 6,
  ckError = 7,
  ckNumberFormula = 8,
  ckStringFormula = 9,
  ckBooleanFormula = 10,
  ckErrorFormula = 11,
  ckNumberArrayFormula = 12,
  ckStringArrayFormula = 13,
};

inline bool IsFormulaKind(uint8_t kind) {
  return kind >= ckNumberFormula && kind <= ckStringArrayFormula;
}
inline bool IsArrayFormulaKind(uint8_t kind) {
  return kind == ckNumberArrayFormula || kind == ckStringArrayFormula;
}

// Error values held by error cells: 1..7 for the BIFF codes 0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A.
enum TCellError : uint8_t { ceNone = 0, ceNull, ceDiv0, ceValue, ceRef, ceName, ceNum, ceNA };
TCellError ErrorFromBiff(uint8_t code);       // unknown codes give ceNone
uint8_t BiffFromError(TCellError error);      // ceNone gives 0x2A (callers refuse it where it matters)
const char16_t* ErrorText(TCellError error);  // "#NULL!" ... "#N/A"; ceNone "[int] No error value"

// Expression and cached result of a formula cell; array formulas also keep their ARRAY record body.
struct TFormulaData {
  std::vector<uint8_t> expression;  // parsed tokens and any extra data, as read
  uint32_t tokenLength = 0;         // expression length field of the source record, written back
  uint8_t evaluated = 0;            // set by an evaluator once it has computed the cell
  uint8_t result[8] = {};           // number result: the 8 raw bytes of the double
  std::u16string text;              // text result
  uint8_t small = 0;                // boolean value or TCellError
  std::vector<uint8_t> arrayBody;   // ARRAY record body (array formulas; also the boolean or error
                                    // first cell of an array, which is a plain formula kind)
  uint8_t arrayFlag = 0;            // nonzero: a member cell, no ARRAY record written for it
  std::vector<uint8_t> tableBody;   // TABLE record body (the first cell of a data table)
};

struct TCell {
  TCellKind kind = ckNone;
  uint8_t small = 0;  // boolean value (0/1) or TCellError
  uint16_t reserved = 0;
  uint32_t format = 0;  // handle of the cell format
  union {
    double number;
    TSSTEntry* entry;
    TFormulaData* formula;
  };

  TCell() : number(0) {}

  bool Empty() const { return kind == ckNone; }
  double Number() const { return number; }
  TSSTEntry* Entry() const { return entry; }
  bool Boolean() const { return small != 0; }
  TCellError Error() const { return static_cast<TCellError>(small); }
  TFormulaData* Formula() const { return formula; }
  // The stored result of a number formula or number array formula.
  double FormulaNumber() const;
};
static_assert(sizeof(TCell) == 16, "cells must stay compact");

// Cell constructors, one per kind (the format is a handle of the workbook's TCellFormats). A formula
// cell takes ownership of its TFormulaData.
TCell MakeBlankCell(uint32_t format);
TCell MakeFloatCell(uint32_t format, double value);
TCell MakeStringCell(uint32_t format, TSSTEntry* entry);
TCell MakeBooleanCell(uint32_t format, bool value);
TCell MakeErrorCell(uint32_t format, TCellError error);
TCell MakeFormulaCell(TCellKind kind, uint32_t format, TFormulaData* data);

// The copy of a cell: a new cell of the same kind, format and value. The format's use count and a
// string's reference count each gain one. Plain formula copies do not carry the cached result; array
// formula copies carry the ARRAY body, its flag and the result. The ARRAY and TABLE bodies of other
// formula cells are copied too: without them the formula names a record that is not there. The
// evaluated flag is never copied.
TCell CopyCell(const TCell& cell, TCellFormats& formats);

// Frees what the cell owns (formula data) and releases its format; the cell becomes empty. String
// reference counts are not touched: whoever removes a string cell releases its entry first.
void DestroyCell(TCell& cell, TCellFormats& formats);

}  // namespace plicato
