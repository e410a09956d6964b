#include "biff/CompoundFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/CompoundFileFormat.h"

namespace plicato::cfb {
namespace {

namespace fs = std::filesystem;
using namespace format;

std::vector<uint8_t> RandomBytes(size_t size, uint64_t seed) {
  std::vector<uint8_t> bytes(size);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    bytes[i] = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

// The contents the interop check regenerates on its side: byte i of a stream named N is
// (i * 31 + length of N) & 0xFF.
std::vector<uint8_t> PatternBytes(const std::u16string& name, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + name.size()) & 0xFF);
  return bytes;
}

TStreamElement& AddStream(TStorage& storage, const std::u16string& name, std::vector<uint8_t> data) {
  TStreamElement& stream = storage.CreateStream(name);
  stream.Data() = std::move(data);
  return stream;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Compares two trees element by element, names, kinds, attributes and bytes.
void ExpectSameTree(const TStorage& expected, const TStorage& actual, const std::string& where = "/") {
  ASSERT_EQ(expected.Elements().size(), actual.Elements().size()) << where;
  for (const auto& element : expected.Elements()) {
    std::string path = where + Utf8(element->Name());
    const TElement* other = actual.Find(element->Name());
    ASSERT_NE(other, nullptr) << path;
    ASSERT_EQ(element->Type(), other->Type()) << path;
    EXPECT_EQ(element->clsid, other->clsid) << path;
    EXPECT_EQ(element->stateBits, other->stateBits) << path;
    EXPECT_EQ(element->createdTime, other->createdTime) << path;
    EXPECT_EQ(element->modifiedTime, other->modifiedTime) << path;
    if (element->IsStream()) {
      const auto& a = static_cast<const TStreamElement&>(*element).Data();
      const auto& b = static_cast<const TStreamElement&>(*other).Data();
      EXPECT_EQ(a.size(), b.size()) << path;
      EXPECT_TRUE(a == b) << path;
    } else {
      ExpectSameTree(static_cast<const TStorage&>(*element), static_cast<const TStorage&>(*other),
                     path + "/");
    }
  }
}

// A document with streams around every size boundary in nested storages.
TCompoundDocument SampleDocument() {
  TCompoundDocument doc;
  TStorage& root = doc.Root();
  root.clsid = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 1 << 20};
  TStorage& storage = root.CreateStorage(u"Storage");
  storage.stateBits = 0x12345678;
  storage.createdTime = 0x01D9A1B2C3D4E5F6ull;
  storage.modifiedTime = 0x01DA000011112222ull;
  TStorage& inner = storage.CreateStorage(u"Inner storage");
  inner.clsid[0] = 0xAB;
  uint64_t seed = 1;
  for (TStorage* s : {&root, &storage, &inner}) {
    for (size_t size : sizes) {
      std::u16string name = u"S" + std::u16string(1, static_cast<char16_t>(u'a' + seed % 26));
      for (char c : std::to_string(size)) name += static_cast<char16_t>(c);
      AddStream(*s, name, RandomBytes(size, seed++));
    }
  }
  root.FindStream(u"Sc1")->modifiedTime = 42;  // kept for streams too
  root.CreateStorage(u"Empty storage");
  return doc;
}

// Reads the structures of a document as laid out on disk, for checks of what the writer produced and
// for planting damage. Version 3 only.
class TRawDocument {
 public:
  explicit TRawDocument(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    uint32_t fatCount = Header32(kOffFatSectorCount);
    for (uint32_t i = 0; i < std::min(fatCount, kHeaderDifatEntries); ++i) {
      fatSectors_.push_back(Header32(kOffHeaderDifat + 4 * i));
    }
    for (uint32_t d = Header32(kOffFirstDifatSector); fatSectors_.size() < fatCount; d = Read32(d, 127)) {
      difatSectors_.push_back(d);
      for (uint32_t i = 0; i < 127 && fatSectors_.size() < fatCount; ++i) fatSectors_.push_back(Read32(d, i));
    }
    directory_ = Chain(Header32(kOffFirstDirectorySector));
  }

  std::vector<uint8_t>& Bytes() { return bytes_; }
  uint32_t Header32(size_t offset) const { return DecodeFixed32(bytes_.data() + offset); }
  uint8_t* Sector(uint32_t sector) { return bytes_.data() + (uint64_t{sector} + 1) * 512; }
  uint32_t Read32(uint32_t sector, uint32_t index) { return DecodeFixed32(Sector(sector) + 4 * index); }
  uint32_t Fat(uint32_t sector) { return Read32(fatSectors_[sector / 128], sector % 128); }
  void SetFat(uint32_t sector, uint32_t value) {
    EncodeFixed32(Sector(fatSectors_[sector / 128]) + 4 * (sector % 128), value);
  }
  const std::vector<uint32_t>& FatSectors() const { return fatSectors_; }
  const std::vector<uint32_t>& DifatSectors() const { return difatSectors_; }
  uint32_t SectorCount() const { return static_cast<uint32_t>(bytes_.size() / 512 - 1); }

