#include "workbook/NumberFormatText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "workbook/NumberFormatCode.h"

namespace plicato {

using namespace numfmt;

namespace {

// --- Dates and times -----------------------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

// The date of a serial day of the 1900 date system, with its fictitious 1900-02-29 (serial 60) and
// 1900-01-00 (serial 0).
void DateOfSerial(int64_t serial, int& year, int& month, int& day) {
  if (serial == 0) {
    year = 1900, month = 1, day = 0;
  } else if (serial == 60) {
    year = 1900, month = 2, day = 29;
  } else {
    static const int64_t kDay0 = DaysFromCivil(1899, 12, 31);
    CivilFromDays(kDay0 + serial - (serial > 60 ? 1 : 0), year, month, day);
  }
}

const char* const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};
const char* const kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};
const char* const kChineseDays[7] = {"日", "一", "二", "三", "四", "五", "六"};

void AppendPadded(std::string& out, int64_t value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(static_cast<size_t>(width) - digits.size(), '0');
  out += digits;
}

// The digits of a second's fractions the section shows: the zeros after a point that follows seconds
// (three at most).
int SecondFractionDigits(const std::vector<TToken>& tokens) {
  int fraction = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind == tkPoint && i > 0 &&
        (tokens[i - 1].kind == tkSecond || tokens[i - 1].kind == tkElapsedSeconds)) {
      int n = 0;
      for (size_t j = i + 1; j < tokens.size() && tokens[j].kind == tkDigit && tokens[j].ch == u'0'; ++j) ++n;
      fraction = std::max(fraction, std::min(n, 3));
    }
  }
  return fraction;
}

// A serial date and time taken apart, rounded to the shown fractions of a second.
struct TDateTimeParts {
  int64_t scale;  // units per second
  int64_t units;  // the whole value in units
  int64_t inDay;  // units since midnight
  int year, month, day, weekday;
  int hour, minute, second;
};

std::optional<TDateTimeParts> DateTimeParts(double value, int fraction) {
  TDateTimeParts p;
  p.scale = 1;
  for (int i = 0; i < fraction; ++i) p.scale *= 10;
  p.units = std::llround(value * 86400.0 * static_cast<double>(p.scale));
  const int64_t perDay = 86400 * p.scale;
  const int64_t serial = p.units / perDay;
  if (serial >= 2958466) return std::nullopt;
  p.inDay = p.units % perDay;
  const int64_t seconds = p.inDay / p.scale;
  p.hour = static_cast<int>(seconds / 3600), p.minute = static_cast<int>(seconds / 60 % 60),
  p.second = static_cast<int>(seconds % 60);
  DateOfSerial(serial, p.year, p.month, p.day);
  p.weekday = static_cast<int>((serial + 6) % 7);
  return p;
}

// Whether the m at `i` means minutes: right after hours or right before seconds, other text between.
bool IsMinutes(const std::vector<TToken>& tokens, size_t i) {
  auto neighbour = [&](size_t from, int step) -> const TToken* {
    for (int64_t j = static_cast<int64_t>(from) + step; j >= 0 && j < static_cast<int64_t>(tokens.size());
         j += step) {
      const TTokenKind k = tokens[static_cast<size_t>(j)].kind;
      if (k >= tkYear && k <= tkElapsedSeconds) return &tokens[static_cast<size_t>(j)];
    }
    return nullptr;
  };
  const TToken* before = neighbour(i, -1);
  const TToken* after = neighbour(i, 1);
  return (before && (before->kind == tkHour || before->kind == tkElapsedHours)) ||
         (after && (after->kind == tkSecond || after->kind == tkElapsedSeconds));
}

