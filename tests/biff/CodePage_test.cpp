#include "biff/CodePage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <set>
#include <vector>

namespace plicato {

TEST(CodePage, DecodesDeclaredCodePages) {
  const uint8_t gbk[] = {0xD6, 0xD0, 0xCE, 0xC4};  // "中文" in GBK
  EXPECT_EQ(DecodeCodePage(gbk, 4, 936), u"中文");
  const uint8_t cp1252[] = {'c', 'a', 'f', 0xE9, ' ', 0x80};
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 1252), u"café €");
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 32769), u"café €");
  // 8-bit text of UTF-16 is compressed UTF-16 (Latin-1); an unknown code page decodes as 1252.
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 1200), u"café \u0080");
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 12345), u"café €");
  const uint8_t mac[] = {0x8E};  // é in Mac Roman
  EXPECT_EQ(DecodeCodePage(mac, 1, 32768), u"é");
}

TEST(CodePage, EveryDeclarableCodePageHasAConverter) {
  std::set<uint16_t> known;
  for (const TCodePageConverter& c : KnownCodePages()) {
    known.insert(c.codePage);
    const iconv_t cd = iconv_open("UTF-16LE", c.iconvName);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1))
        << "code page " << c.codePage << ": iconv has no " << c.iconvName;
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  std::vector<uint16_t> declarable = {874, 932, 936, 949, 950, 10021, 10029, 10079, 10081, 10082,
                                      437, 737, 775, 850, 852, 855,   857,   869,   1200};
  for (uint16_t cp = 1250; cp <= 1258; ++cp) declarable.push_back(cp);
  for (uint16_t cp = 10000; cp <= 10008; ++cp) declarable.push_back(cp);
  for (uint16_t cp = 860; cp <= 866; ++cp) declarable.push_back(cp);
  for (uint16_t cp : declarable) EXPECT_EQ(known.count(cp), 1u) << "code page " << cp << " is not mapped";

  const struct {
    uint16_t codePage;
    uint8_t byte;
    char16_t expected;
  } samples[] = {{10029, 0x84, u'\u0104'}, {10007, 0x80, u'\u0410'}, {866, 0x80, u'\u0410'},
                 {1253, 0xE1, u'\u03B1'},  {10079, 0xDE, u'\u00DE'}, {437, 0xE1, u'\u00DF'}};
  for (const auto& s : samples)
    EXPECT_EQ(DecodeCodePage(&s.byte, 1, s.codePage), std::u16string(1, s.expected)) << s.codePage;

  // Fonts' character sets imply the code pages of their scripts; ANSI and symbol imply none.
  const std::pair<uint8_t, uint16_t> charsets[] = {{128, 932},
                                                   {134, 936},
                                                   {204, 1251},
                                                   {222, 874},
                                                   {238, 1250},
                                                   {0, kUndeclaredCodePage},
                                                   {2, kUndeclaredCodePage}};
  for (const auto& [charset, codePage] : charsets)
    EXPECT_EQ(CodePageOfFontCharset(charset), codePage) << +charset;
}

TEST(CodePage, BadBytesBecomeReplacementCharacters) {
  const uint8_t truncated[] = {'a', 0xD6};  // a GBK lead byte without its trail byte
  std::u16string text = DecodeCodePage(truncated, 2, 936);
  EXPECT_EQ(text, u"a\uFFFD");
  EXPECT_EQ(DecodeCodePage(nullptr, 0, 936), u"");
}

TEST(CodePage, Latin1AndUtf8RoundTrips) {
  const uint8_t bytes[] = {0x41, 0xE9, 0xFF};
  EXPECT_EQ(DecodeLatin1(bytes, 3), u"A\u00E9\u00FF");
  const std::u16string samples[] = {u"", u"abc", u"共有个XLS文件", u"\U0001F600 x",
                                    u"\u00E9\u07FF\u0800\uFFFF"};
  for (const auto& s : samples) EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
  EXPECT_EQ(ToUtf8(u"\u00E9"), "\xC3\xA9");
  EXPECT_EQ(FromUtf8("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(FromUtf8("\xFF"), u"\uFFFD");
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace plicato
