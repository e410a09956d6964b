// The outputs by format, in one small place: the .xls output is the workbook model's, the .xlsx output is
// written by libxlsxwriter beside the .xlsx reader, and the .csv output is the merge layer's own.
#include "merge/CsvOutput.h"
#include "merge/OutputNames.h"
#include "xls/XlsRowOutput.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {

std::unique_ptr<TRowOutput> MakeRowOutput(TOutputFormat format, const std::filesystem::path& path) {
  switch (format) {
    case ofXlsx:
      return MakeXlsxOutput(path);
    case ofCsv:
      return MakeCsvOutput(path);
    case ofXls:
      break;
  }
  return MakeXlsOutput(path);
}

}  // namespace plicato
