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
#include "workbook/NumberFormatText.h"
#include "xlsx/XlsxReader.h"

namespace plicato {
namespace {

// Every cell read back, by (row, column).
std::map<std::pair<uint32_t, uint16_t>, TXlsxCell> ReadBack(const std::filesystem::path& path,
                                                            std::vector<std::u16string>& texts) {
  std::map<std::pair<uint32_t, uint16_t>, TXlsxCell> cells;
  TXlsxSheetReader reader(path);
  TXlsxRow row;
  texts.reserve(2000);
  while (reader.NextRow(row)) {
    for (TXlsxCell c : row.cells) {
      texts.emplace_back(c.text);
      c.text = texts.back();
      texts.emplace_back(c.format);
      c.format = texts.back();
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
          EXPECT_TRUE(c.kind == xkError && c.error == ceNum) << ToUtf8(c.text);
          break;
        }
        // Every digit kept; -0 written as 0.
        EXPECT_EQ(c.kind, xkNumber);
        EXPECT_EQ(c.number, s.number);
        EXPECT_EQ(std::signbit(c.number), s.number < 0);
        EXPECT_TRUE(c.format == (IsGeneralFormat(s.format) ? u"" : s.format)) << ToUtf8(c.format);
        break;
      case okBoolean:
        EXPECT_EQ(c.kind, xkBoolean);
        EXPECT_EQ(c.boolean, s.boolean);
        break;
      case okError:
        EXPECT_FALSE(c.formula);
        EXPECT_EQ(c.kind, xkError);
        EXPECT_EQ(c.error, s.error);
        break;
    }
  }
  EXPECT_EQ(cells.size(), expectedCount);
}

// Each awkward cell read back as it was given; the package stays well-formed (our reader refuses one
// that is not). A format code's characters that XML cannot hold are left out of it.
TEST(XlsxWriter, AwkwardCellsReadBackAsGiven) {
  const std::vector<test::TSampleCell> samples = test::AwkwardCells();
  test::TempDir dir;
  auto output = MakeXlsxOutput(dir / "out.xlsx", 1);
  test::PutSampleCells(*output, samples);
  output->Commit();
  std::vector<std::u16string> texts;
  const auto cells = ReadBack(dir / "out.xlsx", texts);
  ASSERT_EQ(cells.size(), samples.size());
  for (const test::TSampleCell& s : samples) {
    SCOPED_TRACE(std::to_string(s.row) + ":" + std::to_string(s.column));
    const TXlsxCell& c = cells.at({s.row, s.column});
    if (s.kind == okText) {
      std::u16string text = s.text.substr(0, 32767);
      EXPECT_TRUE(c.kind == xkText && c.text == text) << ToUtf8(c.text).substr(0, 80);
      continue;
    }
    EXPECT_EQ(c.kind, xkNumber);
    EXPECT_EQ(c.number, s.number);
    std::u16string format = s.format;
    std::erase_if(format, [](char16_t u) { return u < 0x20 || u == 0xFFFF; });
    EXPECT_TRUE(c.format == format) << ToUtf8(c.format);
  }
}

}  // namespace
}  // namespace plicato
