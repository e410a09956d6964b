#include "workbook/FormattedObj.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "biff/Errors.h"

namespace plicato {
namespace {

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return "(no failure)";
}

struct Book {
  TXFonts fonts;
  TCellFormats formats{&fonts};
};

// A formatted object whose format lives outside it, as a compact cell keeps it: only the handle.
class THandleView : public TFormattedObject {
 public:
  THandleView(TCellFormats* formats, uint32_t* slot) : TFormattedObject(formats), slot_(slot) {}

 protected:
  TCellFormat* CurrentFormat() const override { return Formats()->ByHandle(*slot_); }
  void SetCurrentFormat(TCellFormat* format) override { *slot_ = format->Handle(); }

 private:
  uint32_t* slot_;
};

class TTestRow : public TFormattedObjectNotify {
 public:
  TTestRow(TCellFormats* formats, int32_t index, int number)
      : TFormattedObjectNotify(formats, index), number_(number) {}
  int NotifyNumber() const override { return number_; }
  void AfterChange() override { ++afterChanges; }
  int afterChanges = 0;

 private:
  int number_;
};

TEST(TFormattedObject, CreationAdoptsTheIndexOrFifteenWithoutCountingAUse) {
  Book b;
  TCellFormat* extra = b.formats.AddFormat();
  TFormattedObject onExtra(&b.formats, 21);
  EXPECT_EQ(onExtra.FormatIndex(), 21);
  EXPECT_EQ(extra->UseCount, 0);
  TFormattedObject beyond(&b.formats, 40);
  EXPECT_EQ(beyond.FormatIndex(), 15);
  EXPECT_EQ(beyond.Format(), b.formats.Item(15));
  EXPECT_EQ(Message([] { TFormattedObject o(nullptr, 0); }), "CellFormat has no parent");
}

TEST(TFormattedObject, BorderChangesShareOneNewFormatAndDeleteItWhenUnused) {
  Book b;
  TFormattedObject c1(&b.formats, 15), c2(&b.formats, 15);
  c1.SetBorderBottomStyle(cbsThin);
  ASSERT_EQ(b.formats.Count(), 22);
  EXPECT_EQ(c1.FormatIndex(), 21);
  TCellFormat* xf21 = b.formats.Item(21);
  EXPECT_EQ(xf21->UseCount, 1);
  EXPECT_EQ(xf21->Body.BorderStyles, 0x1000);
  EXPECT_EQ(xf21->Body.UsedAttributes & kXFUsedBorder, kXFUsedBorder);
  EXPECT_EQ(c1.BorderBottomStyle(), cbsThin);
  EXPECT_EQ(b.formats.Item(15)->Body.BorderStyles, 0);  // the shared item is untouched

  c2.SetBorderBottomStyle(cbsThin);
  EXPECT_EQ(c2.FormatIndex(), 21);
  EXPECT_EQ(xf21->UseCount, 2);
  EXPECT_EQ(b.formats.Count(), 22);

  c1.SetBorderBottomStyle(cbsNone);
  EXPECT_EQ(c1.FormatIndex(), 15);
  EXPECT_EQ(b.formats.Count(), 22);
  c2.SetBorderBottomStyle(cbsNone);
  EXPECT_EQ(c2.FormatIndex(), 15);
  EXPECT_EQ(b.formats.Count(), 21);
}

TEST(TFormattedObject, SetFormatIndexAdoptsBeforeItReleases) {
  Book b;
  TFormattedObject a(&b.formats, 15), other(&b.formats, 15);
  a.SetRotation(10);
  other.SetRotation(20);
  ASSERT_EQ(a.FormatIndex(), 21);
  ASSERT_EQ(other.FormatIndex(), 22);
  TCellFormat* target = b.formats.Item(22);
  // a is the only user of 21: releasing it first would renumber 22 to 21 before the adoption.
  a.SetFormatIndex(22);
  EXPECT_EQ(a.Format(), target);
  EXPECT_EQ(a.Rotation(), 20);
  EXPECT_EQ(a.FormatIndex(), 21);
  EXPECT_EQ(target->UseCount, 2);
  EXPECT_EQ(b.formats.Count(), 22);

  a.SetFormatIndex(a.FormatIndex());  // the same item: no change in its count
  EXPECT_EQ(target->UseCount, 2);
  EXPECT_THROW(a.SetFormatIndex(22), EListError);
  EXPECT_EQ(a.Format(), target);
}

TEST(TFormattedObject, RotationIsStoredAsTheFileKeepsIt) {
  const std::pair<int32_t, int> cases[] = {{0, 0},     {45, 45},   {90, 90},   {91, 90}, {120, 90},
                                           {254, 90},  {255, 255}, {300, 255}, {-1, 91}, {-45, 135},
                                           {-90, 180}, {-91, 180}, {-500, 180}};
  for (auto [angle, stored] : cases) {
    Book b;
    TFormattedObject o(&b.formats, 15);
    o.SetRotation(angle);
    EXPECT_EQ(o.Format()->Body.Rotation, stored) << angle;
    int32_t back = stored <= 90 || stored == 255 ? stored : 90 - stored;
    EXPECT_EQ(o.Rotation(), back) << angle;
  }
}

TEST(TFormattedObject, FillColoursAndPattern) {
  Book b;
  TFormattedObject o(&b.formats, 15);
  o.SetFillForeColor(10);
  EXPECT_EQ(o.FillForeColor(), 10);
  EXPECT_EQ(o.FillPattern(), fpPattern1);
  EXPECT_EQ(o.FillBackColor(), 9);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedPattern, kXFUsedPattern);
  EXPECT_EQ(b.formats.Count(), 22);  // one change, one new format

