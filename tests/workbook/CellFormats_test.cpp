#include "workbook/CellFormats.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/ColorTable.h"

namespace plicato {
namespace {

using Record = test::TRecord;
const auto Written = test::WrittenRecords;

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return "(no failure)";
}

std::vector<uint8_t> BodyBytes(const TCellFormat& f) {
  std::vector<uint8_t> b(kXFBodySize);
  f.Body.Encode(b.data());
  return b;
}

std::vector<uint8_t> FormatRecord(uint16_t id, const std::u16string& text) {
  std::vector<uint8_t> b;
  PutFixed16(b, id);
  PutFixed16(b, static_cast<uint16_t>(text.size()));
  PutFixed8(b, 1);
  for (char16_t c : text) PutFixed16(b, static_cast<uint16_t>(c));
  return b;
}

std::vector<uint8_t> XFRecord(uint16_t font, uint16_t numberFormat) {
  std::vector<uint8_t> b = {0,    0,    0,    0,    0x01, 0x00, 0x21, 0x2D, 0x13, 0xFC,
                            0x21, 0x43, 0x8A, 0x45, 0x0B, 0x06, 0x01, 0x04, 0x8A, 0x04};
  EncodeFixed16(&b[0], font);
  EncodeFixed16(&b[2], numberFormat);
  return b;
}

TEST(TCellFormats, NewListHasTheTwentyOneDefaults) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  ASSERT_EQ(cf.Count(), 21);
  EXPECT_EQ(cf.InitialCount(), 21);
  for (int i = 0; i < 21; ++i) {
    EXPECT_EQ(cf.Item(i)->Index(), i);
    EXPECT_EQ(cf.Item(i)->Body.Protection == 0x0001, i == 15) << i;
    EXPECT_EQ(cf.Item(i)->Body.BorderColors, 0);
    EXPECT_EQ(cf.Item(i)->Body.BorderColorsFill, 0u);
  }
  using B = std::vector<uint8_t>;
  EXPECT_EQ(BodyBytes(*cf.Item(0)),
            (B{0, 0, 0, 0, 0xF5, 0xFF, 0x20, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x20}));
  EXPECT_EQ(BodyBytes(*cf.Item(2)),
            (B{1, 0, 0, 0, 0xF5, 0xFF, 0x20, 0, 0, 0xF4, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x20}));
  EXPECT_EQ(BodyBytes(*cf.Item(4)),
            (B{2, 0, 0, 0, 0xF5, 0xFF, 0x20, 0, 0, 0xF4, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x20}));
  EXPECT_EQ(BodyBytes(*cf.Item(14)),
            (B{0, 0, 0, 0, 0xF5, 0xFF, 0x20, 0, 0, 0xF4, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x20}));
  EXPECT_EQ(BodyBytes(*cf.Item(15)),
            (B{0, 0, 0, 0, 0x01, 0x00, 0x20, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0x20}));
  const uint16_t numberFormats[] = {42, 43, 44, 45, 9};
  for (int i = 16; i <= 20; ++i) {
    EXPECT_EQ(cf.Item(i)->Body.NumberFormatId, numberFormats[i - 16]);
    EXPECT_EQ(cf.Item(i)->Body.UsedAttributes, 0);
    EXPECT_EQ(cf.Item(i)->Body.Protection, 0xFFF5);
  }
  EXPECT_EQ(cf.Item(18)->NumberFormatText(), u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)");
  EXPECT_EQ(cf.Item(15)->NumberFormatText(), u"");
}

TEST(TCellFormats, NewWorkbookWritesTwentyOneXFsSixStylesAndFiveFormats) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  auto xfs = Written([&](TXLSStream& s) { cf.WriteXFRecords(s); });
  ASSERT_EQ(xfs.size(), 21u);
  for (size_t i = 0; i < xfs.size(); ++i) {
    EXPECT_EQ(xfs[i].id, 0x00E0);
    EXPECT_EQ(xfs[i].body, BodyBytes(*cf.Item(static_cast<int32_t>(i))));
  }
  EXPECT_EQ(xfs[20].body, (std::vector<uint8_t>{0, 0, 9, 0, 0xF5, 0xFF, 0x20, 0, 0,    0,
                                                0, 0, 0, 0, 0,    0,    0,    0, 0xC0, 0x20}));

  auto styles = Written([&](TXLSStream& s) { TCellFormats::WriteDefaultStyles(s); });
  const std::vector<std::vector<uint8_t>> expected = {{0x10, 0x80, 0x03, 0xFF}, {0x11, 0x80, 0x06, 0xFF},
                                                      {0x12, 0x80, 0x04, 0xFF}, {0x13, 0x80, 0x07, 0xFF},
                                                      {0x00, 0x80, 0x00, 0xFF}, {0x14, 0x80, 0x05, 0xFF}};
  ASSERT_EQ(styles.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(styles[i].id, 0x0293);
    EXPECT_EQ(styles[i].body, expected[i]);
  }

  auto formats = Written([&](TXLSStream& s) { cf.NumberFormats().WriteFormatRecords(s); });
  std::vector<uint16_t> ids;
  for (const Record& r : formats) ids.push_back(DecodeFixed16(r.body.data()));
  EXPECT_EQ(ids, (std::vector<uint16_t>{9, 42, 43, 44, 45}));
}

