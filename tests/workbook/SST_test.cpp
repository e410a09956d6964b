#include "workbook/SST.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/Crc32.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"
#include "workbook/XLSFonts.h"

namespace plicato {
namespace {

// --- helpers --------------------------------------------------------------------------------------

std::vector<uint8_t> WriteBytes(TSST& sst) {
  std::vector<uint8_t> out;
  TXLSStream stream;
  stream.SetDestMemory(&out);
  stream.OpenWrite("", xvExcel21);  // a plain record stream
  sst.WriteSST(stream);
  stream.Close();
  return out;
}

// Reads the SST that starts the given record bytes.
void ReadBytes(TSST& sst, const std::vector<uint8_t>& bytes) {
  TXLSStream stream;
  stream.SetSourceMemory(&bytes);
  stream.OpenRead("");
  TRecordHeader header;
  if (stream.ReadHeader(header) != kRecordHeaderSize) throw EXLSError("test: no SST header");
  sst.ReadSST(stream, header.length);
}

struct TRec {
  uint16_t id;
  size_t pos;  // of the header
  std::vector<uint8_t> body;
};

std::vector<TRec> SplitRecords(const std::vector<uint8_t>& bytes) {
  std::vector<TRec> records;
  size_t pos = 0;
  while (pos < bytes.size()) {
    EXPECT_LE(pos + 4, bytes.size());
    const uint16_t id = DecodeFixed16(&bytes[pos]);
    const uint16_t length = DecodeFixed16(&bytes[pos + 2]);
    EXPECT_LE(pos + 4 + length, bytes.size());
    records.push_back(
        {id, pos, std::vector<uint8_t>(bytes.begin() + pos + 4, bytes.begin() + pos + 4 + length)});
    pos += 4 + length;
  }
  return records;
}

std::vector<uint8_t> Record(uint16_t id, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out;
  PutFixed16(out, id);
  PutFixed16(out, static_cast<uint16_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

std::vector<uint8_t> Latin1Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::u16string Latin1(const std::string& s) {
  std::u16string out;
  for (char c : s) out.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
  return out;
}

// A text whose hash is the target: the prefix followed by four bytes computed by running the CRC
// backwards from the target (the CRC is linear, so four free bytes reach any value).
std::string ForceHash(const std::string& prefix, uint32_t target) {
  const auto& table = kCrc32Table;
  uint8_t byTopByte[256];
  for (int i = 0; i < 256; ++i) byTopByte[table[i] >> 24] = static_cast<uint8_t>(i);
  uint32_t x = target;
  for (int k = 0; k < 4; ++k) {
    const uint8_t i = byTopByte[x >> 24];
    x = ((x ^ table[i]) << 8) | i;
  }
  const uint32_t suffix = x ^ Crc32Bytes(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size());
  std::string text = prefix;
  for (int k = 0; k < 4; ++k) text.push_back(static_cast<char>(suffix >> (8 * k)));
  EXPECT_EQ(Crc32Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()), target);
  return text;
}

// The texts of an SST written into one record, all plain 8-bit.
std::vector<std::string> PlainTexts(const TRec& sst) {
  std::vector<std::string> texts;
  size_t p = 8;
  while (p < sst.body.size()) {
    const uint16_t count = DecodeFixed16(&sst.body[p]);
    EXPECT_EQ(sst.body[p + 2], 0);
    texts.emplace_back(sst.body.begin() + p + 3, sst.body.begin() + p + 3 + count);
    p += 3 + count;
  }
  return texts;
}

template <class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return "(no exception)";
}

// Strings and fonts of two entries agree (fonts compared by reference: both tables share one list).
void ExpectSameString(const TSSTEntry* a, const TSSTEntry* b) {
  ASSERT_EQ(a->Flags, b->Flags);
  ASSERT_EQ(a->CharCount, b->CharCount);
  std::u16string ta, tb;
  TSST::AppendEntryText(a, ta);
  TSST::AppendEntryText(b, tb);
  EXPECT_EQ(ta, tb);
  ASSERT_EQ(a->RunCount(), b->RunCount());
  for (size_t r = 0; r < a->RunCount(); ++r) {
    EXPECT_EQ(a->RunFirstChar(r), b->RunFirstChar(r));
    EXPECT_EQ(a->RunFont(r), b->RunFont(r));
  }
  ASSERT_EQ(a->ExtensionSize(), b->ExtensionSize());
  EXPECT_TRUE(std::equal(a->ExtensionData(), a->ExtensionData() + a->ExtensionSize(), b->ExtensionData()));
}

// --- adding, finding, releasing -------------------------------------------------------------------

TEST(TSST, AddingTheSameTextTwiceCountsTwoReferencesOnOneEntry) {
  TXFonts fonts;
  TSST sst(&fonts);
  TSSTEntry* a = sst.AddString(u"abc");
  EXPECT_EQ(a->Flags, 0);
  EXPECT_EQ(a->CharCount, 3);
  EXPECT_EQ(a->Index, 0xFFFFu);
  EXPECT_EQ(a->RefCount, 1);
  EXPECT_EQ(sst.HashOf(a), 0xCADBBE3Du);
  EXPECT_EQ(sst.AddString(std::u16string(u"abc")), a);
  EXPECT_EQ(a->RefCount, 2);
  EXPECT_EQ(sst.TotalRefCount(), 2);
  EXPECT_EQ(sst.AddLatin1String("abc"), a);
  EXPECT_EQ(a->RefCount, 3);
  EXPECT_EQ(sst.TotalRefCount(), 3);
  EXPECT_EQ(sst.TrieCount(), 1u);
  EXPECT_EQ(sst.EntryText(a), u"abc");
}

TEST(TSST, StoresTextsEightBitUnlessACharacterIsAbove0xFF) {
  TXFonts fonts;
  TSST sst(&fonts);
  TSSTEntry* ab = sst.AddString(u"ab");
  TSSTEntry* wide = sst.AddString(u"\u6261");  // key bytes 61 62 as well
  EXPECT_NE(ab, wide);
  EXPECT_EQ(wide->Flags, kStrFlag16Bit);
  EXPECT_EQ(wide->CharCount, 1);
  EXPECT_EQ(sst.HashOf(ab), sst.HashOf(wide));
  EXPECT_EQ(sst.EntryText(wide), u"\u6261");

  TSSTEntry* e = sst.AddString(u"\u00e9");
  EXPECT_EQ(e->Flags, 0);
  ASSERT_EQ(e->TextByteLength(), 1u);
  EXPECT_EQ(e->TextBytes()[0], 0xE9);
  EXPECT_EQ(sst.EntryText(e), u"\u00e9");
  EXPECT_EQ(sst.AddLatin1String("\xE9"), e);

  TSSTEntry* mixed = sst.AddString(u"a\u20ACb");
  EXPECT_EQ(mixed->Flags, kStrFlag16Bit);
  const std::vector<uint8_t> bytes(mixed->TextBytes(), mixed->TextBytes() + mixed->TextByteLength());
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x61, 0x00, 0xAC, 0x20, 0x62, 0x00}));
  EXPECT_EQ(sst.AddString(u"a\u20ACb"), mixed);
  EXPECT_EQ(sst.EntryText(mixed), u"a\u20ACb");

  TSSTEntry* empty = sst.AddString(u"");
  EXPECT_TRUE(TSST::EntryIsEmpty(empty));
  EXPECT_FALSE(TSST::EntryIsEmpty(ab));
  EXPECT_EQ(empty->Flags, 0);
  EXPECT_EQ(sst.HashOf(empty), 0xFFFFFFFFu);
  ASSERT_NE(sst.Root()->Slots[0xFF].Chain, nullptr);
  EXPECT_EQ(sst.Root()->Slots[0xFF].Chain->Item, empty);
  EXPECT_EQ(sst.AddString(std::u16string_view()), empty);

  std::u16string out = u">";
  TSST::AppendEntryText(ab, out);
  TSST::AppendEntryText(empty, out);
  TSST::AppendEntryText(mixed, out);
  EXPECT_EQ(out, u">aba\u20ACb");
}

