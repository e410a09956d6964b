// A number as a number format code shows it, for outputs that hold text only (.csv): dates and times,
// fixed decimals, percentages, thousands separators, scientific notation, literal text and sections.
#pragma once

#include <string>
#include <string_view>

#include "workbook/NumberText.h"  // ShortestNumberText, the General format's form here

namespace plicato {

// The value as the format code shows it, in UTF-8, with the conventions of an English (United States)
// spreadsheet: '.' and ',' as decimal point and thousands separator, English month and day names.
//   Sections: "pos;neg;zero;text" (the negative section shows the value without its sign), conditions
//   such as [<0] or [>=100]; [Red] and other colours are ignored, [$-804] locales too, [$USD-409] gives
//   its text.
//   Dates and times in the 1900 date system (serial 1 is 1900-01-01, 60 the 1900-02-29 that spreadsheets
//   count): y yy yyyy e, m mm mmm mmmm mmmmm, d dd ddd dddd, aaa aaaa (Chinese day names), h hh, m mm
//   as minutes after an hour or before seconds, s ss with .0 .00 .000, [h] [m] [s] elapsed time,
//   AM/PM A/P 上午/下午.
//   Numbers: 0 # ? placeholders, '.', ',' as thousands separator or (trailing) scaling by 1,000, %,
//   E+ E- e+ e-, "text", \c, _c (a space), *c (nothing: the fill has no width here), General.
// The empty format and "General" give ShortestNumberText; so does any value or format this cannot show
// (fractions such as "# ?/?", a date outside 0 .. 2958465.99999 (9999-12-31), NaN and infinities).
std::string FormattedNumberText(double value, std::u16string_view format);

// True when the format shows the value as ShortestNumberText does (the empty text and "General").
bool IsGeneralFormat(std::u16string_view format);

}  // namespace plicato
