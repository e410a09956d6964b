#include "merge/HeaderScan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "MergeHost.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/SheetData.h"

namespace plicato {

namespace fs = std::filesystem;
using TNames = std::vector<std::u16string>;

// Two header rows (a title, then the names) over every kind of input: names as the sheet shows them,
// as wide as the header rows, nothing read past them where a file can stream: a damaged row below it
// is the run's to meet. What cannot be read is unknown, not a
// failure.
TEST(HeaderScan, NamesAndWidthOfEachFileOrUnknown) {
  test::TempDir dir;
  {
    TXLSWorkbook in;
    in.Workbook().SetDate1904(true);
    auto format = [&in](std::u16string_view code) {
      TCellFormat copy(&in.CellFormats(), 15);
      copy.SetNumberFormatText(code);
      return in.CellFormats().FindOrAddCounted(copy)->Index();
    };
    TSheet& s = in.Sheets()[0];
    s.PutText(0, 0, u"月报");
    s.PutText(0, 2, u"日期");  // row 1 has nothing: value mode passes it over
    s.PutFloat(1, 2, 43890, format(u"yyyy-mm-dd"));
    s.PutFloat(2, 2, 12.5, format(u"0.00"));
    s.PutBoolean(4, 2, true, 15);
    s.PutText(6, 9, u"under no header");
    in.Filename = FileNameFromPath(dir / "a.xls");
    WriteWorkbook(in);
  }
  WriteXlsx(dir / "b.xlsx",
            "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>title</t></is></c></row>"
            "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>金额 </t></is></c>"
            "<c r=\"C2\"><v>7</v></c></row>"
            "<row r=\"3\"><c r=\"A3\"><v>not a number</v></c><c r=\"Z3\"><v>1</v></c></row>");
  std::ofstream(dir / "c.csv") << "title\nx,,y\n1,2,3,4,5\n";
  std::ofstream(dir / "bad.xls") << "not a workbook";
  WriteTextRows(dir / "short.xls", 1, "t");
  // Its header rows lie below the rows an .xls file is first read with; its first row holds no value.
  WriteInput(dir / "deep.xls", [](TSheet& s) {
    s.PutBlank(0, 0, 15);
    s.PutText(0, 300, u"title");
    s.PutText(1, 301, u"deep");
    s.PutText(0, 302, u"value");
  });
  WriteTextRows(dir / "long.xls", 300, "r");  // read in part: no book to keep

  const struct {
    const char* file;
    bool known;
    TNames names;
  } cases[] = {
      {"a.xls", true, {u"日期", u"2024-03-01", u"12.50", u"", u"TRUE"}},
      {"b.xlsx", true, {u"金额 ", u"", u"7"}},
      {"c.csv", true, {u"x", u"", u"y"}},
      {"bad.xls", false, {}},
      {"short.xls", true, {}},  // fewer rows than its header rows: no columns
      {"deep.xls", true, {u"", u"deep"}},
      {"long.xls", true, {u"r1.0", u"r1.1", u"r1.2"}},
  };
  std::vector<fs::path> files;
  for (const auto& c : cases) files.push_back(dir / c.file);
  THeaderScanOptions options;
  options.headerRows = 2;
  options.values = true;
  // The .xls books read whole may be kept for the run: read again from their top.
  std::vector<size_t> kept;
  options.keep = [&](size_t file, std::unique_ptr<TInputBook>& book) {
    kept.push_back(file);
    book->SelectSheet(0);
    TInRow row;
    ASSERT_TRUE(book->NextRow(row));
    EXPECT_EQ(row.index, 0u);
  };
  std::vector<THeaderFile> scanned = ScanHeaders(files, options);
  std::sort(kept.begin(), kept.end());  // two threads read the files
  EXPECT_EQ(kept, (std::vector<size_t>{0, 4, 5}));
  ASSERT_EQ(scanned.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(cases[i].file);
    EXPECT_EQ(scanned[i].known, cases[i].known);
    ASSERT_EQ(scanned[i].sheets.size(), cases[i].known ? 1u : 0u);
    if (cases[i].known) {
      EXPECT_EQ(scanned[i].sheets[0].names, cases[i].names);
    }
  }
  // Each known sheet with columns is a file of the match; the rest are left out of it.
  TColumnMatch match(100);
  MatchHeaders(scanned, match);
  EXPECT_EQ(match.Columns(), (TNames{u"日期", u"2024-03-01", u"12.50", u"", u"TRUE", u"金额 ", u"7", u"x",
                                     u"y", u"deep", u"r1.0", u"r1.1", u"r1.2"}));
  EXPECT_EQ(scanned[2].sheets[0].match, 2u);
  EXPECT_EQ(scanned[4].sheets[0].match, kNoHeaderMatch);

  // An encrypted file opens with a known password only; without one it is unknown (nobody is asked).
  const fs::path encrypted = test::CorpusFile("gen/encrypted/lo__pw_pw136.xls");
  if (!fs::exists(encrypted)) GTEST_SKIP() << "no corpus";
  options.headerRows = 1;
  EXPECT_FALSE(ScanHeaders({encrypted}, options)[0].known);
  options.passwords = {u"wrong", u"pw136"};
  const THeaderFile opened = ScanHeaders({encrypted}, options)[0];
  EXPECT_TRUE(opened.known);
  ASSERT_EQ(opened.sheets.size(), 1u);
  EXPECT_FALSE(opened.sheets[0].names.empty());
}

}  // namespace plicato
