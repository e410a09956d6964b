#include "biff/Coding.h"

#include <gtest/gtest.h>

namespace plicato {

TEST(Coding, EncodingOutput) {
  std::vector<uint8_t> out;
  PutFixed16(out, 0x1234);
  PutFixed32(out, 0xA1B2C3D4);
  PutDouble(out, 1.0);
  const std::vector<uint8_t> expected = {0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  EXPECT_EQ(out, expected);
  EXPECT_EQ(DecodeFixed16(out.data()), 0x1234);
  EXPECT_EQ(DecodeFixed32(out.data() + 2), 0xA1B2C3D4u);
  EXPECT_EQ(DecodeDouble(out.data() + 6), 1.0);
}

TEST(Coding, ReaderRejectsReadsPastTheEnd) {
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  for (size_t size = 0; size <= 5; ++size) {
    TByteReader r(bytes, size);
    if (size >= 4) {
      EXPECT_EQ(r.GetU32(), 0x04030201u);
    } else {
      EXPECT_THROW(r.GetU32(), EXLSError) << size;
      EXPECT_EQ(r.Position(), 0u);
    }
  }
  TByteReader r(bytes, 5);
  r.Skip(4);
  EXPECT_THROW(r.GetU16(), EXLSError);
  EXPECT_EQ(r.GetU8(), 5);
  EXPECT_THROW(r.Skip(1), EXLSError);
}

}  // namespace plicato
