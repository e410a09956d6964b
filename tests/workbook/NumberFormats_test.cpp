#include "workbook/NumberFormats.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

#include <functional>
#include <string>
#include <vector>

#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {
namespace {

using Record = test::TRecord;
const auto Written = test::WrittenRecords;

std::vector<uint8_t> FormatBody(uint16_t id, const std::u16string& text, bool wide = true) {
  std::vector<uint8_t> b;
  PutFixed16(b, id);
  PutFixed16(b, static_cast<uint16_t>(text.size()));
  PutFixed8(b, wide ? 1 : 0);
  for (char16_t c : text) {
    if (wide) {
      PutFixed16(b, static_cast<uint16_t>(c));
    } else {
      PutFixed8(b, static_cast<uint8_t>(c));
    }
  }
  return b;
}

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return "(no failure)";
}

TEST(FormatTextHash, RotatesFiveAndMixesEveryByteOfTheUtf16Text) {
  EXPECT_EQ(FormatTextHash(u""), 0);
  // "0": bytes 30 00. h = 0x0030, then rotl5 -> 0x0600, ^ 0x00.
  EXPECT_EQ(FormatTextHash(u"0"), 0x0600);
  // "@": 40 00 -> 0x0040 -> 0x0800.
  EXPECT_EQ(FormatTextHash(u"@"), 0x0800);
  // "0%": 30 00 25 00 -> 0x0030 -> 0x0600 -> rotl5 0xC000 ^ 0x25 = 0xC025 -> rotl5 0x04B8 (the top bits
  // wrap round) ^ 0x00.
  EXPECT_EQ(FormatTextHash(u"0%"), 0x04B8);
  // The high byte counts: U+20AC is AC 20 -> 0x00AC -> rotl5 0x1580 ^ 0x20 = 0x15A0.
  EXPECT_EQ(FormatTextHash(u"\u20AC"), 0x15A0);
}

TEST(TNumberFormats, FiftyBuiltInsNobodyAskedFor) {
  TNumberFormats nf;
  ASSERT_EQ(nf.Count(), 50);
  EXPECT_EQ(nf.HighestId(), 49);
  EXPECT_TRUE(nf.Sorted());
  for (int i = 0; i < 50; ++i) {
    const TNumberFormat* f = nf.Item(i);
    EXPECT_EQ(f->Id, i);
    EXPECT_EQ(f->UseCount, -1);
    EXPECT_EQ(f->Hash, FormatTextHash(f->Text));
    EXPECT_EQ(f->Text.empty(), i == 0 || (i >= 23 && i <= 36)) << i;
  }
  EXPECT_EQ(nf.Item(13)->Text, u"# ?\?/?\?");
  EXPECT_EQ(nf.Item(21)->Text, u"h:mm:SS");
  EXPECT_EQ(nf.Item(42)->Text, u"_($* #,##0_);_($* (#,##0);_($* \"-\"_);_(@_)");
  EXPECT_EQ(nf.Item(44)->Text, u"_($* #,##0.00_);_($* (#,##0.00);_($* \"-\"??_);_(@_)");
  EXPECT_EQ(nf.Item(48)->Text, u"# #0.0E+0");
  EXPECT_EQ(nf.Item(49)->Text, u"@");
  // Nothing is written for them.
  EXPECT_TRUE(Written([&](TXLSStream& s) { nf.WriteFormatRecords(s); }).empty());
}

TEST(TNumberFormats, FindOrAddSharesEqualTextsAndNumbersNewOnesFromFifty) {
  TNumberFormats nf;
  TNumberFormat* a = nf.FindOrAddNumberFormat(u"0.000");
  EXPECT_EQ(a->Id, 50);
  EXPECT_EQ(a->UseCount, 1);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"0.000"), a);
  EXPECT_EQ(a->UseCount, 2);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"0.0000")->Id, 51);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"0.00")->Id, 2);  // a built-in text
  EXPECT_EQ(nf.FindNumberFormatText(u"0.00"), 2);
  EXPECT_EQ(nf.FindNumberFormatText(u"0.0"), -1);
  EXPECT_EQ(nf.FindNumberFormatText(u"0.000"), 50);
  EXPECT_EQ(nf.FindNumberFormatText(u"h:mm:ss"), -1);  // texts compare with case
  TNumberFormat* general = nf.FindOrAddNumberFormat(u"");
  EXPECT_EQ(general->Id, 0);
  EXPECT_EQ(nf.HighestId(), 51);
}

