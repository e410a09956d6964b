#include "workbook/NumberFormatText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "biff/CodePage.h"

namespace plicato {

namespace {

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool StartsWithNoCase(std::u16string_view text, size_t at, std::u16string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[at + i]) != Lower(prefix[i])) return false;
  return true;
}

// --- Tokens -----------------------------------------------------------------------------------------

enum TTokenKind : uint8_t {
  tkLiteral,
  tkYear,
  tkMonthOrMinute,
  tkDay,
  tkChineseDay,
  tkHour,
  tkSecond,
  tkElapsedHours,
  tkElapsedMinutes,
  tkElapsedSeconds,
  tkAmPm,
  tkDigit,  // 0 # ?
  tkPoint,
  tkComma,
  tkPercent,
  tkExponent,
  tkGeneral,
};

struct TToken {
  explicit TToken(TTokenKind k) : kind(k) {}
  TTokenKind kind;
  int count = 1;      // letters in a date or time code
  char16_t ch = 0;    // tkDigit: the placeholder; tkExponent: 'E' or 'e' then sign in sign
  char16_t sign = 0;  // tkExponent: '+' or '-'
  std::string text;   // tkLiteral; tkAmPm: the text before noon
  std::string pm;     // tkAmPm: the text after noon
};

struct TCondition {
  enum TOp : uint8_t { opLess, opLessEqual, opGreater, opGreaterEqual, opEqual, opNotEqual } op;
  double value;
  bool Holds(double v) const {
    switch (op) {
      case opLess:
        return v < value;
      case opLessEqual:
        return v <= value;
      case opGreater:
        return v > value;
      case opGreaterEqual:
        return v >= value;
      case opEqual:
        return v == value;
      case opNotEqual:
        return v != value;
    }
    return false;
  }
};

struct TSection {
  std::vector<TToken> tokens;
  std::optional<TCondition> condition;
  bool date = false;
  bool empty = true;  // nothing at all to show
  bool text = false;  // holds @: the section of text cells
};

void AddLiteral(std::vector<TToken>& tokens, std::u16string_view text) {
  if (!tokens.empty() && tokens.back().kind == tkLiteral) {
    tokens.back().text += ToUtf8(text);
  } else {
    TToken t{tkLiteral};
    t.text = ToUtf8(text);
    tokens.push_back(std::move(t));
  }
}

std::optional<TCondition> ParseCondition(std::u16string_view inside) {
  TCondition c{};
  size_t at = 0;
  if (inside.substr(0, 2) == u"<=")
    c.op = TCondition::opLessEqual, at = 2;
  else if (inside.substr(0, 2) == u">=")
    c.op = TCondition::opGreaterEqual, at = 2;
  else if (inside.substr(0, 2) == u"<>")
    c.op = TCondition::opNotEqual, at = 2;
  else if (inside.substr(0, 1) == u"<")
    c.op = TCondition::opLess, at = 1;
  else if (inside.substr(0, 1) == u">")
    c.op = TCondition::opGreater, at = 1;
  else if (inside.substr(0, 1) == u"=")
    c.op = TCondition::opEqual, at = 1;
  else
    return std::nullopt;
  const std::string number = ToUtf8(inside.substr(at));
  const char* begin = number.data();
  if (!number.empty() && number[0] == '+') ++begin;
  const auto r = std::from_chars(begin, number.data() + number.size(), c.value);
  if (r.ec != std::errc() || r.ptr != number.data() + number.size()) return std::nullopt;
  return c;
}

