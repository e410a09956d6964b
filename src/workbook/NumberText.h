// Numbers as text, one codec for every place that shows a number: the cell accessors and the dumps
// show it as the General format does, the merge as a whole number, the .csv output in the shortest
// form that reads back as the same double. Each form is its own function because each output's bytes
// are fixed; they share the digit generation (std::to_chars, exact and locale-free).
#pragma once

#include <cstddef>
#include <string>

namespace plicato {

// The most characters WriteGeneralNumber writes ("-1.23456789012345E-308" is 22).
inline constexpr size_t kGeneralNumberRoom = 32;

// The General form with '.' as the decimal point: printf's %.15G (at most 15 significant digits, no
// trailing zeros, an exponent below 1E-4 and from 1E+15 on), the exponent written without leading
// zeros ("1E+20", "1.5E-7"); NAN, INF and -INF. Writes at out, which has kGeneralNumberRoom characters
// of room, and returns the end.
char* WriteGeneralNumber(char* out, double value);

// The General form as a cell reads, with the locale's decimal separator in place of '.'.
std::u16string GeneralNumberText(double value);

// The decimal text of a number rounded to a whole number half to even, all of its digits (the full
// 64-bit value outside the 32-bit range, every digit of the double beyond 64 bits); empty for NaN and
// the infinities.
std::string RoundedNumberText(double value);

// The shortest digits that read back as the same double, '.' as the decimal point whatever the locale:
// plain digits from 1e-6 up to 1e21 ("0.1", "100000", "0.0000015"), an exponent outside ("1e+300",
// "5e-324", "1.5e-07"); -0 gives "0". NaN and infinities give "#NUM!", as a spreadsheet
// shows a number it cannot hold.
std::string ShortestNumberText(double value);

}  // namespace plicato
