// Reading a workbook stream: record headers and bodies, a record and its CONTINUE records read as one,
// and the decryption a FILEPASS record asks for, once a password has checked against it.
#include <algorithm>
#include <cstring>

#include "biff/Coding.h"
#include "biff/XLSStream.h"
#include "biff/XLSStreamInternal.h"

namespace plicato {

namespace {

// CONTINUE mode counts body bytes against the BIFF8 record limit, whatever the file's version: only
// BIFF8 structures (drawings) are read that way.
constexpr uint32_t kContinueLimit = kMaxRecordDataBiff8;
// A continuing HFPICTURE record starts with its own future-record header and flags before the data.
constexpr uint32_t kHfPictureHeaderSize = 14;

bool IsContinuation(uint16_t id) {
  return id == BIFFRecs::CONTINUE || id == BIFFRecs::MSODRAWINGGROUP || id == BIFFRecs::HFPICTURE ||
         id == BIFFRecs::GELFRAME;
}

// A FILEPASS body taken apart; the pointers point into it.
struct TFilePass {
  enum { fpUnknown, fpXor, fpRc4, fpRc4CryptoApi } scheme = fpUnknown;
  uint16_t xorKey = 0;
  uint16_t xorVerifier = 0;
  const uint8_t* salt = nullptr;          // 16 bytes
  const uint8_t* verifier = nullptr;      // 16 bytes, encrypted
  const uint8_t* verifierHash = nullptr;  // 16 bytes (MD5) or 20 (SHA-1), encrypted
  uint32_t keyBits = 0;
};

// The RC4 CryptoAPI body after type and version: header flags (6), header size (10), the encryption
// header (14: flags, extra size, cipher, hash, key bits, provider type, two reserved words, provider
// name), then the verifier: salt size, salt, encrypted verifier, hash size, encrypted SHA-1 hash.
TFilePass ParseCryptoApi(const uint8_t* b, uint32_t length) {
  constexpr uint32_t kHeaderStart = 14, kFixedHeaderSize = 32, kVerifierSize = 4 + 16 + 16 + 4 + 20;
  constexpr uint32_t kAlgRc4 = 0x6801, kAlgSha1 = 0x8004;
  constexpr uint32_t kFlagCryptoApi = 0x04, kFlagAes = 0x20;
  TFilePass pass;
  if (length < kHeaderStart + kFixedHeaderSize) return pass;
  const uint32_t headerSize = DecodeFixed32(b + 10);
  if (headerSize < kFixedHeaderSize || uint64_t{kHeaderStart} + headerSize + kVerifierSize > length)
    return pass;
  const uint8_t* header = b + kHeaderStart;
  const uint32_t flags = DecodeFixed32(header);
  const uint32_t cipher = DecodeFixed32(header + 8);
  const uint32_t hash = DecodeFixed32(header + 12);
  // A zero cipher or hash identifier leaves the choice to the flags; a zero key length means 40 bits.
  if (cipher != kAlgRc4 && !(cipher == 0 && (flags & kFlagCryptoApi) && !(flags & kFlagAes))) return pass;
  if (hash != kAlgSha1 && hash != 0) return pass;
  const uint32_t keyBits = DecodeFixed32(header + 16) == 0 ? 40 : DecodeFixed32(header + 16);
  const uint8_t* v = header + headerSize;
  if (DecodeFixed32(v) != TRc4Key::kSaltSize || DecodeFixed32(v + 36) != std::tuple_size_v<TSha1Digest>)
    return pass;
  if (keyBits < 40 || keyBits > 128 || keyBits % 8 != 0) return pass;
  pass.scheme = TFilePass::fpRc4CryptoApi;
  pass.salt = v + 4;
  pass.verifier = v + 20;
  pass.verifierHash = v + 40;
  pass.keyBits = keyBits;
  return pass;
}

// Before BIFF8 the body is the XOR key and verifier alone; BIFF8 puts the encryption type first: 0 XOR
// obfuscation, 1 RC4, whose version 1.1 is the standard scheme and 2.2, 3.2 and 4.2 the CryptoAPI one.
TFilePass ParseFilePass(const uint8_t* b, uint32_t length, bool biff8) {
  TFilePass pass;
  if (!b) return pass;
  if (!biff8 || (length >= 6 && DecodeFixed16(b) == 0)) {
    const uint32_t at = biff8 ? 2 : 0;
    if (length < at + 4) return pass;
    pass.scheme = TFilePass::fpXor;
    pass.xorKey = DecodeFixed16(b + at);
    pass.xorVerifier = DecodeFixed16(b + at + 2);
    return pass;
  }
  if (length < 6 || DecodeFixed16(b) != 1) return pass;
  const uint16_t major = DecodeFixed16(b + 2), minor = DecodeFixed16(b + 4);
  if (major == 1 && minor == 1 && length >= TXLSStream::kFilePassSize) {
    pass.scheme = TFilePass::fpRc4;
    pass.salt = b + 6;
    pass.verifier = b + 22;
    pass.verifierHash = b + 38;
    return pass;
  }
  if (major >= 2 && major <= 4 && minor == 2) return ParseCryptoApi(b, length);
  return pass;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Reading

uint32_t TXLSStream::ReadAt(void* buffer, uint32_t count) {
  const uint64_t available = data_.size() - pos_;
  const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, available));
  if (n > 0) std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TXLSStream::Decrypt(uint8_t* data, uint32_t count, uint64_t streamPos) {
  if (xor_)
    xorKey_.Decrypt(data, count, streamPos + bodyLength_);
  else
    key_.Apply(data, count, streamPos);
}

// XOR obfuscation has no key stream to keep in step: its array is addressed by position alone.
void TXLSStream::SkipKey(uint32_t count, uint64_t streamPos) {
  if (!xor_) key_.SeekTo(streamPos + count);
}

uint32_t TXLSStream::ReadPiece(uint8_t* buffer, uint32_t count, bool decrypt) {
  const uint64_t start = pos_;
  const uint32_t n = ReadAt(buffer, count);
  if (decrypt_) {
    if (decrypt)
      Decrypt(buffer, n, start);
    else
      SkipKey(n, start);
  }
  return n;
}

// Decrypting, or at the end of the stream (see ReadHeader).
uint32_t TXLSStream::ReadHeaderSlow(TRecordHeader& header) {
  uint8_t bytes[kRecordHeaderSize];
  const uint64_t start = pos_;
  const uint32_t n = ReadAt(bytes, kRecordHeaderSize);
  if (decrypt_) SkipKey(n, start);
  if (n == kRecordHeaderSize) {
    header.id = DecodeFixed16(bytes);
    header.length = DecodeFixed16(bytes + 2);
    bodyLength_ = header.length;
  } else {
    header = TRecordHeader{};
  }
  return n;
}

uint32_t TXLSStream::ReadBodyAs(void* buffer, uint32_t count, bool decrypt) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (!continueMode_) return ReadPiece(out, count, decrypt);
  if (uint64_t{consumed_} + count <= kContinueLimit) {
    const uint32_t n = ReadPiece(out, count, decrypt);
    consumed_ += n;
    return n;
  }
  // The request runs past the current record: take what it holds, then go on in the next one.
  uint32_t total = 0;
  for (;;) {
    const uint32_t piece = std::min(count - total, kContinueLimit - consumed_);
    const uint32_t n = ReadPiece(out + total, piece, decrypt);
    total += n;
    consumed_ += n;
    if (n < piece || total == count) return total;
    TRecordHeader header;
    if (ReadHeader(header) < kRecordHeaderSize || !IsContinuation(header.id))
      throw EXLSError("CONTINUE record is missing");
    consumed_ = 0;
    if (header.id == BIFFRecs::HFPICTURE) {
      // Its own header is part of the record's body (and of its size), but not of the data.
      uint8_t skipped[kHfPictureHeaderSize];
      consumed_ = ReadPiece(skipped, kHfPictureHeaderSize, false);
    }
  }
}

uint32_t TXLSStream::ReadBody(void* buffer, uint32_t count) {
  return ReadBodyAs(buffer, count, true);
}

uint32_t TXLSStream::ReadPlain(void* buffer, uint32_t count) {
  return ReadBodyAs(buffer, count, false);
}

// The key stream is addressed by stream offset, so reading in clear keeps it in step by itself; any
// count is accepted.
uint32_t TXLSStream::ReadPlainKeepKey(void* buffer, uint32_t count) {
  return ReadBodyAs(buffer, count, false);
}

uint32_t TXLSStream::ReadRecordBody(uint16_t id, void* buffer, uint32_t count) {
  if (IsClearRecord(id)) return ReadPlainKeepKey(buffer, count);
  if (id == BIFFRecs::BOUNDSHEET) {
    // The sheet's stream position stays in clear; the rest of the body is encrypted.
    auto* out = static_cast<uint8_t*>(buffer);
    const uint32_t head = std::min<uint32_t>(count, 4);
    const uint32_t n = ReadPlainKeepKey(out, head);
    if (n < head) return n;
    return n + ReadBody(out + n, count - n);
  }
  return ReadBody(buffer, count);
}

uint16_t TXLSStream::PeekId() {
  if (data_.size() - pos_ < kRecordHeaderSize) return 0;
  return DecodeFixed16(data_.data() + pos_);
}

void TXLSStream::BeginContinue() {
  continueMode_ = true;
  consumed_ = 0;
}

void TXLSStream::EndContinue() {
  continueMode_ = false;
  consumed_ = 0;
}

uint32_t TXLSStream::ReadWideStr(uint32_t charCount, std::u16string& text) {
  text.clear();
  uint8_t flag = 0;
  if (ReadBody(&flag, 1) < 1) return 0;
  const bool wide = (flag & 0x01) != 0;
  const uint64_t wanted = wide ? uint64_t{charCount} * 2 : charCount;
  // Never more than the stream holds, whatever the count claims.
  const auto size = static_cast<uint32_t>(std::min<uint64_t>(wanted, data_.size() - pos_));
  std::vector<uint8_t> bytes(size);
  const uint32_t n = ReadBody(bytes.data(), size);
  if (wide) {
    text.reserve(n / 2);
    for (uint32_t i = 0; i + 1 < n; i += 2) text.push_back(static_cast<char16_t>(DecodeFixed16(&bytes[i])));
  } else {
    text.assign(bytes.begin(), bytes.begin() + n);  // Latin-1: each byte is its own code point
  }
  return 1 + n;
}

uint64_t TXLSStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (mode_ == Mode::Writing) throw EXLSError("[int] A stream being written is changed through Patch only");
  const uint64_t size = data_.size();
  uint64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = pos_;
  if (origin == TSeekOrigin::soEnd) base = size;
  const bool outside = offset < 0 ? static_cast<uint64_t>(-(offset + 1)) + 1 > base
                                  : static_cast<uint64_t>(offset) > size - base;
  if (outside)
    throw EXLSError(FormatMessage("Seek outside the workbook stream (offset %lld from %llu, size %llu)",
                                  static_cast<long long>(offset), static_cast<unsigned long long>(base),
                                  static_cast<unsigned long long>(size)));
  pos_ =
      offset < 0 ? base - (static_cast<uint64_t>(-(offset + 1)) + 1) : base + static_cast<uint64_t>(offset);
  return pos_;
}