TEST(TCellFormats, DefaultsOnlyIntoAnEmptyListAndClearKeepsTheInitialCount) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  EXPECT_EQ(Message([&] { cf.AddDefaultFormats(); }), "Add default formats when not empty.");
  EXPECT_EQ(cf.Count(), 21);

  cf.Clear();
  EXPECT_EQ(cf.Count(), 0);
  EXPECT_EQ(cf.InitialCount(), 21);
  EXPECT_EQ(cf.NumberFormats().Count(), 0);
  cf.ResetDefaults();
  EXPECT_EQ(cf.Count(), 21);
  EXPECT_EQ(cf.InitialCount(), 21);
  EXPECT_EQ(cf.NumberFormats().Count(), 50);
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(42)->UseCount, 1);
}

TEST(TCellFormats, FormatCreatedOnItsOwnAndSearch) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  TCellFormat* f = cf.AddFormat();
  EXPECT_EQ(f->Index(), 21);
  EXPECT_EQ(f->UseCount, 0);
  EXPECT_EQ(BodyBytes(*f), (std::vector<uint8_t>{0, 0, 0,    0,    0x01, 0x00, 0x20, 0,    0,    0,
                                                 0, 0, 0x40, 0x20, 0x40, 0x20, 0x10, 0x00, 0xC0, 0x20}));
  TCellFormat probe(&cf);
  EXPECT_EQ(cf.FindFormat(probe), 21);
  probe.Body = cf.Item(15)->Body;
  EXPECT_EQ(cf.FindFormat(probe), 15);
  probe.Body.Rotation = 7;
  EXPECT_EQ(cf.FindFormat(probe), -1);
}

TEST(TCellFormats, AdoptableIndexFallsBackToTheDefaultCellFormat) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  EXPECT_EQ(cf.AdoptableIndex(20), 20);
  EXPECT_EQ(cf.AdoptableIndex(21), 15);
  EXPECT_EQ(cf.AdoptableIndex(40), 15);
  EXPECT_EQ(cf.AdoptableIndex(-1), 15);
  cf.Clear();
  EXPECT_THROW(cf.AdoptableIndex(0), EListError);
  cf.NumberFormats().ResetNumberFormats();
  for (int i = 0; i < 3; ++i) cf.AddOldVersionXF();
  EXPECT_EQ(cf.AdoptableIndex(5), 0);  // a short list read from a file has no XF 15
}

TEST(TCellFormats, HandlesStayWhileIndexesFall) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  TCellFormat* a = cf.AddFormat();
  TCellFormat* b = cf.AddFormat();
  b->Body.Rotation = 45;
  uint32_t ha = a->Handle();
  uint32_t hb = b->Handle();
  EXPECT_NE(ha, hb);
  EXPECT_EQ(cf.HandleOfIndex(22), hb);
  EXPECT_EQ(cf.ByHandle(cf.HandleOfIndex(15)), cf.Item(15));

  cf.DeleteFormat(21);
  ASSERT_EQ(cf.Count(), 22);
  EXPECT_EQ(b->Index(), 21);
  EXPECT_EQ(cf.Item(21), b);
  EXPECT_EQ(cf.ByHandle(hb), b);
  EXPECT_EQ(cf.ByHandle(ha), nullptr);
  EXPECT_EQ(cf.ByHandle(12345), nullptr);

  TCellFormat* c = cf.AddFormat();  // reuses the freed handle
  EXPECT_EQ(c->Handle(), ha);
  EXPECT_EQ(cf.ByHandle(ha), c);
  EXPECT_EQ(c->Index(), 22);

  EXPECT_EQ(Message([&] { cf.Item(23); }), "List index out of bounds (23)");
  EXPECT_THROW(cf.HandleOfIndex(-1), EListError);
  EXPECT_THROW(cf.DeleteFormat(23), EListError);
}

