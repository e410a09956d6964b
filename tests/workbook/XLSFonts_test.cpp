#include "workbook/XLSFonts.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

#include <string>
#include <vector>

#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/ColorTable.h"

namespace plicato {
namespace {

using Record = test::TRecord;
const auto Written = test::WrittenRecords;

// A BIFF8 FONT body.
std::vector<uint8_t> FontBody(uint16_t height, uint16_t options, uint16_t color, uint16_t weight,
                              uint16_t escapement, uint8_t underline, const std::u16string& name,
                              bool wide = true) {
  std::vector<uint8_t> b;
  PutFixed16(b, height);
  PutFixed16(b, options);
  PutFixed16(b, color);
  PutFixed16(b, weight);
  PutFixed16(b, escapement);
  PutFixed8(b, underline);
  PutFixed8(b, 2);  // family
  PutFixed8(b, 0);  // charset
  PutFixed8(b, 0);
  PutFixed8(b, static_cast<uint8_t>(name.size()));
  PutFixed8(b, wide ? 1 : 0);
  for (char16_t c : name) {
    if (wide) {
      PutFixed16(b, static_cast<uint16_t>(c));
    } else {
      PutFixed8(b, static_cast<uint8_t>(c));
    }
  }
  return b;
}

TEST(TXFonts, NewListHasFiveDefaultFontsAndWritesFour) {
  TXFonts fonts;
  ASSERT_EQ(fonts.Count(), 5);
  EXPECT_EQ(fonts.InitialCount(), 5);
  for (int i = 0; i < 5; ++i) {
    const TXFont* f = fonts.Item(i);
    EXPECT_EQ(f->Index, i);
    EXPECT_EQ(f->Name, u"Arial");
    EXPECT_EQ(f->Size20, 200);
    EXPECT_EQ(f->Size(), 10);
    EXPECT_EQ(f->Color, xcBlack);
    EXPECT_EQ(f->Family, 2);
    EXPECT_EQ(f->Charset, 0);
    EXPECT_EQ(f->Style, 0);
  }
  auto records = Written([&](TXLSStream& s) { fonts.WriteFontRecords(s); });
  ASSERT_EQ(records.size(), 4u);
  const std::vector<uint8_t> expected = {0xC8, 0x00, 0x00, 0x00, 0x08, 0x00, 0x90, 0x01, 0x00,
                                         0x00, 0x00, 0x02, 0x00, 0x00, 0x05, 0x01, 'A',  0x00,
                                         'r',  0x00, 'i',  0x00, 'a',  0x00, 'l',  0x00};
  for (const Record& r : records) {
    EXPECT_EQ(r.id, 0x0031);
    EXPECT_EQ(r.body, expected);
  }
}

TEST(TXFonts, ReadingSixFontsPutsAPlaceholderAtFourAndWritingSkipsIt) {
  TXFonts fonts;
  fonts.Clear();
  EXPECT_EQ(fonts.InitialCount(), 0);
  for (int i = 0; i < 6; ++i) {
    auto body =
        FontBody(static_cast<uint16_t>(200 + 20 * i), 0, 8, 400, 0, 0, u"F" + std::u16string(1, u'0' + i));
    fonts.ReadFontRecord(body.data(), static_cast<uint32_t>(body.size()));
  }
  fonts.MarkInitialFonts();
  ASSERT_EQ(fonts.Count(), 7);
  EXPECT_EQ(fonts.InitialCount(), 7);
  EXPECT_EQ(fonts.Item(3)->Name, u"F3");
  EXPECT_EQ(fonts.Item(4)->Name, u"Arial");  // placeholder
  EXPECT_EQ(fonts.Item(5)->Name, u"F4");     // file index 5
  EXPECT_EQ(fonts.Item(6)->Name, u"F5");
  EXPECT_EQ(fonts.Item(6)->Index, 6);

  auto records = Written([&](TXLSStream& s) { fonts.WriteFontRecords(s); });
  ASSERT_EQ(records.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(records[static_cast<size_t>(i)].body.size(), 20u);
    EXPECT_EQ(records[static_cast<size_t>(i)].body[16], 'F');
    EXPECT_EQ(records[static_cast<size_t>(i)].body[18] - '0', i);
    EXPECT_EQ(DecodeFixed16(records[static_cast<size_t>(i)].body.data()), 200 + 20 * i);
  }
}

TEST(TXFonts, FieldsDecodeAndEncodeAsTheRecordDefines) {
  struct Case {
    uint16_t options, color, weight, escapement;
    uint8_t underline;
    TXFontStyles style;
    TExcelColor readColor;
    TXSubSuperscript script;
    TXUnderline underlineRead;
    uint16_t writtenOptions, writtenColor, writtenWeight;
  };
  const Case cases[] = {
      {0x0000, 0x7FFF, 400, 0, 0x00, 0, 0, xssNone, xulNone, 0x0000, 0x7FFF, 400},
      {0x0000, 0x0008, 699, 0, 0x00, 0, 8, xssNone, xulNone, 0x0000, 0x0008, 400},
      {0x0000, 0x000A, 700, 1, 0x01, xfsBold, 10, xssSuperscript, xulSingle, 0x0000, 0x000A, 700},
      {0x0002, 0x00FF, 400, 2, 0x02, xfsItalic, 255, xssSubscript, xulDouble, 0x0002, 0x00FF, 400},
      {0x0008, 0x0100, 1000, 3, 0x21, xfsStrikeOut, 0, xssNone, xulSingleAccount, 0x0008, 0x7FFF, 700},
      {0x000A, 0x0040, 400, 0, 0x22, xfsItalic | xfsStrikeOut, 64, xssNone, xulDoubleAccount, 0x000A, 0x0040,
       400},
      {0x0001, 0x0040, 400, 0, 0x07, 0, 64, xssNone, xulNone, 0x0000, 0x0040, 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "weight " << c.weight << " underline " << int(c.underline));
    TXFonts fonts;
    auto body = FontBody(260, c.options, c.color, c.weight, c.escapement, c.underline, u"Tahoma");
    fonts.ReadFontRecord(body.data(), static_cast<uint32_t>(body.size()));
    const TXFont* f = fonts.Item(5);
    EXPECT_EQ(f->Style & ~xfsBold, c.style & ~xfsBold);
    EXPECT_EQ((f->Style & xfsBold) != 0, c.weight >= 700);
    EXPECT_EQ(f->Color, c.readColor);
    EXPECT_EQ(f->SubSuperScript, c.script);
    EXPECT_EQ(f->Underline, c.underlineRead);
    EXPECT_EQ(f->Size20, 260);
    EXPECT_EQ(f->Name, u"Tahoma");

    auto records = Written([&](TXLSStream& s) { fonts.WriteFontRecords(s); });
    ASSERT_EQ(records.size(), 5u);
    const auto& w = records.back().body;
    ASSERT_EQ(w.size(), 16u + 12u);
    EXPECT_EQ(DecodeFixed16(&w[2]), c.writtenOptions);
    EXPECT_EQ(DecodeFixed16(&w[4]), c.writtenColor);
    EXPECT_EQ(DecodeFixed16(&w[6]), c.writtenWeight);
    EXPECT_EQ(DecodeFixed16(&w[8]), c.script == xssSuperscript ? 1 : c.script == xssSubscript ? 2 : 0);
    uint8_t underline = c.underlineRead == xulNone ? 0 : c.underline;
    EXPECT_EQ(w[10], underline);
  }
}

TEST(TXFonts, NamesOfEightBitAndSixteenBitCharacters) {
  TXFonts fonts;
  auto narrow = FontBody(200, 0, 8, 400, 0, 0, u"Caf\u00E9", false);
  fonts.ReadFontRecord(narrow.data(), static_cast<uint32_t>(narrow.size()));
  auto wide = FontBody(200, 0, 8, 400, 0, 0, u"\u5B8B\u4F53", true);
  fonts.ReadFontRecord(wide.data(), static_cast<uint32_t>(wide.size()));
  auto empty = FontBody(200, 0, 8, 400, 0, 0, u"");
  empty.pop_back();  // an empty name may come without its option byte
  fonts.ReadFontRecord(empty.data(), static_cast<uint32_t>(empty.size()));
  EXPECT_EQ(fonts.Item(5)->Name, u"Caf\u00E9");
  EXPECT_EQ(fonts.Item(6)->Name, u"\u5B8B\u4F53");
  EXPECT_EQ(fonts.Item(7)->Name, u"");

  auto records = Written([&](TXLSStream& s) { fonts.WriteFontRecords(s); });
  ASSERT_EQ(records.size(), 7u);
  const auto& w = records[5].body;  // position 6
  ASSERT_EQ(w.size(), 20u);
  EXPECT_EQ(w[14], 2);
  EXPECT_EQ(w[15], 1);
  EXPECT_EQ(DecodeFixed16(&w[16]), 0x5B8B);
  EXPECT_EQ(DecodeFixed16(&w[18]), 0x4F53);
}

TEST(TXFonts, TruncatedFontRecordFailsAtEveryLengthAndAddsNothing) {
  auto body = FontBody(200, 0, 8, 400, 0, 0, u"Arial");
  for (size_t len = 0; len < body.size(); ++len) {
    TXFonts fonts;
    EXPECT_THROW(fonts.ReadFontRecord(body.data(), static_cast<uint32_t>(len)), EXLSError) << len;
    EXPECT_EQ(fonts.Count(), 5);
  }
  auto narrow = FontBody(200, 0, 8, 400, 0, 0, u"Arial", false);
  TXFonts fonts;
  EXPECT_THROW(fonts.ReadFontRecord(narrow.data(), static_cast<uint32_t>(narrow.size() - 1)), EXLSError);
}

TEST(TXFonts, LongNameIsCutToWhatTheCountCanHold) {
  TXFonts fonts;
  fonts.Item(0)->Name = std::u16string(300, u'x');
  auto records = Written([&](TXLSStream& s) { fonts.WriteFontRecords(s); });
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].body.size(), 16u + 2u * 255u);
  EXPECT_EQ(records[0].body[14], 255);
}

