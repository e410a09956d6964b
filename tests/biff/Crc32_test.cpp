#include "biff/Crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace plicato {
namespace {

uint32_t CrcOfText(const std::string& s) {
  return Crc32Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Crc32, IsComplementOfStandardCrc32) {
  EXPECT_EQ(CrcOfText(""), 0xFFFFFFFFu);
  EXPECT_EQ(CrcOfText("abc"), 0xCADBBE3Du);
  EXPECT_EQ(CrcOfText("123456789"), ~0xCBF43926u);  // the standard CRC-32 check value
  // Byte-wise hashing continues a running hash.
  uint32_t h = kCrc32Seed;
  for (char c : std::string("abc")) h = Crc32Byte(h, static_cast<uint8_t>(c));
  EXPECT_EQ(h, 0xCADBBE3Du);
  EXPECT_EQ(Crc32Bytes(reinterpret_cast<const uint8_t*>("c"), 1, CrcOfText("ab")), 0xCADBBE3Du);
}

}  // namespace
}  // namespace plicato
