#include "workbook/XLSWorkbook.h"

#include <gtest/gtest.h>

#include <cstring>

#include "biff/Errors.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/XLSFonts.h"

namespace plicato {

TEST(XLSWorkbook, NewWorkbookDefaults) {
  TXLSWorkbook wb;
  EXPECT_EQ(wb.Version(), xvExcel97);
  EXPECT_EQ(wb.SST().MaxRecordData, 8224u);
  ASSERT_EQ(wb.Sheets().Count(), 1);
  EXPECT_EQ(wb.Sheets()[0].Name(), u"Sheet1");
  EXPECT_EQ(wb.Sheets()[0].Protection, 0x7FFF);
  EXPECT_EQ(wb.CellFormats().Count(), 21);
  EXPECT_EQ(wb.CellFormats().InitialCount(), 21);
  EXPECT_EQ(wb.Fonts().Count(), 5);
  EXPECT_EQ(wb.NumberFormats().Count(), 50);
  EXPECT_TRUE(wb.PreserveMacros);
  EXPECT_FALSE(wb.IsMac);
  EXPECT_EQ(wb.StrTRUE, u"TRUE");
  EXPECT_TRUE(wb.Filename.empty());
  EXPECT_EQ(wb.Workbook().Left(), 100);
  EXPECT_EQ(wb.Workbook().Width(), 10000);
  EXPECT_EQ(wb.OptionsDialog().CalcMode(), cmAutomatic);
  EXPECT_EQ(wb.Sheets()[0].PrintSettings().PaperSize(), wb.DefaultPaperSize());
  EXPECT_TRUE(wb.NotRead());
  wb.SetVersion(xvExcel50);
  EXPECT_EQ(wb.SST().MaxRecordData, 2080u);
}

TEST(XLSWorkbook, SheetsAreNamedByCreationCountAndRenamedCaseInsensitively) {
  TXLSWorkbook wb;
  TSheet& second = wb.Sheets().Add();
  EXPECT_EQ(second.Name(), u"Sheet2");
  TSheet& first = wb.Sheets()[0];
  first.SetName(u"SHEET1");
  EXPECT_EQ(first.Name(), u"Sheet1") << "a name equal ignoring case changes nothing";
  try {
    second.SetName(u"sheet1");
    FAIL() << "a duplicate name must be refused";
  } catch (const EXLSError& e) {
    EXPECT_STREQ(e.what(), "Sheet name \"sheet1\" allready exists");
  }
  second.SetName(u"Données");
  EXPECT_EQ(wb.Sheets().FindByName(u"DONNÉES"), &second);
  EXPECT_EQ(wb.Sheets().FindByName(u"nothing"), nullptr);
  EXPECT_THROW(wb.Sheets().Item(2), EListError);
  EXPECT_THROW(wb.Sheets().Item(-1), EListError);
}

TEST(XLSWorkbook, AccessorsOnEveryCellKind) {
  TXLSWorkbook wb;
  TSheet& s = wb.Sheets()[0];
  s.PutText(0, 0, u"");
  s.PutFloat(1, 0, 2.5, 15);
  s.PutFloat(2, 0, 3.5, 15);
  s.PutFloat(3, 0, -2.5, 15);
  s.PutFloat(4, 0, 5e9, 15);
  s.PutBoolean(5, 0, true, 15);
  s.PutError(6, 0, ceDiv0, 15);
  s.PutBlank(7, 0, 15);
  s.PutText(8, 0, u"abc");
  s.PutFloat(9, 0, 0.1, 15);
  s.PutFloat(10, 0, 1e20, 15);
  auto formula = std::make_unique<TFormulaData>();
  double r = 7.25;
  std::memcpy(formula->result, &r, 8);
  s.PutFormula(11, 0, ckNumberFormula, 15, std::move(formula));

  EXPECT_EQ(s.GetCellKind(0, 0), ckString) << "empty text is a text cell";
  EXPECT_EQ(s.GetStringText(0, 0), u"");
  EXPECT_FALSE(s.HasNonEmptyText(0, 0));
  EXPECT_TRUE(s.HasNonEmptyText(8, 0));
  EXPECT_EQ(s.GetStringText(1, 0), u"") << "a number has no string text";
  EXPECT_EQ(s.GetFloat(20, 20), 0.0);
  EXPECT_EQ(s.GetCellKind(20, 20), ckNone);

  EXPECT_EQ(s.GetInteger(1, 0), 2);
  EXPECT_EQ(s.GetInteger(2, 0), 4);
  EXPECT_EQ(s.GetInteger(3, 0), -2);
  for (int c : {0, 4, 5, 6, 7, 8, 11, 30}) {
    try {
      s.GetInteger(c, 0);
      ADD_FAILURE() << "column " << c;
    } catch (const EXLSError& e) {
      EXPECT_STREQ(e.what(), "Cell is missing/is of wrong type");
    }
  }

  EXPECT_EQ(s.GetText(1, 0), u"2.5");
  EXPECT_EQ(s.GetText(4, 0), u"5000000000");
  EXPECT_EQ(s.GetText(5, 0), u"TRUE");
  EXPECT_EQ(s.GetText(6, 0), u"#DIV/0!");
  EXPECT_EQ(s.GetText(7, 0), u"");
  EXPECT_EQ(s.GetText(8, 0), u"abc");
  EXPECT_EQ(s.GetText(9, 0), u"0.1");
  EXPECT_EQ(s.GetText(10, 0), u"1E+20");
  EXPECT_EQ(s.GetText(11, 0), u"7.25");
  EXPECT_EQ(s.GetFloat(11, 0), 7.25);

  EXPECT_EQ(std::get<double>(s.GetVariant(1, 0)), 2.5);
  EXPECT_EQ(std::get<std::u16string>(s.GetVariant(8, 0)), u"abc");
  EXPECT_EQ(std::get<bool>(s.GetVariant(5, 0)), true);
  EXPECT_EQ(std::get<TCellError>(s.GetVariant(6, 0)), ceDiv0);
  EXPECT_EQ(std::get<TCellError>(s.GetVariant(7, 0)), ceNA);
  EXPECT_EQ(std::get<TCellError>(s.GetVariant(50, 50)), ceNA);

  EXPECT_THROW(s.PutFormula(0, 1, ckFloat, 15, std::make_unique<TFormulaData>()), EXLSError);
  EXPECT_THROW(s.PutText(256, 0, u"x"), EXLSError);
}

TEST(XLSWorkbook, PutTextTwiceKeepsTheFirstEntry) {
  TXLSWorkbook wb;
  TSheet& s = wb.Sheets()[0];
  s.PutText(0, 0, u"first");
  TSSTEntry* first = s.FindCell(0, 0)->Entry();
  s.PutText(0, 0, u"second");
  EXPECT_EQ(s.GetStringText(0, 0), u"second");
  EXPECT_EQ(first->RefCount, 1) << "overwriting does not give back the old reference";
  EXPECT_EQ(wb.SST().TrieCount(), 2u);
  s.DeleteCell(0, 0);
  EXPECT_EQ(s.FindCell(0, 0), nullptr);
  EXPECT_EQ(wb.SST().TrieCount(), 1u) << "deleting releases the cell's string";
}

TEST(XLSWorkbook, NumbersOutsideTheIntegerRangeAreRefused) {
  TXLSWorkbook wb;
  TSheet& s = wb.Sheets()[0];
  s.PutFloat(0, 0, 2147483647.4, 15);
  s.PutFloat(1, 0, 2147483647.6, 15);
  s.PutFloat(2, 0, -2147483648.5, 15);
  s.PutFloat(3, 0, -2147483648.6, 15);
  EXPECT_EQ(s.GetInteger(0, 0), 2147483647);
  EXPECT_THROW(s.GetInteger(1, 0), EXLSError);
  EXPECT_EQ(s.GetInteger(2, 0), -2147483648) << "a tie goes to the even neighbour";
  EXPECT_THROW(s.GetInteger(3, 0), EXLSError);
}

TEST(XLSWorkbook, DefaultFormatComesFromColumnThenRow) {
  TXLSWorkbook wb;
  TSheet& s = wb.Sheets()[0];
  while (wb.CellFormats().Count() <= 30) wb.CellFormats().AddFormat();
  s.Columns().Add(2, 20);
  s.Rows().Add(5, 30);
  EXPECT_EQ(s.DefaultFormatAt(2, 5), 20);
  EXPECT_EQ(s.DefaultFormatAt(3, 5), 30);
  EXPECT_EQ(s.DefaultFormatAt(3, 6), 15);
  s.PutText(3, 5, u"x");
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(3, 5)), 30);
  s.PutFloat(4, 4, 1, 99);
  EXPECT_EQ(s.CellFormatIndex(*s.FindCell(4, 4)), 15) << "an unknown format index becomes 15";
}

TEST(XLSWorkbook, ClearWorkbookStartsAfresh) {
  TXLSWorkbook wb;
  wb.Sheets().Add();
  wb.Sheets()[0].PutText(0, 0, u"x");
  wb.CellFormats().AddFormat();
  wb.ClearWorkbook();
  ASSERT_EQ(wb.Sheets().Count(), 1);
  EXPECT_EQ(wb.Sheets()[0].Name(), u"Sheet1");
  EXPECT_EQ(wb.Sheets()[0].FindCell(0, 0), nullptr);
  EXPECT_EQ(wb.CellFormats().Count(), 21);
  EXPECT_EQ(wb.SST().TrieCount(), 0u);
}

TEST(XLSWorkbook, PaletteBelongsToEachWorkbook) {
  TXLSWorkbook a;
  TXLSWorkbook b;
  a.Colors().Colors[8] = 0x00123456;
  EXPECT_TRUE(a.Colors().DiffersFromDefaults());
  EXPECT_FALSE(b.Colors().DiffersFromDefaults());
  TXLSWorkbook c;
  EXPECT_FALSE(c.Colors().DiffersFromDefaults()) << "a new workbook starts from the default palette";
}

}  // namespace plicato
