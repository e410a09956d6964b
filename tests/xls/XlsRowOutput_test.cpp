// The two forms of the .xls output must give the same cells: the model's (a classic merge's rows) and
// the records made as rows come (a value-mode merge's), whatever the merge does with them: late cells,
// dropped rows, keyed texts given again after their rows went.
#include "xls/XlsRowOutput.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "workbook/CellFormats.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato {
namespace {

// Every cell of the first worksheet of the file: position, kind, text, exact number and number format.
std::string Cells(const std::filesystem::path& path) {
  TXLSWorkbook workbook;
  workbook.Filename = FileNameFromPath(path);
  ReadWorkbook(workbook);
  TSheet& sheet = workbook.Sheets()[0];
  std::string out;
  sheet.Cells().BeginIteration();
  for (TCellRef ref = sheet.Cells().NextCell(); ref; ref = sheet.Cells().NextCell()) {
    const int column = static_cast<int>(KeyColumn(ref.key)), row = static_cast<int>(KeyRow(ref.key));
    const TCellVariant value = sheet.GetVariant(column, row);
    const TCellFormat* format = workbook.CellFormats().ByHandle(ref.cell->format);
    out += FormatMessage("R%dC%d %d ", row, column, ref.cell->kind) + ToUtf8(sheet.GetText(column, row)) +
           (std::holds_alternative<double>(value) ? FormatMessage(" %.17g", std::get<double>(value)) : "") +
           " " + (format ? ToUtf8(format->NumberFormatText()) : "-") + "\n";
  }
  return out;
}

TOutCell Text(uint16_t column, std::u16string_view text, uint64_t source = 0, const void* key = nullptr) {
  TOutCell cell;
  cell.column = column;
  cell.text = text;
  cell.textKey = {source, key};
  return cell;
}

TEST(XlsRowOutput, BothFormsGiveTheSameCells) {
  std::vector<test::TSampleCell> samples = test::SampleCells();
  std::erase_if(samples, [](const test::TSampleCell& cell) { return cell.column >= 256; });
  const std::u16string a = u"keyed a", b = u"keyed b";
  const char keys[2] = {};
  const std::vector<std::pair<const char*, std::function<void(TRevisableOutput&)>>> runs = {
      {"every kind of cell", [&](TRevisableOutput& out) { test::PutSampleCells(out, samples); }},
      {"late cells, among and around the row's records",
       [&](TRevisableOutput& out) {
         test::PutSampleCells(out, samples, 10);
         out.PutLateCell(10, Text(9, u"after the row"));
         out.PutLateCell(11, Text(12, u"after the numbers"));
         const TOutCell row[] = {Text(1, u"x"), Text(3, u"y")};
         out.PutRow(30, row);
         out.PutLateCell(30, Text(2, u"between"));
         out.PutLateCell(30, Text(0, u"before"));
         out.PutLateCell(31, Text(0, u"a row never given"));
       }},
      {"rows dropped and given again, keyed texts whose entries went with them",
       [&](TRevisableOutput& out) {
         for (uint32_t r = 0; r < 6; ++r) {
           const TOutCell row[] = {Text(0, a, 7, &keys[0]), Text(1, r < 3 ? a : b, 7, r < 3 ? &keys[0] : &keys[1])};
           out.PutRow(r, row);
         }
         out.PutLateCell(0, Text(2, u"mark 6"));
         out.PutLateCell(3, Text(2, u"mark 3"));
         out.DropRows(3);
         const TOutCell again[] = {Text(0, b, 7, &keys[1]), Text(3, u"plain")};
         out.PutRow(3, again);
         out.PutLateCell(3, Text(2, u"mark 1"));
         out.DropRows(9);  // nothing from there on
       }},
      {"rows enough to go out in pieces larger than the stream's buffer, a late cell among them",
       [&](TRevisableOutput& out) {
         for (uint32_t r = 0; r < 40000; ++r) {
           TOutCell row[] = {Text(0, a, 7, &keys[0]), Text(1, b), {}};
           row[2].column = 2;
           row[2].kind = okNumber;
           row[2].number = r * 0.5;
           out.PutRow(r, row);
         }
         out.PutLateCell(20000, Text(3, u"late"));
       }},
  };
  for (const auto& [name, run] : runs) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    std::string cells[2];
    for (const bool padded : {true, false}) {
      const std::filesystem::path path = dir / (padded ? "model.xls" : "records.xls");
      auto output = MakeXlsOutput(path, padded);
      run(*output);
      output->Commit();
      cells[padded] = Cells(path);
    }
    EXPECT_EQ(cells[false], cells[true]);
    EXPECT_NE(cells[true], "");
  }
}

// What xlrd refuses a whole file for is not written: a cell format index past 32,767 (numbers of the
// formats after show as General, and the output counts them) and a lone surrogate (U+FFFD instead).
TEST(XlsRowOutput, WritesWhatOtherReadersRead) {
  std::vector<std::u16string> formats;
  for (int i = 0; i < 33000; ++i) formats.push_back(FromUtf8("0.0\"f" + std::to_string(i) + "\""));
  const std::u16string lone = u"a\xD800" u"b", keyed = u"\xDC00", pair = u"\xD83D\xDE00";
  for (const bool padded : {true, false}) {
    test::TempDir dir;
    auto output = MakeXlsOutput(dir / "out.xls", padded);
    const TOutCell texts[] = {Text(0, lone), Text(1, keyed, 7, &keyed), Text(2, pair)};
    output->PutRow(0, texts);
    std::vector<TOutCell> cells(100);
    for (uint32_t i = 0; i < formats.size(); ++i) {
      cells[i % 100] = Text(static_cast<uint16_t>(i % 100), {});
      cells[i % 100].kind = okNumber;
      cells[i % 100].format = formats[i];
      if (i % 100 == 99) output->PutRow(1 + i / 100, cells);
    }
    output->Commit();
    const std::string all = Cells(dir / "out.xls");
    const size_t kept = formats.size() - output->FormatsLeftOut();
    EXPECT_LT(kept, formats.size());
    EXPECT_NE(all.find(FormatMessage("0.0\"f%zu\"\n", kept - 1)), std::string::npos);
    EXPECT_EQ(all.find(FormatMessage("0.0\"f%zu\"\n", kept)), std::string::npos);
    EXPECT_TRUE(all.ends_with("R330C99 4 0 0 \n")) << "General";
    TXLSWorkbook workbook;
    workbook.Filename = FileNameFromPath(dir / "out.xls");
    ReadWorkbook(workbook);
    EXPECT_EQ(workbook.Sheets()[0].GetText(0, 0) + workbook.Sheets()[0].GetText(1, 0), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(workbook.Sheets()[0].GetText(2, 0), pair);
  }
}

}  // namespace
}  // namespace plicato