  std::vector<uint32_t> Chain(uint32_t start) {
    std::vector<uint32_t> chain;
    for (uint32_t s = start; s != kEndOfChain && chain.size() <= SectorCount(); s = Fat(s))
      chain.push_back(s);
    return chain;
  }

  size_t EntryCount() const { return directory_.size() * 4; }
  uint8_t* Entry(uint32_t index) { return Sector(directory_[index / 4]) + (index % 4) * kDirEntrySize; }
  std::u16string Name(uint32_t index) {
    std::u16string name;
    uint8_t* e = Entry(index);
    for (int i = 0; i * 2 + 2 < DecodeFixed16(e + kDirOffNameLength); ++i) name += DecodeFixed16(e + 2 * i);
    return name;
  }
  uint32_t Find(const std::u16string& name) {
    for (uint32_t i = 0; i < EntryCount(); ++i) {
      if (Entry(i)[kDirOffType] != kTypeUnused && Name(i) == name) return i;
    }
    ADD_FAILURE() << "no entry " << Utf8(name);
    return 0;
  }
  uint32_t Link(uint32_t index, size_t field) { return DecodeFixed32(Entry(index) + field); }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint32_t> fatSectors_;
  std::vector<uint32_t> difatSectors_;
  std::vector<uint32_t> directory_;
};

TEST(CompoundFile, RoundTripsStreamsOfEverySizeInNestedStorages) {
  TCompoundDocument doc = SampleDocument();
  std::vector<uint8_t> bytes = doc.SaveToMemory();
  EXPECT_EQ(bytes.size() % 512, 0u);
  EXPECT_TRUE(TCompoundDocument::IsCompoundData(bytes));

  TCompoundDocument fromMemory = TCompoundDocument::OpenMemory(bytes);
  ExpectSameTree(doc.Root(), fromMemory.Root());
  EXPECT_EQ(fromMemory.Root().Name(), u"Root Entry");
  EXPECT_EQ(fromMemory.Root().clsid, doc.Root().clsid);

  test::TempDir dir;
  fs::path path = dir / "sample.cfb";
  doc.SaveToFile(path);
  EXPECT_TRUE(TCompoundDocument::IsCompoundFile(path));
  EXPECT_EQ(test::ReadFileBytes(path), bytes);
  TCompoundDocument fromFile = TCompoundDocument::OpenFile(path);
  ExpectSameTree(doc.Root(), fromFile.Root());

  // Written again after reading, the document is the same bytes: nothing is lost or reordered.
  EXPECT_EQ(fromFile.SaveToMemory(), bytes);

  // Elements come back in directory order: shorter names first, then by upper-cased name.
  std::vector<std::u16string> names;
  for (const auto& e : fromFile.Root().Elements()) names.push_back(e->Name());
  std::vector<std::u16string> expected = {u"Sb0",    u"Sc1",     u"Sd4095",    u"Se4096",
                                          u"Sf4097", u"Storage", u"Sg1048576", u"Empty storage"};
  EXPECT_EQ(names, expected);
}

TEST(CompoundFile, LargeDocumentUsesDifatSectorsAndMarksThemInTheFat) {
  TCompoundDocument doc;
  const size_t size = 70u << 20;
  AddStream(doc.Root(), u"Workbook", RandomBytes(size, 7));
  AddStream(doc.Root(), u"Small", RandomBytes(100, 8));
  std::vector<uint8_t> bytes = doc.SaveToMemory();

  TRawDocument raw(bytes);
  // 70 MB need about 1,121 FAT sectors: 109 in the header, the rest in DIFAT sectors.
  uint32_t sectors = raw.SectorCount();
  EXPECT_EQ(raw.FatSectors().size(), (sectors + 127) / 128);
  EXPECT_GT(raw.FatSectors().size(), 109u);
  EXPECT_EQ(raw.DifatSectors().size(), (raw.FatSectors().size() - 109 + 126) / 127);
  EXPECT_EQ(raw.Header32(kOffDifatSectorCount), raw.DifatSectors().size());
  EXPECT_EQ(raw.Read32(raw.DifatSectors().back(), 127), kEndOfChain);
  for (uint32_t s : raw.FatSectors()) EXPECT_EQ(raw.Fat(s), kFatSector) << s;
  for (uint32_t s : raw.DifatSectors()) EXPECT_EQ(raw.Fat(s), kDifatSector) << s;
  for (uint32_t s = sectors; s < raw.FatSectors().size() * 128; ++s) EXPECT_EQ(raw.Fat(s), kFreeSector) << s;
  uint32_t wb = raw.Find(u"Workbook");
  EXPECT_EQ(raw.Chain(raw.Link(wb, kDirOffStartSector)).size(), size / 512);

  TCompoundDocument back = TCompoundDocument::OpenMemory(bytes);
  ExpectSameTree(doc.Root(), back.Root());
}

// Walks the sibling tree under one storage: in order, and as a red-black tree.
void CheckRedBlackTree(TRawDocument& raw, uint32_t storage,
                       const std::function<bool(const std::u16string&, const std::u16string&)>& less,
                       size_t expectedCount) {
  std::vector<std::u16string> inOrder;
  std::set<int> blackHeights;
  std::function<void(uint32_t, bool, int)> walk = [&](uint32_t node, bool parentRed, int blacks) {
    if (node == kNoStream) {
      blackHeights.insert(blacks);
      return;
    }
    ASSERT_LT(node, raw.EntryCount());
    bool red = raw.Entry(node)[kDirOffColor] == kColorRed;
    EXPECT_FALSE(red && parentRed) << "red node " << node << " under a red parent";
    walk(raw.Link(node, kDirOffLeft), red, blacks + (red ? 0 : 1));
    inOrder.push_back(raw.Name(node));
    walk(raw.Link(node, kDirOffRight), red, blacks + (red ? 0 : 1));
  };
  uint32_t top = raw.Link(storage, kDirOffChild);
  if (top != kNoStream) {
    EXPECT_EQ(raw.Entry(top)[kDirOffColor], kColorBlack) << "the tree's root is red";
  }
  walk(top, false, 0);
  EXPECT_EQ(blackHeights.size(), 1u) << "paths differ in black nodes";
  ASSERT_EQ(inOrder.size(), expectedCount);
  for (size_t i = 1; i < inOrder.size(); ++i) {
    EXPECT_TRUE(less(inOrder[i - 1], inOrder[i])) << Utf8(inOrder[i - 1]) << " before " << Utf8(inOrder[i]);
  }
}

std::u16string StorageName(size_t n) {
  std::u16string name = u"T";
  for (char c : std::to_string(n)) name += static_cast<char16_t>(c);
  return name;
}

TEST(CompoundFile, DirectoryOfEachStorageIsAnOrderedRedBlackTree) {
  // The order, written independently of the container: length first, then upper-cased code units.
  auto upper = [](char16_t c) -> char16_t {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
      return static_cast<char16_t>(c - 32);
    return c;
  };
  auto less = [&](const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    for (size_t i = 0; i < a.size(); ++i) {
      if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]);
    }
    return false;
  };
  TCompoundDocument doc;
  std::vector<size_t> counts;
  for (size_t n = 1; n <= 40; ++n) {
    TStorage& storage = doc.Root().CreateStorage(StorageName(n));
    std::mt19937 random(static_cast<unsigned>(n));
    for (size_t i = 0; i < n; ++i) {
      // Mixed lengths and letter case, created in no particular order; 'b' and 'B' sort alike, and
      // Latin-1 letters sort by their capitals.
      std::u16string name;
      size_t length = 1 + random() % 6;
      for (size_t k = 0; k < length; ++k) {
        const char16_t letters[] = u"aBcDxYzQ_\u00e4\u00c9";
        name += letters[random() % 11];
      }
      name += static_cast<char16_t>(u'0' + i % 10);
      name += static_cast<char16_t>(u'a' + i / 10);
      storage.CreateStream(name).Data().assign(i, 1);
    }
    counts.push_back(n);
  }
  std::vector<uint8_t> bytes = doc.SaveToMemory();
  TRawDocument raw(bytes);
  EXPECT_EQ(raw.Entry(0)[kDirOffType], kTypeRoot);
  CheckRedBlackTree(raw, 0, less, 40);
  for (size_t n : counts) {
    uint32_t index = raw.Find(StorageName(n));
    SCOPED_TRACE(n);
    CheckRedBlackTree(raw, index, less, n);
  }
  ExpectSameTree(doc.Root(), TCompoundDocument::OpenMemory(bytes).Root());
}

