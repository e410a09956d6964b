#include "xlsx/XlsxValues.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "biff/CodePage.h"
#include "xlsx/XlsxReader.h"

namespace plicato::xlsx {

std::u16string DecodeEscapes(std::u16string text) {
  if (text.find(u"_x") == std::u16string::npos) return text;
  std::u16string out;
  out.reserve(text.size());
  auto hex = [](char16_t c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'_' && i + 6 < text.size() && text[i + 1] == u'x' && text[i + 6] == u'_') {
      int value = 0;
      bool ok = true;
      for (size_t k = i + 2; k < i + 6 && ok; ++k) {
        const int d = hex(text[k]);
        ok = d >= 0;
        value = value * 16 + d;
      }
      if (ok) {
        out += static_cast<char16_t>(value);
        i += 6;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

void TStringItem::Start(const char* element) {
  if (bare_) {
    bare_ = false;
    utf8_.clear();  // white space before the child
  }
  if (std::strcmp(element, "rPh") == 0) ++phonetic_;
  if (std::strcmp(element, "t") == 0 && phonetic_ == 0) collecting_ = true;
}

void TStringItem::End(const char* element) {
  if (std::strcmp(element, "rPh") == 0 && phonetic_ > 0) --phonetic_;
  if (std::strcmp(element, "t") == 0) collecting_ = false;
}

bool TStringItem::Characters(const char* text, int length) {
  if (!collecting_ && !bare_) return true;
  if (utf8_.size() + static_cast<size_t>(length) > kMaxItemBytes) return false;
  utf8_.append(text, static_cast<size_t>(length));
  return true;
}

std::u16string TStringItem::Take() {
  std::u16string text;
  TakeInto(text);
  return text;
}

void TStringItem::TakeInto(std::u16string& out) {
  const size_t start = out.size();
  // Most texts are ASCII, which widens as it is.
  if (std::all_of(utf8_.begin(), utf8_.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    out.append(utf8_.begin(), utf8_.end());
  else
    out += FromUtf8(utf8_);
  if (std::u16string_view(out).substr(start).find(u"_x") != std::u16string_view::npos) {
    const std::u16string decoded = DecodeEscapes(out.substr(start));
    out.resize(start);
    out += decoded;
  }
  Reset();
}

void TStringItem::Reset() {
  utf8_.clear();
  phonetic_ = 0;
  collecting_ = bare_ = false;
}

std::optional<TCellRef> ParseCellRef(const char* text, const char*& failure) {
  uint32_t column = 0, row = 0;
  const char* p = text;
  int letters = 0;
  // Excel writes capitals; a few writers write small letters, which spreadsheet programs read alike.
  for (;; ++p) {
    const char c = *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 'a' + 'A') : *p;
    if (c < 'A' || c > 'Z') break;
    column = column * 26 + static_cast<uint32_t>(c - 'A' + 1);
    if (++letters > 3) break;
  }
  int digits = 0;
  while (*p >= '0' && *p <= '9' && digits <= 7) {
    row = row * 10 + static_cast<uint32_t>(*p - '0');
    ++digits;
    ++p;
  }
  if (letters == 0 || letters > 3 || digits == 0 || *p != '\0') {
    failure = "is not a cell reference";
    return std::nullopt;
  }
  if (column > kXlsxMaxColumns || row == 0 || row > kXlsxMaxRows) {
    failure = "is outside the worksheet (A1:XFD1048576)";
    return std::nullopt;
  }
  return TCellRef{column - 1, row - 1};
}

bool ParseNumber(std::string_view text, double& value) {
  // Most values are short integers (ids, quantities, dates): up to 15 digits read exactly, digit by digit.
  if (!text.empty() && text.size() <= 15) {
    const bool negative = text[0] == '-';
    uint64_t n = 0;
    size_t i = negative ? 1 : 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      n = n * 10 + static_cast<uint64_t>(text[i] - '0');
    if (i == text.size() && i > (negative ? 1u : 0u)) {
      value = negative ? -static_cast<double>(n) : static_cast<double>(n);
      return true;
    }
  }
  while (!text.empty() &&
         (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' || text.front() == '\r'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
    text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  if (result.ec == std::errc::result_out_of_range && result.ptr == end) {
    // Past a double's range ("1E-400", "1E+309"): as near as a double comes, 0 or an infinity, as
    // spreadsheet programs read it. Past even a long double's, the exponent's sign says which.
    long double wide = 0;
    if (std::from_chars(text.data(), end, wide).ec == std::errc()) {
      value = static_cast<double>(wide);
    } else {
      const bool small = text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
      value = std::copysign(small ? 0.0 : HUGE_VAL, text.front() == '-' ? -1.0 : 1.0);
    }
    return true;
  }
  return result.ec == std::errc() && result.ptr == end;
}

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Reads n digits at text[at..] into out.
bool Digits(std::string_view text, size_t at, size_t n, int& out) {
  if (at + n > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

// "hh:mm", "hh:mm:ss" or "hh:mm:ss.fff" from text[at..], then an optional zone ("Z", "+01:00", "-0500"),
// which is ignored. The time as a fraction of a day.
bool ParseTime(std::string_view text, size_t at, double& fraction) {
  int h = 0, mi = 0;
  double s = 0;
  if (!Digits(text, at, 2, h) || at + 2 >= text.size() || text[at + 2] != ':' || !Digits(text, at + 3, 2, mi))
    return false;
  size_t end = at + 5;
  if (end < text.size() && text[end] == ':') {
    const size_t from = ++end;
    while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
    if (end == from || !ParseNumber(text.substr(from, end - from), s)) return false;
  }
  if (h > 24 || mi > 59 || s >= 61) return false;
  std::string_view zone = text.substr(end);
  if (zone == "Z") zone = {};
  if (!zone.empty()) {
    int zh = 0, zm = 0;
    if ((zone[0] != '+' && zone[0] != '-') || !Digits(zone, 1, 2, zh)) return false;
    const bool colon = zone.size() == 6 && zone[3] == ':';
    if (zone.size() != 3 && !(zone.size() == 5 && Digits(zone, 3, 2, zm)) &&
        !(colon && Digits(zone, 4, 2, zm)))
      return false;
  }
  fraction = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
  return true;
}

// An ISO 8601 duration of weeks, days, hours, minutes and seconds ("PT0H11M0.000S", "-P1DT2H") as days.
// Years and months have no fixed length and are refused.
bool ParseDuration(std::string_view text, double& days) {
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.size() < 3 || text[0] != 'P') return false;
  bool time = false, any = false;
  double total = 0;
  for (size_t at = 1; at < text.size();) {
    if (text[at] == 'T') {
      if (time) return false;
      time = true;
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.')) ++end;
    double n = 0;
    if (end == at || end == text.size() || !ParseNumber(text.substr(at, end - at), n)) return false;
    const char unit = text[end];
    if (!time && unit == 'W')
      total += n * 7;
    else if (!time && unit == 'D')
      total += n;
    else if (time && unit == 'H')
      total += n / 24;
    else if (time && unit == 'M')
      total += n / 1440;
    else if (time && unit == 'S')
      total += n / 86400;
    else
      return false;
    any = true;
    at = end + 1;
  }
  if (!any) return false;
  days = negative ? -total : total;
  return true;
}

}  // namespace

bool ParseIsoDate(std::string_view text, bool date1904, bool dateCompatibility, double& value,
                  TDateShape& shape) {
  if (!text.empty() && (text[0] == 'P' || text[0] == '-')) {
    shape = dsDuration;
    return ParseDuration(text, value);
  }
  if (text.size() >= 5 && (text[2] == ':' || (text[0] == 'T' && text[3] == ':'))) {
    shape = dsTime;
    return ParseTime(text, text[0] == 'T' ? 1 : 0, value);
  }
  int y = 0, mo = 0, d = 0;
  if (!Digits(text, 0, 4, y) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, mo) ||
      text[7] != '-' || !Digits(text, 8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31)
    return false;
  double fraction = 0;
  shape = dsDate;
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || !ParseTime(text, 11, fraction)) return false;
    shape = dsDateTime;
  }
  const int64_t civil = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  int64_t days = civil - DaysFromCivil(1899, 12, 30);
  if (date1904)
    days = civil - DaysFromCivil(1904, 1, 1);
  else if (dateCompatibility && days < 61)
    days -= 1;  // before 1900-03-01 the serial misses the fictitious leap day
  value = static_cast<double>(days) + fraction;
  return true;
}

TCellError ErrorValue(std::u16string_view text, std::u16string_view& name) {
  struct TErrorName {
    const char16_t* text;
    TCellError error;
  };
  static constexpr TErrorName kNames[] = {{u"#NULL!", ceNull}, {u"#DIV/0!", ceDiv0}, {u"#VALUE!", ceValue},
                                          {u"#REF!", ceRef},   {u"#NAME?", ceName},  {u"#N/A", ceNA},
                                          {u"#NUM!", ceNum}};
  for (const TErrorName& e : kNames)
    if (text == e.text) {
      name = e.text;
      return e.error;
    }
  return ceNone;
}

// Read at every cell, so by its first letter.
bool ParseCellType(const char* t, TCellType& type) {
  const bool letter = t[0] != '\0' && t[1] == '\0';
  switch (t[0]) {
    case 's':
      type = letter ? ctShared : ctString;
      return letter || std::strcmp(t, "str") == 0;
    case 'n':
      type = ctNumber;
      return letter;
    case 'b':
      type = ctBoolean;
      return letter;
    case 'e':
      type = ctError;
      return letter;
    case 'd':
      type = ctDate;
      return letter;
    case 'i':
      type = ctInline;
      return std::strcmp(t, "inlineStr") == 0;
    default:
      return false;
  }
}

}  // namespace plicato::xlsx