TEST(TXFonts, SearchesIgnoreCaseChartFontsAndThePlaceholder) {
  TXFonts fonts;
  TXFont probe;
  probe.Name = u"ARIAL";
  EXPECT_EQ(fonts.FindFont(probe), 0);
  probe.Size20 = 240;
  EXPECT_EQ(fonts.FindFont(probe), -1);

  // Only the placeholder equals the probe: it must not be found.
  for (int i = 0; i < 4; ++i) fonts.Item(i)->Name = u"Tahoma";
  probe.Size20 = 200;
  EXPECT_EQ(fonts.FindFont(probe), -1);
  TXFont* added = fonts.FindOrAddFont(probe);
  EXPECT_EQ(added->Index, 5);
  EXPECT_EQ(fonts.FindOrAddFont(probe), added);

  // A chart's font never matches.
  added->ChartFont = true;
  EXPECT_EQ(fonts.FindFont(probe), -1);
  EXPECT_EQ(fonts.FindOrAddFont(probe)->Index, 6);

  // A new font never lands on position 4.
  TXFonts four;
  four.Clear();
  for (int i = 0; i < 4; ++i) four.AddFont()->Name = u"Tahoma";
  TXFont* next = four.FindOrAddFont(probe);
  EXPECT_EQ(next->Index, 5);
  EXPECT_EQ(four.Count(), 6);
}