// ---------------------------------------------------------------------------------------------------
// Passwords

bool TXLSStream::IsRc4FilePass(const uint8_t* filePass, uint32_t length) {
  return filePass && length >= kFilePassSize && DecodeFixed16(filePass) == 1 &&
         DecodeFixed16(filePass + 2) == 1 && DecodeFixed16(filePass + 4) == 1;
}

bool TXLSStream::CanDecrypt(const uint8_t* filePass, uint32_t length, bool biff8) {
  return ParseFilePass(filePass, length, biff8).scheme != TFilePass::fpUnknown;
}

bool TXLSStream::CheckPassword(const uint8_t* filePass, uint32_t length, std::u16string_view password,
                               bool biff8) {
  const TFilePass pass = ParseFilePass(filePass, length, biff8);
  if (pass.scheme == TFilePass::fpXor) {
    TXorKey key;
    key.Derive(password);
    if (!key.Valid() || key.Key() != pass.xorKey || key.Verifier() != pass.xorVerifier) return false;
    xorKey_ = key;
    xor_ = true;
    decrypt_ = true;
    return true;
  }
  if (pass.scheme == TFilePass::fpUnknown) return false;
  TRc4Key key;
  if (pass.scheme == TFilePass::fpRc4CryptoApi)
    key.DeriveCryptoApi(password, pass.salt, pass.keyBits);
  else
    key.Derive(password, pass.salt);
  if (!key.Verify(pass.verifier, pass.verifierHash)) return false;
  key_ = key;
  key_.SeekTo(pos_);
  xor_ = false;
  decrypt_ = true;
  return true;
}

}  // namespace plicato
