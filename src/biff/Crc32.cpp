#include "biff/Crc32.h"

namespace plicato {

namespace {
// Tables for eight bytes a step ("slicing by 8"): table k gives the CRC of a byte followed by k zero
// bytes, so that eight lookups replace eight dependent steps.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeSliceTables() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  tables[0] = kCrc32Table;
  for (size_t k = 1; k < 8; ++k)
    for (size_t i = 0; i < 256; ++i)
      tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
  return tables;
}
constexpr std::array<std::array<uint32_t, 256>, 8> kSliceTables = MakeSliceTables();
}  // namespace

uint32_t Crc32Bytes(const uint8_t* data, size_t length, uint32_t crc) {
  const auto& t = kSliceTables;
  for (; length >= 8; data += 8, length -= 8) {
    const uint32_t low =
        crc ^ (static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
               (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24));
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
  }
  for (size_t i = 0; i < length; ++i) crc = Crc32Byte(crc, data[i]);
  return crc;
}

}  // namespace plicato