// Long on purpose: one case per kind of token, each showing its part of the date or time.
std::optional<std::string> DateText(double value, const TSection& section) {
  if (!(value >= 0) || value >= 2958466) return std::nullopt;
  const std::vector<TToken>& tokens = section.tokens;
  const int fraction = SecondFractionDigits(tokens);
  const std::optional<TDateTimeParts> parts = DateTimeParts(value, fraction);
  if (!parts) return std::nullopt;
  const auto [scale, units, inDay, year, month, day, weekday, hour, minute, second] = *parts;
  bool amPm = false, elapsedHours = false, elapsedMinutes = false;
  for (const TToken& t : tokens) {
    amPm = amPm || t.kind == tkAmPm;
    elapsedHours = elapsedHours || t.kind == tkElapsedHours;
    elapsedMinutes = elapsedMinutes || t.kind == tkElapsedMinutes;
  }
  std::string out;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    switch (t.kind) {
      case tkLiteral:
        out += t.text;
        break;
      case tkYear:
        if (t.count <= 2)
          AppendPadded(out, year % 100, 2);
        else
          AppendPadded(out, year, 4);
        break;
      case tkMonthOrMinute: {
        if (IsMinutes(tokens, i)) {
          AppendPadded(out, minute, t.count >= 2 ? 2 : 1);
        } else if (t.count <= 2) {
          AppendPadded(out, month, t.count);
        } else if (t.count == 3) {
          out.append(kMonthNames[month - 1], 3);
        } else if (t.count == 5) {
          out += kMonthNames[month - 1][0];
        } else {
          out += kMonthNames[month - 1];
        }
        break;
      }
      case tkDay:
        if (t.count <= 2)
          AppendPadded(out, day, t.count);
        else if (t.count == 3)
          out.append(kDayNames[weekday], 3);
        else
          out += kDayNames[weekday];
        break;
      case tkChineseDay:
        if (t.count == 4) out += "星期";
        out += kChineseDays[weekday];
        break;
      case tkHour: {
        int h = hour;
        if (amPm) h = h % 12 == 0 ? 12 : h % 12;
        AppendPadded(out, h, t.count >= 2 ? 2 : 1);
        break;
      }
      case tkSecond:
        AppendPadded(out, second, t.count >= 2 ? 2 : 1);
        break;
      case tkElapsedHours:
        AppendPadded(out, units / (3600 * scale), t.count);
        break;
      case tkElapsedMinutes:
        AppendPadded(out, elapsedHours ? minute : units / (60 * scale), t.count);
        break;
      case tkElapsedSeconds:
        AppendPadded(out, elapsedHours || elapsedMinutes ? second : units / scale, t.count);
        break;
      case tkAmPm:
        out += hour < 12 ? t.text : t.pm;
        break;
      case tkPoint:
        if (i > 0 && (tokens[i - 1].kind == tkSecond || tokens[i - 1].kind == tkElapsedSeconds) &&
            fraction > 0) {
          size_t j = i + 1;
          int n = 0;
          while (j < tokens.size() && tokens[j].kind == tkDigit && tokens[j].ch == u'0') ++j, ++n;
          out += '.';
          std::string digits;
          AppendPadded(digits, inDay % scale, fraction);
          out += digits.substr(0, static_cast<size_t>(std::min(n, fraction)));
          i = j - 1;
        } else {
          out += '.';
        }
        break;
      case tkDigit:
        out += static_cast<char>(t.ch == u'?' ? ' ' : t.ch == u'0' ? '0' : '#');
        break;
      case tkComma:
        out += ',';
        break;
      case tkPercent:
        out += '%';
        break;
      case tkExponent:
        out += static_cast<char>(t.ch);
        out += static_cast<char>(t.sign);
        break;
      case tkGeneral:
        out += ShortestNumberText(value);
        break;
    }
  }
  return out;
}

// --- Numbers -------------------------------------------------------------------------------------------

