#include "workbook/NumberFormatText.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace plicato {
namespace {

TEST(NumberFormatText, ShortestDigitsReadBackAsTheSameDouble) {
  EXPECT_EQ(ShortestNumberText(0.1), "0.1");
  EXPECT_EQ(ShortestNumberText(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(ShortestNumberText(123456789012345678.0), "123456789012345680");
  EXPECT_EQ(ShortestNumberText(1e300), "1e+300");
  EXPECT_EQ(ShortestNumberText(5e-324), "5e-324");
  EXPECT_EQ(ShortestNumberText(-1.5e-7), "-1.5e-07");
  EXPECT_EQ(ShortestNumberText(-0.0), "0");
  EXPECT_EQ(ShortestNumberText(42), "42");
  EXPECT_EQ(ShortestNumberText(100000), "100000");
  EXPECT_EQ(ShortestNumberText(-0.0000015), "-0.0000015");
  EXPECT_EQ(ShortestNumberText(1e20), "100000000000000000000");
  EXPECT_EQ(ShortestNumberText(1e21), "1e+21");
  EXPECT_EQ(ShortestNumberText(std::nan("")), "#NUM!");
  EXPECT_EQ(ShortestNumberText(-std::numeric_limits<double>::infinity()), "#NUM!");
  std::mt19937_64 random(24);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value) || value == 0) continue;
    const std::string text = ShortestNumberText(value);
    double back = 0;
    ASSERT_EQ(std::from_chars(text.data(), text.data() + text.size(), back).ec, std::errc()) << text;
    ASSERT_EQ(back, value) << text;
  }
}

struct TCase {
  double value;
  const char16_t* format;
  const char* text;
};

// What a spreadsheet program with English (United States) settings shows.
const TCase kCases[] = {
    // General
    {1234.5, u"", "1234.5"},
    {1234.5, u"General", "1234.5"},
    {-0.25, u"general", "-0.25"},
    // Dates and times in the 1900 date system
    {45322, u"yyyy\\-mm\\-dd", "2024-01-31"},
    {45322, u"yyyy-mm-dd", "2024-01-31"},
    {45322, u"m/d/yyyy", "1/31/2024"},
    {45322, u"mm/dd/yy", "01/31/24"},
    {45322, u"d-mmm-yy", "31-Jan-24"},
    {45322, u"dddd, mmmm d, yyyy", "Wednesday, January 31, 2024"},
    {45322, u"ddd mmmmm", "Wed J"},
    {45322, u"yyyy\"年\"m\"月\"d\"日\"", "2024年1月31日"},
    {45322, u"yyyy年m月d日 aaaa", "2024年1月31日 星期三"},
    {45322, u"[$-804]aaa", "三"},
    {45322.75, u"yyyy-mm-dd hh:mm:ss", "2024-01-31 18:00:00"},
    {45322.75, u"h:mm AM/PM", "6:00 PM"},
    {45322.25, u"h:mm am/pm", "6:00 am"},
    {45322.5, u"hh:mm A/P", "12:00 P"},
    {45322.0, u"h:mm AM/PM", "12:00 AM"},
    {45322.75, u"上午/下午h\"时\"mm\"分\"", "下午6时00分"},
    {0.5 + 1.0 / 86400 * 0.5, u"hh:mm:ss", "12:00:01"},  // rounded to the second
    {0.5 + 0.1234 / 86400, u"hh:mm:ss.000", "12:00:00.123"},
    {0.5 + 0.1234 / 86400, u"mm:ss.0", "00:00.1"},
    {1.5, u"[h]:mm:ss", "36:00:00"},
    {1.5, u"[mm]:ss", "2160:00"},
    {0.000694444444444444, u"[ss]", "60"},
    {1, u"yyyy-mm-dd", "1900-01-01"},
    {59, u"yyyy-mm-dd", "1900-02-28"},
    {60, u"yyyy-mm-dd", "1900-02-29"},
    {61, u"yyyy-mm-dd", "1900-03-01"},
    {0, u"yyyy-mm-dd", "1900-01-00"},
    {1, u"dddd", "Sunday"},
    {2958465, u"yyyy-mm-dd", "9999-12-31"},
    {2958466, u"yyyy-mm-dd", "2958466"},  // past the last date: as General
    {-1, u"yyyy-mm-dd", "-1"},
    {45322, u"[Red]yyyy-mm-dd", "2024-01-31"},
    {45322, u"e", "2024"},
    // Fixed decimals, separators, percentages
    {12.5, u"0.00", "12.50"},
    {2.675, u"0.00", "2.68"},  // rounded at 15 digits first, then half away from zero
    {-2.675, u"0.00", "-2.68"},
    {0.5, u"0", "1"},
    {1234567.891, u"#,##0.00", "1,234,567.89"},
    {-1234567.891, u"#,##0.00", "-1,234,567.89"},
    {123, u"#,##0", "123"},
    {0, u"#,##0", "0"},
    {0.125, u"0.00%", "12.50%"},
    {0.125, u"0%", "13%"},
    {0.5, u"#.##", ".5"},
    {12.5, u".00", "12.50"},
    {12.5, u"0\\", "13"},  // an escape with nothing to escape
    {3, u"#.##", "3."},
    {3, u"0.0#", "3.0"},
    {3.14159, u"0.0#", "3.14"},
    {5, u"000", "005"},
    {5, u"??0.0?", "  5.0 "},
    {1234567, u"#,##0,", "1,235"},
    {1234567, u"0.0,,\"M\"", "1.2M"},
    {5551234, u"000-0000", "555-1234"},
    {12.5, u"$#,##0.00", "$12.50"},
    {-12.5, u"$#,##0.00", "-$12.50"},
    {12.5, u"[$€-407]#,##0.00", "€12.50"},
    {12.5, u"\"Total: \"0.0", "Total: 12.5"},
    {12.5, u"0.0_)", "12.5 "},
    {12.5, u"* #,##0.0", "12.5"},
    {7, u"0 \"kg\"", "7 kg"},
    {7, u"General\" kg\"", "7 kg"},
    // Sections and conditions
    {-12.5, u"#,##0.00;(#,##0.00)", "(12.50)"},
    {-12.5, u"#,##0.00_);[Red](#,##0.00)", "(12.50)"},
    {0, u"0.00;-0.00;\"zero\"", "zero"},
    {0, u"0;-0;;@", ""},
    {5, u"0;-0;;@", "5"},
    // Text sections: a number takes the other sections, or shows as General when there are none
    {12345678901, u"@", "12345678901"},
    {-0.1, u"\"text\"@", "-0.1"},
    {7.5, u"@\" kg\"", "7.5"},
    {-3, u"0.00;@", "-3.00"},
    {-2, u"0.0;-0.0;0;@", "-2.0"},
    {150, u"[>100]\"big\";\"small\"", "big"},
    {50, u"[>100]\"big\";\"small\"", "small"},
    {-0.001, u"0.00", "0.00"},
    // Scientific
    {12345, u"0.00E+00", "1.23E+04"},
    {0.00012345, u"0.00E+00", "1.23E-04"},
    {12345, u"##0.0E+0", "12.3E+3"},
    {99999, u"0.0E+0", "1.0E+5"},
    {0, u"0.00E+00", "0.00E+00"},
    {12345, u"0.00e-00", "1.23e04"},
    // Not shown here: as General
    {0.75, u"# ?/?", "0.75"},
    {1.5, u"# ?\?/?\?", "1.5"},
};