// One section of a format code (the text between semicolons) as tokens.
TSection ParseSection(std::u16string_view s) {
  TSection section;
  std::vector<TToken>& tokens = section.tokens;
  for (size_t i = 0; i < s.size();) {
    const char16_t c = s[i];
    if (c == u'"') {
      const size_t end = s.find(u'"', i + 1);
      const size_t stop = end == std::u16string_view::npos ? s.size() : end;
      AddLiteral(tokens, s.substr(i + 1, stop - i - 1));
      i = stop + 1;
    } else if (c == u'\\') {
      if (i + 1 < s.size()) AddLiteral(tokens, s.substr(i + 1, 1));
      i += 2;
    } else if (c == u'_') {
      AddLiteral(tokens, u" ");
      i += 2;
    } else if (c == u'*') {
      i += 2;  // a fill to the cell's width: no width here
    } else if (c == u'[') {
      const size_t end = s.find(u']', i + 1);
      const size_t stop = end == std::u16string_view::npos ? s.size() : end;
      const std::u16string_view inside = s.substr(i + 1, stop - i - 1);
      i = stop + 1;
      if (!inside.empty() &&
          (Lower(inside[0]) == u'h' || Lower(inside[0]) == u'm' || Lower(inside[0]) == u's') &&
          std::all_of(inside.begin(), inside.end(),
                      [&](char16_t x) { return Lower(x) == Lower(inside[0]); })) {
        TToken t{Lower(inside[0]) == u'h'   ? tkElapsedHours
                 : Lower(inside[0]) == u'm' ? tkElapsedMinutes
                                            : tkElapsedSeconds};
        t.count = static_cast<int>(inside.size());
        tokens.push_back(t);
      } else if (!inside.empty() && inside[0] == u'$') {
        const size_t dash = inside.find(u'-');
        AddLiteral(tokens, inside.substr(1, (dash == std::u16string_view::npos ? inside.size() : dash) - 1));
      } else if (auto condition = ParseCondition(inside)) {
        section.condition = condition;
      }
      // Colours, [DBNum1] and other switches change nothing in the text.
    } else if (StartsWithNoCase(s, i, u"General")) {
      tokens.push_back(TToken{tkGeneral});
      i += 7;
    } else if (StartsWithNoCase(s, i, u"AM/PM") || StartsWithNoCase(s, i, u"A/P") ||
               s.substr(i, 5) == u"上午/下午") {
      // The texts before and after noon; the case of AM/PM and A/P is the format's.
      const bool chinese = s[i] == u'上', full = !chinese && s[i + 1] != u'/', lower = s[i] == u'a';
      TToken t{tkAmPm};
      t.text = chinese ? "上午" : full ? (lower ? "am" : "AM") : (lower ? "a" : "A");
      t.pm = chinese ? "下午" : full ? (lower ? "pm" : "PM") : (lower ? "p" : "P");
      tokens.push_back(std::move(t));
      i += chinese || full ? 5 : 3;
    } else {
      const char16_t l = Lower(c);
      size_t run = 1;
      while (i + run < s.size() && Lower(s[i + run]) == l) ++run;
      if (l == u'y' || l == u'm' || l == u'd' || l == u'h' || l == u's' ||
          (l == u'a' && (run == 3 || run == 4))) {
        TToken t{l == u'y'   ? tkYear
                 : l == u'm' ? tkMonthOrMinute
                 : l == u'd' ? tkDay
                 : l == u'h' ? tkHour
                 : l == u's' ? tkSecond
                             : tkChineseDay};
        t.count = static_cast<int>(run);
        tokens.push_back(t);
        i += run;
      } else if (l == u'e' && i + 1 < s.size() && (s[i + 1] == u'+' || s[i + 1] == u'-')) {
        TToken t{tkExponent};
        t.ch = c;
        t.sign = s[i + 1];
        tokens.push_back(t);
        i += 2;
      } else if (l == u'e') {
        TToken t{tkYear};
        t.count = 4;
        tokens.push_back(t);
        i += 1;
      } else if (c == u'0' || c == u'#' || c == u'?') {
        TToken t{tkDigit};
        t.ch = c;
        tokens.push_back(t);
        ++i;
      } else if (c == u'.') {
        tokens.push_back(TToken{tkPoint});
        ++i;
      } else if (c == u',') {
        tokens.push_back(TToken{tkComma});
        ++i;
      } else if (c == u'%') {
        tokens.push_back(TToken{tkPercent});
        ++i;
      } else if (c == u'@') {
        section.text = true;  // the text of a text cell: the section is for texts only
        ++i;
      } else {
        AddLiteral(tokens, s.substr(i, 1));
        ++i;
      }
    }
  }
  for (const TToken& t : tokens) {
    section.empty = false;
    if ((t.kind >= tkYear && t.kind <= tkAmPm)) section.date = true;
  }
  return section;
}

