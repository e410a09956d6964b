#include "merge/output/CsvOutput.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/Errors.h"

namespace plicato {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(CsvOutput, CellsRowsAndQuoting) {
  test::TempDir dir;
  auto output = MakeCsvOutput(dir / "out.csv");
  test::PutSampleCells(*output, test::SampleCells());
  output->Commit();
  const std::string expected =
      "\xEF\xBB\xBF"
      "plain,\"say \"\"hi\"\"\",\"a,b\",\"line1\r\nline2\",中文，测试,\U0001F600 emoji,, lead and trail "
      ",=1+1\r\n"
      "0.1,0.30000000000000004,123456789012345,1234567890123456,1.2345678901234567,0,1e+300,5e-324,-1.5e-07,"
      "#NUM!,#NUM!,42\r\n"
      "2024-01-31,2024-01-31 18:00:00,12.50%,\"1,234,567.89\",6:00 PM,2024年1月31日\r\n"
      "TRUE,FALSE,#NULL!,#DIV/0!,#VALUE!,#REF!,#NAME?,#NUM!,#N/A\r\n"
      "\r\n"
      "中" +
      std::string(39999, 'x') + "," + std::string(32767, 'y') + "," + std::string(32766, 'z') +
      "\U0001F600\r\n"
      "\r\n"
      "\r\n" +
      std::string(300, ',') + "past column 255\r\n";
  EXPECT_EQ(ReadText(dir / "out.csv"), expected);
  EXPECT_EQ(CsvField("no quotes"), "no quotes");
  EXPECT_EQ(CsvField("\"\r"), "\"\"\"\r\"");
}

TEST(CsvOutput, RowsOnlyWhereNeeded) {
  test::TempDir dir;
  auto output = MakeCsvOutput(dir / "out.csv");
  TOutCell cell;
  cell.text = u"x";
  output->PutRow(2, {&cell, 1});
  EXPECT_THROW(output->PutRow(2, {&cell, 1}), EFileError);
  cell.column = 16384;
  EXPECT_THROW(output->PutRow(3, {&cell, 1}), EFileError);
  output->Commit();
  EXPECT_EQ(ReadText(dir / "out.csv"), "\xEF\xBB\xBF\r\n\r\nx\r\n");
  // Nothing gathered still gives a well-formed file: the mark alone.
  MakeCsvOutput(dir / "empty.csv")->Commit();
  EXPECT_EQ(ReadText(dir / "empty.csv"), "\xEF\xBB\xBF");
}

}  // namespace
}  // namespace plicato
