#include "biff/Crypto.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "biff/Coding.h"

namespace plicato {

namespace {

// The MD5 sine table: K[i] = floor(|sin(i + 1)| * 2^32), exact in double precision.
const std::array<uint32_t, 64>& Md5Table() {
  static const std::array<uint32_t, 64> table = [] {
    std::array<uint32_t, 64> t{};
    for (int i = 0; i < 64; ++i)
      t[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    return t;
  }();
  return table;
}

constexpr uint8_t kMd5Shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t RotateLeft(uint32_t v, unsigned n) {
  return (v << n) | (v >> (32 - n));
}

}  // namespace

void TMd5::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  length_ = 0;
  buffered_ = 0;
}

void TMd5::Transform(const uint8_t* block) {
  const auto& k = Md5Table();
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = DecodeFixed32(block + 4 * i);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t next = b + RotateLeft(a + f + k[i] + m[g], kMd5Shift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void TMd5::Update(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    size_t take = std::min(size, sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < sizeof buffer_) return;
    Transform(buffer_);
    buffered_ = 0;
  }
  for (; size >= 64; p += 64, size -= 64) Transform(p);
  if (size > 0) {
    std::memcpy(buffer_, p, size);
    buffered_ = size;
  }
}

TMd5Digest TMd5::Final() {
  const uint64_t bitLength = length_ * 8;
  const uint8_t pad = 0x80;
  Update(&pad, 1);
  const uint8_t zero = 0;
  while (buffered_ != 56) Update(&zero, 1);
  uint8_t lengthBytes[8];
  EncodeFixed64(lengthBytes, bitLength);
  Update(lengthBytes, 8);
  TMd5Digest digest;
  for (int i = 0; i < 4; ++i) EncodeFixed32(digest.data() + 4 * i, state_[i]);
  Reset();
  return digest;
}

TMd5Digest Md5(std::span<const uint8_t> data) {
  TMd5 md5;
  md5.Update(data.data(), data.size());
  return md5.Final();
}

void TRc4::SetKey(const uint8_t* key, size_t length) {
  for (int i = 0; i < 256; ++i) s_[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s_[i] + key[static_cast<size_t>(i) % length]);
    std::swap(s_[i], s_[j]);
  }
  i_ = 0;
  j_ = 0;
}

inline uint8_t TRc4::Next() {
  i_ = static_cast<uint8_t>(i_ + 1);
  j_ = static_cast<uint8_t>(j_ + s_[i_]);
  std::swap(s_[i_], s_[j_]);
  return s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
}

void TRc4::Process(uint8_t* data, size_t count) {
  for (size_t n = 0; n < count; ++n) data[n] ^= Next();
}

void TRc4::Skip(size_t count) {
  for (size_t n = 0; n < count; ++n) Next();
}

void TRc4Key::Derive(std::u16string_view password, const uint8_t* salt) {
  password = password.substr(0, std::min(password.size(), kMaxPasswordLength));
  std::vector<uint8_t> utf16;
  utf16.reserve(password.size() * 2);
  for (char16_t c : password) PutFixed16(utf16, static_cast<uint16_t>(c));
  const TMd5Digest h0 = Md5(utf16);

  // Sixteen repetitions of the first five bytes of the password hash followed by the salt.
  TMd5 md5;
  for (int i = 0; i < 16; ++i) {
    md5.Update(h0.data(), 5);
    md5.Update(salt, kSaltSize);
  }
  const TMd5Digest h1 = md5.Final();
  std::copy_n(h1.begin(), keyBase_.size(), keyBase_.begin());
  valid_ = true;
  keyed_ = false;
}

void TRc4Key::Clear() {
  keyBase_.fill(0);
  valid_ = false;
  keyed_ = false;
  block_ = 0;
  offset_ = 0;
  rc4_ = TRc4();
}

void TRc4Key::Rekey(uint64_t block) {
  uint8_t input[9];
  std::copy(keyBase_.begin(), keyBase_.end(), input);
  EncodeFixed32(input + 5, static_cast<uint32_t>(block));
  const TMd5Digest blockKey = Md5(input);
  rc4_.SetKey(blockKey.data(), blockKey.size());
  block_ = block;
  offset_ = 0;
  keyed_ = true;
}

void TRc4Key::SeekTo(uint64_t streamPos) {
  if (!valid_) return;
  const uint64_t block = streamPos / kBlockSize;
  const auto offset = static_cast<uint32_t>(streamPos % kBlockSize);
  if (!keyed_ || block != block_ || offset < offset_) Rekey(block);
  rc4_.Skip(offset - offset_);
  offset_ = offset;
}

void TRc4Key::Apply(uint8_t* data, size_t count, uint64_t streamPos) {
  if (!valid_) return;
  while (count > 0) {
    SeekTo(streamPos);
    const size_t piece = std::min<size_t>(count, kBlockSize - offset_);
    rc4_.Process(data, piece);
    offset_ += static_cast<uint32_t>(piece);
    data += piece;
    count -= piece;
    streamPos += piece;
  }
}

bool TRc4Key::Verify(const uint8_t* encryptedVerifier, const uint8_t* encryptedVerifierHash) {
  if (!valid_) return false;
  uint8_t plain[32];
  std::memcpy(plain, encryptedVerifier, 16);
  std::memcpy(plain + 16, encryptedVerifierHash, 16);
  Apply(plain, sizeof plain, 0);
  const TMd5Digest hash = Md5(std::span<const uint8_t>(plain, 16));
  return std::equal(hash.begin(), hash.end(), plain + 16);
}

void TRc4Key::EncryptVerifier(const uint8_t* verifier, uint8_t* encryptedVerifier,
                              uint8_t* encryptedVerifierHash) {
  uint8_t buffer[32];
  std::memcpy(buffer, verifier, 16);
  const TMd5Digest hash = Md5(std::span<const uint8_t>(verifier, 16));
  std::memcpy(buffer + 16, hash.data(), 16);
  Apply(buffer, sizeof buffer, 0);
  std::memcpy(encryptedVerifier, buffer, 16);
  std::memcpy(encryptedVerifierHash, buffer + 16, 16);
}

}  // namespace plicato
