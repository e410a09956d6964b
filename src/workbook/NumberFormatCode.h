// A number format code parsed into sections of tokens, for FormattedNumberText to render: what each
// run of characters of the code means (a date part, a digit placeholder, literal text, a condition),
// decided once per code and apart from how a value is then shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plicato::numfmt {

// True when `text` holds `prefix` at `at`, ASCII letters compared without case.
bool StartsWithNoCase(std::u16string_view text, size_t at, std::u16string_view prefix);

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

// The format code's sections (the texts between semicolons outside quotes and brackets), in order.
std::vector<TSection> ParseFormat(std::u16string_view format);

}  // namespace plicato::numfmt