TEST(TSST, RefusesTextsLongerThanACellHolds) {
  TXFonts fonts;
  TSST sst(&fonts);
  TSSTEntry* longest = sst.AddString(std::u16string(65535, u'x'));
  EXPECT_EQ(longest->CharCount, 65535);
  EXPECT_EQ(MessageOf([&] { sst.AddString(std::u16string(65536, u'x')); }),
            "String too long: 65536 characters (at most 65535 fit in a cell)");
  EXPECT_THROW(sst.AddLatin1String(std::string(70000, 'y')), EXLSError);
  EXPECT_EQ(sst.TotalRefCount(), 1);
  EXPECT_EQ(sst.TrieCount(), 1u);
}

// Entry blocks are reused by size and a long text has a block of its own: texts of many lengths, every
// other one freed and added again (the blocks change hands), keep their characters, and a cleared table
// takes them all again.
TEST(TSST, FreedEntryBlocksServeNewEntriesWithoutTouchingOthers) {
  TXFonts fonts;
  TSST sst(&fonts);
  // Odd in number, so that each length is among the freed ones in some round.
  const std::vector<size_t> lengths = {1, 8, 9, 16, 100, 104, 256, 600, 3000};
  std::vector<std::u16string> texts;
  for (int round = 0; round < 3; ++round)
    for (size_t length : lengths)
      texts.push_back(std::u16string(length, static_cast<char16_t>(u'a' + texts.size())));
  const size_t lastEven = (texts.size() - 1) & ~size_t{1};  // freed entries come back in reverse order
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<TSSTEntry*> entries;
    for (const auto& text : texts) entries.push_back(sst.AddString(text));
    for (size_t i = 0; i < texts.size(); i += 2) EXPECT_TRUE(sst.ReleaseEntry(entries[i]));
    for (size_t i = 0; i < texts.size(); i += 2) entries[i] = sst.AddString(texts[lastEven - i]);
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(sst.EntryText(entries[i]), i % 2 ? texts[i] : texts[lastEven - i]) << i;
      EXPECT_EQ(entries[i]->RefCount, 1) << i;
    }
    sst.Clear();
  }
}