  o.SetFillPattern(fpPattern5);
  o.SetFillBackColor(12);
  o.SetFillForeColor(64);  // only the pattern colour changes
  EXPECT_EQ(o.FillForeColor(), 64);
  EXPECT_EQ(o.FillBackColor(), 12);
  EXPECT_EQ(o.FillPattern(), fpPattern5);

  o.SetFillPattern(fpNone);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedPattern, 0);
  o.SetFillBackColor(13);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedPattern, kXFUsedPattern);
  o.SetFillBackColor(64);  // both colours automatic
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedPattern, 0);
  EXPECT_EQ(o.Format()->Body.FillColors, 0x2040);
  o.SetFillPattern(fpPattern18);
  EXPECT_EQ(o.Format()->Body.BorderColorsFill >> 26, 18u);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedPattern, kXFUsedPattern);
  EXPECT_EQ(b.formats.Count(), 22);  // every intermediate format went again
}

TEST(TFormattedObject, BorderFieldsAndTheirUsedBit) {
  Book b;
  TFormattedObject o(&b.formats, 15);
  o.SetBorderLeftStyle(cbsMedium);
  o.SetBorderRightStyle(cbsDashed);
  o.SetBorderTopStyle(cbsSlantedDashDot);
  o.SetBorderBottomStyle(cbsDouble);
  const TXFBody* body = &o.Format()->Body;
  EXPECT_EQ(body->BorderStyles, 0x6D32);
  o.SetBorderLeftColor(10);
  o.SetBorderRightColor(11);
  o.SetBorderDiagLines(dlDown | dlUp);
  o.SetBorderTopColor(12);
  o.SetBorderBottomColor(13);
  o.SetBorderDiagColor(14);
  o.SetBorderDiagStyle(cbsHair);
  body = &o.Format()->Body;
  EXPECT_EQ(body->BorderColors, 10u | 11u << 7 | 3u << 14);
  EXPECT_EQ(body->BorderColorsFill, 12u | 13u << 7 | 14u << 14 | 7u << 21);
  EXPECT_EQ(o.BorderLeftColor(), 10);
  EXPECT_EQ(o.BorderRightColor(), 11);
  EXPECT_EQ(o.BorderTopColor(), 12);
  EXPECT_EQ(o.BorderBottomColor(), 13);
  EXPECT_EQ(o.BorderDiagColor(), 14);
  EXPECT_EQ(o.BorderDiagLines(), dlDown | dlUp);
  EXPECT_EQ(o.BorderDiagStyle(), cbsHair);
  EXPECT_EQ(o.BorderTopStyle(), cbsSlantedDashDot);
  // Colours are cut to 7 bits.
  o.SetBorderLeftColor(0x8A);
  EXPECT_EQ(o.BorderLeftColor(), 10);

  // The border bit stays while any style (the diagonal one included) is set.
  o.SetBorderLeftStyle(cbsNone);
  o.SetBorderRightStyle(cbsNone);
  o.SetBorderTopStyle(cbsNone);
  o.SetBorderBottomStyle(cbsNone);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedBorder, kXFUsedBorder);
  o.SetBorderDiagStyle(cbsNone);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedBorder, 0);
}

