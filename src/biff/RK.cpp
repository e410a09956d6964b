#include "biff/RK.h"

#include <cmath>

#include "biff/Coding.h"

namespace plicato {

namespace {

uint64_t DoubleBits(double value) {
  uint8_t bytes[8];
  EncodeDouble(bytes, value);
  return DecodeFixed64(bytes);
}

}  // namespace

std::optional<uint32_t> EncodeRK(double value) {
  const uint64_t valueBits = DoubleBits(value);
  for (const uint32_t scaled : {0u, 1u}) {
    const double y = scaled ? value * 100 : value;
    const uint64_t bits = DoubleBits(y);
    const auto high = static_cast<uint32_t>(bits >> 32);
    const auto low = static_cast<uint32_t>(bits);
    uint32_t rk;
    if (low == 0 && (high & 0x03) == 0) {
      rk = high | scaled;
    } else if (y >= -536870912.0 && y <= 536870911.0 && y == std::floor(y)) {
      rk = (static_cast<uint32_t>(static_cast<int32_t>(y)) << 2) | 0x02 | scaled;
    } else {
      continue;
    }
    // The hundredfold forms are divided by 100 when read, which does not always give the number back
    // to the last bit; such a number keeps its full form (NUMBER) rather than change its value.
    if (DoubleBits(DecodeRK(rk)) == valueBits) return rk;
  }
  return std::nullopt;
}

}  // namespace plicato
