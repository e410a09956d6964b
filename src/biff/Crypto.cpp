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

inline uint32_t DecodeBig32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

std::vector<uint8_t> Utf16Le(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) PutFixed16(bytes, static_cast<uint16_t>(c));
  return bytes;
}

}  // namespace

void TBlockHash::Update(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    const size_t take = std::min(size, kBlockSize - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < kBlockSize) return;
    Transform(buffer_);
    buffered_ = 0;
  }
  for (; size >= kBlockSize; p += kBlockSize, size -= kBlockSize) Transform(p);
  if (size > 0) {
    std::memcpy(buffer_, p, size);
    buffered_ = size;
  }
}

void TBlockHash::Finish(bool bigEndianLength) {
  const uint64_t bitLength = length_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > kBlockSize - 8) {
    std::memset(buffer_ + buffered_, 0, kBlockSize - buffered_);
    Transform(buffer_);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, kBlockSize - 8 - buffered_);
  for (int i = 0; i < 8; ++i) {
    const int shift = bigEndianLength ? 8 * (7 - i) : 8 * i;
    buffer_[kBlockSize - 8 + i] = static_cast<uint8_t>(bitLength >> shift);
  }
  Transform(buffer_);
  length_ = 0;
  buffered_ = 0;
}

void TMd5::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
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