// A non-negative value rounded half away from zero to `decimals` places, after rounding it to 15
// significant digits as spreadsheets do: its integer digits (no leading zeros, empty for 0) and exactly
// `decimals` fraction digits. pointShift moves the decimal point left first (scientific mantissas).
void RoundedDigits(double value, int decimals, int pointShift, std::string& integer, std::string& fraction) {
  char text[40];
  const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 14);
  std::string digits;
  const char* p = text;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);
  int point = exponent + 1 - pointShift;  // digits before the decimal point
  const int keep = point + decimals;
  if (keep < 0) {
    digits.clear();
  } else if (keep < static_cast<int>(digits.size())) {
    const bool up = digits[static_cast<size_t>(keep)] >= '5';
    digits.resize(static_cast<size_t>(keep));
    if (up) {
      int i = keep - 1;
      for (; i >= 0 && digits[static_cast<size_t>(i)] == '9'; --i) digits[static_cast<size_t>(i)] = '0';
      if (i >= 0) {
        ++digits[static_cast<size_t>(i)];
      } else {
        digits.insert(digits.begin(), '1');
        ++point;
      }
    }
  }
  // Lay the digits out around the point.
  integer.clear();
  fraction.clear();
  for (int i = 0; i < point; ++i)
    integer += i < static_cast<int>(digits.size()) ? digits[static_cast<size_t>(i)] : '0';
  for (int i = 0; i < decimals; ++i) {
    const int at = point + i;
    fraction += at >= 0 && at < static_cast<int>(digits.size()) ? digits[static_cast<size_t>(at)] : '0';
  }
  const size_t first = integer.find_first_not_of('0');
  integer.erase(0, first == std::string::npos ? integer.size() : first);
}

// The exponent of the first significant digit of a value rounded to 15 digits (0 for 0).
int DecimalExponent(double value) {
  if (value == 0) return 0;
  char text[40];
  const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 14);
  const char* e = std::find(text, r.ptr, 'e');
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+'), r.ptr, exponent);
  return exponent;
}

// Where a number section's placeholders are and what its commas and percent signs do.
struct TNumberLayout {
  size_t point;     // the token of the decimal point, or the tokens' count
  size_t exponent;  // the token of E+ E- e+ e-, or the tokens' count
  int integerDigits = 0, fractionDigits = 0, percents = 0;
  bool general = false;
  bool grouping = false;  // a comma between integer placeholders: thousands separators
  int scaling = 0;        // commas after the mantissa's last placeholder: each divides by 1,000
};

// The layout of a number section; none for a fraction ("# ?/?"), which is not shown here.
std::optional<TNumberLayout> NumberLayout(const std::vector<TToken>& tokens) {
  TNumberLayout layout;
  size_t& point = layout.point;
  size_t& exponent = layout.exponent;
  point = tokens.size(), exponent = tokens.size();
  for (size_t i = 0; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    if (t.kind == tkExponent && exponent == tokens.size()) exponent = i;
    if (t.kind == tkPoint && point == tokens.size() && i < exponent) point = i;
    if (t.kind == tkPercent) ++layout.percents;
    if (t.kind == tkGeneral) layout.general = true;
    if (t.kind == tkDigit) {
      if (i > exponent) continue;
      if (i > point)
        ++layout.fractionDigits;
      else
        ++layout.integerDigits;
    }
    if (t.kind == tkLiteral && t.text.find('/') != std::string::npos &&
        layout.integerDigits + layout.fractionDigits > 0) {
      for (size_t j = i + 1; j < tokens.size(); ++j)
        if (tokens[j].kind == tkDigit) return std::nullopt;
    }
  }
  const size_t mantissaEnd = std::min(exponent, tokens.size());
  for (size_t i = 0; i < mantissaEnd; ++i) {
    if (tokens[i].kind != tkComma) continue;
    bool digitBefore = false, digitAfter = false;
    for (size_t j = 0; j < i; ++j) digitBefore = digitBefore || tokens[j].kind == tkDigit;
    for (size_t j = i + 1; j < mantissaEnd; ++j) digitAfter = digitAfter || tokens[j].kind == tkDigit;
    if (digitBefore && digitAfter && i < point)
      layout.grouping = true;
    else if (digitBefore && !digitAfter)
      ++layout.scaling;
  }
  return layout;
}