TEST(NumberFormatText, Table) {
  for (const TCase& c : kCases) {
    EXPECT_EQ(FormattedNumberText(c.value, c.format), c.text)
        << c.value << " in "
        << std::string(c.format, c.format + std::char_traits<char16_t>::length(c.format));
  }
}

TEST(NumberFormatText, NotANumberIsNumError) {
  EXPECT_EQ(FormattedNumberText(std::nan(""), u"yyyy-mm-dd"), "#NUM!");
  EXPECT_EQ(FormattedNumberText(std::numeric_limits<double>::infinity(), u"0.00"), "#NUM!");
  EXPECT_EQ(FormattedNumberText(1e308, u"0.00%"), "1e+308");  // a percentage past the largest double
}

// Any text as a format gives some text, without a fault (the sanitizer builds watch the reads).
TEST(NumberFormatText, AnyFormatText) {
  const std::u16string alphabet = u"0#?.,%E+-e;[]<>=$\"\\_*@/hmsdyaAPGeneral上午/下午 ";
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::u16string format(random() % 12, u' ');
    for (char16_t& c : format) c = alphabet[random() % alphabet.size()];
    const double values[] = {0, -1.5, 45322.75, 1e300, -1e-300};
    for (double value : values) FormattedNumberText(value, format);
  }
}

TEST(NumberFormatText, GeneralFormats) {
  EXPECT_TRUE(IsGeneralFormat(u""));
  EXPECT_TRUE(IsGeneralFormat(u"General"));
  EXPECT_TRUE(IsGeneralFormat(u"GENERAL"));
  EXPECT_FALSE(IsGeneralFormat(u"0"));
  EXPECT_FALSE(IsGeneralFormat(u"General;-General"));
}

}  // namespace
}  // namespace plicato
