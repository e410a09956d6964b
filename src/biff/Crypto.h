// The cryptography of encrypted BIFF8 workbooks: MD5, RC4, and the RC4 key of "RC4 encryption" (the
// standard Office binary scheme), which derives a fresh RC4 key for every 1,024-byte block of the
// workbook stream from the password and a 16-byte salt.
//
// Our own small implementations: the engine has no dependency beyond the standard library. They are
// not for protecting anything new (RC4 and MD5 are long broken); they exist to read and write the files
// that use them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace plicato {

using TMd5Digest = std::array<uint8_t, 16>;

class TMd5 {
 public:
  TMd5() { Reset(); }
  void Reset();
  void Update(const void* data, size_t size);
  // Finishes the digest; the object is reset afterwards and may be reused.
  TMd5Digest Final();

 private:
  void Transform(const uint8_t* block);

  uint32_t state_[4];
  uint64_t length_;  // bytes hashed so far
  uint8_t buffer_[64];
  size_t buffered_;
};

TMd5Digest Md5(std::span<const uint8_t> data);

class TRc4 {
 public:
  void SetKey(const uint8_t* key, size_t length);  // length 1 to 256
  // XORs data with the next count bytes of the key stream.
  void Process(uint8_t* data, size_t count);
  // Advances the key stream by count bytes.
  void Skip(size_t count);

 private:
  uint8_t Next();

  uint8_t s_[256] = {};
  uint8_t i_ = 0;
  uint8_t j_ = 0;
};

// The key of an RC4-encrypted workbook stream. The key stream is addressed by absolute stream offset:
// block b = offset / 1,024 uses the RC4 key MD5(key base + b as 32-bit little-endian), and the byte at
// offset o is enciphered with key stream byte o mod 1,024 of its block. Record headers and the fields
// the format keeps in clear are simply not XORed; they still occupy their key stream positions, which
// addressing by offset gives for free.
class TRc4Key {
 public:
  static constexpr uint32_t kBlockSize = 1024;
  static constexpr size_t kSaltSize = 16;
  // Characters of the password that take part in the key.
  static constexpr size_t kMaxPasswordLength = 31;

  // Derives the key base from the password (UTF-16LE, at most kMaxPasswordLength characters taken) and
  // the 16-byte salt.
  void Derive(std::u16string_view password, const uint8_t* salt);
  bool Valid() const { return valid_; }
  void Clear();

  // XORs count bytes with the key stream at stream offset streamPos (encrypts and decrypts alike).
  void Apply(uint8_t* data, size_t count, uint64_t streamPos);
  // Positions the key stream at streamPos, so that the next Apply there continues without re-keying.
  void SeekTo(uint64_t streamPos);

  // True when the encrypted verifier and verifier hash (16 bytes each) decrypt with block 0 to a
  // verifier whose MD5 is the hash: the password was right.
  bool Verify(const uint8_t* encryptedVerifier, const uint8_t* encryptedVerifierHash);
  // The reverse of Verify: encrypts verifier and its MD5 with block 0.
  void EncryptVerifier(const uint8_t* verifier, uint8_t* encryptedVerifier, uint8_t* encryptedVerifierHash);

 private:
  void Rekey(uint64_t block);

  std::array<uint8_t, 5> keyBase_{};
  bool valid_ = false;
  uint64_t block_ = 0;
  bool keyed_ = false;   // rc4_ holds the key of block_
  uint32_t offset_ = 0;  // key stream bytes of block_ used so far
  TRc4 rc4_;
};

}  // namespace plicato
