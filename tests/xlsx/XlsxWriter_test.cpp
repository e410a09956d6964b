#include "xlsx/XlsxWriter.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "OutputSamples.h"
#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "xlsx/XlsxReader.h"

namespace plicato {
namespace {

// Every cell read back, by (row, column).
std::map<std::pair<uint32_t, uint16_t>, TXlsxCell> ReadBack(const std::filesystem::path& path,
                                                            std::vector<std::u16string>& texts) {
  std::map<std::pair<uint32_t, uint16_t>, TXlsxCell> cells;
  TXlsxSheetReader reader(path);
  TXlsxRow row;
  texts.reserve(1000);
  while (reader.NextRow(row)) {
    for (TXlsxCell c : row.cells) {
      texts.emplace_back(c.text);
      c.text = texts.back();
      cells[{row.index, c.column}] = c;
    }
  }
  return cells;
}

TEST(XlsxWriter, CellsReadBackByOurReader) {
  // A locale whose decimal point is a comma (as the window's process may have) must not reach the
  // numbers in the file. Built here when the machine has none.
  test::TempDir dir;
  const std::string build = "localedef -i de_DE -f UTF-8 " + (dir / "de_DE.UTF-8").string() + " 2>/dev/null";
  if (std::system(build.c_str()) == 0) ::setenv("LOCPATH", dir.Path().c_str(), 1);
  const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  EXPECT_TRUE(!german || std::localeconv()->decimal_point == std::string(","));
  auto output = MakeXlsxOutput(dir / "out.xlsx");
  EXPECT_EQ(output->MaxRows(), 1048576u);
  EXPECT_EQ(output->MaxColumns(), 16384u);
  const std::vector<test::TSampleCell> samples = test::SampleCells();
  test::PutSampleCells(*output, samples);
  output->Commit();
  if (german) std::setlocale(LC_NUMERIC, "C");

  std::vector<std::u16string> texts;
  auto cells = ReadBack(dir / "out.xlsx", texts);
  size_t expectedCount = 0;
  for (const test::TSampleCell& s : samples) {
    SCOPED_TRACE(std::to_string(s.row) + ":" + std::to_string(s.column));
    const auto it = cells.find({s.row, s.column});
    if (s.kind == okText && s.text.empty()) {
      EXPECT_EQ(it, cells.end());  // an empty text is no cell
      continue;
    }
    ++expectedCount;
    ASSERT_NE(it, cells.end());
    const TXlsxCell& c = it->second;
    switch (s.kind) {
      case okText: {
        // At most 32,767 UTF-16 units, a surrogate pair never cut in two.
        std::u16string text = s.text.substr(0, 32767);
        if (text.size() == 32767 && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
        EXPECT_EQ(c.kind, xkText);
        EXPECT_TRUE(c.text == text) << ToUtf8(c.text).substr(0, 80);
        break;
      }
      case okNumber:
        if (!std::isfinite(s.number)) {
          EXPECT_TRUE(c.formula && ToUtf8(c.text) == "#NUM!") << ToUtf8(c.text);
          break;
        }
        EXPECT_EQ(c.kind, xkNumber);
        // 16 significant digits: exact where they suffice, within a unit of the 16th digit otherwise.
        char sixteen[40];
        std::snprintf(sixteen, sizeof sixteen, "%.16g", s.number);
        if (std::strtod(sixteen, nullptr) == s.number)
          EXPECT_EQ(c.number, s.number);
        else
          EXPECT_NEAR(c.number, s.number, std::fabs(s.number) * 1e-15);
        EXPECT_EQ(std::signbit(c.number), s.number < 0);  // -0 written as 0
        break;
      case okBoolean:
        EXPECT_EQ(c.kind, xkBoolean);
        EXPECT_EQ(c.boolean, s.boolean);
        break;
      case okError:
        // The formula of the error constant, its text cached.
        EXPECT_TRUE(c.formula);
        EXPECT_TRUE(c.text == ErrorText(s.error)) << ToUtf8(c.text);
        break;
    }
  }
  EXPECT_EQ(cells.size(), expectedCount);
}

TEST(XlsxWriter, TheWholeWorksheetAndNoMore) {
  test::TempDir dir;
  auto output = MakeXlsxOutput(dir / "out.xlsx");
  TOutCell cell;
  cell.kind = okNumber;
  cell.number = 7;
  cell.column = 16384;
  EXPECT_THROW(output->PutRow(0, {&cell, 1}), EFileError);
  output = MakeXlsxOutput(dir / "out.xlsx");
  EXPECT_THROW(output->PutRow(1048576, {&cell, 1}), EFileError);
  output = MakeXlsxOutput(dir / "out.xlsx");
  cell.column = 16383;
  output->PutRow(1048575, {&cell, 1});
  output->Commit();
  std::vector<std::u16string> texts;
  const auto cells = ReadBack(dir / "out.xlsx", texts);
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(cells.begin()->first, std::make_pair(1048575u, uint16_t{16383}));
  EXPECT_EQ(cells.begin()->second.number, 7);
}

}  // namespace
}  // namespace plicato
