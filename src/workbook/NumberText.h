// How a number cell reads in the General format, for every place that shows a number as text the way
// the workbook does (the cell accessors, the dumps of .xls and .xlsx sheets), so that they agree.
#pragma once

#include <string>

namespace plicato {

// The shortest general form of a number with at most 15 significant digits, exponents written as
// E+n / E-n without leading zeros, and the locale's decimal separator; NAN, INF and -INF.
std::u16string GeneralNumberText(double value);

}  // namespace plicato
