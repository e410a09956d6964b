#include "workbook/CellStorage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "workbook/CellFormats.h"
#include "workbook/XLSFonts.h"

namespace plicato {

class CellStorage : public ::testing::Test {
 protected:
  TXFonts fonts_;
  TCellFormats formats_{&fonts_};
  TCellStorage cells_{&formats_};

  uint32_t Handle(int index) { return formats_.HandleOfIndex(index); }
  TCell Float(double v, int format = 15) { return MakeFloatCell(Handle(format), v); }
  TCell Blank(int format = 15) { return MakeBlankCell(Handle(format)); }
  int FormatIndexOf(const TCell* cell) { return formats_.ByHandle(cell->format)->Index(); }
};

TEST_F(CellStorage, KeyRangeAndLookup) {
  EXPECT_EQ(CellKey(255, 65535), 0xFFFFFFu);
  EXPECT_EQ(KeyColumn(CellKey(7, 300)), 7u);
  EXPECT_EQ(KeyRow(CellKey(7, 300)), 300u);
  cells_.InsertAtKey(0xFFFFFF, Float(1.5));
  ASSERT_NE(cells_.LookupKey(0xFFFFFF), nullptr);
  EXPECT_EQ(cells_.LookupKey(0xFFFFFF)->Number(), 1.5);
  EXPECT_EQ(cells_.LookupKey(0x1000000), nullptr);
  EXPECT_EQ(cells_.LookupKey(0xFFFFFFFF), nullptr);
  EXPECT_EQ(cells_.InsertAtKey(0x1000000, Float(2)), nullptr) << "a key past the grid is never stored";
  EXPECT_EQ(cells_.LookupKey(0), nullptr);
}

TEST_F(CellStorage, IterationIsRowMajorWhateverTheInsertOrder) {
  std::vector<uint32_t> keys;
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) keys.push_back(CellKey(rng() % 256, rng() % 65536));
  for (uint32_t k : keys) cells_.InsertAtKey(k, Float(k));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

  std::vector<uint32_t> seen;
  cells_.BeginIteration();
  while (TCellRef ref = cells_.NextCell()) {
    EXPECT_EQ(ref.cell->Number(), ref.key);
    seen.push_back(ref.key);
  }
  EXPECT_EQ(seen, keys);
  EXPECT_FALSE(cells_.NextCell()) << "an exhausted walk stays exhausted";
}

TEST_F(CellStorage, InsertKeepsTheOldFormatReplaceDoesNot) {
  cells_.InsertAtKey(CellKey(1, 1), Float(1, 20));
  cells_.InsertAtKey(CellKey(1, 1), Float(2, 15));
  EXPECT_EQ(FormatIndexOf(cells_.LookupKey(CellKey(1, 1))), 20);
  EXPECT_EQ(cells_.LookupKey(CellKey(1, 1))->Number(), 2);
  cells_.ReplaceAtKey(CellKey(1, 1), Float(3, 15));
  EXPECT_EQ(FormatIndexOf(cells_.LookupKey(CellKey(1, 1))), 15);
}

TEST_F(CellStorage, CountedFormatsFollowTheirCells) {
  // A format above the initial ones lives while a cell uses it.
  TCellFormat* extra = formats_.AddFormat();
  extra->UseCount = 1;
  int extraIndex = extra->Index();
  cells_.InsertAtKey(CellKey(0, 0), MakeFloatCell(extra->Handle(), 1));
  TCell copy = CopyCell(*cells_.LookupKey(CellKey(0, 0)), formats_);
  EXPECT_EQ(extra->UseCount, 2);
  cells_.InsertAtKey(CellKey(1, 0), copy);
  cells_.DeleteAtKey(CellKey(0, 0));
  EXPECT_EQ(formats_.Count(), extraIndex + 1);
  cells_.DeleteAtKey(CellKey(1, 0));
  EXPECT_EQ(formats_.Count(), extraIndex) << "the last user let go: the format is deleted";
}

