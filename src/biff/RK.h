// RK values: the 32-bit number form of the RK and MULRK cell records, read by the reader and written
// by the writer through these two functions only.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

namespace plicato {

// The number an RK value stands for: bit 1 set, the value shifted right by 2 is a signed integer;
// bit 1 clear, the value with its two low bits cleared is the high half of a double whose low half is 0.
// Bit 0 set divides the result by 100.
// Inline: the reader decodes one for every RK and MULRK cell.
inline double DecodeRK(uint32_t rk) {
  double value;
  if (rk & 0x02) {
    value = static_cast<double>(static_cast<int32_t>(rk) >> 2);
  } else {
    const uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&value, &bits, sizeof value);
  }
  return (rk & 0x01) ? value / 100 : value;
}

// The RK value of a number, trying the double form before the integer form, each first as it is and
// then hundredfold; none when no form gives the number back to the last bit through DecodeRK.
std::optional<uint32_t> EncodeRK(double value);

}  // namespace plicato
