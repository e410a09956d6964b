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
#include "xlsx/XlsxBuild.h"

namespace plicato {
namespace {

std::string Field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

double FromBits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

TEST(Dump, EveryCellAsTheWorkbookRendersIt) {
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
  const std::vector<std::u16string> texts = {u"plain",
                                             u"a, b",
                                             u"say \"hi\"",
                                             u"\"",
                                             u"line\r\nbreak",
                                             u"lf\nonly",
                                             u"caf\u00E9 \u00FF",
                                             u"\u4E2D\u6587, wide",
                                             u"",
                                             u"\u00E9\"\u00E9,"};

  test::TempDir dir;
  TXLSWorkbook written;
  TSheet& sheet = written.Sheets()[0];
  for (size_t i = 0; i < numbers.size(); ++i) sheet.PutFloat(0, static_cast<int>(i), numbers[i], 15);
  for (size_t i = 0; i < texts.size(); ++i) sheet.PutText(2, static_cast<int>(i), texts[i]);
  sheet.PutBoolean(3, 1, true, 15);
  sheet.PutError(3, 2, ceDiv0, 15);
  sheet.PutBlank(4, 3, 15);
  sheet.PutText(5, static_cast<int>(numbers.size()) + 2, u"last");  // empty rows before it
  written.Filename = FromUtf8((dir / "cells.xls").string());
  written.Write();

  TXLSWorkbook read;
  read.Filename = written.Filename;
  read.Read();
  TSheet& back = read.Sheets()[0];
  const TCellBounds bounds = back.Cells().CalcBounds();
  std::string expected;
  for (int row = 0; row <= bounds.lastRow; ++row) {
    for (int column = 0; column <= bounds.lastColumn; ++column)
      expected += (column > 0 ? "," : "") + Field(ToUtf8(back.GetText(column, row)));
    expected += "\r\n";
  }

  const std::string command = "'" PLICATO_CLI "' dump '" + (dir / "cells.xls").string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  EXPECT_EQ(::pclose(pipe), 0);
  ASSERT_EQ(output.size(), expected.size());
  // Line by line, so that a difference shows where it is.
  size_t at = 0;
  for (int row = 0; at < expected.size(); ++row) {
    const size_t end = expected.find("\r\n", at) + 2;
    ASSERT_EQ(output.substr(at, end - at), expected.substr(at, end - at)) << "row " << row;
    at = end;
  }
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
                         {"--sheet 0", "1,,\r\n,,x\r\n"},
                         {"--cells", "0,0,4,1\r\n1,2,5,x\r\n2,16383,1,\r\n"},
                         {"--sheet 1", ""}};
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
      EXPECT_NE(output.find("there is no worksheet 1"), std::string::npos) << output;
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