// A version-4 document (4,096-byte sectors) laid out by hand: FAT, directory, mini FAT, mini stream,
// then a three-sector stream whose last sector the file cuts short, as some writers do.
std::vector<uint8_t> Version4Document(uint64_t bigSize = 10000) {
  const uint32_t ss = 4096;
  std::vector<uint8_t> file(ss + 7 * ss, 0);
  auto sector = [&](uint32_t s) { return file.data() + (uint64_t{s} + 1) * ss; };
  std::memcpy(file.data(), kSignature, 8);
  EncodeFixed16(&file[kOffMinorVersion], kMinorVersion);
  EncodeFixed16(&file[kOffMajorVersion], 4);
  EncodeFixed16(&file[kOffByteOrder], 0xFFFE);
  EncodeFixed16(&file[kOffSectorShift], 12);
  EncodeFixed16(&file[kOffMiniSectorShift], 6);
  EncodeFixed32(&file[kOffDirectorySectorCount], 1);
  EncodeFixed32(&file[kOffFatSectorCount], 1);
  EncodeFixed32(&file[kOffFirstDirectorySector], 1);
  EncodeFixed32(&file[kOffMiniStreamCutoff], 4096);
  EncodeFixed32(&file[kOffFirstMiniFatSector], 2);
  EncodeFixed32(&file[kOffMiniFatSectorCount], 1);
  EncodeFixed32(&file[kOffFirstDifatSector], kEndOfChain);
  for (uint32_t i = 0; i < 109; ++i) EncodeFixed32(&file[kOffHeaderDifat + 4 * i], i == 0 ? 0 : kFreeSector);

  const uint32_t fat[] = {kFatSector, kEndOfChain, kEndOfChain, kEndOfChain, 5, 6, kEndOfChain};
  for (uint32_t i = 0; i < ss / 4; ++i) EncodeFixed32(sector(0) + 4 * i, i < 7 ? fat[i] : kFreeSector);
  const uint32_t miniFat[] = {1, 2, 3, kEndOfChain, 5, kEndOfChain};
  for (uint32_t i = 0; i < ss / 4; ++i) EncodeFixed32(sector(2) + 4 * i, i < 6 ? miniFat[i] : kFreeSector);

  struct E {
    std::u16string name;
    uint8_t type;
    uint32_t left, right, child, start;
    uint64_t size;
  };
  // Sorted: "Big" < "Sub" < "Small"; "Sub" is the tree's root.
  const E entries[] = {
      {u"Root Entry", kTypeRoot, kNoStream, kNoStream, 3, 3, 6 * 64},
      {u"Big", kTypeStream, kNoStream, kNoStream, kNoStream, 4, bigSize},
      {u"Small", kTypeStream, kNoStream, kNoStream, kNoStream, 0, 200},
      {u"Sub", kTypeStorage, 1, 2, 4, 0, 0},
      {u"Inner", kTypeStream, kNoStream, kNoStream, kNoStream, 4, 70},
  };
  for (uint32_t i = 0; i < ss / 128; ++i) {
    uint8_t* e = sector(1) + i * 128;
    EncodeFixed32(e + kDirOffLeft, kNoStream);
    EncodeFixed32(e + kDirOffRight, kNoStream);
    EncodeFixed32(e + kDirOffChild, kNoStream);
    if (i >= 5) continue;
    const E& d = entries[i];
    for (size_t c = 0; c < d.name.size(); ++c) EncodeFixed16(e + 2 * c, d.name[c]);
    EncodeFixed16(e + kDirOffNameLength, static_cast<uint16_t>(2 * d.name.size() + 2));
    e[kDirOffType] = d.type;
    e[kDirOffColor] = kColorBlack;
    EncodeFixed32(e + kDirOffLeft, d.left);
    EncodeFixed32(e + kDirOffRight, d.right);
    EncodeFixed32(e + kDirOffChild, d.child);
    EncodeFixed32(e + kDirOffStartSector, d.start);
    EncodeFixed64(e + kDirOffStreamSize, d.size);
  }
  std::vector<uint8_t> small = PatternBytes(u"Small", 200);
  std::vector<uint8_t> inner = PatternBytes(u"Inner", 70);
  std::memcpy(sector(3), small.data(), small.size());
  std::memcpy(sector(3) + 4 * 64, inner.data(), inner.size());
  std::vector<uint8_t> big = PatternBytes(u"Big", 10000);
  std::memcpy(sector(4), big.data(), big.size());
  file.resize(ss + 4 * ss + 10000);
  return file;
}

