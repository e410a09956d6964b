#include "cli/CopyCommand.h"

#include "biff/CodePage.h"
#include "biff/OutputFile.h"
#include "cli/CommandLine.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato {

int Copy(const TCopyArgs& args) {
  const std::string& password = args.password;
  const std::vector<std::string>& files = args.files;
  if (files.size() != 2) return UsageError("copy needs IN.xls and OUT.xls", "copy");
  cfb::CheckOutputWritable(files[1]);
  cfb::RemoveTemporaryFilesOnSignals();
  TXLSWorkbook workbook;
  workbook.Filename = FileNameFromPath(files[0]);
  workbook.Password = FromUtf8(password);
  ReadWorkbook(workbook);
  // The password opened the input; the copy is written without one, decrypted.
  workbook.Password.clear();
  workbook.Filename = FileNameFromPath(files[1]);
  WriteWorkbook(workbook);
  return 0;
}

}  // namespace plicato
