#include "biff/Settings.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {
namespace {

namespace R = BIFFRecs;

std::vector<uint8_t> Body(const TStoredRecord* e) {
  return std::vector<uint8_t>(e->Data(), e->Data() + e->Length());
}

TEST(WorkbookData, WindowFieldsAndOptionsLiveInWindow1) {
  TRecordStorageGlobals g;
  TWorkbookData wb(g);
  EXPECT_EQ(wb.Left(), 100);
  EXPECT_EQ(wb.Top(), 100);
  EXPECT_EQ(wb.Width(), 10000);
  EXPECT_EQ(wb.Height(), 7000);
  EXPECT_EQ(wb.SelectedTab(), 0);
  EXPECT_EQ(wb.Options(), (TWorkbookOptions{woHScroll, woVScroll, woTabs}));
  EXPECT_FALSE(wb.Date1904());

  wb.SetLeft(1);
  wb.SetTop(2);
  wb.SetWidth(3);
  wb.SetHeight(0xABCD);
  wb.SetSelectedTab(4);
  EXPECT_EQ(Body(g.Window1()),
            (std::vector<uint8_t>{1, 0, 2, 0, 3, 0, 0xCD, 0xAB, 0x38, 0, 4, 0, 0, 0, 1, 0, 0x58, 0x02}));

  // Setting replaces the whole word, unknown bits included; reading maps each bit back.
  g.SetFieldU16(R::WINDOW1, 8, 0xFFFF);
  EXPECT_EQ(wb.Options(), (TWorkbookOptions{woHidden, woIconized, woHScroll, woVScroll, woTabs}));
  wb.SetOptions({woHidden, woTabs});
  EXPECT_EQ(g.FieldU16(R::WINDOW1, 8), 0x0021);
  wb.SetOptions({woIconized, woVScroll});
  EXPECT_EQ(g.FieldU16(R::WINDOW1, 8), 0x0012);
  EXPECT_EQ(wb.Options(), (TWorkbookOptions{woIconized, woVScroll}));
  wb.SetOptions({});
  EXPECT_EQ(g.FieldU16(R::WINDOW1, 8), 0);

  wb.SetDate1904(true);
  EXPECT_EQ(g.FieldU16(R::DATEMODE, 0), 1);
  EXPECT_TRUE(wb.Date1904());
}

TEST(WorkbookData, ShortWindow1FromFileReadsDefaultsAndRefusesWrites) {
  TRecordStorageGlobals g;
  const uint8_t window1[4] = {5, 0, 6, 0};
  g.SetRecord(R::WINDOW1, 4, window1);
  TWorkbookData wb(g);
  EXPECT_EQ(wb.Left(), 5);
  EXPECT_EQ(wb.Width(), 10000);
  EXPECT_THROW(wb.SetOptions({woTabs}), EXLSError);
  EXPECT_EQ(g.Window1()->Length(), 4);
}

TEST(OptionsDialog, CalcCountRules) {
  TRecordStorageGlobals g;
  TOptionsDialog o(g);
  EXPECT_EQ(o.CalcMode(), cmAutomatic);
  o.SetCalcCount(-5);
  EXPECT_EQ(o.CalcCount(), 32767);
  o.SetCalcCount(0);
  EXPECT_EQ(o.CalcCount(), 1);
  o.SetCalcCount(7);
  EXPECT_EQ(o.CalcCount(), 7);
  o.SetCalcCount(40000);
  EXPECT_EQ(o.CalcCount(), 32767);
}

TEST(OptionsDialog, CopiesCalculationRecordsToAndFromSheets) {
  TRecordStorageGlobals g;
  TOptionsDialog o(g);
  TRecordStorageSheet sheet0;
  o.CopyFromSheet(sheet0);  // the defaults: automatic, 100, 0.001, A1, save-recalc
  EXPECT_EQ(o.CalcMode(), cmAutomatic);
  EXPECT_EQ(o.CalcCount(), 100);
  EXPECT_DOUBLE_EQ(o.Delta(), 0.001);
  EXPECT_FALSE(o.R1C1Mode());
  EXPECT_FALSE(o.Iteration());
  EXPECT_TRUE(o.SaveRecalc());

  const std::pair<TCalcMode, uint16_t> modes[] = {{cmManual, 0}, {cmAutomatic, 1}, {cmAutoExTables, 0xFFFF}};
  for (auto [mode, stored] : modes) {
    TRecordStorageSheet out;
    o.SetCalcMode(mode);
    o.CopyToSheet(out);
    EXPECT_EQ(out.CalcMode(), stored);
    TOptionsDialog back(g);
    back.CopyFromSheet(out);
    EXPECT_EQ(back.CalcMode(), mode);
  }

  o.SetCalcCount(12);
  o.SetR1C1Mode(true);
  o.SetIteration(true);
  o.SetSaveRecalc(false);
  o.SetDelta(0.5);
  TRecordStorageSheet out;
  o.CopyToSheet(out);
  EXPECT_EQ(out.CalcCount(), 12);
  EXPECT_EQ(out.RefMode(), 0);  // R1C1 is stored inverted
  EXPECT_TRUE(out.Iteration());
  EXPECT_FALSE(out.SaveRecalc());
  EXPECT_DOUBLE_EQ(out.Delta(), 0.5);
  o.SetR1C1Mode(false);
  o.CopyToSheet(out);
  EXPECT_EQ(out.RefMode(), 1);

  // Counts from a file go through the same rules.
  const uint8_t zero[2] = {0, 0};
  TRecordStorageSheet read;
  read.SetRecord(R::CALCCOUNT, 2, zero);
  o.CopyFromSheet(read);
  EXPECT_EQ(o.CalcCount(), 1);
  const uint8_t negative[2] = {0xFB, 0xFF};
  read.SetRecord(R::CALCCOUNT, 2, negative);
  o.CopyFromSheet(read);
  EXPECT_EQ(o.CalcCount(), 32767);
}

TEST(OptionsDialog, GlobalsOptionsFollowTheFileFormatMeaning) {
  TRecordStorageGlobals g;
  TOptionsDialog o(g);
  // A new workbook: full precision (PRECISION 1), external link values saved (BOOKBOOL 0).
  EXPECT_FALSE(o.PrecisionAsDisplayed());
  EXPECT_TRUE(o.SaveExtLinkVal());
  o.SetPrecisionAsDisplayed(true);
  EXPECT_EQ(g.FieldU16(R::PRECISION, 0), 0);
  o.SetSaveExtLinkVal(false);
  EXPECT_EQ(g.FieldU16(R::BOOKBOOL, 0), 1);

  EXPECT_EQ(o.ShowObjects(), soShowAll);
  o.SetShowObjects(soHideAll);
  EXPECT_EQ(g.HideObj(), 2);
  o.SetShowObjects(soPlaceholders);
  EXPECT_EQ(g.HideObj(), 1);
  EXPECT_EQ(o.ShowObjects(), soPlaceholders);
  g.SetHideObj(9);
  EXPECT_EQ(o.ShowObjects(), soShowAll);
}

TEST(Styles, KeepsBodiesAndWritesThemUnchanged) {
  TStyles styles;
  const uint8_t builtIn[4] = {0x10, 0x80, 0x03, 0xFF};
  const uint8_t user[9] = {0x15, 0x00, 0x04, 0x00, 0x00, 'M', 'i', 'n', 'e'};
  styles.Add(builtIn, 4);
  styles.Add(user, 9);
  ASSERT_EQ(styles.Count(), 2);
  EXPECT_EQ(styles.Item(1), std::vector<uint8_t>(user, user + 9));
  EXPECT_THROW(styles.Item(2), EListError);
  EXPECT_THROW(styles.Item(-1), EListError);

  std::vector<uint8_t> out;
  TXLSStream stream;
  stream.SetDestMemory(&out);
  stream.OpenWrite("", xvExcel40);  // plain record bytes
  styles.Write(stream);
  stream.Close();
  std::vector<uint8_t> expected = {0x93, 0x02, 4, 0, 0x10, 0x80, 0x03, 0xFF, 0x93, 0x02, 9, 0};
  expected.insert(expected.end(), user, user + 9);
  EXPECT_EQ(out, expected);

  styles.Clear();
  EXPECT_EQ(styles.Count(), 0);
}

TEST(FileSharing, RecomendReadOnly) {
  TFileSharing fs;
  EXPECT_FALSE(fs.RecomendReadOnly());
  fs.SetRecomendReadOnly(false);
  EXPECT_TRUE(fs.Data().empty());
  fs.SetRecomendReadOnly(true);
  EXPECT_EQ(fs.Data(), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(fs.RecomendReadOnly());
  fs.SetRecomendReadOnly(false);
  EXPECT_TRUE(fs.Data().empty());

  // A file's data with a password hash keeps its other bytes.
  const uint8_t file[6] = {1, 0, 0x34, 0x12, 0, 0};
  fs.Assign(file, 6);
  EXPECT_TRUE(fs.RecomendReadOnly());
  fs.SetRecomendReadOnly(false);
  EXPECT_EQ(fs.Data(), (std::vector<uint8_t>{0, 0, 0x34, 0x12, 0, 0}));
  fs.SetRecomendReadOnly(true);
  EXPECT_EQ(fs.Data(), (std::vector<uint8_t>{1, 0, 0x34, 0x12, 0, 0}));

  // One byte is too little to mean anything.
  const uint8_t one[1] = {1};
  fs.Assign(one, 1);
  EXPECT_FALSE(fs.RecomendReadOnly());
  fs.SetRecomendReadOnly(false);
  EXPECT_EQ(fs.Data().size(), 1u);
  fs.SetRecomendReadOnly(true);
  EXPECT_EQ(fs.Data(), (std::vector<uint8_t>{1, 0, 0, 0, 0, 0}));
}

TEST(PrintSettings, NewWorksheetSetup) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  ps.Reset();
  ps.SetPaperSize(psA4);
  const std::vector<uint8_t> setup = {9,    0, 100,  0, 1, 0, 1,    0,    1, 0, 0x02, 0x00,
                                      0x58, 2, 0x58, 2, 0, 0, 0,    0,    0, 0, 0xE0, 0x3F,
                                      0,    0, 0,    0, 0, 0, 0xE0, 0x3F, 0, 0};
  EXPECT_EQ(Body(s.Setup()), setup);
  for (uint16_t id : {R::PRINTHEADERS, R::PRINTGRIDLINES, R::HCENTER, R::VCENTER}) {
    EXPECT_EQ(s.FieldU16(id, 0), 0) << std::hex << id;
  }
  EXPECT_EQ(ps.MarginLeft(), 0.75);
  EXPECT_EQ(ps.MarginRight(), 0.75);
  EXPECT_EQ(ps.MarginTop(), 1.0);
  EXPECT_EQ(ps.MarginBottom(), 1.0);
  EXPECT_EQ(ps.Options(), TPrintSetupOptions{psoPortrait});
  EXPECT_EQ(ps.PaperSize(), psA4);
  EXPECT_EQ(ps.ScalingFactor(), 100);
  EXPECT_EQ(ps.StartingPage(), 1);
  EXPECT_EQ(ps.FitWidth(), 1);
  EXPECT_EQ(ps.FitHeight(), 1);
  EXPECT_EQ(ps.Resolution(), 600);
  EXPECT_EQ(ps.Copies(), 0);
  EXPECT_EQ(ps.HeaderMargin(), 0.5);
  EXPECT_EQ(ps.FooterMargin(), 0.5);
}

TEST(PrintSettings, ResetEmptiesBreaksAndRestoresMargins) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  ps.HorizPagebreaks().push_back({10, 0, 255});
  ps.VertPagebreaks().push_back({3, 0, 65535});
  ps.SetMarginTop(-1);
  ps.SetStartingPage(4);
  ps.SetOptions({psoGridlines, psoNotes});
  ps.SetHeader(u"head");
  ps.Reset();
  EXPECT_TRUE(ps.HorizPagebreaks().empty());
  EXPECT_TRUE(ps.VertPagebreaks().empty());
  EXPECT_EQ(ps.MarginTop(), 1.0);
  EXPECT_EQ(ps.StartingPage(), 1);
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0002);
  EXPECT_FALSE(s.Flag(R::PRINTGRIDLINES));
  EXPECT_EQ(ps.Header(), u"head");
}