TEST(CompoundFile, ReadsVersion4Documents) {
  TCompoundDocument doc = TCompoundDocument::OpenMemory(Version4Document());
  const TStorage& root = doc.Root();
  ASSERT_EQ(root.Elements().size(), 3u);
  EXPECT_EQ(root.Elements()[0]->Name(), u"Big");
  EXPECT_EQ(root.Elements()[1]->Name(), u"Sub");
  EXPECT_EQ(root.Elements()[2]->Name(), u"Small");
  ASSERT_NE(root.FindStream(u"Big"), nullptr);
  EXPECT_EQ(root.FindStream(u"Big")->Data(), PatternBytes(u"Big", 10000));
  EXPECT_EQ(root.FindStream(u"Small")->Data(), PatternBytes(u"Small", 200));
  ASSERT_NE(root.FindStorage(u"Sub"), nullptr);
  ASSERT_NE(root.FindStorage(u"Sub")->FindStream(u"Inner"), nullptr);
  EXPECT_EQ(root.FindStorage(u"Sub")->FindStream(u"Inner")->Data(), PatternBytes(u"Inner", 70));

  // Saved again it becomes version 3 with the same contents.
  std::vector<uint8_t> v3 = doc.SaveToMemory();
  EXPECT_EQ(DecodeFixed16(&v3[kOffMajorVersion]), 3);
  ExpectSameTree(doc.Root(), TCompoundDocument::OpenMemory(v3).Root());

  // Version 4 sizes are 64-bit: a size beyond the file is damage, not an allocation.
  EXPECT_THROW(TCompoundDocument::OpenMemory(Version4Document(uint64_t{1} << 40)), EStorageError);
  // A stream whose last bytes lie past the end of a short file is damage too.
  EXPECT_THROW(TCompoundDocument::OpenMemory(Version4Document(10001)), EStorageError);
}

