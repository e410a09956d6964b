#include "workbook/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace plicato {
namespace {

TEST(NumberText, EachFormOnAwkwardValues) {
  const double kNaN = std::nan(""), kInf = std::numeric_limits<double>::infinity();
  struct {
    double value;
    std::string general, rounded, shortest;
  } const cases[] = {
      {0.0, "0", "0", "0"},
      {-0.0, "-0", "0", "0"},
      {1e15, "1E+15", "1000000000000000", "1000000000000000"},
      {1e16, "1E+16", "10000000000000000", "10000000000000000"},
      {0.1 + 0.2, "0.3", "0", "0.30000000000000004"},
      {1e-7, "1E-7", "0", "1e-07"},
      {123456789012.0, "123456789012", "123456789012", "123456789012"},
      {123456789012.5, "123456789012.5", "123456789012", "123456789012.5"},
      {2.5, "2.5", "2", "2.5"},  // rounded half to even
      {3.5, "3.5", "4", "3.5"},
      {-2.5, "-2.5", "-2", "-2.5"},
      {7.9, "7.9", "8", "7.9"},
      {45000.6, "45000.6", "45001", "45000.6"},  // a date after noon gives the next day
      {-0.4, "-0.4", "0", "-0.4"},
      {1.0 / 3, "0.333333333333333", "0", "0.3333333333333333"},
      {999999999999999.9, "1E+15", "1000000000000000", "999999999999999.9"},
      {5e9, "5000000000", "5000000000", "5000000000"},
      {2147483648.0, "2147483648", "2147483648", "2147483648"},
      {-2147483648.0, "-2147483648", "-2147483648", "-2147483648"},
      {1e20, "1E+20", "100000000000000000000", "100000000000000000000"},
      {1e21, "1E+21", "1000000000000000000000", "1e+21"},
      {5e-324, "4.94065645841247E-324", "0", "5e-324"},
      {kNaN, "NAN", "", "#NUM!"},
      {-kInf, "-INF", "", "#NUM!"},
  };
  for (const auto& c : cases) {
    char text[kGeneralNumberRoom];
    EXPECT_EQ(std::string(text, WriteGeneralNumber(text, c.value)), c.general) << c.value;
    EXPECT_EQ(GeneralNumberText(c.value), std::u16string(c.general.begin(), c.general.end())) << c.value;
    EXPECT_EQ(RoundedNumberText(c.value), c.rounded) << c.value;
    EXPECT_EQ(ShortestNumberText(c.value), c.shortest) << c.value;
  }
}

}  // namespace
}  // namespace plicato
