#include "workbook/NumberText.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "biff/CodePage.h"

namespace plicato {

namespace {

char* Copy(char* out, std::string_view text) {
  return std::copy(text.begin(), text.end(), out);
}

// The shortest digits that read back as the number, without a point, and the decimal exponent of the
// first: 0.00125 gives "125" and -3.
struct TShortestDigits {
  char digits[20];
  int count = 0;
  int exponent = 0;
};

// False for 0, subnormal numbers and more than 15 shortest digits.
bool ShortestDigits(double magnitude, TShortestDigits& d) {
  if (!(magnitude >= std::numeric_limits<double>::min())) return false;
  char text[40];
  const std::to_chars_result r =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const char* p = text;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.' && d.count < 16) d.digits[d.count++] = *p;
  if (d.count > 15 || p == r.ptr) return false;
  std::from_chars(p + 1 + (p[1] == '+'), r.ptr, d.exponent);
  return true;
}

// The shortest digits are found fast. For a normal number they differ from the number by less than
// half a unit of their own 15th significant digit; so when there are at most 15 of them, rounding to 15
// significant digits, which %.15G does, gives those very digits. Writes nothing and returns null for
// other numbers (0, subnormal numbers, more than 15 digits).
char* WriteGeneralFromShortest(char* out, double value) {
  TShortestDigits d;
  if (!ShortestDigits(std::fabs(value), d)) return nullptr;
  const char* digits = d.digits;
  const int count = d.count, exponent = d.exponent;
  if (value < 0) *out++ = '-';
  // %G's layout of d.ddd x 10^exponent at 15 digits' precision, without trailing zeros.
  if (exponent < -4 || exponent >= 15) {
    *out++ = digits[0];
    if (count > 1) {
      *out++ = '.';
      out = std::copy(digits + 1, digits + count, out);
    }
    *out++ = 'E';
    *out++ = exponent < 0 ? '-' : '+';
    return std::to_chars(out, out + 8, std::abs(exponent)).ptr;
  }
  if (exponent < 0) {
    out = Copy(out, "0.");
    out = std::fill_n(out, -exponent - 1, '0');
    return std::copy(digits, digits + count, out);
  }
  if (count <= exponent + 1) {
    out = std::copy(digits, digits + count, out);
    return std::fill_n(out, exponent + 1 - count, '0');
  }
  out = std::copy(digits, digits + exponent + 1, out);
  *out++ = '.';
  return std::copy(digits + exponent + 1, digits + count, out);
}

}  // namespace

char* WriteGeneralNumber(char* out, double value) {
  if (std::isnan(value)) return Copy(out, "NAN");
  if (std::isinf(value)) return Copy(out, value > 0 ? "INF" : "-INF");
  if (char* end = WriteGeneralFromShortest(out, value)) return end;
  // The rounding to 15 digits itself, with the exponent's leading zeros dropped.
  char text[kGeneralNumberRoom];
  const std::to_chars_result general =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15);
  const char* e = std::find(text, general.ptr, 'e');
  out = std::copy(static_cast<const char*>(text), e, out);
  if (e == general.ptr) return out;
  const char* exponentDigits = e + 2;
  while (general.ptr - exponentDigits > 1 && *exponentDigits == '0') ++exponentDigits;
  *out++ = 'E';
  *out++ = e[1];
  return std::copy(exponentDigits, static_cast<const char*>(general.ptr), out);
}

std::u16string GeneralNumberText(double value) {
  char text[kGeneralNumberRoom];
  const char* const end = WriteGeneralNumber(text, value);
  const char* const begin = text;
  const lconv* conv = std::localeconv();
  const std::string_view separator =
      conv && conv->decimal_point && *conv->decimal_point ? conv->decimal_point : ".";
  const char* point = std::find(begin, end, '.');
  if (separator == "." || point == end) return std::u16string(begin, end);  // ASCII
  return FromUtf8(std::string(begin, point) + std::string(separator) + std::string(point + 1, end));
}

std::string RoundedNumberText(double value) {
  if (!std::isfinite(value)) return std::string();
  const double rounded = std::nearbyint(value);  // the default rounding mode: half to even
  char text[400];
  // Beyond 64 bits every double is a whole number already; all of its digits are written.
  const std::to_chars_result r =
      std::fabs(rounded) < 9.2e18
          ? std::to_chars(text, text + sizeof text, static_cast<long long>(rounded))
          : std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, 0);
  return std::string(text, r.ptr);
}

std::string ShortestNumberText(double value) {
  if (!std::isfinite(value)) return "#NUM!";
  if (value == 0) return "0";
  // Plain digits where a person would write them (100000, not the shorter 1e+05), an exponent for
  // the very large and the very small, as JavaScript does.
  const double magnitude = std::fabs(value);
  char text[40];
  const std::to_chars_result r =
      magnitude >= 1e-6 && magnitude < 1e21
          ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
          : std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

}  // namespace plicato