TEST(CompoundFile, ToleratesSloppyButReadableFiles) {
  TCompoundDocument doc;
  AddStream(doc.Root(), u"Workbook", RandomBytes(5000, 3));
  AddStream(doc.Root(), u"Tiny", RandomBytes(10, 4));
  std::vector<uint8_t> bytes = doc.SaveToMemory();
  TRawDocument raw(bytes);

  // Version 3 ignores the high half of the stream size.
  EncodeFixed32(raw.Entry(raw.Find(u"Workbook")) + kDirOffStreamSize + 4, 0xDEADBEEF);
  // A stream smaller than its chain: the rest of the chain is not read.
  uint32_t tiny = raw.Find(u"Tiny");
  EncodeFixed32(raw.Entry(tiny) + kDirOffStreamSize, 3);
  // The unused tail of the last sector is missing from the file.
  std::vector<uint8_t> sloppy = raw.Bytes();
  sloppy.resize(sloppy.size() - (512 - 5000 % 512));

  TCompoundDocument back = TCompoundDocument::OpenMemory(sloppy);
  EXPECT_EQ(back.Root().FindStream(u"Workbook")->Data(), doc.Root().FindStream(u"Workbook")->Data());
  std::vector<uint8_t> first3(doc.Root().FindStream(u"Tiny")->Data().begin(),
                              doc.Root().FindStream(u"Tiny")->Data().begin() + 3);
  EXPECT_EQ(back.Root().FindStream(u"Tiny")->Data(), first3);

  // A FAT count the file cannot hold (8,388,610 in a file of 223 sectors) is trusted as far as the FAT
  // sectors the header lists exist.
  TCompoundDocument large;
  AddStream(large.Root(), u"Workbook", RandomBytes(220 * 512, 5));
  TRawDocument overstated(large.SaveToMemory());
  ASSERT_EQ(overstated.FatSectors().size(), 2u);
  EncodeFixed32(overstated.Bytes().data() + kOffFatSectorCount, 8388610);
  EXPECT_EQ(TCompoundDocument::OpenMemory(overstated.Bytes()).Root().FindStream(u"Workbook")->Data(),
            large.Root().FindStream(u"Workbook")->Data());

  // An unused entry (type 0) in the tree is passed over.
  raw.Entry(tiny)[kDirOffType] = kTypeUnused;
  TCompoundDocument withoutTiny = TCompoundDocument::OpenMemory(raw.Bytes());
  EXPECT_EQ(withoutTiny.Root().Find(u"Tiny"), nullptr);
  EXPECT_NE(withoutTiny.Root().Find(u"Workbook"), nullptr);
}

TEST(CompoundFile, CorpusFilesOpenOrFailWithAClearMessage) {
  // Files of the corpus that are compound documents but hold no workbook stream.
  const std::set<std::string> notWorkbooks = {
      "clusterfuzz-testcase-minimized-POIHSSFFuzzer-5786329142919168.xls"};
  std::vector<fs::path> files = test::CorpusFiles("poi");
  std::vector<fs::path> gen = test::CorpusFiles("gen");
  files.insert(files.end(), gen.begin(), gen.end());
  if (files.empty()) GTEST_SKIP() << "no corpus at " << test::CorpusDir();
  int opened = 0;
  int failed = 0;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    try {
      TCompoundDocument doc = TCompoundDocument::OpenFile(file);
      ++opened;
      bool workbook = false;
      for (const auto& e : doc.Root().Elements()) {
        std::u16string name = e->Name();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; });
        workbook = workbook || (e->IsStream() && (name == u"workbook" || name == u"book"));
      }
      if (!notWorkbooks.count(file.filename().string())) {
        EXPECT_TRUE(workbook);
      }
      // What was read is written and read back unchanged.
      ExpectSameTree(doc.Root(), TCompoundDocument::OpenMemory(doc.SaveToMemory()).Root());
    } catch (const EPlicatoError& e) {
      ++failed;
      EXPECT_NE(std::string(e.what()), "");
      std::cout << "  not read: " << file.filename().string() << ": " << e.ClassName() << ": " << e.what()
                << "\n";
    }
  }
  std::cout << "corpus: " << opened << " read, " << failed << " refused of " << files.size() << "\n";
  EXPECT_GT(opened, static_cast<int>(files.size()) / 2);
}

// A small document whose every byte is needed: all large streams fill their last sector.
TCompoundDocument DamageSample() {
  TCompoundDocument doc;
  AddStream(doc.Root(), u"Workbook", RandomBytes(8192, 11));
  AddStream(doc.Root(), u"Small", RandomBytes(100, 12));
  TStorage& storage = doc.Root().CreateStorage(u"S");
  AddStream(storage, u"Inner", RandomBytes(9 * 512, 13));
  AddStream(storage, u"Mini", RandomBytes(700, 14));
  return doc;
}

void ExpectDamage(const std::vector<uint8_t>& bytes, const std::string& words) {
  try {
    TCompoundDocument::OpenMemory(bytes);
    ADD_FAILURE() << "read without complaint; expected: " << words;
  } catch (const EStorageError& e) {
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
  }
}

TEST(CompoundFile, TruncationAtEveryLengthIsReported) {
  std::vector<uint8_t> bytes = DamageSample().SaveToMemory();
  for (size_t length = 0; length < bytes.size(); ++length) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW(TCompoundDocument::OpenMemory(cut), EStorageError) << length;
  }
  EXPECT_NO_THROW(TCompoundDocument::OpenMemory(bytes));
}