TEST(TCellFormats, UseCountingLeavesInitialFormatsAlone) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  cf.AddUse(cf.Item(15));
  EXPECT_EQ(cf.Item(15)->UseCount, 0);
  cf.ReleaseFormat(cf.Item(15));
  cf.ReleaseFormat(cf.Item(15));
  EXPECT_EQ(cf.Count(), 21);

  TCellFormat* f = cf.AddFormat();
  cf.AddUse(f);
  cf.AddUse(f);
  EXPECT_EQ(f->UseCount, 2);
  cf.ReleaseFormat(f);
  EXPECT_EQ(cf.Count(), 22);
  cf.ReleaseFormat(f);
  EXPECT_EQ(cf.Count(), 21);

  // A read list made initial is never counted.
  TCellFormat* g = cf.AddFormat();
  cf.MarkInitialFormats();
  cf.AddUse(g);
  EXPECT_EQ(g->UseCount, 0);
  cf.ReleaseFormat(g);
  EXPECT_EQ(cf.Count(), 22);
}

TEST(TCellFormats, FindOrAddCountedInternsEqualBodies) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  TCellFormat copy(&cf, 15);
  copy.Body.BorderStyles = 0x1000;
  TCellFormat* a = cf.FindOrAddCounted(copy);
  EXPECT_EQ(a->Index(), 21);
  EXPECT_EQ(a->UseCount, 1);
  EXPECT_EQ(cf.FindOrAddCounted(copy), a);
  EXPECT_EQ(a->UseCount, 2);
  TCellFormat same(&cf, 15);
  EXPECT_EQ(cf.FindOrAddCounted(same), cf.Item(15));
  EXPECT_EQ(cf.Count(), 22);
}

TEST(TCellFormats, ReadingXFsNeedsTheirNumberFormats) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  cf.Clear();
  cf.NumberFormats().ResetNumberFormats();
  auto f170 = FormatRecord(170, u"0.0%");
  auto f164 = FormatRecord(164, u"0.000");
  cf.NumberFormats().ReadFormatRecord(f170.data(), static_cast<uint32_t>(f170.size()));
  cf.NumberFormats().ReadFormatRecord(f164.data(), static_cast<uint32_t>(f164.size()));
  EXPECT_FALSE(cf.NumberFormats().Sorted());

  auto xf = XFRecord(6, 164);
  TCellFormat* f = cf.ReadXFRecord(xf.data(), static_cast<uint32_t>(xf.size()));
  EXPECT_TRUE(cf.NumberFormats().Sorted());
  EXPECT_EQ(f->Index(), 0);
  EXPECT_EQ(BodyBytes(*f), xf);
  EXPECT_EQ(f->Body.FontIndex, 6);  // taken as it is
  EXPECT_EQ(f->NumberFormatText(), u"0.000");
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(164)->UseCount, 2);

  auto missing = XFRecord(0, 165);
  EXPECT_EQ(Message([&] { cf.ReadXFRecord(missing.data(), static_cast<uint32_t>(missing.size())); }),
            "Can not find number format# 165");
  EXPECT_EQ(cf.Count(), 1);
  auto builtin = XFRecord(0, 14);
  cf.ReadXFRecord(builtin.data(), static_cast<uint32_t>(builtin.size()));
  for (size_t len = 0; len < xf.size(); ++len) {
    EXPECT_THROW(cf.ReadXFRecord(xf.data(), static_cast<uint32_t>(len)), EXLSError) << len;
  }
  EXPECT_EQ(cf.Count(), 2);
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(164)->UseCount, 2);

  cf.MarkInitialFormats();
  EXPECT_EQ(cf.InitialCount(), 2);
  auto records = Written([&](TXLSStream& s) { cf.WriteXFRecords(s); });
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].body, xf);
  EXPECT_EQ(records[1].body, builtin);
}