// The shown value's digits: its integer and fraction digits, and with an exponent in the section the
// exponent shown (a multiple of the integer placeholders' count for engineering notation, "##0.0E+0").
void ShownDigits(double shown, const std::vector<TToken>& tokens, const TNumberLayout& layout,
                 std::string& integer, std::string& fraction, int& shownExponent) {
  shownExponent = 0;
  if (layout.exponent < tokens.size()) {
    const int k = std::max(layout.integerDigits, 1);
    const int e = DecimalExponent(shown);
    bool engineering = false;
    for (size_t i = 0; i < layout.point && i < layout.exponent; ++i)
      if (tokens[i].kind == tkDigit) {
        engineering = tokens[i].ch == u'#' && k > 1;
        break;
      }
    auto floorDiv = [](int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    shownExponent = shown == 0 ? 0 : engineering ? floorDiv(e, k) * k : e - (k - 1);
    RoundedDigits(shown, layout.fractionDigits, shownExponent, integer, fraction);
    // 9.99 rounded to 10.0: one more in the exponent.
    if (!engineering && static_cast<int>(integer.size()) > k) {
      ++shownExponent;
      RoundedDigits(shown, layout.fractionDigits, shownExponent, integer, fraction);
    }
  } else {
    RoundedDigits(shown, layout.fractionDigits, 0, integer, fraction);
  }
}

// What each digit placeholder shows, by token. Integer placeholders, right to left: each takes a digit;
// the first takes all that are left. Fraction placeholders, left to right: '#' drops and '?' blanks
// trailing zeros. The exponent's first placeholder: its digits, padded to the number of zeros.
std::vector<std::string> PlacedDigits(const std::vector<TToken>& tokens, const TNumberLayout& layout,
                                      const std::string& integer, const std::string& fraction,
                                      int shownExponent) {
  const size_t point = layout.point, exponent = layout.exponent;
  std::vector<std::string> pieces(tokens.size());
  {
    int left = static_cast<int>(integer.size());  // digits not yet placed
    int placed = 0;                               // digits placed, for the thousands separator
    int remaining = layout.integerDigits;
    auto put = [&](std::string& piece, char digit) {
      if (layout.grouping && placed > 0 && placed % 3 == 0) piece.insert(piece.begin(), ',');
      piece.insert(piece.begin(), digit);
      ++placed;
    };
    const size_t integerEnd = std::min(point, exponent);
    for (size_t i = integerEnd; i-- > 0;) {
      const TToken& t = tokens[i];
      if (t.kind != tkDigit) continue;
      std::string& piece = pieces[i];
      --remaining;
      if (left > 0) {
        put(piece, integer[static_cast<size_t>(--left)]);
        if (remaining == 0)
          while (left > 0) put(piece, integer[static_cast<size_t>(--left)]);
      } else if (t.ch == u'0') {
        put(piece, '0');
      } else if (t.ch == u'?') {
        piece.insert(piece.begin(), ' ');
      }
    }
  }
  {
    const size_t lastNonZero = fraction.find_last_not_of('0');
    size_t at = 0;
    for (size_t i = point + 1; i < exponent && i < tokens.size(); ++i) {
      const TToken& t = tokens[i];
      if (t.kind != tkDigit) continue;
      const bool significant = lastNonZero != std::string::npos && at <= lastNonZero;
      if (significant || t.ch == u'0')
        pieces[i] = fraction[at];
      else if (t.ch == u'?')
        pieces[i].assign(1, ' ');
      ++at;
    }
  }
  if (exponent < tokens.size()) {
    std::string digits = std::to_string(std::abs(shownExponent));
    int zeros = 0;
    size_t first = tokens.size();
    for (size_t i = exponent + 1; i < tokens.size(); ++i)
      if (tokens[i].kind == tkDigit) {
        if (first == tokens.size()) first = i;
        if (tokens[i].ch == u'0') ++zeros;
      }
    if (static_cast<int>(digits.size()) < zeros)
      digits.insert(0, static_cast<size_t>(zeros) - digits.size(), '0');
    if (first < tokens.size()) pieces[first] = digits;
  }
  return pieces;
}

std::optional<std::string> NumberText(double value, const TSection& section, bool showSign) {
  const std::vector<TToken>& tokens = section.tokens;
  const std::optional<TNumberLayout> layout = NumberLayout(tokens);
  if (!layout) return std::nullopt;
  const size_t point = layout->point, exponent = layout->exponent;
  const int integerDigits = layout->integerDigits;
  const bool general = layout->general;
  const bool negative = value < 0;
  double shown = std::fabs(value);
  for (int i = 0; i < layout->percents; ++i) shown *= 100;
  for (int i = 0; i < layout->scaling; ++i) shown /= 1000;
  if (!std::isfinite(shown)) return std::nullopt;

  std::string integer, fraction;
  int shownExponent = 0;
  ShownDigits(shown, tokens, *layout, integer, fraction, shownExponent);
  const bool zero = integer.empty() && fraction.find_first_not_of('0') == std::string::npos;
  const std::vector<std::string> pieces = PlacedDigits(tokens, *layout, integer, fraction, shownExponent);

  std::string out;
  if (showSign && negative && !zero && !general) out += '-';
  bool exponentDigitsDone = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    switch (t.kind) {
      case tkLiteral:
        out += t.text;
        break;
      case tkDigit:
        if (i > exponent) {
          if (!exponentDigitsDone) out += pieces[i];
          exponentDigitsDone = true;
        } else {
          out += pieces[i];
        }
        break;
      case tkPoint:
        // Digits before the point that no placeholder takes: ".00" shows 12.5 as "12.50".
        if (i == point && integerDigits == 0) out += integer;
        out += '.';
        break;
      case tkPercent:
        out += '%';
        break;
      case tkExponent:
        out += static_cast<char>(t.ch);
        if (shownExponent < 0)
          out += '-';
        else if (t.sign == u'+')
          out += '+';
        break;
      case tkGeneral:
        out += ShortestNumberText(showSign ? value : std::fabs(value));
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace

bool IsGeneralFormat(std::u16string_view format) {
  return format.empty() || (format.size() == 7 && StartsWithNoCase(format, 0, u"General"));
}

namespace {

// The sections of the format code met last on this thread, parsed once: the cells of an output mostly
// repeat a few formats (a column of dates), and parsing the code for every cell was most of its cost.
const std::vector<TSection>& ParsedSections(std::u16string_view format) {
  thread_local std::u16string last;
  thread_local std::vector<TSection> sections;
  thread_local bool parsed = false;
  if (!parsed || format != last) {
    parsed = false;
    sections = ParseFormat(format);
    // A section with @ is for texts wherever it stands, and the fourth is for texts anyway.
    std::erase_if(sections, [](const TSection& s) { return s.text; });
    if (sections.size() > 3) sections.resize(3);
    last.assign(format);
    parsed = true;
  }
  return sections;
}

}  // namespace

std::string FormattedNumberText(double value, std::u16string_view format) {
  if (IsGeneralFormat(format) || !std::isfinite(value)) return ShortestNumberText(value);
  const std::vector<TSection>& sections = ParsedSections(format);
  // A number with no section of its own (the format "@", Text) shows as General, as spreadsheet programs
  // show it.
  if (sections.empty()) return ShortestNumberText(value);
  const TSection* chosen = nullptr;
  bool showSign = true;
  const bool conditional = sections[0].condition || (sections.size() > 1 && sections[1].condition);
  if (conditional) {
    if (sections[0].condition ? sections[0].condition->Holds(value) : value >= 0) {
      chosen = &sections[0];
    } else if (sections.size() > 1 && (!sections[1].condition || sections[1].condition->Holds(value))) {
      chosen = &sections[1];
      showSign = sections[1].condition.has_value() || !(value < 0);
    } else if (sections.size() > 2) {
      chosen = &sections[2];
    } else {
      return ShortestNumberText(value);
    }
  } else if (value < 0 && sections.size() > 1) {
    chosen = &sections[1];
    showSign = false;
  } else if (value == 0 && sections.size() > 2) {
    chosen = &sections[2];
  } else {
    chosen = &sections[0];
  }
  if (chosen->empty) return std::string();
  const std::optional<std::string> text =
      chosen->date ? DateText(value, *chosen) : NumberText(value, *chosen, showSign);
  return text ? *text : ShortestNumberText(value);
}

}  // namespace plicato
