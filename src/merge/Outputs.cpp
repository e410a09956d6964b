// The outputs by format, in one small place: the .xls output is the workbook model's; the .xlsx and .csv
// writers (src/xlsx/XlsxWriter.h, src/merge/CsvOutput.h) are not built into this program yet, and a run is
// refused those formats before it reads anything.
#include "merge/MergeError.h"
#include "merge/OutputNames.h"
#include "xls/XlsRowOutput.h"

namespace plicato {

bool OutputAvailable(TOutputFormat format) {
  return format == ofXls;
}

std::string OutputUnavailableText(TOutputFormat format) {
  return std::string("Writing ") + (format == ofXlsx ? ".xlsx" : ".csv") +
         " files is not built into this program: choose a save path ending in .xls.";
}

std::unique_ptr<TRowOutput> MakeRowOutput(TOutputFormat format, const std::filesystem::path& path) {
  if (format == ofXls) return MakeXlsOutput(path);
  throw EMergeError(OutputUnavailableText(format));
}

}  // namespace plicato