TEST(TSST, ReleaseEntryFreesTheEntryWhenItsLastReferenceGoes) {
  TXFonts fonts;
  TSST sst(&fonts);
  TSSTEntry* a = sst.AddString(u"keep");
  sst.AddString(u"keep");
  sst.AddString(u"other");
  EXPECT_EQ(sst.TotalRefCount(), 3);
  EXPECT_FALSE(sst.ReleaseEntry(a));
  EXPECT_EQ(a->RefCount, 1);
  EXPECT_EQ(sst.TotalRefCount(), 2);  // every reference given back lowers the total
  EXPECT_TRUE(sst.ReleaseEntry(a));
  EXPECT_EQ(sst.TotalRefCount(), 1);
  EXPECT_EQ(sst.TrieCount(), 1u);
  TSSTEntry* again = sst.AddString(u"keep");
  EXPECT_EQ(again->RefCount, 1);
  EXPECT_EQ(sst.TrieCount(), 2u);
}

#if defined(__SANITIZE_ADDRESS__)
// A freed entry's block stays in the table's pool for the next entry of its size; the sanitizer build
// still reports a use of it.
TEST(TSSTDeathTest, UseOfAFreedEntryIsReported) {
  EXPECT_DEATH(
      {
        TXFonts fonts;
        TSST sst(&fonts);
        TSSTEntry* gone = sst.AddString(u"gone");
        sst.ReleaseEntry(gone);
        volatile int32_t count = gone->RefCount;
        (void)count;
      },
      "use-after-poison");
}
#endif

TEST(TSST, NineStringsSharingTheRootSlotSplitAndAreWrittenInTheNewOrder) {
  TXFonts fonts;
  TSST sst(&fonts);
  const uint8_t second[] = {3, 1, 3, 2, 1, 3, 2, 1};
  std::vector<std::string> texts;
  for (int i = 0; i < 8; ++i)
    texts.push_back(ForceHash("s" + std::to_string(i + 1), 0xF0000007u | (uint32_t{second[i]} << 8)));
  texts.push_back(ForceHash("s9", 0x00000207u));
  std::vector<TSSTEntry*> entries;
  for (int i = 0; i < 8; ++i) entries.push_back(sst.AddString(Latin1(texts[i])));
  EXPECT_EQ(sst.Root()->Slots[7].Child, nullptr);
  entries.push_back(sst.AddString(Latin1(texts[8])));
  ASSERT_NE(sst.Root()->Slots[7].Child, nullptr);
  EXPECT_EQ(sst.Root()->Slots[7].Child->Level, 1);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(sst.AddString(Latin1(texts[i])), entries[i]) << i;

  const auto records = SplitRecords(WriteBytes(sst));
  ASSERT_EQ(records.size(), 2u);
  const int order[] = {2, 5, 8, 9, 4, 7, 1, 3, 6};
  std::vector<std::string> expected;
  for (int k = 0; k < 9; ++k) {
    expected.push_back(texts[order[k] - 1]);
    EXPECT_EQ(entries[order[k] - 1]->Index, static_cast<uint32_t>(k));
  }
  EXPECT_EQ(PlainTexts(records[0]), expected);
}

TEST(TSST, MoreThanEightStringsWithOneHashAreKeptApart) {
  TXFonts fonts;
  TSST sst(&fonts);
  std::vector<std::string> texts;
  std::vector<TSSTEntry*> entries;
  for (int i = 0; i < 30; ++i) {
    texts.push_back(ForceHash("collide" + std::to_string(i), 0x5EED1234u));
    entries.push_back(sst.AddString(Latin1(texts.back())));
  }
  EXPECT_EQ(sst.TrieCount(), 30u);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(sst.AddString(Latin1(texts[i])), entries[i]);
    EXPECT_EQ(entries[i]->RefCount, 2);
  }
  // They survive a write and a read.
  const auto bytes = WriteBytes(sst);
  TSST copy(&fonts);
  ReadBytes(copy, bytes);
  EXPECT_EQ(copy.TrieCount(), 30u);
  for (int i = 0; i < 30; ++i)
    EXPECT_EQ(copy.EntryText(copy.EntryAtFileIndex(entries[i]->Index)), Latin1(texts[i]));
  // And each leaves alone.
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(sst.ReleaseEntry(entries[i]));
    EXPECT_TRUE(sst.ReleaseEntry(entries[i]));
  }
  EXPECT_EQ(sst.TrieCount(), 0u);
  EXPECT_EQ(sst.Root()->FilledCount, 0);
}

// --- writing --------------------------------------------------------------------------------------

TEST(TSST, WritesExactSstAndExtsstBytes) {
  TXFonts fonts;
  TSST empty(&fonts);
  EXPECT_EQ(WriteBytes(empty), (std::vector<uint8_t>{0xFC, 0x00, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                                     0xFF, 0x00, 0x02, 0x00, 0x08, 0x00}));

  TSST sst(&fonts);
  TSSTEntry* blank = sst.AddString(u"");
  TSSTEntry* abc = sst.AddString(u"abc");
  sst.AddString(u"abc");
  // "abc" hashes to slot 0x3D, the empty text to slot 0xFF: "abc" is string 0.
  EXPECT_EQ(WriteBytes(sst), (std::vector<uint8_t>{0xFC, 0x00, 0x11, 0x00,                  //
                                                   3,    0,    0,    0,    2,   0,   0, 0,  // total, strings
                                                   3,    0,    0,    'a',  'b', 'c',        //
                                                   0,    0,    0,                           // the empty text
                                                   0xFF, 0x00, 0x0A, 0x00, 8,   0,          //
                                                   12,   0,    0,    0,    12,  0,   0, 0}));
  EXPECT_EQ(abc->Index, 0u);
  EXPECT_EQ(blank->Index, 1u);

  TSST noFonts(nullptr);
  noFonts.AddString(u"x");
  std::vector<uint8_t> out;
  TXLSStream stream;
  stream.SetDestMemory(&out);
  stream.OpenWrite("", xvExcel21);
  EXPECT_EQ(MessageOf([&] { noFonts.WriteSST(stream); }), "Can not write SST when FFonts = Nil");
  EXPECT_EQ(stream.Position(), 0u);

  abc->Flags = 0x02;
  EXPECT_EQ(MessageOf([&] { WriteBytes(sst); }), "STT: Unhandled string type in Write (02) # 0");
  abc->Flags = 0;
}

