// Which value a CSV field becomes in value mode: a number in plain notation that gives its text back,
// or an ISO date (with a time of day) as its serial number; anything else stays text.
#include "merge/CsvReader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace plicato {

namespace {

bool Digits(std::u16string_view text, size_t from, size_t count, int& value) {
  value = 0;
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    value = value * 10 + (text[i] - u'0');
  }
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// "yyyy-mm-dd" or "yyyy/mm/dd" (one separator), optionally with " hh:mm" or " hh:mm:ss" (or a 'T').
TCsvValue IsoDate(std::u16string_view f, double& value) {
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Digits(f, 0, 4, year) || !Digits(f, 5, 2, month) || f[7] != f[4] || !Digits(f, 8, 2, day))
    return cvText;
  if (f.size() != 10) {
    if ((f.size() != 16 && f.size() != 19) || (f[10] != u' ' && f[10] != u'T')) return cvText;
    if (!Digits(f, 11, 2, hour) || f[13] != u':' || !Digits(f, 14, 2, minute)) return cvText;
    if (f.size() == 19 && (f[16] != u':' || !Digits(f, 17, 2, second))) return cvText;
    if (hour > 23 || minute > 59 || second > 59) return cvText;
  }
  static constexpr std::array<int, 12> kDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1900 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap))
    return cvText;
  // The 1900 date system counts a 29 February 1900 that never was: from 1 March 1900 on, a serial is the
  // days since 30 December 1899; before it, one less.
  int64_t serial = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
  if (serial < 61) --serial;
  value = static_cast<double>(serial) + (hour * 3600 + minute * 60 + second) / 86400.0;
  return f.size() == 10 ? cvDate : cvDateTime;
}

// A number in plain notation that gives its text back: no '+', no leading zero, at most 15 significant
// digits (a double holds them; an 18-digit ID card number would lose its last ones), digits on both sides
// of a decimal point, a finite value that is zero only when written as zero.
TCsvValue PlainNumber(std::u16string_view f, double& value) {
  constexpr size_t kMaxLength = 64;
  if (f.size() > kMaxLength) return cvText;
  size_t i = f[0] == u'-' ? 1 : 0;
  size_t significant = 0;
  bool nonZero = false;
  auto digits = [&]() {
    const size_t from = i;
    for (; i < f.size() && f[i] >= u'0' && f[i] <= u'9'; ++i) {
      nonZero = nonZero || f[i] != u'0';
      significant += nonZero;
    }
    return i - from;
  };
  const size_t start = i;
  const size_t whole = digits();
  if (whole == 0 || (whole > 1 && f[start] == u'0')) return cvText;
  size_t decimals = 0;
  if (i < f.size() && f[i] == u'.') {
    ++i;
    decimals = digits();
    if (decimals == 0) return cvText;
  }
  const size_t exponentFrom = i;
  if (i < f.size() && (f[i] == u'e' || f[i] == u'E')) {
    ++i;
    if (i < f.size() && (f[i] == u'-' || f[i] == u'+')) ++i;
    const size_t from = i;
    while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') ++i;
    if (i == from || i - from > 3) return cvText;
  }
  if (i != f.size() || significant > 15 || (f[0] == u'-' && !nonZero)) return cvText;
  // Without an exponent and with few decimals, the digits as a whole number, exact in a double, and one
  // exact power of ten give the correctly rounded value in one division, as from_chars would.
  static constexpr std::array<double, 16> kTens = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (exponentFrom == f.size() && whole + decimals <= 15) {
    int64_t digitsValue = 0;
    for (const char16_t c : f)
      if (c >= u'0' && c <= u'9') digitsValue = digitsValue * 10 + (c - u'0');
    value = static_cast<double>(digitsValue) / kTens[decimals];
    if (f[0] == u'-') value = -value;
    return cvNumber;
  }
  std::array<char, kMaxLength> ascii;
  for (size_t k = 0; k < f.size(); ++k) ascii[k] = static_cast<char>(f[k]);
  const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + f.size(), value);
  if (error != std::errc() || end != ascii.data() + f.size() || !std::isfinite(value) ||
      (nonZero && value == 0))
    return cvText;
  return cvNumber;
}

}  // namespace

TCsvValue CsvFieldValue(std::u16string_view field, double& value) {
  if (field.empty() || !(field[0] == u'-' || (field[0] >= u'0' && field[0] <= u'9'))) return cvText;
  if (field.size() >= 10 && (field[4] == u'-' || field[4] == u'/')) return IsoDate(field, value);
  return PlainNumber(field, value);
}

}  // namespace plicato
