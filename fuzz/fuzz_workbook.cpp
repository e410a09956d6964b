// Fuzz target: a whole workbook read from arbitrary bytes in memory, as the merge reads every listed
// file, then its first worksheet read cell by cell as the merge does.
//
// After a failed read the workbook must still hold a worksheet (what it read stays; a default sheet
// replaces none). A workbook that was read must write, or fail to with a message, and what it writes
// must read back: the merge writes what it read.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace {

using namespace plicato;

// The merge's access to a worksheet: row by row from the top, every column, until a row holds no
// non-empty text; numbers through the accessor whose failures the merge swallows.
void ReadLikeTheMerge(TSheet& sheet) {
  for (int row = 0; row < 65536; ++row) {
    bool anyText = false;
    for (int column = 0; column < 256; ++column) {
      const uint8_t kind = sheet.GetCellKind(column, row);
      if (kind == ckString) {
        anyText = anyText || sheet.HasNonEmptyText(column, row);
        (void)sheet.GetStringText(column, row);
      } else if (kind == ckFloat) {
        try {
          (void)sheet.GetInteger(column, row);
        } catch (const EPlicatoError& error) {
          fuzz::RequireMessage(error);
        }
      }
    }
    if (!anyText) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> image(data, data + size);
  TXLSWorkbook workbook;
  workbook.Password = u"password";
  bool read = false;
  try {
    ReadWorkbook(workbook, image);
    read = true;
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
  }
  if (workbook.Sheets().Count() < 1) {
    std::fprintf(stderr, "the workbook holds no worksheet after reading\n");
    std::abort();
  }
  ReadLikeTheMerge(workbook.Sheets()[0]);
  if (!read) return 0;

  // Half the inputs are written encrypted (with the password they were read with), half in clear.
  if (size % 2 == 0) workbook.Password.clear();
  std::vector<uint8_t> written;
  try {
    WriteWorkbook(workbook, written);
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
    return 0;
  }
  // No catch: our own output must read back.
  TXLSWorkbook again;
  again.Password = workbook.Password;
  ReadWorkbook(again, written);
  ReadLikeTheMerge(again.Sheets()[0]);
  return 0;
}
