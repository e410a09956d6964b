#include "merge/output/Outputs.h"

#include "merge/output/CsvOutput.h"
#include "merge/output/WriteBehind.h"
#include "xls/XlsRowOutput.h"
#include "xlsx/XlsxWriter.h"

namespace plicato {

std::unique_ptr<TRowOutput> MakeRowOutput(TOutputFormat format, const std::filesystem::path& path,
                                          uint16_t padTo, uint32_t headerRows) {
  switch (format) {
    case ofXlsx:
      return WriteBehind(MakeXlsxOutput(path, headerRows));
    case ofCsv:
      return WriteBehind(MakeCsvOutput(path));
    case ofXls:
      break;
  }
  std::unique_ptr<TRevisableOutput> output = MakeXlsOutput(path, padTo > 0);
  output->PadRowsTo(padTo);
  return output;
}

}  // namespace plicato
