// plicato-cli dump renders each cell as the workbook does (TSheet::GetText) and quotes it as RFC 4180
// asks, whichever of its paths the cell takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxBuild.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;

// What plicato-cli dump prints for the file.
std::string Dump(const fs::path& file) {
  const std::string command = "'" PLICATO_CLI "' dump '" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "(popen failed)";
  std::string output;
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  EXPECT_EQ(::pclose(pipe), 0);
  return output;
}

double FromBits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

TEST(Dump, NumbersAsTheWorkbookRendersThem) {
  // Numbers at the edges of %.15G's layouts and of the shortest digits, then numbers of random bits.
  std::vector<double> numbers = {0.0,
                                 -0.0,
                                 1,
                                 -1,
                                 0.1,
                                 0.3,
                                 0.1 + 0.2,
                                 1.0 / 3,
                                 2.0 / 3,
                                 123456789012345.0,
                                 999999999999999.0,
                                 1e15,
                                 1e16,
                                 1234567890123456.0,
                                 0.0001,
                                 0.00012345,
                                 0.00001,
                                 1.5e-7,
                                 1e21,
                                 1e22,
                                 1e23,
                                 9.999999999999999e22,
                                 1e100,
                                 1e-100,
                                 5e-324,
                                 2.2250738585072014e-308,
                                 2.225073858507201e-308,
                                 std::numeric_limits<double>::max(),
                                 12.5,
                                 100,
                                 1e14,
                                 99999.99999999999,
                                 0.30000000000000004,
                                 4.35,
                                 0.01,
                                 655.35};
  std::mt19937_64 random(7);
  while (numbers.size() < 3000) {
    const double d = FromBits(random());
    if (std::isfinite(d)) numbers.push_back(d);
    numbers.push_back(static_cast<double>(random() % 2000000) / 100);  // hundredths: RK cells
  }
  test::TempDir dir;
  TXLSWorkbook written;
  for (size_t i = 0; i < numbers.size(); ++i)
    written.Sheets()[0].PutFloat(0, static_cast<int>(i), numbers[i], 15);
  written.Filename = FromUtf8((dir / "numbers.xls").string());
  WriteWorkbook(written);

  // The workbook's own renderer (no number's text needs quotes) against dump's fast one.
  TXLSWorkbook read;
  read.Filename = written.Filename;
  ReadWorkbook(read);
  const std::string output = Dump(dir / "numbers.xls");
  size_t at = 0;
  for (int row = 0; row < static_cast<int>(numbers.size()); ++row) {
    const std::string line = ToUtf8(read.Sheets()[0].GetText(0, row)) + "\r\n";
    ASSERT_EQ(output.substr(at, line.size()), line) << "row " << row;
    at += line.size();
  }
  EXPECT_EQ(at, output.size());
}