TEST(TSST, BucketSizeGrowsWithTheStringCountAndPointsAtStringHeaders) {
  TXFonts fonts;
  for (const auto& [n, bucket] : std::vector<std::pair<int, int>>{{8225, 9}, {9242, 9}, {9243, 10}}) {
    TSST sst(&fonts);
    for (int i = 0; i < n; ++i) sst.AddLatin1String(std::string(i % 7, 'a' + i % 20) + std::to_string(i));
    const auto bytes = WriteBytes(sst);
    const auto records = SplitRecords(bytes);
    ASSERT_EQ(records.back().id, BIFFRecs::EXTSST);
    const auto& ext = records.back().body;
    EXPECT_EQ(DecodeFixed16(&ext[0]), bucket) << n;
    const size_t items = (n + bucket - 1) / bucket;
    ASSERT_EQ(ext.size(), 2 + 8 * items);

    // Each bucket names the header of string k * bucket, and its offset from its record's start.
    std::vector<const TSSTEntry*> byIndex(n);
    sst.TrieTraverse([&](TSSTEntry* e) { byIndex[e->Index] = e; });
    for (size_t k = 0; k < items; ++k) {
      const uint32_t pos = DecodeFixed32(&ext[2 + 8 * k]);
      const uint16_t offset = DecodeFixed16(&ext[6 + 8 * k]);
      EXPECT_EQ(DecodeFixed16(&ext[8 + 8 * k]), 0);
      const TSSTEntry* e = byIndex[k * bucket];
      EXPECT_EQ(DecodeFixed16(&bytes[pos]), e->CharCount);
      EXPECT_TRUE(std::equal(e->TextBytes(), e->TextBytes() + e->CharCount, &bytes[pos + 3]));
      const auto start =
          std::find_if(records.begin(), records.end(), [&](const TRec& r) { return r.pos == pos - offset; });
      ASSERT_NE(start, records.end());
      EXPECT_TRUE(start->id == BIFFRecs::SST || start->id == BIFFRecs::CONTINUE);
    }
  }
}

TEST(TSST, StringHeadersNeverStartWithFifteenOrFewerBytesLeft) {
  TXFonts fonts;
  // The SST holds 8 bytes of counts, then 8,216 bytes for strings.
  struct TCase {
    size_t firstChars;
    size_t sstLength;
    bool nextInContinue;
  };
  for (const TCase& c : {TCase{8213, 8224, true},      // ends exactly at the record's end
                         TCase{8198, 8209, true},      // 15 bytes left
                         TCase{8197, 8216, false}}) {  // 16 left: the 8-byte string fits
    TSST sst(&fonts);
    const std::string first(c.firstChars, 'q');
    const std::string second = ForceHash("x", 0x000000FFu);  // root slot 0xFF: after the long text
    sst.AddLatin1String(first);
    sst.AddLatin1String(second);
    ASSERT_LT(sst.HashOf(sst.AddLatin1String(first)) & 0xFF, 0xFFu);
    const auto records = SplitRecords(WriteBytes(sst));
    EXPECT_EQ(records[0].id, BIFFRecs::SST);
    EXPECT_EQ(records[0].body.size(), c.sstLength) << c.firstChars;
    if (c.nextInContinue) {
      ASSERT_EQ(records.size(), 3u);
      EXPECT_EQ(records[1].id, BIFFRecs::CONTINUE);
      std::vector<uint8_t> expected{5, 0, 0};  // no option byte before a string header
      Append(expected, Latin1Bytes(second));
      EXPECT_EQ(records[1].body, expected);
    } else {
      ASSERT_EQ(records.size(), 2u);
    }
  }
}

TEST(TSST, SixteenBitTextNeverSplitsACharacter) {
  TXFonts fonts;
  TSST sst(&fonts);
  // String 0 (root slot 0) has 5 characters; string 1's text then meets 8,216 - 8 - 3 = 8,205 bytes left.
  sst.AddLatin1String(ForceHash("p", 0x00000000u));
  std::u16string wide;
  for (int i = 0; i < 5000; ++i) wide.push_back(static_cast<char16_t>(0x4E00 + i));
  TSSTEntry* w = sst.AddString(wide);
  ASSERT_GT(sst.HashOf(w) & 0xFF, 0u);
  const auto records = SplitRecords(WriteBytes(sst));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].body.size(), 8223u);  // one byte held back
  ASSERT_EQ(records[1].id, BIFFRecs::CONTINUE);
  EXPECT_EQ(records[1].body.size(), 1u + 2 * (5000 - 4102));
  EXPECT_EQ(records[1].body[0], 0x01);
  EXPECT_EQ(DecodeFixed16(&records[1].body[1]), 0x4E00 + 4102);
  EXPECT_EQ(DecodeFixed16(&records[0].body[8221]), 0x4E00 + 4101);
}