TEST(CompoundFile, HeaderDamageIsReported) {
  std::vector<uint8_t> good = DamageSample().SaveToMemory();
  auto patched = [&](size_t offset, uint16_t value) {
    std::vector<uint8_t> bytes = good;
    EncodeFixed16(&bytes[offset], value);
    return bytes;
  };
  std::vector<uint8_t> bytes = good;
  bytes[3] ^= 0xFF;
  EXPECT_FALSE(TCompoundDocument::IsCompoundData(bytes));
  ExpectDamage(bytes, "signature");
  // A wrong byte order field alone is no damage: the document is read.
  EXPECT_NO_THROW(TCompoundDocument::OpenMemory(patched(kOffByteOrder, 0xFEFF)));
  ExpectDamage(patched(kOffMajorVersion, 5), "version");
  ExpectDamage(patched(kOffSectorShift, 12), "sector shift");
  ExpectDamage(patched(kOffMiniSectorShift, 7), "mini sector shift");
  ExpectDamage(patched(kOffMiniStreamCutoff, 0x2000), "cutoff");
  // A FAT count beyond the file is trusted as far as the listed FAT sectors exist: none here.
  bytes = patched(kOffFatSectorCount, 0xFFFF);
  EncodeFixed32(&bytes[kOffHeaderDifat], 500);
  ExpectDamage(bytes, "the header declares 65535 FAT sectors");
  ExpectDamage(patched(kOffFirstDirectorySector, 500), "past the end");
}

TEST(CompoundFile, ChainDamageIsReported) {
  const std::vector<uint8_t> good = DamageSample().SaveToMemory();
  {  // a loop back to the stream's first sector
    TRawDocument raw(good);
    uint32_t start = raw.Link(raw.Find(u"Workbook"), kDirOffStartSector);
    raw.SetFat(start + 5, start);
    ExpectDamage(raw.Bytes(), "FAT chain loops at sector " + std::to_string(start));
  }
  {  // a sector number past the end of the file
    TRawDocument raw(good);
    uint32_t start = raw.Link(raw.Find(u"Inner"), kDirOffStartSector);
    raw.SetFat(start + 2, 0x00FFFFFF);
    ExpectDamage(raw.Bytes(), "past the end of the file");
  }
  {  // two streams sharing sectors
    TRawDocument raw(good);
    uint32_t workbook = raw.Link(raw.Find(u"Workbook"), kDirOffStartSector);
    EncodeFixed32(raw.Entry(raw.Find(u"Inner")) + kDirOffStartSector, workbook + 2);
    ExpectDamage(raw.Bytes(), "is used by both");
  }
  {  // a chain running into a free sector
    TRawDocument raw(good);
    uint32_t start = raw.Link(raw.Find(u"Workbook"), kDirOffStartSector);
    raw.SetFat(start, kFreeSector);
    ExpectDamage(raw.Bytes(), "marker FFFFFFFF");
  }
  {  // a chain shorter than its stream
    TRawDocument raw(good);
    uint32_t start = raw.Link(raw.Find(u"Workbook"), kDirOffStartSector);
    raw.SetFat(start + 3, kEndOfChain);
    ExpectDamage(raw.Bytes(), "larger than its sector chain");
  }
  {  // a huge declared size: refused before anything is allocated
    TRawDocument raw(good);
    EncodeFixed32(raw.Entry(raw.Find(u"Workbook")) + kDirOffStreamSize, 0xFFFFFFF0);
    ExpectDamage(raw.Bytes(), "more than the file holds");
  }
  {  // a loop in the mini FAT
    TRawDocument raw(good);
    uint32_t mini = raw.Find(u"Mini");
    uint32_t start = raw.Link(mini, kDirOffStartSector);
    uint32_t miniFat = raw.Header32(kOffFirstMiniFatSector);
    EncodeFixed32(raw.Sector(miniFat) + 4 * (start + 3), start + 1);
    ExpectDamage(raw.Bytes(), "mini FAT chain loops");
  }
  {  // a loop in the directory's own chain
    TRawDocument raw(good);
    uint32_t dir = raw.Header32(kOffFirstDirectorySector);
    raw.SetFat(dir + 1, dir);
    ExpectDamage(raw.Bytes(), "FAT chain loops");
  }
}

TEST(CompoundFile, DirectoryDamageIsReported) {
  const std::vector<uint8_t> good = DamageSample().SaveToMemory();
  {  // a child index past the directory
    TRawDocument raw(good);
    EncodeFixed32(raw.Entry(0) + kDirOffChild, 1000);
    ExpectDamage(raw.Bytes(), "past the");
  }
  {  // an entry that is its own sibling
    TRawDocument raw(good);
    uint32_t small = raw.Find(u"Small");
    EncodeFixed32(raw.Entry(small) + kDirOffLeft, small);
    ExpectDamage(raw.Bytes(), "reached twice");
  }
  {  // a storage containing its parent
    TRawDocument raw(good);
    EncodeFixed32(raw.Entry(raw.Find(u"S")) + kDirOffChild, 0);
    ExpectDamage(raw.Bytes(), "reached twice");
  }
  {  // entry 0 is not the root
    TRawDocument raw(good);
    raw.Entry(0)[kDirOffType] = kTypeStorage;
    ExpectDamage(raw.Bytes(), "root");
  }
  {  // a name longer than the entry holds
    TRawDocument raw(good);
    EncodeFixed16(raw.Entry(raw.Find(u"Small")) + kDirOffNameLength, 200);
    ExpectDamage(raw.Bytes(), "name");
  }
}