// A field holding a comma, a quote, a CR or an LF is quoted, its quotes doubled; others are not. Texts
// of 8 bits and of 16 bits in an .xls take different paths, and an .xlsx sheet a third.
TEST(Dump, QuotesFieldsAsRfc4180Asks) {
  const struct {
    std::u16string text;
    const char* field;
  } cases[] = {
      {u"plain", "plain"},
      {u"a, b", "\"a, b\""},
      {u"\"hi\" she said", "\"\"\"hi\"\" she said\""},
      {u"\"", "\"\"\"\""},
      {u"line\r\nbreak", "\"line\r\nbreak\""},
      {u"lf\nonly", "\"lf\nonly\""},
      {u"caf\u00E9 \u00FF", "caf\u00E9 \u00FF"},
      {u"\u00E9\"\u00E9,", "\"\u00E9\"\"\u00E9,\""},
      {u"\u4E2D\u6587, wide", "\"\u4E2D\u6587, wide\""},
      {u"\u4E2D \"hi\"", "\"\u4E2D \"\"hi\"\"\""},
      {u"\u4E2D\r", "\"\u4E2D\r\""},
      {u"", ""},
  };
  test::TempDir dir;
  TXLSWorkbook xls;
  TSheet& sheet = xls.Sheets()[0];
  std::string expected;
  int row = 0;
  for (const auto& c : cases) {
    sheet.PutText(0, row++, c.text);
    expected += c.field + std::string(",,\r\n");
  }
  sheet.PutBoolean(0, row, true, 15);
  sheet.PutError(1, row, ceDiv0, 15);
  sheet.PutBlank(2, row, 15);
  xls.Filename = FromUtf8((dir / "texts.xls").string());
  WriteWorkbook(xls);
  EXPECT_EQ(Dump(dir / "texts.xls"), expected + "TRUE,#DIV/0!,\r\n");

  test::WriteFileBytes(
      dir / "texts.xlsx",
      test::BuildZip(test::WorkbookParts(
          test::SheetXml(
              "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>\"hi\" she said</t></is></c>"
              "<c r=\"B1\" t=\"s\"><v>0</v></c></row><row r=\"2\"><c r=\"A2\"><v>2.5</v></c></row>"),
          test::SharedStringsXml("<si><t>say &quot;x&quot;</t></si>"))));
  EXPECT_EQ(Dump(dir / "texts.xlsx"), "\"\"\"hi\"\" she said\",\"say \"\"x\"\"\"\r\n2.5,\r\n");
}

// An .xlsx sheet is dumped as its values span: cells of nothing but a format, however far out, add no
// row or column (a sheet formatted down to XFD1048576 would otherwise print gigabytes), and --sheet counts
// worksheets, a chart sheet listed first passed over.
TEST(Dump, XlsxPrintsTheValuesOfTheChosenWorksheet) {
  test::TempDir dir;
  std::string formatted;
  for (int r = 3; r <= 3000; ++r)
    formatted += "<row r=\"" + std::to_string(r) + "\"><c r=\"XFD" + std::to_string(r) + "\" s=\"1\"/></row>";
  test::TParts parts =
      test::WorkbookParts(test::SheetXml("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\"><c "
                                         "r=\"C2\" t=\"inlineStr\"><is><t>x</t></is></c></row>" +
                                         formatted));
  std::string& book = parts["xl/workbook.xml"];
  book.insert(book.find("<sheet "), "<sheet name=\"Chart\" sheetId=\"9\" r:id=\"rC\"/>");
  std::string& rels = parts["xl/_rels/workbook.xml.rels"];
  rels.insert(rels.find("</Relationships>"),
              "<Relationship Id=\"rC\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet\" "
              "Target=\"chart.xml\"/>");
  parts["xl/chart.xml"] = "<chartsheet/>";
  test::WriteFileBytes(dir / "sheet.xlsx", test::BuildZip(parts));
  struct TCase {
    const char* options;
    const char* expected;
  };
  const TCase cases[] = {{"", "1,,\r\n,,x\r\n"},
                         {"--sheet 1", "1,,\r\n,,x\r\n"},
                         {"--cells", "0,0,4,1\r\n1,2,5,x\r\n2,16383,1,\r\n"},
                         {"--sheet 2", ""}};
  for (const TCase& c : cases) {
    const std::string command =
        "'" PLICATO_CLI "' dump " + std::string(c.options) + " '" + (dir / "sheet.xlsx").string() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
    const int status = ::pclose(pipe);
    if (*c.expected == '\0') {
      EXPECT_NE(status, 0) << c.options;
      EXPECT_NE(output.find("there is no worksheet 2"), std::string::npos) << output;
    } else {
      EXPECT_EQ(status, 0) << c.options;
      // --cells lists every stored cell, the formatted ones too: its start is compared.
      EXPECT_EQ(std::string_view(c.options) == "--cells" ? output.substr(0, std::strlen(c.expected)) : output,
                c.expected)
          << c.options;
    }
  }
}

}  // namespace
}  // namespace plicato