TEST(TFormattedObject, AlignmentOptionsIndentAndProtection) {
  Book b;
  TFormattedObject o(&b.formats, 15);
  EXPECT_EQ(o.VertAlignment(), cvaBottom);
  EXPECT_EQ(o.HorizAlignment(), chaGeneral);
  o.SetVertAlignment(cvaTop);
  EXPECT_EQ(o.Format()->Body.Alignment, 0x00);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedAlignment, 0);
  o.SetVertAlignment(cvaCenter);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedAlignment, kXFUsedAlignment);
  o.SetHorizAlignment(chaRight);
  EXPECT_EQ(o.Format()->Body.Alignment, 0x13);

  // The options rule does not count the vertical alignment.
  o.SetHorizAlignment(chaGeneral);
  o.SetFormatOptions(foShrinkToFit);
  EXPECT_EQ(o.FormatOptions(), foShrinkToFit);
  EXPECT_EQ(o.Format()->Body.IndentOptions, 0x10);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedAlignment, 0);
  o.SetFormatOptions(foWrapText | foShrinkToFit);
  EXPECT_EQ(o.Format()->Body.Alignment, 0x18);
  EXPECT_EQ(o.Format()->Body.UsedAttributes & kXFUsedAlignment, kXFUsedAlignment);

  // Setting options clears justify-last-line.
  TCellFormat* item = b.formats.AddFormat();
  item->Body.Alignment = 0x80 | 0x20;
  TFormattedObject j(&b.formats, item->Index());
  j.SetFormatOptions(foWrapText);
  EXPECT_EQ(j.Format()->Body.Alignment, 0x28);

  o.SetIndent(0x1F);
  EXPECT_EQ(o.Indent(), 0x0F);
  EXPECT_EQ(o.Format()->Body.IndentOptions, 0x1F);
  o.SetProtection(cpHidden);
  EXPECT_EQ(o.Protection(), cpHidden);
  EXPECT_EQ(o.Format()->Body.Protection, 0x0002);
}

TEST(TFormattedObject, UnchangedValuesChangeNothing) {
  Book b;
  TCellFormat* item = b.formats.AddFormat();
  b.formats.AddUse(item);
  TFormattedObject o(&b.formats, 21);
  o.SetFillForeColor(64);
  o.SetFillBackColor(65);
  o.SetRotation(0);
  o.SetRotation(-0);
  o.SetNumberFormat(u"");
  o.SetFontSize(10);
  o.SetFontSize(0);
  o.SetFontSize(-4);
  o.SetFontName(u"Arial");
  o.SetProtection(cpLocked);
  EXPECT_EQ(o.Format(), item);
  EXPECT_EQ(item->UseCount, 1);
  EXPECT_EQ(b.formats.Count(), 22);
}