std::vector<TSection> ParseFormat(std::u16string_view format) {
  std::vector<TSection> sections;
  size_t start = 0;
  bool quoted = false, bracket = false;
  for (size_t i = 0; i <= format.size(); ++i) {
    if (i == format.size() || (!quoted && !bracket && format[i] == u';')) {
      sections.push_back(ParseSection(format.substr(start, i - start)));
      start = i + 1;
      continue;
    }
    const char16_t c = format[i];
    if (quoted) {
      quoted = c != u'"';
    } else if (bracket) {
      bracket = c != u']';
    } else if (c == u'"') {
      quoted = true;
    } else if (c == u'[') {
      bracket = true;
    } else if ((c == u'\\' || c == u'_' || c == u'*') && i + 1 < format.size()) {
      ++i;
    }
  }
  return sections;
}

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

std::optional<std::string> DateText(double value, const TSection& section) {
  if (!(value >= 0) || value >= 2958466) return std::nullopt;
  const std::vector<TToken>& tokens = section.tokens;
  // Fractions of a second: a point after seconds, followed by zeros.
  int fraction = 0;
  bool amPm = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind == tkAmPm) amPm = true;
    if (tokens[i].kind == tkPoint && i > 0 &&
        (tokens[i - 1].kind == tkSecond || tokens[i - 1].kind == tkElapsedSeconds)) {
      int n = 0;
      for (size_t j = i + 1; j < tokens.size() && tokens[j].kind == tkDigit && tokens[j].ch == u'0'; ++j) ++n;
      fraction = std::max(fraction, std::min(n, 3));
    }
  }
  int64_t scale = 1;
  for (int i = 0; i < fraction; ++i) scale *= 10;
  const int64_t units = std::llround(value * 86400.0 * static_cast<double>(scale));
  const int64_t perDay = 86400 * scale;
  const int64_t serial = units / perDay;
  if (serial >= 2958466) return std::nullopt;
  const int64_t inDay = units % perDay;
  const int64_t seconds = inDay / scale;
  const int hour = static_cast<int>(seconds / 3600), minute = static_cast<int>(seconds / 60 % 60),
            second = static_cast<int>(seconds % 60);
  int year, month, day;
  DateOfSerial(serial, year, month, day);
  const int weekday = static_cast<int>((serial + 6) % 7);

  // Whether each m is a month or minutes: minutes right after hours or right before seconds.
  auto neighbour = [&](size_t i, int step) -> const TToken* {
    for (int64_t j = static_cast<int64_t>(i) + step; j >= 0 && j < static_cast<int64_t>(tokens.size());
         j += step) {
      const TTokenKind k = tokens[static_cast<size_t>(j)].kind;
      if (k >= tkYear && k <= tkElapsedSeconds) return &tokens[static_cast<size_t>(j)];
    }
    return nullptr;
  };
  bool elapsedHours = false, elapsedMinutes = false;
  for (const TToken& t : tokens) {
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
        const TToken* before = neighbour(i, -1);
        const TToken* after = neighbour(i, 1);
        const bool minutes = (before && (before->kind == tkHour || before->kind == tkElapsedHours)) ||
                             (after && (after->kind == tkSecond || after->kind == tkElapsedSeconds));
        if (minutes) {
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

std::optional<std::string> NumberText(double value, const TSection& section, bool showSign) {
  const std::vector<TToken>& tokens = section.tokens;
  // Where the placeholders are: integer, fraction and exponent parts.
  size_t point = tokens.size(), exponent = tokens.size();
  int integerDigits = 0, fractionDigits = 0, percents = 0;
  bool general = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    if (t.kind == tkExponent && exponent == tokens.size()) exponent = i;
    if (t.kind == tkPoint && point == tokens.size() && i < exponent) point = i;
    if (t.kind == tkPercent) ++percents;
    if (t.kind == tkGeneral) general = true;
    if (t.kind == tkDigit) {
      if (i > exponent) continue;
      if (i > point)
        ++fractionDigits;
      else
        ++integerDigits;
    }
    // A fraction ("# ?/?") is not shown here.
    if (t.kind == tkLiteral && t.text.find('/') != std::string::npos && integerDigits + fractionDigits > 0) {
      for (size_t j = i + 1; j < tokens.size(); ++j)
        if (tokens[j].kind == tkDigit) return std::nullopt;
    }
  }
  // Commas: between integer placeholders a thousands separator; after the last placeholder of the
  // mantissa each divides by 1,000.
  bool grouping = false;
  int scaling = 0;
  {
    const size_t mantissaEnd = std::min(exponent, tokens.size());
    for (size_t i = 0; i < mantissaEnd; ++i) {
      if (tokens[i].kind != tkComma) continue;
      bool digitBefore = false, digitAfter = false;
      for (size_t j = 0; j < i; ++j) digitBefore = digitBefore || tokens[j].kind == tkDigit;
      for (size_t j = i + 1; j < mantissaEnd; ++j) digitAfter = digitAfter || tokens[j].kind == tkDigit;
      if (digitBefore && digitAfter && i < point)
        grouping = true;
      else if (digitBefore && !digitAfter)
        ++scaling;
    }
  }
  const bool negative = value < 0;
  double shown = std::fabs(value);
  for (int i = 0; i < percents; ++i) shown *= 100;
  for (int i = 0; i < scaling; ++i) shown /= 1000;
  if (!std::isfinite(shown)) return std::nullopt;

  std::string integer, fraction;
  int shownExponent = 0;
  if (exponent < tokens.size()) {
    const int k = std::max(integerDigits, 1);
    const int e = DecimalExponent(shown);
    bool engineering = false;
    for (size_t i = 0; i < point && i < exponent; ++i)
      if (tokens[i].kind == tkDigit) {
        engineering = tokens[i].ch == u'#' && k > 1;
        break;
      }
    auto floorDiv = [](int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    shownExponent = shown == 0 ? 0 : engineering ? floorDiv(e, k) * k : e - (k - 1);
    RoundedDigits(shown, fractionDigits, shownExponent, integer, fraction);
    // 9.99 rounded to 10.0: one more in the exponent.
    if (!engineering && static_cast<int>(integer.size()) > k) {
      ++shownExponent;
      RoundedDigits(shown, fractionDigits, shownExponent, integer, fraction);
    }
  } else {
    RoundedDigits(shown, fractionDigits, 0, integer, fraction);
  }
  const bool zero = integer.empty() && fraction.find_first_not_of('0') == std::string::npos;

  // Integer placeholders, right to left: each takes a digit; the first takes all that are left.
  std::vector<std::string> pieces(tokens.size());
  {
    int left = static_cast<int>(integer.size());  // digits not yet placed
    int placed = 0;                               // digits placed, for the thousands separator
    int remaining = integerDigits;
    auto put = [&](std::string& piece, char digit) {
      if (grouping && placed > 0 && placed % 3 == 0) piece.insert(piece.begin(), ',');
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
  // Fraction placeholders, left to right: '#' drops and '?' blanks trailing zeros.
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
        pieces[i] = " ";
      ++at;
    }
  }
  // Exponent placeholders: the digits, padded to the number of zeros.
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