TEST(PrintSettings, CentimetreConversions) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  ps.SetMarginLeftCm(2.54);
  EXPECT_EQ(ps.MarginLeft(), 1.0);
  ps.SetMarginBottom(2.0);
  EXPECT_DOUBLE_EQ(ps.MarginBottomCm(), 5.08);
  ps.SetHeaderMarginCm(1.27);
  EXPECT_DOUBLE_EQ(ps.HeaderMargin(), 0.5);
  EXPECT_DOUBLE_EQ(s.FieldDouble(R::SETUP, 16), 0.5);
  ps.SetFooterMargin(1.0);
  EXPECT_DOUBLE_EQ(ps.FooterMarginCm(), 2.54);
  EXPECT_DOUBLE_EQ(s.FieldDouble(R::SETUP, 24), 1.0);
}

TEST(PrintSettings, StartingPageOwnsTheUseFirstPageBit) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  ps.Reset();
  ps.SetStartingPage(3);
  EXPECT_EQ(ps.StartingPage(), 3);
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0082);
  // Options leave it alone.
  ps.SetOptions({psoNoColor});
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0088);
  ps.SetStartingPage(1);
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0008);
  ps.SetStartingPage(0);
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0088);

  // A SETUP from a file too short for the options word: nothing changes.
  TRecordStorageSheet read;
  const uint8_t setup[6] = {9, 0, 100, 0, 1, 0};
  read.SetRecord(R::SETUP, 6, setup);
  TPrintSettings rp(read);
  EXPECT_THROW(rp.SetStartingPage(5), EXLSError);
  EXPECT_EQ(Body(read.Setup()), std::vector<uint8_t>(setup, setup + 6));
  EXPECT_EQ(rp.Copies(), 0);  // read from the default record
}