TEST(TCellFormats, UndefinedLanguageBuiltInsAreAcceptedButNeverWritten) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  cf.Clear();
  cf.NumberFormats().ResetNumberFormats();
  // East Asian Excel names its own built-ins 50..163 without FORMAT records.
  auto xf56 = XFRecord(0, 56);
  auto xf163 = XFRecord(0, 163);
  cf.ReadXFRecord(xf56.data(), static_cast<uint32_t>(xf56.size()));
  cf.ReadXFRecord(xf56.data(), static_cast<uint32_t>(xf56.size()));
  cf.ReadXFRecord(xf163.data(), static_cast<uint32_t>(xf163.size()));
  EXPECT_EQ(cf.Count(), 3);
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(56)->UseCount, -1);
  EXPECT_EQ(cf.Item(0)->NumberFormatText(), u"");
  auto xf164 = XFRecord(0, 164);
  EXPECT_EQ(Message([&] { cf.ReadXFRecord(xf164.data(), static_cast<uint32_t>(xf164.size())); }),
            "Can not find number format# 164");

  // A defined one in that range is counted like any other.
  auto f57 = FormatRecord(57, u"yyyy\"\u5E74\"m\"\u6708\"");
  cf.NumberFormats().ReadFormatRecord(f57.data(), static_cast<uint32_t>(f57.size()));
  auto xf57 = XFRecord(0, 57);
  cf.ReadXFRecord(xf57.data(), static_cast<uint32_t>(xf57.size()));
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(57)->UseCount, 2);

  cf.MarkInitialFormats();
  {
    TCellFormat copy(&cf, 0);  // counts the placeholder directly, as any copy does
    auto records = Written([&](TXLSStream& s) { cf.NumberFormats().WriteFormatRecords(s); });
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(DecodeFixed16(records[0].body.data()), 57);
  }
}