TEST(CompoundFile, DifatLoopIsReported) {
  // The header claims 241 FAT sectors: 109 listed in the header, the rest in a DIFAT sector that names
  // itself as its successor.
  TCompoundDocument doc;
  AddStream(doc.Root(), u"Workbook", RandomBytes(300 * 512, 21));
  TRawDocument raw(doc.SaveToMemory());
  ASSERT_GT(raw.SectorCount(), 250u);
  EncodeFixed32(raw.Bytes().data() + kOffFatSectorCount, 241);
  for (uint32_t i = 0; i < 109; ++i) EncodeFixed32(raw.Bytes().data() + kOffHeaderDifat + 4 * i, 10 + i);
  EncodeFixed32(raw.Bytes().data() + kOffFirstDifatSector, 280);
  EncodeFixed32(raw.Bytes().data() + kOffDifatSectorCount, 2);
  for (uint32_t i = 0; i < 127; ++i) EncodeFixed32(raw.Sector(280) + 4 * i, 119 + i);
  EncodeFixed32(raw.Sector(280) + 4 * 127, 280);
  ExpectDamage(raw.Bytes(), "DIFAT chain loops at sector 280");

  // A DIFAT that ends too early.
  EncodeFixed32(raw.Sector(280) + 4 * 127, kEndOfChain);
  ExpectDamage(raw.Bytes(), "DIFAT ends");
}

TEST(CompoundFile, DeeplyNestedStoragesAreRefused) {
  // A chain of storages, each the only child of the one before: beyond any real document.
  TCompoundDocument doc;
  TStorage* storage = &doc.Root();
  for (int i = 0; i < 300; ++i) storage = &storage->CreateStorage(u"D");
  EXPECT_THROW(doc.SaveToMemory(), EStorageError);

  // Read: two chains of 200 and 100 storages, the second hung below the first by hand.
  TCompoundDocument two;
  TStorage* a = &two.Root().CreateStorage(u"A");
  for (int i = 0; i < 199; ++i) a = &a->CreateStorage(u"A");
  TStorage* b = &two.Root().CreateStorage(u"B");
  for (int i = 0; i < 99; ++i) b = &b->CreateStorage(u"B");
  TRawDocument raw(two.SaveToMemory());
  ASSERT_NO_THROW(TCompoundDocument::OpenMemory(raw.Bytes()));
  uint32_t top = raw.Link(0, kDirOffChild);  // "B", with "A" as its left sibling
  ASSERT_EQ(raw.Name(top), u"B");
  uint32_t deepest = raw.Link(top, kDirOffLeft);
  EncodeFixed32(raw.Entry(0) + kDirOffChild, deepest);
  while (raw.Link(deepest, kDirOffChild) != kNoStream) deepest = raw.Link(deepest, kDirOffChild);
  EncodeFixed32(raw.Entry(deepest) + kDirOffChild, top);
  EncodeFixed32(raw.Entry(top) + kDirOffLeft, kNoStream);
  ExpectDamage(raw.Bytes(), "nested more than");
}

TEST(CompoundFile, RandomDamageIsReadOrReported) {
  // Bytes of the header, FAT and directory changed at random: the document reads or is refused with
  // EStorageError, never anything else.
  const std::vector<uint8_t> good = DamageSample().SaveToMemory();
  TRawDocument layout(good);
  const size_t structure = (uint64_t{layout.Header32(kOffFirstDirectorySector)} + 3) * 512;
  std::mt19937 random(2024);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = good;
    int changes = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < changes; ++k) {
      size_t at = random() % structure;
      bytes[at] = random() % 3 == 0 ? static_cast<uint8_t>(random())
                                    : static_cast<uint8_t>(bytes[at] ^ (1u << (random() % 8)));
    }
    try {
      TCompoundDocument::OpenMemory(bytes);
    } catch (const EStorageError&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0);
}

