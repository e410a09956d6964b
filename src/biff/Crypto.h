// The cryptography of encrypted workbooks: MD5, SHA-1, RC4, and the keys of the three schemes the
// format uses. "RC4 encryption" (the standard Office binary scheme) and "RC4 CryptoAPI encryption" derive
// a fresh RC4 key for every 1,024-byte block of the workbook stream from the password and a 16-byte salt,
// the first with MD5, the second with SHA-1; "XOR obfuscation" (Excel 95, and an option of later
// versions) XORs the stream with a 16-byte array made from the password.
//
// Our own small implementations: the engine has no dependency beyond the standard library. They are
// not for protecting anything new (RC4, MD5 and SHA-1 are long broken, XOR obfuscation never held); they
// exist to read the files that use them and to write standard RC4.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace plicato {

using TMd5Digest = std::array<uint8_t, 16>;
using TSha1Digest = std::array<uint8_t, 20>;

// The framing MD5 and SHA-1 share: the message goes through a compression function in 64-byte blocks,
// and the last block carries the byte 0x80, zeros and the message length in bits in its last 8 bytes.
class TBlockHash {
 public:
  virtual ~TBlockHash() = default;
  void Update(const void* data, size_t size);

 protected:
  static constexpr size_t kBlockSize = 64;
  // Pads the message, the length in big-endian (SHA-1) or little-endian (MD5) byte order, and hashes the
  // last block; the framing is reset for the next message.
  void Finish(bool bigEndianLength);
  virtual void Transform(const uint8_t* block) = 0;

 private:
  uint64_t length_ = 0;  // bytes hashed so far
  uint8_t buffer_[kBlockSize] = {};
  size_t buffered_ = 0;
};

class TMd5 : public TBlockHash {
 public:
  TMd5() { Reset(); }
  void Reset();
  // Finishes the digest; the object is reset afterwards and may be reused.
  TMd5Digest Final();

 private:
  void Transform(const uint8_t* block) override;

  uint32_t state_[4];
};

class TSha1 : public TBlockHash {
 public:
  TSha1() { Reset(); }
  void Reset();
  // Finishes the digest; the object is reset afterwards and may be reused.
  TSha1Digest Final();

 private:
  void Transform(const uint8_t* block) override;

  uint32_t state_[5];
};

TMd5Digest Md5(std::span<const uint8_t> data);
TSha1Digest Sha1(std::span<const uint8_t> data);

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
// block b = offset / 1,024 has its own RC4 key, and the byte at offset o is enciphered with key stream
// byte o mod 1,024 of its block. Record headers and the fields the format keeps in clear are simply not
// XORed; they still occupy their key stream positions, which addressing by offset gives for free.
//
// Standard RC4 keys block b with MD5(key base + b as 32-bit little-endian), the key base being 5 bytes
// made from the password and the salt with MD5. RC4 CryptoAPI keys it with the first KeySize / 8 bytes of
// SHA-1(H0 + b), H0 = SHA-1(salt + password).
class TRc4Key {
 public:
  static constexpr uint32_t kBlockSize = 1024;
  static constexpr size_t kSaltSize = 16;
  // Characters of the password that take part in a standard RC4 key.
  static constexpr size_t kMaxPasswordLength = 31;
  // Characters of the password that take part in a CryptoAPI key (what Excel accepts).
  static constexpr size_t kMaxCryptoApiPasswordLength = 255;

  // Standard RC4: derives the key base from the password (UTF-16LE, at most kMaxPasswordLength characters
  // taken) and the 16-byte salt.
  void Derive(std::u16string_view password, const uint8_t* salt);
  // RC4 CryptoAPI: derives H0 from the 16-byte salt and the password; keyBits is the key length, a
  // multiple of 8 from 40 to 128 (anything else leaves the key invalid).
  void DeriveCryptoApi(std::u16string_view password, const uint8_t* salt, uint32_t keyBits);
  bool Valid() const { return valid_; }
  void Clear();

  // XORs count bytes with the key stream at stream offset streamPos (encrypts and decrypts alike).
  void Apply(uint8_t* data, size_t count, uint64_t streamPos);
  // Positions the key stream at streamPos, so that the next Apply there continues without re-keying.
  void SeekTo(uint64_t streamPos);

  // True when the encrypted verifier (16 bytes) and verifier hash (16 bytes, the MD5 of the verifier;
  // CryptoAPI: 20 bytes, its SHA-1) decrypt with block 0 to a verifier whose hash is the hash: the
  // password was right.
  bool Verify(const uint8_t* encryptedVerifier, const uint8_t* encryptedVerifierHash);
  // The reverse of Verify for standard RC4: encrypts verifier and its MD5 with block 0.
  void EncryptVerifier(const uint8_t* verifier, uint8_t* encryptedVerifier, uint8_t* encryptedVerifierHash);

 private:
  void Rekey(uint64_t block);

  bool cryptoApi_ = false;
  // Standard RC4: 5 bytes; CryptoAPI: H0.
  std::array<uint8_t, 20> keyBase_{};
  uint32_t keyBytes_ = 0;  // CryptoAPI: bytes of each block's SHA-1 that make its key
  bool valid_ = false;
  uint64_t block_ = 0;
  bool keyed_ = false;   // rc4_ holds the key of block_
  uint32_t offset_ = 0;  // key stream bytes of block_ used so far
  TRc4 rc4_;
};

// The key of an XOR-obfuscated workbook stream ("method 1" of the Office binary formats): a 16-bit key
// and a 16-bit verifier that the FILEPASS record carries, and a 16-byte array XORed over the data. Each
// byte is enciphered by rotating it left by 5 bits and XORing it with the array byte its position in the
// stream selects; Excel selects with the byte's stream offset plus the length of its record's body.
class TXorKey {
 public:
  // Characters of the password that take part in the key.
  static constexpr size_t kMaxPasswordLength = 15;

  // Derives key, verifier and array from the password (each character taken as its low byte, or its
  // high byte when the low one is 0). An empty password leaves the key invalid.
  void Derive(std::u16string_view password);
  bool Valid() const { return valid_; }
  void Clear() { *this = TXorKey(); }
  uint16_t Key() const { return key_; }
  uint16_t Verifier() const { return verifier_; }

  // Deciphers count bytes; index is the array position of data[0] (taken modulo 16).
  void Decrypt(uint8_t* data, size_t count, uint64_t index) const;

 private:
  std::array<uint8_t, 16> array_{};
  uint16_t key_ = 0;
  uint16_t verifier_ = 0;
  bool valid_ = false;
};

}  // namespace plicato