TEST(TNumberFormats, UsesAndReleases) {
  TNumberFormats nf;
  nf.ReleaseNumberFormat(5);  // built-ins are never released
  EXPECT_EQ(nf.Item(5)->UseCount, -1);
  nf.AddNumberFormatUse(49);
  EXPECT_EQ(nf.Item(49)->UseCount, -1);

  nf.FindOrAddNumberFormat(u"0.000");
  nf.AddNumberFormatUse(50);
  EXPECT_EQ(nf.NumberFormatById(50)->UseCount, 2);
  nf.ReleaseNumberFormat(50);
  EXPECT_EQ(nf.NumberFormatById(50)->UseCount, 1);
  nf.ReleaseNumberFormat(50);
  EXPECT_EQ(nf.Count(), 50);
  EXPECT_EQ(nf.FindNumberFormatById(50), nullptr);

  EXPECT_EQ(Message([&] { nf.ReleaseNumberFormat(50); }), "Can not find number format# 50");
  EXPECT_EQ(Message([&] { nf.AddNumberFormatUse(77); }), "Can not find number format# 77");
  EXPECT_EQ(Message([&] { nf.NumberFormatById(77); }), "List index out of bounds (77)");
  EXPECT_THROW(nf.NumberFormatById(77), EListError);
  EXPECT_THROW(nf.Item(50), EListError);

  // A negative count is left alone.
  nf.AddNumberFormatWithId(u"x", 60, -1);
  nf.ReleaseNumberFormat(60);
  EXPECT_EQ(nf.NumberFormatById(60)->UseCount, -1);
}

TEST(TNumberFormats, DefinitionsReplaceBuiltInsAndAppendOthers) {
  TNumberFormats nf;
  nf.AddNumberFormatWithId(u"[Blue]0", 5, 1);
  EXPECT_FALSE(nf.Sorted());
  EXPECT_EQ(nf.Count(), 50);
  EXPECT_EQ(nf.Item(5)->Text, u"[Blue]0");
  EXPECT_EQ(nf.Item(5)->Hash, FormatTextHash(u"[Blue]0"));
  EXPECT_EQ(nf.Item(5)->UseCount, 1);
  nf.AddNumberFormatWithId(u"[Blue]0", 5, 1);
  EXPECT_EQ(nf.Item(5)->UseCount, 2);

  // Out of id order, then found again: no duplicates even before sorting.
  nf.AddNumberFormatWithId(u"a", 170, 1);
  nf.AddNumberFormatWithId(u"b", 164, 1);
  nf.AddNumberFormatWithId(u"a2", 170, 1);
  EXPECT_EQ(nf.Count(), 52);
  EXPECT_EQ(nf.NumberFormatById(170)->Text, u"a2");
  EXPECT_EQ(nf.NumberFormatById(170)->UseCount, 2);
  EXPECT_EQ(nf.HighestId(), 170);

  // General at position 0 keeps its place; a definition of id 0 is appended behind it.
  nf.AddNumberFormatWithId(u"General", 0, 1);
  EXPECT_EQ(nf.Item(0)->Text, u"");
  nf.SortNumberFormats();
  EXPECT_TRUE(nf.Sorted());
  EXPECT_EQ(nf.Item(0)->Text, u"");
  EXPECT_EQ(nf.Item(1)->Text, u"General");
  EXPECT_EQ(nf.Item(51)->Id, 164);
  EXPECT_EQ(nf.Item(52)->Id, 170);

  // Ids given out later continue after the highest.
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"new")->Id, 171);
}

TEST(TNumberFormats, IdsDoNotRunPastSixteenBits) {
  TNumberFormats nf;
  nf.AddNumberFormatWithId(u"top", 0xFFFF, 1);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"next")->Id, 50);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"after")->Id, 51);
}

