#include "biff/Crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plicato {
namespace {

std::string Hex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

std::string Md5Hex(const std::string& message) {
  const TMd5Digest d =
      Md5(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(message.data()), message.size()));
  return Hex(d.data(), d.size());
}

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

TEST(Md5, MatchesTheReferenceSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecewiseUpdatesGiveTheSameDigest) {
  // Messages around the 55/56/64-byte padding boundaries, fed in pieces of every size.
  for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
    std::string message(length, 'x');
    for (size_t i = 0; i < length; ++i) message[i] = static_cast<char>('a' + i % 26);
    const std::string whole = Md5Hex(message);
    for (size_t piece = 1; piece <= 70; piece += 3) {
      TMd5 md5;
      for (size_t i = 0; i < length; i += piece) md5.Update(message.data() + i, std::min(piece, length - i));
      const TMd5Digest d = md5.Final();
      EXPECT_EQ(Hex(d.data(), d.size()), whole) << length << " " << piece;
    }
  }
}

TEST(Sha1, MatchesThePublishedVectors) {
  // FIPS 180 / RFC 3174: "abc", the 448-bit message, a million 'a's (fed in uneven pieces); and "".
  const struct {
    std::string message;
    const char* digest;
  } vectors[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
  };
  for (const auto& v : vectors) {
    const TSha1Digest whole = Sha1(Bytes(v.message));
    EXPECT_EQ(Hex(whole.data(), whole.size()), v.digest) << v.message.size();
    TSha1 sha1;
    for (size_t i = 0; i < v.message.size(); i += 997)
      sha1.Update(v.message.data() + i, std::min<size_t>(997, v.message.size() - i));
    const TSha1Digest pieces = sha1.Final();
    EXPECT_EQ(Hex(pieces.data(), pieces.size()), v.digest) << v.message.size();
  }
}

TEST(Rc4, MatchesPublishedVectors) {
  // 40-bit key 0x0102030405: key stream at offsets 0, 16, 240, 256, 1008 and 1024.
  const uint8_t key[] = {1, 2, 3, 4, 5};
  TRc4 rc4;
  rc4.SetKey(key, sizeof key);
  std::vector<uint8_t> stream(1040, 0);
  rc4.Process(stream.data(), stream.size());
  EXPECT_EQ(Hex(&stream[0], 16), "b2396305f03dc027ccc3524a0a1118a8");
  EXPECT_EQ(Hex(&stream[16], 16), "6982944f18fc82d589c403a47a0d0919");
  EXPECT_EQ(Hex(&stream[240], 16), "28cb1132c96ce286421dcaadb8b69eae");
  EXPECT_EQ(Hex(&stream[256], 16), "1cfcf62b03eddb641d77dfcf7f8d8c93");
  EXPECT_EQ(Hex(&stream[1008], 16), "45129048e6a0ed0b56b490338f078da5");
  EXPECT_EQ(Hex(&stream[1024], 16), "30abbcc7c20b01609f23ee2d5f6bb7df");

  // Skipping advances exactly like enciphering.
  rc4.SetKey(key, sizeof key);
  rc4.Skip(240);
  uint8_t part[16] = {};
  rc4.Process(part, sizeof part);
  EXPECT_EQ(Hex(part, 16), "28cb1132c96ce286421dcaadb8b69eae");

  const std::vector<uint8_t> plainKey = Bytes("Key");
  std::vector<uint8_t> text = Bytes("Plaintext");
  rc4.SetKey(plainKey.data(), plainKey.size());
  rc4.Process(text.data(), text.size());
  EXPECT_EQ(Hex(text.data(), text.size()), "bbf316e8d940af0ad3");

  const std::vector<uint8_t> secret = Bytes("Secret");
  std::vector<uint8_t> attack = Bytes("Attack at dawn");
  rc4.SetKey(secret.data(), secret.size());
  rc4.Process(attack.data(), attack.size());
  EXPECT_EQ(Hex(attack.data(), attack.size()), "45a01f645fc35b383552544b9bf5");
}

TEST(Rc4Key, KeyStreamIsAddressedByStreamOffset) {
  const uint8_t salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  TRc4Key key;
  key.Derive(u"secret", salt);
  ASSERT_TRUE(key.Valid());

  // One pass over 3,000 bytes crossing two block boundaries...
  std::vector<uint8_t> whole(3000, 0);
  key.Apply(whole.data(), whole.size(), 0);
  // ...equals the same bytes enciphered in odd pieces, out of order and re-read backwards.
  std::vector<uint8_t> pieces(3000, 0);
  const size_t cuts[] = {0, 7, 1020, 1024, 1030, 2047, 2049, 3000};
  for (int i = 6; i >= 0; --i) key.Apply(&pieces[cuts[i]], cuts[i + 1] - cuts[i], cuts[i]);
  EXPECT_EQ(whole, pieces);

  // Each block has its own key: block 1 does not continue block 0's key stream, and block 1's first
  // bytes are not block 0's first bytes.
  TRc4Key fresh;
  fresh.Derive(u"secret", salt);
  std::vector<uint8_t> first(2048, 0);
  fresh.Apply(first.data(), 1024, 0);
  fresh.Apply(first.data() + 1024, 1024, 1024);
  EXPECT_EQ(first, std::vector<uint8_t>(whole.begin(), whole.begin() + 2048));
  EXPECT_NE(Hex(&whole[0], 16), Hex(&whole[1024], 16));

  // Enciphering twice restores the text.
  std::vector<uint8_t> text(1500);
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> copy = text;
  key.Apply(copy.data(), copy.size(), 500);
  EXPECT_NE(copy, text);
  key.Apply(copy.data(), copy.size(), 500);
  EXPECT_EQ(copy, text);
}

TEST(Rc4Key, VerifierAcceptsOnlyTheRightPassword) {
  const uint8_t salt[16] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17,
                            0x28, 0x39, 0x4A, 0x5B, 0x6C, 0x7D, 0x8E, 0x9F};
  const uint8_t verifier[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 22, 33, 44, 55, 66};
  TRc4Key writer;
  writer.Derive(u"pa\u00DFword", salt);
  uint8_t encVerifier[16], encHash[16];
  writer.EncryptVerifier(verifier, encVerifier, encHash);

  TRc4Key reader;
  reader.Derive(u"pa\u00DFword", salt);
  EXPECT_TRUE(reader.Verify(encVerifier, encHash));
  reader.Derive(u"password", salt);
  EXPECT_FALSE(reader.Verify(encVerifier, encHash));
  reader.Derive(u"", salt);
  EXPECT_FALSE(reader.Verify(encVerifier, encHash));

  // Only the first 31 characters of a password count.
  const std::u16string longPassword = u"0123456789012345678901234567890-tail";
  writer.Derive(longPassword, salt);
  writer.EncryptVerifier(verifier, encVerifier, encHash);
  reader.Derive(longPassword.substr(0, 31), salt);
  EXPECT_TRUE(reader.Verify(encVerifier, encHash));
  reader.Derive(longPassword.substr(0, 30), salt);
  EXPECT_FALSE(reader.Verify(encVerifier, encHash));

  reader.Clear();
  EXPECT_FALSE(reader.Valid());
  EXPECT_FALSE(reader.Verify(encVerifier, encHash));
}

}  // namespace plicato
