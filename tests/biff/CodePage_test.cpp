#include "biff/CodePage.h"

#include <gtest/gtest.h>

namespace plicato {

TEST(CodePage, DecodesDeclaredCodePages) {
  const uint8_t gbk[] = {0xD6, 0xD0, 0xCE, 0xC4};  // "中文" in GBK
  EXPECT_EQ(DecodeCodePage(gbk, 4, 936), u"中文");
  const uint8_t cp1252[] = {'c', 'a', 'f', 0xE9, ' ', 0x80};
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 1252), u"café €");
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 32769), u"café €");
  // Not an 8-bit code page, or unknown: 1252.
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 1200), u"café €");
  EXPECT_EQ(DecodeCodePage(cp1252, 6, 12345), u"café €");
  const uint8_t mac[] = {0x8E};  // é in Mac Roman
  EXPECT_EQ(DecodeCodePage(mac, 1, 32768), u"é");
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
