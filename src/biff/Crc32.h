// CRC-32 with the reflected polynomial 0xEDB88320 (the one of zip and PNG), kept as a running value:
// start at kCrc32Seed and feed bytes. It is used without the closing inversion, so a finished value is
// the complement of the common CRC-32; the empty input gives 0xFFFFFFFF. The shared string table hashes
// its texts with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace plicato {

namespace crc32_detail {
constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
}  // namespace crc32_detail

// The CRC of each byte value, which Crc32Byte steps with.
inline constexpr std::array<uint32_t, 256> kCrc32Table = crc32_detail::MakeTable();

inline constexpr uint32_t kCrc32Seed = 0xFFFFFFFFu;

// The running CRC after one more byte. Inline: the string table feeds texts a character at a time.
inline uint32_t Crc32Byte(uint32_t crc, uint8_t b) {
  return kCrc32Table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

// The running CRC after length more bytes; eight at a time, the same values as byte by byte.
uint32_t Crc32Bytes(const uint8_t* data, size_t length, uint32_t crc = kCrc32Seed);

}  // namespace plicato