TEST(TSST, LongTextsSpanSeveralContinueRecordsEachWithAnOptionByte) {
  TXFonts fonts;
  TSST sst(&fonts);
  std::string text;
  for (int i = 0; i < 20000; ++i) text.push_back(static_cast<char>('A' + i % 26));
  sst.AddLatin1String(text);
  std::u16string wide(20000, u'\u0416');
  sst.AddString(wide);
  const auto bytes = WriteBytes(sst);
  const auto records = SplitRecords(bytes);
  for (size_t r = 1; r + 1 < records.size(); ++r) {
    EXPECT_EQ(records[r].id, BIFFRecs::CONTINUE);
    EXPECT_LE(records[r].body.size(), 8224u);
    EXPECT_TRUE(records[r].body[0] == 0 || records[r].body[0] == 1);
  }
  EXPECT_GE(records.size(), 2u + 7u);  // 60,000 bytes of text need at least 8 records

  TSST copy(&fonts);
  ReadBytes(copy, bytes);
  ASSERT_EQ(copy.FileIndexCount(), 2u);
  std::vector<std::u16string> texts{copy.EntryText(copy.EntryAtFileIndex(0)),
                                    copy.EntryText(copy.EntryAtFileIndex(1))};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts[0], Latin1(text));
  EXPECT_EQ(texts[1], wide);
}

