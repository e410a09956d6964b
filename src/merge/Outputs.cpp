// The outputs by format, in one small place: the .xls output is the workbook model's, the .xlsx output is
// written beside the .xlsx reader, and the .csv output is the merge layer's own;
// the streamed ones write on a thread of their own.
#include "merge/CsvOutput.h"
#include "merge/OutputNames.h"
#include "merge/WriteBehind.h"
#include "xls/XlsRowOutput.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {

std::unique_ptr<TRowOutput> MakeRowOutput(TOutputFormat format, const std::filesystem::path& path,
                                          bool paddedRows, uint32_t headerRows) {
  switch (format) {
    case ofXlsx:
      return WriteBehind(MakeXlsxOutput(path, headerRows));
    case ofCsv:
      return WriteBehind(MakeCsvOutput(path));
    case ofXls:
      break;
  }
  return MakeXlsOutput(path, paddedRows);
}

}  // namespace plicato