TEST(TFormattedObject, NumberFormatsFollowTheFormats) {
  Book b;
  TFormattedObject c1(&b.formats, 15), c2(&b.formats, 15);
  c1.SetNumberFormat(u"0.000");
  c2.SetNumberFormat(u"0.000");
  EXPECT_EQ(c1.Format(), c2.Format());
  EXPECT_EQ(c1.NumberFormat(), u"0.000");
  TNumberFormat* nf = b.formats.NumberFormats().NumberFormatById(50);
  EXPECT_EQ(nf->UseCount, 1);  // held by the one list item

  c1.SetNumberFormat(u"0.0000");
  EXPECT_EQ(c1.Format()->Body.NumberFormatId, 51);
  c2.SetNumberFormat(u"0.0000");
  EXPECT_EQ(c1.Format(), c2.Format());
  // Nothing holds 50 any more: it is gone and will not be written.
  EXPECT_EQ(b.formats.NumberFormats().FindNumberFormatById(50), nullptr);

  c1.SetNumberFormat(u"");
  c2.SetNumberFormat(u"");
  EXPECT_EQ(c1.FormatIndex(), 15);
  EXPECT_EQ(b.formats.Count(), 21);
  EXPECT_EQ(b.formats.NumberFormats().FindNumberFormatById(51), nullptr);

  EXPECT_EQ(Message([&] { c1.SetNumberFormat(std::u16string(300, u'#')); }),
            "Format string more than 255 characthers");
  EXPECT_EQ(c1.FormatIndex(), 15);
  EXPECT_EQ(b.formats.Count(), 21);
}

TEST(TFormattedObject, FontChangesAffectOnlyTheirOwnFormat) {
  Book b;
  TFormattedObject c1(&b.formats, 15), c2(&b.formats, 15);
  c1.SetFontSize(14);
  EXPECT_EQ(c1.FontSize(), 14);
  EXPECT_EQ(c1.FontSize20(), 280);
  EXPECT_EQ(c2.FontSize(), 10);
  EXPECT_EQ(b.fonts.Item(0)->Size20, 200);
  ASSERT_EQ(b.fonts.Count(), 6);
  EXPECT_EQ(c1.Format()->Body.FontIndex, 5);
  EXPECT_EQ(b.fonts.Item(5)->UseCount, 1);

  c2.SetFontSize(14);
  EXPECT_EQ(c2.Format(), c1.Format());
  EXPECT_EQ(b.fonts.Count(), 6);

  c1.SetFontStyle(xfsBold);
  EXPECT_EQ(c1.FontStyle(), xfsBold);
  EXPECT_EQ(c2.FontStyle(), 0);
  EXPECT_EQ(c1.FontSize(), 14);
  EXPECT_EQ(b.fonts.Count(), 7);

  // Back to the defaults: the formats and fonts made on the way go again.
  c1.SetFontStyle(0);
  c1.SetFontSize(10);
  c2.SetFontSize(10);
  EXPECT_EQ(c1.FormatIndex(), 15);
  EXPECT_EQ(c2.FormatIndex(), 15);
  EXPECT_EQ(b.formats.Count(), 21);
  EXPECT_EQ(b.fonts.Count(), 5);
}

TEST(TFormattedObject, FontStaysWhileAnyFormatNamesIt) {
  Book b;
  TFormattedObject a(&b.formats, 15), c(&b.formats, 15);
  a.SetFontSize(14);
  int32_t xf = a.FormatIndex();
  c.SetFormatIndex(xf);  // adopts the format, not through a font change
  a.SetFontSize(10);
  EXPECT_EQ(a.FormatIndex(), 15);
  EXPECT_EQ(c.FormatIndex(), xf);
  EXPECT_EQ(c.FontSize(), 14);
  ASSERT_EQ(b.fonts.Count(), 6);

  // Deleting a font moves the font index of later formats down with it.
  TFormattedObject d(&b.formats, 15);
  d.SetFontName(u"Courier New");
  EXPECT_EQ(d.Format()->Body.FontIndex, 6);
  c.SetFormatIndex(15);
  EXPECT_EQ(b.fonts.Count(), 6);
  EXPECT_EQ(d.Format()->Body.FontIndex, 5);
  EXPECT_EQ(d.FontName(), u"Courier New");
}