TMd5Digest TMd5::Final() {
  Finish(false);
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

// SHA-1 as FIPS 180-4 defines it: big-endian words, an 80-word schedule, four rounds of 20 steps.
void TSha1::Reset() {
  state_[0] = 0x67452301;
  state_[1] = 0xEFCDAB89;
  state_[2] = 0x98BADCFE;
  state_[3] = 0x10325476;
  state_[4] = 0xC3D2E1F0;
}

void TSha1::Transform(const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = DecodeBig32(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

TSha1Digest TSha1::Final() {
  Finish(true);
  TSha1Digest digest;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
  Reset();
  return digest;
}

TSha1Digest Sha1(std::span<const uint8_t> data) {
  TSha1 sha1;
  sha1.Update(data.data(), data.size());
  return sha1.Final();
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
  const TMd5Digest h0 = Md5(Utf16Le(password));

  // Sixteen repetitions of the first five bytes of the password hash followed by the salt.
  TMd5 md5;
  for (int i = 0; i < 16; ++i) {
    md5.Update(h0.data(), 5);
    md5.Update(salt, kSaltSize);
  }
  const TMd5Digest h1 = md5.Final();
  Clear();
  std::copy_n(h1.begin(), 5, keyBase_.begin());
  valid_ = true;
}

void TRc4Key::DeriveCryptoApi(std::u16string_view password, const uint8_t* salt, uint32_t keyBits) {
  Clear();
  if (keyBits < 40 || keyBits > 128 || keyBits % 8 != 0) return;
  password = password.substr(0, std::min(password.size(), kMaxCryptoApiPasswordLength));
  TSha1 sha1;
  sha1.Update(salt, kSaltSize);
  const std::vector<uint8_t> utf16 = Utf16Le(password);
  sha1.Update(utf16.data(), utf16.size());
  const TSha1Digest h0 = sha1.Final();
  std::copy(h0.begin(), h0.end(), keyBase_.begin());
  cryptoApi_ = true;
  keyBytes_ = keyBits / 8;
  valid_ = true;
}

void TRc4Key::Clear() {
  keyBase_.fill(0);
  cryptoApi_ = false;
  keyBytes_ = 0;
  valid_ = false;
  keyed_ = false;
  block_ = 0;
  offset_ = 0;
  rc4_ = TRc4();
}

void TRc4Key::Rekey(uint64_t block) {
  uint8_t input[24];
  const size_t baseSize = cryptoApi_ ? keyBase_.size() : 5;
  std::copy_n(keyBase_.begin(), baseSize, input);
  EncodeFixed32(input + baseSize, static_cast<uint32_t>(block));
  const std::span<const uint8_t> message(input, baseSize + 4);
  if (cryptoApi_) {
    // A 40-bit key is not used as 5 bytes: CryptoAPI pads it with zeros to 128 bits.
    const TSha1Digest digest = Sha1(message);
    uint8_t key[16] = {};
    std::copy_n(digest.begin(), keyBytes_, key);
    rc4_.SetKey(key, keyBytes_ == 5 ? 16 : keyBytes_);
  } else {
    const TMd5Digest blockKey = Md5(message);
    rc4_.SetKey(blockKey.data(), blockKey.size());
  }
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
  const size_t hashSize = cryptoApi_ ? std::tuple_size_v<TSha1Digest> : std::tuple_size_v<TMd5Digest>;
  uint8_t plain[16 + std::tuple_size_v<TSha1Digest>];
  std::memcpy(plain, encryptedVerifier, 16);
  std::memcpy(plain + 16, encryptedVerifierHash, hashSize);
  Apply(plain, 16 + hashSize, 0);
  const std::span<const uint8_t> verifier(plain, 16);
  if (cryptoApi_) {
    const TSha1Digest hash = Sha1(verifier);
    return std::equal(hash.begin(), hash.end(), plain + 16);
  }
  const TMd5Digest hash = Md5(verifier);
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

namespace {

// The tables of XOR obfuscation: the key's starting value for each password length, and the values
// XORed into it for each bit of each character. The matrix has 15 rows of 7 (one row per character
// position from the end); each row starts with its head and goes on by doubling in GF(2^16) with the
// polynomial 0x1021, as the published matrix does.
constexpr uint16_t kXorInitialCode[15] = {0xE1F0, 0x1D0F, 0xCC9C, 0x84C0, 0x110C, 0x0E10, 0xF1CE, 0x313E,
                                          0x1872, 0xE139, 0xD40F, 0x84F9, 0x280C, 0xA96A, 0x4EC3};
constexpr uint16_t kXorMatrixRowHeads[15] = {0xAEFC, 0x7B61, 0x4563, 0x0375, 0xD849, 0x6F45, 0xEB23, 0x47D3,
                                             0xB861, 0x45A0, 0xAA51, 0x76B4, 0x3730, 0x3331, 0x1021};
constexpr uint8_t kXorPad[15] = {0xBB, 0xFF, 0xFF, 0xBA, 0xFF, 0xFF, 0xB9, 0x80,
                                 0x00, 0xBE, 0x0F, 0x00, 0xBF, 0x0F, 0x00};

const std::array<uint16_t, 105>& XorMatrix() {
  static const std::array<uint16_t, 105> matrix = [] {
    std::array<uint16_t, 105> m{};
    for (size_t row = 0; row < 15; ++row) {
      uint16_t v = kXorMatrixRowHeads[row];
      for (size_t i = 0; i < 7; ++i) {
        m[row * 7 + i] = v;
        v = static_cast<uint16_t>((v << 1) ^ ((v & 0x8000) ? 0x1021 : 0));
      }
    }
    return m;
  }();
  return matrix;
}

inline uint8_t RotateRight8(uint8_t v, unsigned n) {
  return static_cast<uint8_t>((v >> n) | (v << (8 - n)));
}

// The array's bytes: a byte of the password (or of the pad) XORed with a byte of the key, rotated right by 1.
inline uint8_t XorRor(uint8_t byte, uint8_t keyByte) {
  return RotateRight8(static_cast<uint8_t>(byte ^ keyByte), 1);
}

}  // namespace

void TXorKey::Derive(std::u16string_view password) {
  *this = TXorKey();
  password = password.substr(0, std::min(password.size(), kMaxPasswordLength));
  const size_t length = password.size();
  if (length == 0) return;
  uint8_t bytes[kMaxPasswordLength];
  for (size_t i = 0; i < length; ++i) {
    const uint8_t low = static_cast<uint8_t>(password[i]);
    bytes[i] = low != 0 ? low : static_cast<uint8_t>(password[i] >> 8);
  }

  // The key: the initial code of the length, and a matrix value for each set bit of the low 7 bits of
  // each character, the last character taking the last row.
  const auto& matrix = XorMatrix();
  uint16_t key = kXorInitialCode[length - 1];
  size_t element = matrix.size();
  for (size_t i = length; i-- > 0;) {
    uint8_t c = bytes[i];
    for (int bit = 0; bit < 7; ++bit) {
      --element;
      if (c & 0x40) key ^= matrix[element];
      c = static_cast<uint8_t>(c << 1);
    }
  }

  // The verifier: the length and the characters, from the last to the first, folded into 15 bits.
  uint16_t verifier = 0;
  for (size_t i = length + 1; i-- > 0;) {
    const uint8_t c = i == 0 ? static_cast<uint8_t>(length) : bytes[i - 1];
    verifier = static_cast<uint16_t>((((verifier >> 14) & 1) | ((verifier << 1) & 0x7FFF)) ^ c);
  }
  verifier ^= 0xCE4B;

  // The array: the password's bytes in pairs, then the pad, each pair XORed with the key's low and high
  // byte. An odd length puts the pad's first byte after the last character.
  const auto keyLow = static_cast<uint8_t>(key & 0xFF);
  const auto keyHigh = static_cast<uint8_t>(key >> 8);
  size_t index = length;
  if (length % 2 == 1) {
    array_[index] = XorRor(kXorPad[0], keyHigh);
    --index;
    array_[index] = XorRor(bytes[length - 1], keyLow);
  }
  while (index > 0) {
    --index;
    array_[index] = XorRor(bytes[index], keyHigh);
    --index;
    array_[index] = XorRor(bytes[index], keyLow);
  }
  // The rest, from the end, takes the pad from its end in pairs; a pair may end on the pad's first byte.
  index = 15;
  for (int pad = 15 - static_cast<int>(length); pad > 0; pad -= 2, index -= 2) {
    array_[index] = XorRor(kXorPad[pad], keyHigh);
    array_[index - 1] = XorRor(kXorPad[pad - 1], keyLow);
  }
  key_ = key;
  verifier_ = verifier;
  valid_ = true;
}

void TXorKey::Decrypt(uint8_t* data, size_t count, uint64_t index) const {
  if (!valid_) return;
  for (size_t i = 0; i < count; ++i)
    data[i] = RotateRight8(static_cast<uint8_t>(data[i] ^ array_[(index + i) % 16]), 5);
}

}  // namespace plicato
