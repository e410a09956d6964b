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

namespace plicato {

// A run stored in one go, and the storage cleared in bulk, end as cell-by-cell stores and deletes do:
// same cells, bits, bounds and row views, same format use counts, and the same formats deleted.
TEST(CellStorageBulk, RunsAndClearingMatchSingleCells) {
  TXFonts fonts;
  TCellFormats formats(&fonts);
  TCellFormat* counted[2] = {formats.AddFormat(), formats.AddFormat()};  // above the initial ones
  TCellStorage bulk(&formats), single(&formats);
  for (TCellStorage* s : {&bulk, &single}) {
    // Cells already in the run's way: a formula, a counted format, then a run over columns 10 to 40.
    s->InsertAtKey(CellKey(12, 3),
                   MakeFormulaCell(ckNumberFormula, formats.HandleOfIndex(15), new TFormulaData));
    formats.AddUse(counted[0]);
    s->InsertAtKey(CellKey(33, 3), MakeFloatCell(counted[0]->Handle(), 1));
    s->InsertAtKey(CellKey(200, 9), MakeBlankCell(formats.HandleOfIndex(15)));
  }
  formats.AddUses(counted[1], 2 * 31);
  bulk.InsertRun(CellKey(10, 3), 31, MakeBlankCell(counted[1]->Handle()));
  for (uint32_t c = 10; c <= 40; ++c) single.InsertAtKey(CellKey(c, 3), MakeBlankCell(counted[1]->Handle()));
  EXPECT_EQ(counted[0]->UseCount, 2) << "the cells in the way kept their format";
  EXPECT_EQ(counted[1]->UseCount, 2 * 29);

  auto keysOf = [&](TCellStorage& s) {
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    s.BeginIteration();
    while (TCellRef ref = s.NextCell()) seen.push_back({ref.key, ref.cell->format});
    return seen;
  };
  EXPECT_EQ(keysOf(bulk), keysOf(single));
  TCell* row[256];
  EXPECT_EQ(bulk.RowCells(3, row, 255), 41u);
  EXPECT_EQ(row[9], nullptr);
  EXPECT_EQ(row[12], bulk.LookupKey(CellKey(12, 3)));
  EXPECT_EQ(bulk.RowCells(9, row, 200), 0u) << "column 200 lies past the columns asked for";

  bulk.DeleteAtKey(CellKey(200, 9));
  for (uint32_t c = 10; c <= 12; ++c) bulk.DeleteAtKey(CellKey(c, 3));
  TCellBounds b = bulk.CalcBounds();
  EXPECT_EQ(std::vector<int>({b.firstColumn, b.lastColumn, b.firstRow, b.lastRow}),
            std::vector<int>({13, 40, 3, 3}));

  // Clearing one storage in bulk and deleting the other's cells one by one give back the same uses.
  single.BeginIteration();
  std::vector<uint32_t> keys;
  while (TCellRef ref = single.NextCell()) keys.push_back(ref.key);
  for (uint32_t key : keys) single.DeleteAtKey(key);
  const int32_t left[2] = {counted[0]->UseCount, counted[1]->UseCount};
  EXPECT_EQ(left[0], 1);
  EXPECT_EQ(left[1], 29 - 2);
  const int32_t count = formats.Count();
  bulk.ClearAll();
  EXPECT_EQ(formats.Count(), count - 2) << "both counted formats lost their last users";
  EXPECT_TRUE(bulk.IsEmpty());
}

}  // namespace plicato
