// Failures of the Office Open XML (.xlsx, .xlsm) reader: a damaged or refused zip container, a damaged
// or refused XML part, a missing relationship or part, a cell that cannot be read. The messages name the
// part (and the line in it) so that a user can tell which file of a folder to look at and why.
#pragma once

#include "biff/Errors.h"

namespace plicato {

class EXlsxError : public EPlicatoError {
 public:
  using EPlicatoError::EPlicatoError;
  const char* ClassName() const noexcept override { return "EXlsxError"; }
};

// Refusals the caller may want to recognise word for word.
inline constexpr char kEncryptedXlsx[] = "encrypted .xlsx files are not supported";
inline constexpr char kXlsbNotSupported[] =
    ".xlsb files (Excel binary workbooks) are not supported; save the workbook as .xlsx";

}  // namespace plicato