TEST(TSST, SmallRecordSizeSplitsRunsAndExtensionDataWithoutOptionBytes) {
  TXFonts fonts;
  fonts.AddFont();
  fonts.AddFont();  // positions 5 and 6
  // One rich string with phonetic data, read from a hand-made SST, written with 32-byte records.
  std::vector<uint8_t> body{1, 0, 0, 0, 1, 0, 0, 0, 10, 0, 0x0C, 3, 0, 12, 0, 0, 0};
  Append(body, Latin1Bytes("HelloWorld"));
  Append(body, {0, 0, 5, 0, 5, 0, 6, 0, 8, 0, 0, 0});
  Append(body, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  std::vector<uint8_t> file = Record(BIFFRecs::SST, body);
  TSST sst(&fonts);
  ReadBytes(sst, file);
  const TSSTEntry* e = sst.EntryAtFileIndex(0);
  ASSERT_EQ(e->RunCount(), 3);
  EXPECT_EQ(e->RunFont(1), fonts.Item(6));
  EXPECT_EQ(e->RunFirstChar(2), 8u);
  EXPECT_EQ(fonts.Item(5)->UseCount, 1);
  EXPECT_EQ(fonts.Item(0)->UseCount, 1);
  sst.ReferenceAtFileIndex(0);  // the one cell the declared total counts
  sst.ClearFileIndex();

  // Unchanged record size: the SST comes back byte for byte.
  auto records = SplitRecords(WriteBytes(sst));
  EXPECT_EQ(records[0].body, body);

  sst.MaxRecordData = 32;
  records = SplitRecords(WriteBytes(sst));
  // SST: 8 counts + 9 header + 10 text = 27, 5 left: one run; CONTINUE: 2 runs (8) + 12 extension.
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].body.size(), 31u);
  EXPECT_EQ(records[1].id, BIFFRecs::CONTINUE);
  EXPECT_EQ(records[1].body,
            (std::vector<uint8_t>{5, 0, 6, 0, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

  // Extension data spanning full records continues without option bytes too.
  TSST big(&fonts);
  std::vector<uint8_t> bigBody{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0x04, 40, 0, 0, 0, 'z'};
  for (int i = 0; i < 40; ++i) bigBody.push_back(static_cast<uint8_t>(100 + i));
  ReadBytes(big, Record(BIFFRecs::SST, bigBody));
  big.ReferenceAtFileIndex(0);
  big.ClearFileIndex();
  big.MaxRecordData = 16;
  records = SplitRecords(WriteBytes(big));
  std::vector<uint8_t> joined;
  for (size_t r = 0; r + 1 < records.size(); ++r) {
    EXPECT_LE(records[r].body.size(), 16u);
    Append(joined, records[r].body);
  }
  EXPECT_EQ(joined, bigBody);
}

// --- reading --------------------------------------------------------------------------------------

TEST(TSST, ReadsTextSegmentsOfEitherWidth) {
  TXFonts fonts;
  TSST sst(&fonts);
  std::vector<uint8_t> file = Record(BIFFRecs::SST, {9, 0, 0, 0, 3, 0, 0, 0,  //
                                                     5, 0, 0, 'a', 'b'});     // 8-bit, then 16-bit
  Append(file, Record(BIFFRecs::CONTINUE, {1, 'c', 0, 0x2D, 0x4E, 'e', 0, 3, 0, 1, 'x', 0}));  // 16, then 8
  Append(file, Record(BIFFRecs::CONTINUE, {0, 'y', 'z', 2, 0, 0, 'p'}));
  Append(file, Record(BIFFRecs::CONTINUE, {0, 'q'}));  // 8-bit continued 8-bit
  ReadBytes(sst, file);
  EXPECT_EQ(sst.TotalRefCount(), 0) << "the file's total of 9 counts cells not read";
  ASSERT_EQ(sst.FileIndexCount(), 3u);
  const TSSTEntry* a = sst.EntryAtFileIndex(0);
  EXPECT_EQ(sst.EntryText(a), u"abc\u4E2De");
  EXPECT_EQ(a->Flags, kStrFlag16Bit);
  EXPECT_EQ(a->Index, 0u);
  EXPECT_EQ(a->RefCount, 0);
  const TSSTEntry* b = sst.EntryAtFileIndex(1);
  EXPECT_EQ(sst.EntryText(b), u"xyz");
  EXPECT_EQ(b->Flags, kStrFlag16Bit);
  const TSSTEntry* c = sst.EntryAtFileIndex(2);
  EXPECT_EQ(sst.EntryText(c), u"pq");
  EXPECT_EQ(c->Flags, 0);
  EXPECT_EQ(c->Index, 2u);
  // A 16-bit entry and an 8-bit one of the same characters stay different strings.
  EXPECT_NE(sst.AddString(u"xyz"), b);
}

TEST(TSST, RepeatedStringsInTheFileShareTheirFirstEntry) {
  TXFonts fonts;
  TSST sst(&fonts);
  sst.AddString(u"y");
  ReadBytes(sst, Record(BIFFRecs::SST,
                        {5, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 'x', 1, 0, 0, 'y', 1, 0, 0, 'x', 1, 0, 1, 'x', 0}));
  ASSERT_EQ(sst.FileIndexCount(), 4u);
  TSSTEntry* x = sst.EntryAtFileIndex(0);
  EXPECT_EQ(sst.EntryAtFileIndex(2), x);
  EXPECT_EQ(x->RefCount, 0) << "a repetition in the file is no reference";
  EXPECT_EQ(x->Index, 0u);
  TSSTEntry* y = sst.EntryAtFileIndex(1);
  EXPECT_EQ(y->RefCount, 1);              // the existing "y" was found again
  EXPECT_NE(sst.EntryAtFileIndex(3), x);  // 16-bit "x" is another string
  EXPECT_EQ(MessageOf([&] { sst.EntryAtFileIndex(4); }), "List index out of bounds (4)");
  EXPECT_THROW(sst.EntryAtFileIndex(4), EListError);
  // Cells naming either copy of "x", and "y": each reference is given back, and the entries go.
  for (uint32_t index : {0u, 2u, 1u}) sst.ReferenceAtFileIndex(index);
  sst.ClearFileIndex();
  EXPECT_EQ(sst.FileIndexCount(), 0u);
  EXPECT_EQ(sst.TrieCount(), 3u);
  EXPECT_EQ(sst.TotalRefCount(), 4);
  EXPECT_THROW(sst.EntryAtFileIndex(0), EListError);
  EXPECT_FALSE(sst.ReleaseEntry(x));
  EXPECT_TRUE(sst.ReleaseEntry(x));
  EXPECT_FALSE(sst.ReleaseEntry(y));
  EXPECT_TRUE(sst.ReleaseEntry(y));
  EXPECT_EQ(sst.TrieCount(), 1u);
  EXPECT_EQ(sst.TotalRefCount(), 0);

  sst.Clear();
  EXPECT_EQ(sst.TrieCount(), 0u);
  EXPECT_EQ(sst.TotalRefCount(), 0);
  EXPECT_EQ(sst.AddString(u"x")->RefCount, 1);
}

TEST(TSST, ReadsRunsWithoutAFontListKeepingTheFileIndices) {
  TSST sst(nullptr);
  ReadBytes(sst, Record(BIFFRecs::SST, {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0x08, 1, 0, 'a', 'b', 1, 0, 9, 0}));
  const TSSTEntry* e = sst.EntryAtFileIndex(0);
  ASSERT_EQ(e->RunCount(), 1);
  EXPECT_EQ(e->RunFont(0), nullptr);
  EXPECT_EQ(e->RunFontIndex(0), 9);
  EXPECT_EQ(e->RunFirstChar(0), 1u);
  EXPECT_TRUE(sst.ReleaseEntry(const_cast<TSSTEntry*>(e)));
}

TEST(TSST, ReleasingARichStringReleasesItsAddedFonts) {
  TXFonts fonts;
  fonts.AddFont();
  fonts.AddFont();
  TXFont* f5 = fonts.Item(5);
  // Runs on fonts 5, 5, 1 and 6; a second string on font 6.
  std::vector<uint8_t> body{0, 0, 0,    0, 2, 0,   0,   0,  //
                            4, 0, 0x08, 4, 0, 'a', 'b', 'c', 'd', 0,    0, 5, 0,   1, 0, 5, 0, 2,
                            0, 1, 0,    3, 0, 6,   0,   1,   0,   0x08, 1, 0, 'z', 0, 0, 6, 0};
  TSST sst(&fonts);
  ReadBytes(sst, Record(BIFFRecs::SST, body));
  EXPECT_EQ(f5->UseCount, 2);
  EXPECT_EQ(fonts.Item(6)->UseCount, 2);
  TSSTEntry* rich = sst.EntryAtFileIndex(0);
  rich->RefCount = 1;
  EXPECT_EQ(sst.AddString(u"abcd")->RefCount, 1);  // the plain text is another string
  EXPECT_TRUE(sst.ReleaseEntry(rich));
  // Font 5 lost both uses and went; font 6 (now at 5) kept one; the initial font 1 is untouched.
  ASSERT_EQ(fonts.Count(), 6);
  EXPECT_EQ(fonts.Item(5)->UseCount, 1);
  EXPECT_EQ(fonts.Item(1)->UseCount, 1);  // counted when read, never released
  // The remaining rich string writes the font's current index.
  const auto records = SplitRecords(WriteBytes(sst));
  const auto& out = records[0].body;
  const std::vector<uint8_t> z{1, 0, 0x08, 1, 0, 'z', 0, 0, 5, 0};
  EXPECT_NE(std::search(out.begin(), out.end(), z.begin(), z.end()), out.end());
}

TEST(TSST, FailsCleanlyOnDamagedStrings) {
  TXFonts fonts;
  const std::vector<uint8_t> counts{0, 0, 0, 0, 1, 0, 0, 0};
  auto sstWith = [&](const std::vector<uint8_t>& strings) {
    std::vector<uint8_t> body = counts;
    Append(body, strings);
    return Record(BIFFRecs::SST, body);
  };
  auto readMessage = [&](const std::vector<uint8_t>& file) {
    TSST sst(&fonts);
    return MessageOf([&] { ReadBytes(sst, file); });
  };

  EXPECT_EQ(readMessage(sstWith({1, 0, 0x02, 'a'})), "STT: Unhandled string type in Read (02)");
  EXPECT_EQ(readMessage(sstWith({1, 0, 0x11, 'a'})), "STT: Unhandled string type in Read (11)");
  // A run naming a font beyond the list (positions 0-4 exist) is dropped; the other run is kept.
  {
    TSST sst(&fonts);
    ReadBytes(sst, sstWith({1, 0, 0x08, 2, 0, 'a', 0, 0, 5, 0, 0, 0, 1, 0}));
    ASSERT_EQ(sst.EntryAtFileIndex(0)->RunCount(), 1);
    EXPECT_EQ(sst.EntryAtFileIndex(0)->RunFont(0), fonts.Item(1));
    EXPECT_EQ(fonts.Item(0)->UseCount, 0);
  }
  // A 16-bit character cut by the record's end, with no CONTINUE record to go on in.
  EXPECT_EQ(readMessage(sstWith({2, 0, 0x01, 'a'})), "SST: a 16-bit character is split between records");
  std::vector<uint8_t> thenExtSst = sstWith({2, 0, 0x01, 'a'});
  Append(thenExtSst, Record(BIFFRecs::EXTSST, {8, 0}));
  EXPECT_EQ(readMessage(thenExtSst), "SST: a 16-bit character is split between records");
  // Sizes the rest of the stream cannot hold are refused before anything is allocated for them.
  EXPECT_EQ(
      readMessage(sstWith({1, 0, 0x08, 0xFF, 0xFF, 'a', 0, 0, 1, 0})),
      "SST: string 0 declares 65535 formatting runs and 0 bytes of extension data, more than the rest of "
      "the stream holds");
  EXPECT_EQ(
      readMessage(sstWith({1, 0, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 1, 2})),
      "SST: string 0 declares 0 formatting runs and 4294967295 bytes of extension data, more than the rest "
      "of the stream holds");

  // A string count far beyond the data: the strings there are read and kept when the next record is no
  // CONTINUE record; a stream that ends there is cut short.
  std::vector<uint8_t> huge = Record(BIFFRecs::SST, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 'a'});
  std::vector<uint8_t> withExt = huge;
  Append(withExt, Record(BIFFRecs::EXTSST, {8, 0}));
  TSST sst(&fonts);
  EXPECT_EQ(MessageOf([&] { ReadBytes(sst, withExt); }), "(no exception)");
  EXPECT_EQ(sst.DeclaredCount(), 0xFFFFFFFFu);
  EXPECT_EQ(sst.FileIndexCount(), 1u);  // what was read stays
  EXPECT_EQ(sst.TrieCount(), 1u);
  EXPECT_EQ(readMessage(huge), "Unexpected end of stream in SST");
  // The record's declared length runs past the stream.
  std::vector<uint8_t> cut = huge;
  cut[2] = 40;
  EXPECT_EQ(readMessage(cut), "Unexpected end of stream in SST");
}

TEST(TSST, TruncatedSstFailsCleanlyAtEveryLength) {
  TXFonts fonts;
  fonts.AddFont();
  std::vector<uint8_t> file = Record(BIFFRecs::SST, {7, 0, 0,    0,   4,   0,   0, 0,  //
                                                     3, 0, 0,    'o', 'n', 'e',        //
                                                     4, 0, 0x0D, 1,   0,   3,   0, 0, 0, 'a', 0});
  Append(file, Record(BIFFRecs::CONTINUE, {0, 'b', 'c', 'd', 2, 0, 5, 0, 0xAA, 0xBB, 0xCC}));
  Append(file, Record(BIFFRecs::CONTINUE, {0, 0, 0, 2, 0, 1, 0x2D, 0x4E, 'x', 0}));
  {
    TSST sst(&fonts);
    ReadBytes(sst, file);
    ASSERT_EQ(sst.FileIndexCount(), 4u);
    const TSSTEntry* rich = sst.EntryAtFileIndex(1);
    EXPECT_EQ(sst.EntryText(rich), u"abcd");
    EXPECT_EQ(rich->Flags, 0x0D);
    EXPECT_EQ(rich->RunFont(0), fonts.Item(5));
    EXPECT_EQ(rich->ExtensionSize(), 3u);
    EXPECT_EQ(sst.EntryText(sst.EntryAtFileIndex(3)), u"\u4E2Dx");
  }
  for (size_t length = kRecordHeaderSize; length < file.size(); ++length) {
    const std::vector<uint8_t> part(file.begin(), file.begin() + length);
    TSST sst(&fonts);
    EXPECT_THROW(ReadBytes(sst, part), EXLSError) << length;
  }
}

// --- files made by other programs ------------------------------------------------------------------

// Reads the fonts and the SST of a workbook stream. Returns false when the file has no SST.
bool ReadFileSst(const std::filesystem::path& path, TXFonts& fonts, TSST& sst) {
  TXLSStream stream;
  stream.OpenRead(path);
  fonts.Clear();
  TRecordHeader header;
  std::vector<uint8_t> body;
  while (stream.ReadHeader(header) == kRecordHeaderSize) {
    if (header.id == BIFFRecs::SST) {
      sst.ReadSST(stream, header.length);
      return true;
    }
    body.resize(header.length);
    if (stream.ReadBody(body.data(), header.length) != header.length) return false;
    if (header.id == BIFFRecs::FONT) fonts.ReadFontRecord(body.data(), header.length);
  }
  return false;
}

// Writes the table and reads it back into a fresh one: every string of the file must come back.
void ExpectRoundTrip(TXFonts& fonts, TSST& original) {
  const auto bytes = WriteBytes(original);
  TSST copy(&fonts);
  ReadBytes(copy, bytes);
  EXPECT_EQ(copy.FileIndexCount(), original.TrieCount());
  EXPECT_EQ(copy.TotalRefCount(), original.TotalRefCount());
  for (uint32_t i = 0; i < original.FileIndexCount(); ++i) {
    const TSSTEntry* a = original.EntryAtFileIndex(i);
    ASSERT_LT(a->Index, copy.FileIndexCount());
    ExpectSameString(a, copy.EntryAtFileIndex(a->Index));
  }
}

TEST(TSST, LongStringsOfOtherWritersSurviveAWriteAndARead) {
  const auto files = test::CorpusFiles("gen/single");
  if (files.empty()) GTEST_SKIP() << "corpus not available";
  int checked = 0;
  for (const auto& path : files) {
    if (path.filename().string().rfind("long_strings_", 0) != 0) continue;
    SCOPED_TRACE(path.string());
    TXFonts fonts;
    TSST sst(&fonts);
    ASSERT_TRUE(ReadFileSst(path, fonts, sst));
    ASSERT_GT(sst.FileIndexCount(), 0u);
    size_t longest = 0;
    for (uint32_t i = 0; i < sst.FileIndexCount(); ++i)
      longest = std::max<size_t>(longest, sst.EntryAtFileIndex(i)->CharCount);
    EXPECT_GT(longest, 8224u / 2);  // these files exist to cross CONTINUE records
    ExpectRoundTrip(fonts, sst);
    ++checked;
  }
  EXPECT_EQ(checked, 2);
}

TEST(TSST, EverySstOfTheCorpusReadsOrFailsCleanlyAndRoundTrips) {
  const auto files = test::CorpusFiles("");
  if (files.empty()) GTEST_SKIP() << "corpus not available";
  int roundTrips = 0;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    TXFonts fonts;
    TSST sst(&fonts);
    bool read = false;
    try {
      read = ReadFileSst(path, fonts, sst);
    } catch (const EPlicatoError&) {
      continue;  // damaged, encrypted or not a workbook: a clean failure is all that is asked
    }
    if (!read || sst.TrieCount() == 0) continue;
    ExpectRoundTrip(fonts, sst);
    ++roundTrips;
  }
  EXPECT_GT(roundTrips, 50);
}

TEST(TSST, TheEmptyTextIsOneEntryCountedLikeAnyOther) {
  TSST sst(nullptr);
  TSSTEntry* empty = sst.AddString(u"");
  EXPECT_EQ(sst.AddEmptyStrings(5), empty);
  EXPECT_EQ(sst.AddLatin1String(""), empty);
  EXPECT_EQ(empty->RefCount, 7);
  EXPECT_EQ(sst.TotalRefCount(), 7);
  for (int i = 0; i < 6; ++i) EXPECT_FALSE(sst.ReleaseEntry(empty));
  EXPECT_TRUE(sst.ReleaseEntry(empty));
  EXPECT_EQ(sst.TrieCount(), 0u);
  // A new entry once the old one is gone, and again after a Clear: never the freed one.
  TSSTEntry* again = sst.AddEmptyStrings(2);
  EXPECT_EQ(again->RefCount, 2);
  EXPECT_EQ(sst.TrieCount(), 1u);
  sst.Clear();
  EXPECT_EQ(sst.AddString(u"")->RefCount, 1);
  EXPECT_EQ(sst.TrieCount(), 1u);
}

}  // namespace
}  // namespace plicato
