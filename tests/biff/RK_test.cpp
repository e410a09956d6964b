#include "biff/RK.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "biff/Coding.h"

namespace plicato {
namespace {

TEST(RK, DecodesTheFourForms) {
  EXPECT_EQ(DecodeRK(0x3FF00000u), 1.0);
  EXPECT_DOUBLE_EQ(DecodeRK(0x3FF00001u), 0.01);
  EXPECT_EQ(DecodeRK(0x00000006u), 1.0);
  EXPECT_DOUBLE_EQ(DecodeRK(0x00000007u), 0.01);
  EXPECT_EQ(DecodeRK(static_cast<uint32_t>(-5 * 4) | 2u), -5.0);
  EXPECT_DOUBLE_EQ(DecodeRK(static_cast<uint32_t>(-123 * 4) | 3u), -1.23);
  EXPECT_EQ(DecodeRK(static_cast<uint32_t>(-536870912 * 4) | 2u), -536870912.0);
  EXPECT_EQ(DecodeRK(0xC0000000u), -2.0);  // float form keeps the sign bit
}

uint64_t Bits(double value) {
  uint8_t bytes[8];
  EncodeDouble(bytes, value);
  return DecodeFixed64(bytes);
}

TEST(RK, EncodesTheFourForms) {
  EXPECT_EQ(EncodeRK(0.5), 0x3FE00000u);                  // float form
  EXPECT_EQ(EncodeRK(1.23), 0x405EC001u);                 // float form of 123, hundredfold
  EXPECT_EQ(EncodeRK(123456789), 123456789u * 4 + 2);     // integer form
  EXPECT_EQ(EncodeRK(123456.78), 12345678u * 4 + 2 + 1);  // integer form, hundredfold
  EXPECT_EQ(EncodeRK(0.01), 0x3FF00001u);                 // float form of 1, hundredfold
  EXPECT_EQ(EncodeRK(536870911), 0x7FFFFFFEu);            // the integer form's ends
  EXPECT_EQ(EncodeRK(-536870911), 0x80000006u);
  EXPECT_EQ(EncodeRK(-536870912), 0xC1C00000u);  // a power of two has the float form
  EXPECT_EQ(EncodeRK(1.0), 0x3FF00000u);         // the float form is tried first
  EXPECT_FALSE(EncodeRK(1.1).has_value());
  EXPECT_FALSE(EncodeRK(536870913).has_value());
  EXPECT_FALSE(EncodeRK(1e300 + 1e285).has_value());
  EXPECT_FALSE(EncodeRK(3.141592653589793).has_value());
}

TEST(RK, EveryEncodedValueReadsBackExactly) {
  std::vector<double> values = {
      0.0,          -0.0,   1.0,   -1.0,   0.1,         0.07,
      0.29,         1.13,   99.99, -12.34, 536870911.0, 536870912.0,
      -536870913.0, 1e-300, 1e300, 2.5e10, 12345678.91, std::numeric_limits<double>::infinity()};
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const double hundredths = static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) / 100;
    values.push_back(hundredths);
    values.push_back(std::nextafter(hundredths, 1e9));  // whole when multiplied by 100, yet not k/100
    values.push_back(std::nextafter(hundredths, -1e9));
    uint8_t bytes[8];
    EncodeFixed64(bytes, random());
    const double any = DecodeDouble(bytes);
    if (!std::isnan(any)) values.push_back(any);
  }
  int encoded = 0;
  for (double v : values) {
    const std::optional<uint32_t> rk = EncodeRK(v);
    if (!rk) continue;
    ++encoded;
    ASSERT_EQ(Bits(DecodeRK(*rk)), Bits(v)) << v << " -> " << *rk;
  }
  EXPECT_GT(encoded, 15000);  // most hundredths, with every form among them
}

}  // namespace
}  // namespace plicato