TEST_F(CellStorage, DeleteDetachAndClear) {
  cells_.InsertAtKey(CellKey(3, 3), Float(1));
  ASSERT_NE(cells_.LookupKey(CellKey(3, 3)), nullptr);
  cells_.DeleteAtKey(CellKey(3, 3));
  EXPECT_EQ(cells_.LookupKey(CellKey(3, 3)), nullptr) << "the cache must not keep a deleted cell";

  cells_.InsertAtKey(CellKey(4, 4), Float(4));
  cells_.LookupKey(CellKey(4, 4));
  TCell detached = cells_.DetachAtKey(CellKey(4, 4));
  EXPECT_EQ(detached.kind, ckFloat);
  EXPECT_EQ(detached.Number(), 4);
  EXPECT_EQ(cells_.LookupKey(CellKey(4, 4)), nullptr);
  DestroyCell(detached, formats_);

  for (int r = 0; r < 600; r += 7) cells_.InsertAtKey(CellKey(r % 256, r), Float(r));
  cells_.ClearAll();
  for (int r = 0; r < 600; r += 7) EXPECT_EQ(cells_.LookupKey(CellKey(r % 256, r)), nullptr);
  cells_.BeginIteration();
  EXPECT_FALSE(cells_.NextCell());
  TCellBounds b = cells_.CalcBounds();
  EXPECT_EQ(b.firstColumn + b.lastColumn + b.firstRow + b.lastRow, 0);
}

TEST_F(CellStorage, BlankRunsStayInTheirRow) {
  // Columns 253, 254, 255 blank: 254 joins the run of 253, 255 never does.
  for (int c : {253, 254, 255}) cells_.InsertAtKey(CellKey(c, 10), Blank());
  // Columns 3, 4, 5 blank and a number at 6 in row 11; row 12 has a gap at 4.
  for (int c : {3, 4, 5}) cells_.InsertAtKey(CellKey(c, 11), Blank());
  cells_.InsertAtKey(CellKey(6, 11), Float(6));
  cells_.InsertAtKey(CellKey(3, 12), Blank());
  cells_.InsertAtKey(CellKey(5, 12), Blank());
  cells_.InsertAtKey(CellKey(0, 13), Blank());  // must not join row 10's column 255

  cells_.BeginIteration();
  TCellRef ref = cells_.NextCell();
  EXPECT_EQ(ref.key, CellKey(253, 10));
  EXPECT_EQ(cells_.NextAdjacentBlank().key, CellKey(254, 10));
  EXPECT_FALSE(cells_.NextAdjacentBlank());
  EXPECT_EQ(cells_.NextCell().key, CellKey(255, 10));
  EXPECT_FALSE(cells_.NextAdjacentBlank()) << "the walk never leaves its row";

  EXPECT_EQ(cells_.NextCell().key, CellKey(3, 11));
  EXPECT_EQ(cells_.NextAdjacentBlank().key, CellKey(4, 11));
  EXPECT_EQ(cells_.NextAdjacentBlank().key, CellKey(5, 11));
  EXPECT_FALSE(cells_.NextAdjacentBlank()) << "a number ends the run";
  EXPECT_EQ(cells_.NextCell().key, CellKey(6, 11));

  EXPECT_EQ(cells_.NextCell().key, CellKey(3, 12));
  EXPECT_FALSE(cells_.NextAdjacentBlank()) << "a gap ends the run";
  EXPECT_EQ(cells_.NextCell().key, CellKey(5, 12));
  EXPECT_EQ(cells_.NextCell().key, CellKey(0, 13));
  EXPECT_FALSE(cells_.NextCell());
}

TEST_F(CellStorage, Bounds) {
  TCellBounds empty = cells_.CalcBounds();
  EXPECT_EQ(empty.firstColumn, 0);
  EXPECT_EQ(empty.lastRow, 0);
  cells_.InsertAtKey(CellKey(254, 9), Float(1));
  cells_.InsertAtKey(CellKey(0, 0), Float(1));
  cells_.InsertAtKey(CellKey(17, 4), Float(1));
  TCellBounds b = cells_.CalcBounds();
  EXPECT_EQ(b.firstColumn, 0);
  EXPECT_EQ(b.lastColumn, 254);
  EXPECT_EQ(b.firstRow, 0);
  EXPECT_EQ(b.lastRow, 9);
  // All cells deleted after blocks existed: the starting values stay (first above last).
  for (auto [c, r] : {std::pair{254, 9}, {0, 0}, {17, 4}}) cells_.DeleteAtKey(CellKey(c, r));
  TCellBounds gone = cells_.CalcBounds();
  EXPECT_GT(gone.firstColumn, gone.lastColumn);
  EXPECT_GT(gone.firstRow, gone.lastRow);
}

}  // namespace plicato
