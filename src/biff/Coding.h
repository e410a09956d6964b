// Little-endian encoding and decoding. Every byte-level access of the engine goes through here.
//   Put*     appends to a byte vector.
//   Encode*  writes into a buffer the caller has sized; unchecked.
//   Decode*  reads from a buffer the caller has checked; unchecked.
//   TByteReader::Get* checks against the end of its buffer, advances, and throws EXLSError on overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "biff/Errors.h"

namespace plicato {

inline void EncodeFixed16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void EncodeFixed32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void EncodeFixed64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void EncodeDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  EncodeFixed64(p, bits);
}

inline uint16_t DecodeFixed16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t DecodeFixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t DecodeFixed64(const uint8_t* p) {
  return static_cast<uint64_t>(DecodeFixed32(p)) | (static_cast<uint64_t>(DecodeFixed32(p + 4)) << 32);
}
inline double DecodeDouble(const uint8_t* p) {
  uint64_t bits = DecodeFixed64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void PutFixed8(std::vector<uint8_t>& out, uint8_t v) {
  out.push_back(v);
}
inline void PutFixed16(std::vector<uint8_t>& out, uint16_t v) {
  uint8_t b[2];
  EncodeFixed16(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void PutFixed32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  EncodeFixed32(b, v);
  out.insert(out.end(), b, b + 4);
}
inline void PutDouble(std::vector<uint8_t>& out, double d) {
  uint8_t b[8];
  EncodeDouble(b, d);
  out.insert(out.end(), b, b + 8);
}

// Reads fields from a record body or any other bounded buffer. The buffer must outlive the reader.
class TByteReader {
 public:
  TByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Position() const { return pos_; }
  size_t Size() const { return size_; }
  size_t Remaining() const { return size_ - pos_; }
  const uint8_t* Current() const { return data_ + pos_; }

  void Require(size_t n) const {
    if (n > size_ - pos_) Overrun(n);
  }
  void Skip(size_t n) {
    Require(n);
    pos_ += n;
  }
  void Seek(size_t pos) {
    if (pos > size_) Overrun(pos - pos_);
    pos_ = pos;
  }
  uint8_t GetU8() {
    Require(1);
    return data_[pos_++];
  }
  uint16_t GetU16() {
    Require(2);
    uint16_t v = DecodeFixed16(data_ + pos_);
    pos_ += 2;
    return v;
  }
  uint32_t GetU32() {
    Require(4);
    uint32_t v = DecodeFixed32(data_ + pos_);
    pos_ += 4;
    return v;
  }
  double GetDouble() {
    Require(8);
    double v = DecodeDouble(data_ + pos_);
    pos_ += 8;
    return v;
  }
  void GetBytes(void* dest, size_t n) {
    Require(n);
    if (n == 0) return;
    std::memcpy(dest, data_ + pos_, n);
    pos_ += n;
  }

 private:
  [[noreturn]] void Overrun(size_t wanted) const;

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace plicato