TEST(TNumberFormats, ReadsFormatRecords) {
  TNumberFormats nf;
  auto wide = FormatBody(164, u"0.0\u20AC");
  nf.ReadFormatRecord(wide.data(), static_cast<uint32_t>(wide.size()));
  auto narrow = FormatBody(165, u"#\u00A0##0", false);
  nf.ReadFormatRecord(narrow.data(), static_cast<uint32_t>(narrow.size()));
  auto builtin = FormatBody(7, u"0.00 \"EUR\"");
  nf.ReadFormatRecord(builtin.data(), static_cast<uint32_t>(builtin.size()));
  std::vector<uint8_t> empty = {0xA6, 0x00, 0x00, 0x00};  // id 166, no characters, no option byte
  nf.ReadFormatRecord(empty.data(), static_cast<uint32_t>(empty.size()));

  EXPECT_EQ(nf.NumberFormatById(164)->Text, u"0.0\u20AC");
  EXPECT_EQ(nf.NumberFormatById(164)->UseCount, 1);
  EXPECT_EQ(nf.NumberFormatById(165)->Text, u"#\u00A0##0");
  EXPECT_EQ(nf.NumberFormatById(7)->Text, u"0.00 \"EUR\"");
  EXPECT_EQ(nf.NumberFormatById(7)->UseCount, 1);
  EXPECT_EQ(nf.NumberFormatById(166)->Text, u"");
  EXPECT_EQ(nf.HighestId(), 166);
  EXPECT_EQ(nf.FindOrAddNumberFormat(u"0.0000")->Id, 167);

  for (size_t len = 0; len < wide.size(); ++len) {
    TNumberFormats t;
    EXPECT_THROW(t.ReadFormatRecord(wide.data(), static_cast<uint32_t>(len)), EXLSError) << len;
    EXPECT_EQ(t.Count(), 50);
  }
}

TEST(TNumberFormats, ReadsBiff5FormatRecords) {
  std::vector<uint8_t> body = {0xA4, 0x00, 0x03, '0', 0xA4, '0'};
  TNumberFormats latin;
  latin.ReadFormatRecordBiff5(body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_EQ(latin.NumberFormatById(164)->Text, u"0\u00A40");
  TNumberFormats coded;
  coded.ReadFormatRecordBiff5(body.data(), static_cast<uint32_t>(body.size()),
                              [](const uint8_t* p, size_t n) {
                                std::u16string s;
                                for (size_t i = 0; i < n; ++i)
                                  s.push_back(p[i] == 0xA4 ? u'\u20AC' : static_cast<char16_t>(p[i]));
                                return s;
                              });
  EXPECT_EQ(coded.NumberFormatById(164)->Text, u"0\u20AC0");
  for (size_t len = 0; len < body.size(); ++len) {
    TNumberFormats t;
    EXPECT_THROW(t.ReadFormatRecordBiff5(body.data(), static_cast<uint32_t>(len)), EXLSError) << len;
  }
}

TEST(TNumberFormats, WritesEveryAskedForFormatButGeneral) {
  TNumberFormats nf;
  nf.FindOrAddNumberFormat(u"0.000");
  nf.FindOrAddNumberFormat(u"");  // General: never written
  nf.AddNumberFormatUse(50);
  nf.Item(9)->UseCount = 0;   // a built-in someone asked for
  nf.Item(30)->UseCount = 0;  // an empty built-in: a record would only blank the language's own format
  auto records = Written([&](TXLSStream& s) { nf.WriteFormatRecords(s); });
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].id, 0x041E);
  EXPECT_EQ(records[0].body, FormatBody(9, u"0%"));
  EXPECT_EQ(records[1].body,
            (std::vector<uint8_t>{0x32, 0x00, 0x05, 0x00, 0x01, '0', 0, '.', 0, '0', 0, '0', 0, '0', 0}));
}

TEST(TNumberFormats, TextTooLongForOneRecordFailsToWrite) {
  TNumberFormats nf;
  nf.AddNumberFormatWithId(std::u16string(5000, u'0'), 164, 1);
  EXPECT_THROW(Written([&](TXLSStream& s) { nf.WriteFormatRecords(s); }), EXLSError);
}

}  // namespace
}  // namespace plicato
