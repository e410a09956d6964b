#include <gtest/gtest.h>

#include "TestUtil.h"

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/Columns.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/XLSFonts.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {

namespace {

using Record = test::TRecord;
const auto Written = test::WrittenRecords;

std::vector<uint8_t> ColInfo(uint16_t first, uint16_t last, uint16_t width, uint16_t xf, uint16_t options) {
  std::vector<uint8_t> body;
  for (uint16_t v : {first, last, width, xf, options, uint16_t(0)}) PutFixed16(body, v);
  return body;
}

}  // namespace

class RowsColumns : public ::testing::Test {
 protected:
  TXFonts fonts_;
  TCellFormats formats_{&fonts_};
  std::vector<std::pair<int, int>> changes_;  // (format index, number) reported
  TXLSColumns columns_{&formats_, [this](TCellFormat* f, int n) { changes_.push_back({f->Index(), n}); }};
  TXLSRows rows_{&formats_, [this](TCellFormat* f, int n) { changes_.push_back({f->Index(), n}); }};
};

TEST_F(RowsColumns, ColInfoReadsRangesAndReplacesSingleColumns) {
  auto a = ColInfo(3, 5, 3000, 16, 0x1201);
  columns_.ReadColInfo(a.data(), static_cast<uint32_t>(a.size()));
  for (int c = 3; c <= 5; ++c) {
    ASSERT_NE(columns_.Item(c), nullptr);
    EXPECT_EQ(columns_.Item(c)->Width, 3000);
    EXPECT_EQ(columns_.Item(c)->FormatIndex(), 16);
    EXPECT_EQ(columns_.Item(c)->Hidden, 1);
    EXPECT_EQ(columns_.Item(c)->OutlineLevel, 2);
    EXPECT_EQ(columns_.Item(c)->Collapsed, 1);
  }
  EXPECT_EQ(columns_.Item(2), nullptr);
  auto b = ColInfo(4, 4, 1000, 15, 0);
  columns_.ReadColInfo(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(columns_.Item(3)->Width, 3000);
  EXPECT_EQ(columns_.Item(4)->Width, 1000);
  EXPECT_EQ(columns_.Item(5)->Width, 3000);

  auto clamped = ColInfo(250, 400, 500, 15, 0);
  columns_.ReadColInfo(clamped.data(), static_cast<uint32_t>(clamped.size()));
  EXPECT_NE(columns_.Item(255), nullptr);
  auto backwards = ColInfo(9, 8, 500, 15, 0);
  columns_.ReadColInfo(backwards.data(), static_cast<uint32_t>(backwards.size()));
  EXPECT_EQ(columns_.Item(8), nullptr);
  EXPECT_THROW(columns_.ReadColInfo(a.data(), 9), EXLSError) << "a truncated record fails cleanly";
  EXPECT_THROW(columns_.ClearColumns(5, 4), EXLSError);
  EXPECT_THROW(columns_.ClearColumns(0, 256), EXLSError);
  columns_.ClearColumns(0, 255);
  EXPECT_EQ(columns_.Item(4), nullptr);
}

TEST_F(RowsColumns, ColInfoWritesRunsOfEqualColumns) {
  for (int c = 0; c <= 9; ++c) columns_.Add(c, 15)->Width = 4000;
  columns_.Add(10, 15)->Width = 2500;
  columns_.Add(12, 15)->Hidden = 1;
  auto colInfo = ColInfo(13, 13, 3000, 15, 0x1201 | 0x0200);  // hidden, outline level 2, collapsed
  columns_.ReadColInfo(colInfo.data(), static_cast<uint32_t>(colInfo.size()));
  auto records = Written([&](TXLSStream& s) { columns_.WriteColInfo(s); });
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].id, BIFFRecs::COLINFO);
  EXPECT_EQ(records[0].body, ColInfo(0, 9, 4000, 15, 0x0002));
  EXPECT_EQ(records[1].body, ColInfo(10, 10, 2500, 15, 0x0000)) << "default width and nothing set: options 0";
  EXPECT_EQ(records[2].body, ColInfo(12, 12, 2500, 15, 0x0001));
  EXPECT_EQ(records[3].body, ColInfo(13, 13, 3000, 15, 0x1203)) << "with any width";
}

TEST_F(RowsColumns, RowRecordsRoundTrip) {
  std::vector<uint8_t> noFormat, withFormat;
  for (uint16_t v : {uint16_t(7), uint16_t(0), uint16_t(12), uint16_t(300), uint16_t(0), uint16_t(0),
                     uint16_t(0x0040), uint16_t(20)})
    PutFixed16(noFormat, v);
  for (uint16_t v : {uint16_t(9), uint16_t(1), uint16_t(4), uint16_t(255), uint16_t(0), uint16_t(0),
                     uint16_t(0x0080), uint16_t(0x1000 | 17)})
    PutFixed16(withFormat, v);
  rows_.ReadRow(withFormat.data(), 16);
  rows_.ReadRow(noFormat.data(), 16);
  rows_.SortRows();
  ASSERT_EQ(rows_.Count(), 2);
  EXPECT_EQ(rows_.FindRow(7)->FormatIndex(), 15) << "without bit 0x0080 the XF word is not a format";
  EXPECT_EQ(rows_.FindRow(9)->FormatIndex(), 17);
  EXPECT_EQ(rows_.FindRow(8), nullptr);
  EXPECT_EQ(rows_.FindRow(-1), nullptr);
  EXPECT_EQ(rows_.FindRow(65536), nullptr);

  uint8_t body[16];
  rows_.FillRowRecord(0, body);
  EXPECT_EQ(DecodeFixed16(body), 7);
  EXPECT_EQ(DecodeFixed16(body + 6), 300);
  EXPECT_EQ(DecodeFixed16(body + 12), 0x0140) << "0x0100 always set, 0x0080 cleared for format 15";
  EXPECT_EQ(DecodeFixed16(body + 14), 15);
  rows_.FillRowRecord(1, body);
  EXPECT_EQ(DecodeFixed16(body + 12), 0x0180);
  EXPECT_EQ(DecodeFixed16(body + 14), 17);
  EXPECT_THROW(rows_.FillRowRecord(2, body), EListError);
  EXPECT_THROW(rows_.ReadRow(withFormat.data(), 11), EXLSError);
}

TEST_F(RowsColumns, FormatChangesAreReported) {
  TXLSColumn* column = columns_.Add(3, 15);
  column->SetBorderBottomStyle(cbsThin);
  ASSERT_EQ(changes_.size(), 1u);
  EXPECT_EQ(changes_[0].second, 3);
  EXPECT_EQ(changes_[0].first, column->FormatIndex());
  column->SetBorderBottomStyle(cbsThin);
  EXPECT_EQ(changes_.size(), 1u) << "an unchanged value reports nothing";
}

TEST(SheetRowsColumns, ColumnAndRowFormatsReachTheirCells) {
  TXLSWorkbook wb;
  TSheet& s = wb.Sheets()[0];
  s.PutText(2, 0, u"a");
  s.PutText(2, 5, u"b");
  s.PutText(3, 5, u"c");
  TXLSColumn* column = s.Columns().Add(2, 15);
  column->SetFillPattern(fpPattern1);
  int columnFormat = column->FormatIndex();
  EXPECT_NE(columnFormat, 15);
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(2, 0)), columnFormat);
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(2, 5)), columnFormat);
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(3, 5)), 15);
  s.PutText(2, 9, u"new");
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(2, 9)), columnFormat) << "new cells take the column's format";
}

}  // namespace plicato