TEST(TXFonts, DeleteRenumbersAndBadIndexesFail) {
  TXFonts fonts;
  fonts.AddFont()->Name = u"Five";
  fonts.AddFont()->Name = u"Six";
  fonts.DeleteFont(5);
  ASSERT_EQ(fonts.Count(), 6);
  EXPECT_EQ(fonts.Item(5)->Name, u"Six");
  EXPECT_EQ(fonts.Item(5)->Index, 5);
  try {
    fonts.Item(6);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (6)");
  }
  EXPECT_THROW(fonts.Item(-1), EListError);
  EXPECT_THROW(fonts.DeleteFont(9), EListError);
}

TEST(TXFonts, OlderVersionsFontRecords) {
  auto latin1 = [](const uint8_t* p, size_t n) { return std::u16string(p, p + n); };
  auto upper = [](const uint8_t* p, size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char16_t>(p[i] == 0xE9 ? 0x0419 : p[i]));
    return s;
  };
  TXFonts fonts;
  fonts.Clear();
  // BIFF5: the BIFF8 fields, then an 8-bit name without option byte.
  std::vector<uint8_t> b5 = {0xF0, 0x00, 0x02, 0x00, 0x0A, 0x00, 0xBC, 0x02, 0x02,
                             0x00, 0x01, 0x02, 0xCC, 0x00, 0x03, 'A',  'B',  0xE9};
  fonts.ReadFontRecordOld(b5.data(), static_cast<uint32_t>(b5.size()), xvExcel50, upper);
  // BIFF3/4: height, options (bold, underline), colour, name.
  std::vector<uint8_t> b4 = {0xC8, 0x00, 0x05, 0x00, 0x0C, 0x00, 0x02, 'C', 0xE9};
  fonts.ReadFontRecordOld(b4.data(), static_cast<uint32_t>(b4.size()), xvExcel40);
  // BIFF2: height, options, name.
  std::vector<uint8_t> b2 = {0xA0, 0x00, 0x02, 0x00, 0x01, 'D'};
  fonts.ReadFontRecordOld(b2.data(), static_cast<uint32_t>(b2.size()), xvExcel21, latin1);
  fonts.ReadFontRecordOld(b2.data(), static_cast<uint32_t>(b2.size()), xvExcel21);
  ASSERT_EQ(fonts.Count(), 5);  // the fourth read added the placeholder

  const TXFont* f5 = fonts.Item(0);
  EXPECT_EQ(f5->Size20, 240);
  EXPECT_EQ(f5->Style, xfsItalic | xfsBold);
  EXPECT_EQ(f5->Color, 10);
  EXPECT_EQ(f5->SubSuperScript, xssSubscript);
  EXPECT_EQ(f5->Underline, xulSingle);
  EXPECT_EQ(f5->Family, 2);
  EXPECT_EQ(f5->Charset, 0xCC);
  EXPECT_EQ(f5->Name, u"AB\u0419");

  const TXFont* f4 = fonts.Item(1);
  EXPECT_EQ(f4->Style, xfsBold);
  EXPECT_EQ(f4->Underline, xulSingle);
  EXPECT_EQ(f4->Color, 12);
  EXPECT_EQ(f4->Name, u"C\u00E9");

  const TXFont* f2 = fonts.Item(2);
  EXPECT_EQ(f2->Size20, 160);
  EXPECT_EQ(f2->Style, xfsItalic);
  EXPECT_EQ(f2->Color, xcBlack);
  EXPECT_EQ(f2->Name, u"D");

  for (size_t len = 0; len < b5.size(); ++len) {
    TXFonts t;
    EXPECT_THROW(t.ReadFontRecordOld(b5.data(), static_cast<uint32_t>(len), xvExcel50), EXLSError) << len;
    EXPECT_EQ(t.Count(), 5);
  }
}