TEST(CompoundFile, CreatingChecksNames) {
  TCompoundDocument doc;
  TStorage& root = doc.Root();
  root.CreateStream(u"Workbook");
  EXPECT_THROW(root.CreateStream(u"WORKBOOK"), EStorageError);
  EXPECT_THROW(root.CreateStorage(u"workbook"), EStorageError);
  root.CreateStream(u"\u00e4rger");
  EXPECT_THROW(root.CreateStream(u"\u00c4RGER"), EStorageError);
  EXPECT_THROW(root.CreateStream(u""), EStorageError);
  EXPECT_THROW(root.CreateStream(u"a/b"), EStorageError);
  EXPECT_THROW(root.CreateStorage(u"a:b"), EStorageError);
  EXPECT_THROW(root.CreateStream(u"a!"), EStorageError);
  EXPECT_THROW(root.CreateStream(u"a\\b"), EStorageError);
  std::u16string longest(31, u'x');
  root.CreateStream(longest);
  EXPECT_THROW(root.CreateStream(longest + u"y"), EStorageError);
  EXPECT_EQ(root.Elements().size(), 3u);

  // Lookups are exact; destroying falls back to the name ignoring case.
  EXPECT_NE(root.FindStream(u"Workbook"), nullptr);
  EXPECT_EQ(root.Find(u"WORKBOOK"), nullptr);
  EXPECT_EQ(root.FindStorage(u"Workbook"), nullptr);
  EXPECT_TRUE(root.Destroy(u"WORKBOOK"));
  EXPECT_FALSE(root.Destroy(u"Workbook"));
  EXPECT_EQ(root.Elements().size(), 2u);

  // A 31-character name survives a round trip.
  TCompoundDocument back = TCompoundDocument::OpenMemory(doc.SaveToMemory());
  EXPECT_NE(back.Root().FindStream(longest), nullptr);
}

TEST(CompoundFile, CopiesElementsBetweenDocuments) {
  TCompoundDocument source = SampleDocument();
  TCompoundDocument target;
  AddStream(target.Root(), u"Workbook", RandomBytes(10, 99));
  AddStream(target.Root(), u"STORAGE", RandomBytes(10, 98));  // replaced: same name ignoring case

  const TStorage& storage = *source.Root().FindStorage(u"Storage");
  TStorage::CopyElement(storage, target.Root());
  ASSERT_EQ(target.Root().Elements().size(), 2u);
  TStorage* copy = target.Root().FindStorage(u"Storage");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->stateBits, storage.stateBits);
  EXPECT_EQ(copy->createdTime, storage.createdTime);
  ExpectSameTree(storage, *copy);

  // The copy is deep: changing the source leaves it alone.
  source.Root().FindStorage(u"Storage")->FindStorage(u"Inner storage")->Destroy(u"Sn0");
  EXPECT_NE(copy->FindStorage(u"Inner storage")->Find(u"Sn0"), nullptr);

  // A storage copied into its own child.
  TStorage& inner = *copy->FindStorage(u"Inner storage");
  TStorage::CopyElement(*copy, inner);
  ASSERT_NE(inner.FindStorage(u"Storage"), nullptr);
  EXPECT_NE(inner.FindStorage(u"Storage")->FindStorage(u"Inner storage")->Find(u"Sn0"), nullptr);
  EXPECT_EQ(inner.FindStorage(u"Storage")->FindStorage(u"Inner storage")->FindStorage(u"Storage"), nullptr);

  TCompoundDocument all;
  all.Root().CreateStream(u"Extra");
  source.Root().CopyAllTo(all.Root());
  EXPECT_EQ(all.Root().Elements().size(), source.Root().Elements().size() + 1);
  EXPECT_TRUE(all.Root().Destroy(u"Extra"));
  ExpectSameTree(source.Root(), all.Root());
  ExpectSameTree(source.Root(), TCompoundDocument::OpenMemory(all.SaveToMemory()).Root());

  EXPECT_TRUE(all.Root().Destroy(u"Storage"));
  EXPECT_EQ(all.Root().Find(u"Storage"), nullptr);
  TCompoundDocument back = TCompoundDocument::OpenMemory(all.SaveToMemory());
  EXPECT_EQ(back.Root().Find(u"Storage"), nullptr);
  EXPECT_EQ(back.Root().Elements().size(), source.Root().Elements().size() - 1);
}

std::vector<std::string> FolderEntries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CompoundFile, SavesAtomically) {
  test::TempDir dir;
  fs::path target = dir / "book.xls";
  TCompoundDocument first;
  AddStream(first.Root(), u"Workbook", RandomBytes(5000, 1));
  first.SaveToFile(target);
  TCompoundDocument second;
  AddStream(second.Root(), u"Workbook", RandomBytes(7000, 2));
  second.SaveToFile(target);
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"book.xls"});
  EXPECT_EQ(test::ReadFileBytes(target), second.SaveToMemory());

  // A folder that does not exist: nothing is created.
  fs::path missing = dir / "missing" / "book.xls";
  try {
    WriteFileAtomically(missing, std::vector<uint8_t>(10, 1));
    ADD_FAILURE() << "no failure";
  } catch (const EFileError& e) {
    EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
  }
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"book.xls"});

  // The target is a folder: the rename fails, the temporary file goes, the folder stays.
  fs::create_directory(dir / "folder.xls");
  EXPECT_THROW(first.SaveToFile(dir / "folder.xls"), EFileError);
  EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{"book.xls", "folder.xls"}));
  EXPECT_TRUE(fs::is_directory(dir / "folder.xls"));
  EXPECT_EQ(test::ReadFileBytes(target), second.SaveToMemory());

  EXPECT_THROW(TCompoundDocument::OpenFile(dir / "absent.xls"), EFileError);
  EXPECT_THROW(TCompoundDocument::OpenFile(dir / "folder.xls"), EFileError);
  EXPECT_FALSE(TCompoundDocument::IsCompoundFile(dir / "absent.xls"));
}

}  // namespace
}  // namespace plicato::cfb