TEST(PrintSettings, FitOutsideTheWordRangeIsZero) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  ps.SetFitWidth(-1);
  EXPECT_EQ(ps.FitWidth(), 0);
  ps.SetFitWidth(65535);
  EXPECT_EQ(ps.FitWidth(), 65535);
  ps.SetFitHeight(65536);
  EXPECT_EQ(ps.FitHeight(), 0);
  ps.SetFitHeight(2);
  EXPECT_EQ(s.FieldU16(R::SETUP, 8), 2);
}

TEST(PrintSettings, OptionsMapToSetupBitsAndFourRecords) {
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  // Unknown bits of a file's options word are dropped by setting.
  s.SetFieldU16(R::SETUP, 10, 0x0444);
  EXPECT_EQ(ps.Options(), TPrintSetupOptions{});
  TPrintSetupOptions all{psoLeftToRight,   psoPortrait,  psoNoColor,     psoDraftQuality, psoNotes,
                         psoRowColHeading, psoGridlines, psoHorizCenter, psoVertCenter};
  ps.SetOptions(all);
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x003B);
  EXPECT_TRUE(s.Flag(R::PRINTHEADERS));
  EXPECT_TRUE(s.Flag(R::PRINTGRIDLINES));
  EXPECT_TRUE(s.Flag(R::HCENTER));
  EXPECT_TRUE(s.Flag(R::VCENTER));
  EXPECT_EQ(ps.Options(), all);

  ps.SetOptions({psoHorizCenter, psoLeftToRight});
  EXPECT_EQ(s.FieldU16(R::SETUP, 10), 0x0001);
  EXPECT_FALSE(s.Flag(R::PRINTHEADERS));
  EXPECT_FALSE(s.Flag(R::PRINTGRIDLINES));
  EXPECT_TRUE(s.Flag(R::HCENTER));
  EXPECT_FALSE(s.Flag(R::VCENTER));
  EXPECT_EQ(ps.Options(), (TPrintSetupOptions{psoLeftToRight, psoHorizCenter}));
}

TEST(PrintSettings, PaperSizeCodes) {
  EXPECT_EQ(psLetter, 1);
  EXPECT_EQ(psLegal, 5);
  EXPECT_EQ(psA3, 8);
  EXPECT_EQ(psA4, 9);
  EXPECT_EQ(psA5, 11);
  EXPECT_EQ(psFanfoldLglGerman, 41);
  EXPECT_EQ(psA4Extra, 53);
  EXPECT_EQ(psA2, 66);
  EXPECT_EQ(ps12x11, 90);
  // Codes outside the list come back unchanged; driver forms above 255 only through the 16-bit code.
  TRecordStorageSheet s;
  TPrintSettings ps(s);
  s.SetFieldU16(R::SETUP, 0, 120);
  EXPECT_EQ(static_cast<int>(ps.PaperSize()), 120);
  s.SetFieldU16(R::SETUP, 0, 257);
  EXPECT_EQ(ps.PaperSize(), psNone);
  EXPECT_EQ(ps.PaperSizeCode(), 257);
  ps.SetPaperSize(psLegal);
  EXPECT_EQ(s.FieldU16(R::SETUP, 0), 5);
}

}  // namespace
}  // namespace plicato