TEST(TCellFormats, ReadsTheFormatsOfFilesFromOtherPrograms) {
  auto files = test::CorpusFiles("");
  if (files.empty()) GTEST_SKIP() << "no corpus";
  int read = 0;
  for (const auto& path : files) {
    TXFonts fonts;
    TCellFormats cf(&fonts);
    TColorTable colors;
    try {
      TXLSStream stream;
      if (stream.OpenRead(path) != xvExcel97) continue;
      fonts.Clear();
      cf.Clear();
      cf.NumberFormats().ResetNumberFormats();
      std::vector<uint8_t> body(0x10000);
      TRecordHeader h;
      int bofs = 0;
      while (stream.ReadHeader(h) == 4 && h.id != BIFFRecs::EOF_) {
        uint32_t n = stream.ReadRecordBody(h.id, body.data(), h.length);
        if (BIFFRecs::HasBOFLowByte(h.id) && ++bofs > 1) break;
        if (h.id == BIFFRecs::FONT) fonts.ReadFontRecord(body.data(), n);
        if (h.id == BIFFRecs::FORMAT) cf.NumberFormats().ReadFormatRecord(body.data(), n);
        if (h.id == BIFFRecs::XF) cf.ReadXFRecord(body.data(), n);
        if (h.id == BIFFRecs::PALETTE) colors.ReadPaletteRecord(body.data(), n);
      }
    } catch (const EPlicatoError&) {
      continue;  // damaged files must fail cleanly, which is all that is asked of them
    }
    ++read;
    std::string name = path.filename().string();
    if (name == "12561-1.xls") {  // Japanese Excel: XFs name its built-ins 50..81
      EXPECT_EQ(cf.Count(), 52);
      EXPECT_EQ(cf.NumberFormats().NumberFormatById(56)->UseCount, -1);
    }
    if (name == "unicodeNameRecord.xls") {  // values as xlrd reads them
      ASSERT_GE(fonts.Count(), 6);
      EXPECT_EQ(fonts.Item(5)->Name, u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF");
      EXPECT_EQ(fonts.Item(5)->Size20, 220);
    }
  }
  EXPECT_GT(read, 150);
}

TEST(TCellFormats, Biff5XFIsConvertedIntoTheBiff8Layout) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  std::vector<uint8_t> b;
  PutFixed16(b, 6);       // font
  PutFixed16(b, 14);      // number format
  PutFixed16(b, 0x0001);  // locked cell XF
  PutFixed8(b, 0x2A);     // centred, wrapped, bottom
  PutFixed8(b, 0xFE);     // turned counterclockwise, all six used-attribute flags
  PutFixed32(b, 10u | 9u << 7 | 1u << 16 | 2u << 22 | 12u << 25);
  PutFixed32(b, 1u | 3u << 3 | 5u << 6 | 13u << 9 | 14u << 16 | 15u << 23);
  TCellFormat* f = cf.ReadXFRecordBiff5(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(f->Body.FontIndex, 6);
  EXPECT_EQ(f->Body.NumberFormatId, 14);
  EXPECT_EQ(f->Body.Protection, 0x0001);
  EXPECT_EQ(f->Body.Alignment, 0x2A);
  EXPECT_EQ(f->Body.Rotation, 90);
  EXPECT_EQ(f->Body.UsedAttributes, 0xFC);
  EXPECT_EQ(f->Body.BorderStyles, 0x2153);  // left 3, right 5, top 1, bottom 2
  EXPECT_EQ(f->Body.BorderColors, 14u | 15u << 7);
  EXPECT_EQ(f->Body.BorderColorsFill, 13u | 12u << 7 | 1u << 26);
  EXPECT_EQ(f->Body.FillColors, 10u | 9u << 7);

  const uint8_t orientations[4] = {0, 255, 90, 180};
  for (uint8_t o = 0; o < 4; ++o) {
    b[7] = o;
    EXPECT_EQ(cf.ReadXFRecordBiff5(b.data(), static_cast<uint32_t>(b.size()))->Body.Rotation,
              orientations[o]);
  }
  EncodeFixed16(&b[2], 200);
  EXPECT_EQ(Message([&] { cf.ReadXFRecordBiff5(b.data(), static_cast<uint32_t>(b.size())); }),
            "Can not find number format# 200");
  int32_t count = cf.Count();
  for (size_t len = 0; len < b.size(); ++len) {
    EXPECT_THROW(cf.ReadXFRecordBiff5(b.data(), static_cast<uint32_t>(len)), EXLSError) << len;
  }
  EXPECT_EQ(cf.Count(), count);
}

TEST(TCellFormat, NumberFormatTextNeedsAParentAndAtMost255Characters) {
  TCellFormat orphan(nullptr);
  EXPECT_EQ(orphan.NumberFormatText(), u"");
  EXPECT_EQ(Message([&] { orphan.SetNumberFormatText(u"0.0"); }), "CellFormat has no parent");
  EXPECT_EQ(Message([&] { orphan.SetNumberFormatText(u""); }), "CellFormat has no parent");

  TXFonts fonts;
  TCellFormats cf(&fonts);
  TCellFormat f(&cf, 15);
  f.SetNumberFormatText(u"0.000");
  EXPECT_EQ(f.Body.NumberFormatId, 50);
  EXPECT_EQ(f.NumberFormatText(), u"0.000");
  EXPECT_EQ(Message([&] { f.SetNumberFormatText(std::u16string(256, u'0')); }),
            "Format string more than 255 characthers");
  EXPECT_EQ(f.Body.NumberFormatId, 50);
  f.SetNumberFormatText(std::u16string(255, u'0'));
  EXPECT_EQ(f.Body.NumberFormatId, 51);
  // The use of id 50 went back with the change, so the format went.
  EXPECT_EQ(cf.NumberFormats().FindNumberFormatById(50), nullptr);
  f.SetNumberFormatText(u"");
  EXPECT_EQ(f.Body.NumberFormatId, 0);
  EXPECT_EQ(cf.NumberFormats().FindNumberFormatById(51), nullptr);
}

TEST(TCellFormat, CopiesHoldOneUseOfTheirNumberFormat) {
  TXFonts fonts;
  TCellFormats cf(&fonts);
  TCellFormat* item = cf.AddFormat();
  item->SetNumberFormatText(u"0.000");
  TNumberFormat* nf = cf.NumberFormats().NumberFormatById(50);
  EXPECT_EQ(nf->UseCount, 1);
  {
    TCellFormat copy(&cf, item->Index());
    EXPECT_EQ(nf->UseCount, 2);
    TCellFormat other(&cf);
    other.AssignBody(copy);
    EXPECT_EQ(nf->UseCount, 3);
    other.AssignBody(*cf.Item(15));
    EXPECT_EQ(nf->UseCount, 2);
  }
  EXPECT_EQ(nf->UseCount, 1);
  // The copy of a built-in counts it directly, so that the writer writes its FORMAT record.
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(14)->UseCount, -1);
  cf.Item(15)->Body.NumberFormatId = 14;
  TCellFormat copy14(&cf, 15);
  EXPECT_EQ(cf.NumberFormats().NumberFormatById(14)->UseCount, 0);

  // Deleting the list item gives back its use.
  cf.DeleteFormat(item->Index());
  EXPECT_EQ(cf.NumberFormats().FindNumberFormatById(50), nullptr);
  EXPECT_THROW({ TCellFormat bad(&cf, 99); }, EListError);
}

}  // namespace
}  // namespace plicato