// --- colour table ---

TEST(TColorTable, DefaultsAreTheBuiltInPalette) {
  TColorTable t;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(t.Colors[i], 0u);
  EXPECT_EQ(t.Colors[8], 0x00000000u);   // black
  EXPECT_EQ(t.Colors[9], 0x00FFFFFFu);   // white
  EXPECT_EQ(t.Colors[10], 0x000000FFu);  // red, 0x00BBGGRR
  EXPECT_EQ(t.Colors[12], 0x00FF0000u);  // blue
  EXPECT_EQ(t.Colors[22], 0x00C0C0C0u);  // gray 25%
  EXPECT_EQ(t.Colors[40], 0x00FFCC00u);  // sky: RGB 00CCFF
  EXPECT_EQ(t.Colors[53], 0x000066FFu);  // orange: RGB FF6600
  EXPECT_EQ(t.Colors[63], 0x00333333u);
  EXPECT_EQ(t.Colors[64], 0x00FFFFFFu);
  EXPECT_FALSE(t.DiffersFromDefaults());
  auto records = Written([&](TXLSStream& s) { t.WritePaletteRecord(s); });
  EXPECT_TRUE(records.empty());
}

TEST(TColorTable, EachWorkbookHasItsOwnTable) {
  TColorTable a, b;
  std::vector<uint8_t> body;
  PutFixed16(body, 1);
  PutFixed32(body, 0x00123456);
  a.ReadPaletteRecord(body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_EQ(a.Colors[8], 0x00123456u);
  EXPECT_EQ(b.Colors[8], 0u);
  EXPECT_TRUE(a.DiffersFromDefaults());
  EXPECT_FALSE(b.DiffersFromDefaults());
  a.ResetDefaults();
  EXPECT_FALSE(a.DiffersFromDefaults());
}

TEST(TColorTable, ChangedPaletteIsWrittenWithFiftySixColours) {
  TColorTable t;
  std::vector<uint8_t> body;
  PutFixed16(body, 56);
  for (int i = 8; i < 64; ++i) PutFixed32(body, i == 8 ? 0x00010203u : kDefaultColorTable[i]);
  t.ReadPaletteRecord(body.data(), static_cast<uint32_t>(body.size()));
  auto records = Written([&](TXLSStream& s) { t.WritePaletteRecord(s); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, 0x0092);
  EXPECT_EQ(records[0].body, body);
  EXPECT_EQ(records[0].body.size(), 226u);
}

TEST(TColorTable, CountAboveFiftySevenIsCutAndShortBodiesFail) {
  TColorTable t;
  std::vector<uint8_t> body;
  PutFixed16(body, 60);
  for (int i = 0; i < 60; ++i) PutFixed32(body, 0x00AA0000u + static_cast<uint32_t>(i));
  t.ReadPaletteRecord(body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_EQ(t.Colors[8], 0x00AA0000u);
  EXPECT_EQ(t.Colors[64], 0x00AA0000u + 56);
  EXPECT_EQ(t.Colors[7], 0u);

  // A changed entry 64 alone still makes the table differ; the written record carries 8..63 only.
  TColorTable only64;
  only64.Colors[64] = 0;
  EXPECT_TRUE(only64.DiffersFromDefaults());
  auto records = Written([&](TXLSStream& s) { only64.WritePaletteRecord(s); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body.size(), 226u);

  // A body shorter than its count fails without changing the table.
  std::vector<uint8_t> shortBody;
  PutFixed16(shortBody, 3);
  PutFixed32(shortBody, 0x00111111);
  PutFixed32(shortBody, 0x00222222);
  for (size_t len = 0; len <= shortBody.size(); ++len) {
    TColorTable s;
    EXPECT_THROW(s.ReadPaletteRecord(shortBody.data(), static_cast<uint32_t>(len)), EXLSError) << len;
    EXPECT_FALSE(s.DiffersFromDefaults());
  }
}

}  // namespace
}  // namespace plicato
