// The cell records most cells go out as, each written whole (header and body) in place at `at`, where the
// caller has made room for it; each returns the end of what it wrote. Shared by the writer of a cell model
// and by the output that encodes a merge's rows as they come.
#pragma once

#include <cstdint>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"

namespace plicato {

inline constexpr uint32_t kNumberRecordSize = kRecordHeaderSize + 14;
inline constexpr uint32_t kRKRecordSize = kRecordHeaderSize + 10;
inline constexpr uint32_t kLabelSstRecordSize = kRecordHeaderSize + 10;
inline constexpr uint32_t kBoolErrRecordSize = kRecordHeaderSize + 8;
inline constexpr uint32_t MulRKRecordSize(uint32_t count) {
  return kRecordHeaderSize + 6 + 6 * count;
}

namespace cellrecord {
// The header, and the row and column every cell record starts with (the first column of a run).
inline uint8_t* Open(uint8_t* at, uint16_t id, uint32_t length, uint32_t row, uint32_t column) {
  EncodeFixed16(at, id);
  EncodeFixed16(at + 2, static_cast<uint16_t>(length));
  EncodeFixed16(at + 4, static_cast<uint16_t>(row));
  EncodeFixed16(at + 6, static_cast<uint16_t>(column));
  return at + kRecordHeaderSize + 4;
}
}  // namespace cellrecord

inline uint8_t* EncodeNumberRecord(uint8_t* at, uint32_t row, uint32_t column, uint16_t xf, double number) {
  uint8_t* p = cellrecord::Open(at, BIFFRecs::NUMBER, 14, row, column);
  EncodeFixed16(p, xf);
  EncodeDouble(p + 2, number);
  return p + 10;
}

inline uint8_t* EncodeRKRecord(uint8_t* at, uint32_t row, uint32_t column, uint16_t xf, uint32_t rk) {
  uint8_t* p = cellrecord::Open(at, BIFFRecs::RK, 10, row, column);
  EncodeFixed16(p, xf);
  EncodeFixed32(p + 2, rk);
  return p + 6;
}

// MULRK: an XF and RK value per column from first on, then the last column.
inline uint8_t* EncodeMulRKRecord(uint8_t* at, uint32_t row, uint32_t first, const uint16_t* xfs,
                                  const uint32_t* rks, uint32_t count) {
  uint8_t* p = cellrecord::Open(at, BIFFRecs::MULRK, 6 + 6 * count, row, first);
  for (uint32_t i = 0; i < count; ++i, p += 6) {
    EncodeFixed16(p, xfs[i]);
    EncodeFixed32(p + 2, rks[i]);
  }
  EncodeFixed16(p, static_cast<uint16_t>(first + count - 1));
  return p + 2;
}

inline uint8_t* EncodeLabelSstRecord(uint8_t* at, uint32_t row, uint32_t column, uint16_t xf,
                                     uint32_t index) {
  uint8_t* p = cellrecord::Open(at, BIFFRecs::LABELSST, 10, row, column);
  EncodeFixed16(p, xf);
  EncodeFixed32(p + 2, index);
  return p + 6;
}

// BOOLERR: the value (a boolean, or a BIFF error code) and whether it is an error.
inline uint8_t* EncodeBoolErrRecord(uint8_t* at, uint32_t row, uint32_t column, uint16_t xf, uint8_t value,
                                    bool error) {
  uint8_t* p = cellrecord::Open(at, BIFFRecs::BOOLERR, 8, row, column);
  EncodeFixed16(p, xf);
  p[2] = value;
  p[3] = error ? 1 : 0;
  return p + 4;
}

}  // namespace plicato