TEST(TFormattedObject, EveryFontPropertyRoundTrips) {
  Book b;
  TFormattedObject o(&b.formats, 15);
  o.SetFontCharset(134);
  o.SetFontColor(10);
  o.SetFontFamily(1);
  o.SetFontName(u"\u5B8B\u4F53");
  o.SetFontSize20(230);
  o.SetFontSubSuperScript(xssSuperscript);
  o.SetFontUnderline(xulDoubleAccount);
  o.SetFontStyle(xfsItalic | xfsStrikeOut);
  EXPECT_EQ(o.FontCharset(), 134);
  EXPECT_EQ(o.FontColor(), 10);
  EXPECT_EQ(o.FontFamily(), 1);
  EXPECT_EQ(o.FontName(), u"\u5B8B\u4F53");
  EXPECT_EQ(o.FontSize20(), 230);
  EXPECT_EQ(o.FontSize(), 11);
  EXPECT_EQ(o.FontSubSuperScript(), xssSuperscript);
  EXPECT_EQ(o.FontUnderline(), xulDoubleAccount);
  EXPECT_EQ(o.FontStyle(), xfsItalic | xfsStrikeOut);
  // Each step replaced the font of the step before.
  EXPECT_EQ(b.fonts.Count(), 6);
  EXPECT_EQ(b.formats.Count(), 22);
}

TEST(TFormattedObject, FontsNeedAFontList) {
  TCellFormats formats(nullptr);
  TFormattedObject o(&formats, 15);
  EXPECT_EQ(Message([&] { o.FontSize(); }), "No Fonts");
  EXPECT_EQ(Message([&] { o.SetFontSize(12); }), "No Fonts");
  o.SetRotation(30);  // everything else works
  EXPECT_EQ(o.FormatIndex(), 21);
}

TEST(TFormattedObject, FormatKeptOutsideTheObjectSurvivesDeletions) {
  Book b;
  TFormattedObject early(&b.formats, 15);
  early.SetRotation(5);  // XF 21, deleted below
  uint32_t slot = b.formats.HandleOfIndex(15);
  THandleView view(&b.formats, &slot);
  view.SetRotation(30);
  EXPECT_EQ(view.FormatIndex(), 22);
  early.SetRotation(0);  // XF 21 goes, the view's format becomes 21
  EXPECT_EQ(view.FormatIndex(), 21);
  EXPECT_EQ(view.Rotation(), 30);
  view.SetFormatIndex(15);
  EXPECT_EQ(slot, b.formats.HandleOfIndex(15));
  EXPECT_EQ(b.formats.Count(), 21);

  uint32_t dangling = kNoFormatHandle;
  THandleView none(&b.formats, &dangling);
  EXPECT_EQ(Message([&] { none.FormatIndex(); }), "[int] Object has no cell format");
}

TEST(TFormattedObjectNotify, ReportsANewFormatAndNothingElse) {
  Book b;
  TTestRow row(&b.formats, 15, 7);
  std::vector<std::pair<TCellFormat*, int>> reports;
  row.SetOnChange([&](TCellFormat* f, int n) { reports.emplace_back(f, n); });

  row.SetFillForeColor(64);  // unchanged
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(row.afterChanges, 1);

  row.SetBorderTopStyle(cbsThick);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, row.Format());
  EXPECT_EQ(reports[0].first->Index(), 21);
  EXPECT_EQ(reports[0].second, 7);
  EXPECT_EQ(row.afterChanges, 2);

  // A change that ends on the same item reports nothing.
  TTestRow twin(&b.formats, 15, 8);
  twin.SetOnChange([&](TCellFormat* f, int n) { reports.emplace_back(f, n); });
  twin.SetBorderTopStyle(cbsThick);
  EXPECT_EQ(reports.size(), 2u);  // twin moved from 15 to 21
  twin.SetRotation(255);
  twin.SetRotation(300);  // stores 255 again
  EXPECT_EQ(reports.size(), 3u);
  EXPECT_EQ(twin.afterChanges, 3);

  // The old item deleted and the new one taking its index is still a change.
  row.SetFontSize(12);
  ASSERT_EQ(reports.size(), 4u);
  int32_t before = row.FormatIndex();
  ASSERT_EQ(before, b.formats.Count() - 1);  // the last item, so its successor will take its index
  row.SetFontSize(16);
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(row.FormatIndex(), before);  // same index, new format
  EXPECT_EQ(reports.back().first, row.Format());
  EXPECT_EQ(row.FontSize(), 16);
}

}  // namespace
}  // namespace plicato
