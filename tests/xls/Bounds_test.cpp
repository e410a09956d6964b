// Small handcrafted files that declare huge counts and sizes: reading them must fail (or finish) having
// held no more than a small multiple of their own size, whatever they declare. Reading time must grow
// with the size of the file, not with what it declares; that is checked through the work done (bytes
// and blocks allocated) for inputs of one and two units, not through the clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Hardening.h"
#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/CompoundFileFormat.h"

namespace plicato::test {
namespace {

using namespace cfb::format;

// What reading the smallest workbook holds: the default formats, fonts, styles and stored records of
// the workbook and its worksheet.
constexpr int64_t kEmptyWorkbook = 4 << 20;

// Tighter than the damage tests' bound: these inputs are tiny, so whatever they make the reader hold
// beyond this comes from a declared count.
int64_t TightBound(size_t inputSize) {
  return 64 * static_cast<int64_t>(inputSize) + (1 << 20);
}

// The read fails cleanly, naming the damage, within the tight bound.
void ExpectRefusedCheaply(const std::function<void()>& read, size_t inputSize, const std::string& expected) {
  const TAttempt attempt = Attempt(read);
  EXPECT_EQ(attempt.fault, "");
  EXPECT_FALSE(attempt.ok) << "expected a failure naming \"" << expected << "\"";
  EXPECT_NE(attempt.message.find(expected), std::string::npos) << attempt.message;
  EXPECT_LT(attempt.peakBytes, TightBound(inputSize)) << expected;
  EXPECT_LT(attempt.seconds, kHangSeconds) << expected;
}

// --- a compound document, patched by hand ---

class TRawDocument {
 public:
  explicit TRawDocument(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::vector<uint8_t>& Bytes() { return bytes_; }
  uint8_t* Sector(uint32_t sector) { return bytes_.data() + (uint64_t{sector} + 1) * 512; }
  uint32_t Header32(size_t offset) const { return DecodeFixed32(bytes_.data() + offset); }
  void SetHeader32(size_t offset, uint32_t value) { EncodeFixed32(bytes_.data() + offset, value); }
  // Directory entries are in the directory's first sector for the few elements used here.
  uint8_t* Entry(uint32_t index) {
    return Sector(Header32(kOffFirstDirectorySector)) + index * kDirEntrySize;
  }
  uint32_t Find(std::u16string_view name) {
    for (uint32_t i = 0; i < 4; ++i) {
      const uint8_t* e = Entry(i);
      std::u16string entryName;
      for (size_t c = 0; c + 1 < DecodeFixed16(e + kDirOffNameLength) / 2u; ++c)
        entryName += static_cast<char16_t>(DecodeFixed16(e + 2 * c));
      if (entryName == name) return i;
    }
    ADD_FAILURE() << "no such entry";
    return 0;
  }
  void SetFat(uint32_t sector, uint32_t value) {
    EncodeFixed32(Sector(Header32(kOffHeaderDifat)) + 4 * sector, value);  // the first FAT sector
  }

 private:
  std::vector<uint8_t> bytes_;
};

// A document with a "Workbook" stream of `size` bytes and a small stream in the mini stream.
std::vector<uint8_t> SmallDocument(size_t size) {
  cfb::TCompoundDocument document;
  document.Root().CreateStream(u"Workbook").Data().assign(size, 0x41);
  document.Root().CreateStream(u"Small").Data().assign(100, 0x42);
  return document.SaveToMemory();
}

TEST(Bounds, ContainerDeclaringHugeCountsAndSizesFailsCheaply) {
  auto open = [](std::vector<uint8_t>& bytes) { return [&bytes] { OpenContainer(bytes); }; };
  {  // 4 billion FAT sectors: trusted as far as the listed ones exist, at no cost; refused when none does
    TRawDocument raw(SmallDocument(5000));
    raw.SetHeader32(kOffFatSectorCount, 0xFFFFFFFF);
    const TAttempt attempt = Attempt(open(raw.Bytes()));
    EXPECT_TRUE(attempt.ok) << attempt.message;
    EXPECT_LT(attempt.peakBytes, TightBound(raw.Bytes().size()));
    raw.SetHeader32(kOffHeaderDifat, 5000);
    ExpectRefusedCheaply(open(raw.Bytes()), raw.Bytes().size(), "FAT sectors");
  }
  {  // a stream of 4 GB in a file of a few sectors
    TRawDocument raw(SmallDocument(5000));
    EncodeFixed32(raw.Entry(raw.Find(u"Workbook")) + kDirOffStreamSize, 0xFFFFFFFF);
    ExpectRefusedCheaply(open(raw.Bytes()), raw.Bytes().size(), "more than the file holds");
  }
  {  // a mini stream declared far larger than the file
    TRawDocument raw(SmallDocument(5000));
    EncodeFixed32(raw.Entry(0) + kDirOffStreamSize, 0xFFFFFF00);
    ExpectRefusedCheaply(open(raw.Bytes()), raw.Bytes().size(), "mini stream declares");
  }
  {  // the directory's chain loops back on itself
    TRawDocument raw(SmallDocument(5000));
    const uint32_t directory = raw.Header32(kOffFirstDirectorySector);
    raw.SetFat(directory, directory);
    ExpectRefusedCheaply(open(raw.Bytes()), raw.Bytes().size(), "loops");
  }
  {  // a stream's chain loops: the walk ends at the first sector met twice
    TRawDocument raw(SmallDocument(20000));
    const uint32_t start = DecodeFixed32(raw.Entry(raw.Find(u"Workbook")) + kDirOffStartSector);
    raw.SetFat(start + 3, start);
    ExpectRefusedCheaply(open(raw.Bytes()), raw.Bytes().size(), "loops");
  }
}

// --- record streams, as plain files (a stream that is not a compound document opens as one) ---

std::vector<uint8_t> Record(uint16_t id, const std::vector<uint8_t>& body, int declaredLength = -1) {
  std::vector<uint8_t> out;
  PutFixed16(out, id);
  PutFixed16(out,
             static_cast<uint16_t>(declaredLength >= 0 ? declaredLength : static_cast<int>(body.size())));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& part) {
  out.insert(out.end(), part.begin(), part.end());
}

// SST body start: total and string count.
std::vector<uint8_t> SstHead(uint32_t total, uint32_t count) {
  std::vector<uint8_t> body;
  PutFixed32(body, total);
  PutFixed32(body, count);
  return body;
}

TEST(Bounds, RecordLengthsBeyondTheStreamReadWhatIsThere) {
  // The last record declares 65,535 bytes and holds 6: the walk takes the 6 and ends.
  std::vector<uint8_t> bytes = Concat({Record(BIFFRecs::BOF, std::vector<uint8_t>(16, 0)),
                                       Record(BIFFRecs::MULRK, std::vector<uint8_t>(6, 1), 0xFFFF)});
  const TAttempt attempt = Attempt([&] { WalkRecords(bytes); });
  EXPECT_TRUE(attempt.ok) << attempt.message << attempt.fault;
  // The walk's own record buffer (64 KB) is the most it may hold.
  EXPECT_LT(attempt.peakBytes, TightBound(bytes.size()) + 0x10000);
}

TEST(Bounds, SstDeclaringHugeCountsFailsCheaply) {
  auto read = [](std::vector<uint8_t>& bytes) { return [&bytes] { ReadSstStream(bytes); }; };
  {  // 4 billion strings, one present
    std::vector<uint8_t> body = SstHead(0xFFFFFFFF, 0xFFFFFFFF);
    body.insert(body.end(), {2, 0, 0, 'a', 'b'});
    std::vector<uint8_t> bytes = Record(BIFFRecs::SST, body);
    ExpectRefusedCheaply(read(bytes), bytes.size(), "end of stream in SST");
  }
  {  // one string of 65,535 characters with 10 present
    std::vector<uint8_t> body = SstHead(1, 1);
    body.insert(body.end(), {0xFF, 0xFF, 0x01});
    body.insert(body.end(), 10, 0x41);
    std::vector<uint8_t> bytes = Record(BIFFRecs::SST, body);
    ExpectRefusedCheaply(read(bytes), bytes.size(), "end of stream in SST");
  }
  {  // 65,535 formatting runs and 4 GB of extension data behind a two-character string
    std::vector<uint8_t> body = SstHead(1, 1);
    body.insert(body.end(), {2, 0, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'});
    std::vector<uint8_t> bytes = Record(BIFFRecs::SST, body);
    ExpectRefusedCheaply(read(bytes), bytes.size(), "more than the rest of the stream holds");
  }
  {  // 4 billion strings and thousands of empty CONTINUE records, then the end
    std::vector<uint8_t> bytes = Record(BIFFRecs::SST, SstHead(0, 0xFFFFFFFF));
    for (int i = 0; i < 5000; ++i) {
      const std::vector<uint8_t> empty = Record(BIFFRecs::CONTINUE, {});
      bytes.insert(bytes.end(), empty.begin(), empty.end());
    }
    ExpectRefusedCheaply(read(bytes), bytes.size(), "end of stream in SST");
  }
}

// --- whole workbooks: a globals substream naming one sheet per body given, then the sheets ---

std::vector<uint8_t> Bof(uint16_t type) {
  std::vector<uint8_t> body;
  PutFixed16(body, 0x0600);
  PutFixed16(body, type);
  PutFixed16(body, 0x0DBB);
  PutFixed16(body, 0x07CC);
  PutFixed32(body, 0);
  PutFixed32(body, 6);
  return Record(BIFFRecs::BOF, body);
}

std::vector<uint8_t> Workbook(const std::vector<uint8_t>& globals,
                              const std::vector<std::vector<uint8_t>>& sheets) {
  std::vector<uint8_t> stream = Concat({Bof(BIFFRecs::BOF_GLOBALS), globals});
  for (size_t i = 0; i < sheets.size(); ++i) {
    std::vector<uint8_t> body(6, 0);
    const std::string name = "S" + std::to_string(i);
    PutFixed8(body, static_cast<uint8_t>(name.size()));
    PutFixed8(body, 0);
    body.insert(body.end(), name.begin(), name.end());
    Append(stream, Record(BIFFRecs::BOUNDSHEET, body));
  }
  Append(stream, Record(BIFFRecs::EOF_, {}));
  for (const auto& sheet : sheets) {
    Append(stream, Bof(BIFFRecs::BOF_WORKSHEET));
    Append(stream, sheet);
    Append(stream, Record(BIFFRecs::EOF_, {}));
  }
  cfb::TCompoundDocument document;
  document.Root().CreateStream(u"Workbook").Data() = std::move(stream);
  return document.SaveToMemory();
}

std::vector<uint8_t> Words(std::initializer_list<uint16_t> words) {
  std::vector<uint8_t> out;
  for (uint16_t w : words) PutFixed16(out, w);
  return out;
}

// The read ends (either way) having held no more than the bound; returns how it ended.
TAttempt ReadWithin(const std::vector<uint8_t>& bytes, const std::string& what) {
  const TAttempt attempt = Attempt([&] { ReadWorkbook(bytes); });
  EXPECT_EQ(attempt.fault, "") << what;
  EXPECT_LT(attempt.peakBytes, TightBound(bytes.size()) + kEmptyWorkbook) << what;
  EXPECT_LT(attempt.seconds, kHangSeconds) << what;
  return attempt;
}

TEST(Bounds, WorkbookRecordsDeclaringHugeCountsCostNoMoreThanTheirBytes) {
  {  // MULBLANK and MULRK whose bodies claim 65,535 bytes at the end of the stream
    const std::vector<uint8_t> bytes =
        Workbook({}, {Concat({Record(BIFFRecs::MULBLANK, Words({0, 0, 15, 15, 2}), 0xFFFF)})});
    ReadWithin(bytes, "short MULBLANK");
    const std::vector<uint8_t> rk =
        Workbook({}, {Concat({Record(BIFFRecs::MULRK, Words({0, 0, 15, 2, 0, 3}), 0xFFFF)})});
    ReadWithin(rk, "short MULRK");
  }
  {  // full-length MULBLANK and MULRK: thousands of columns past the last one a sheet has
    std::vector<uint8_t> blank = Words({7, 0});
    while (blank.size() + 4 <= 0xFFFF) Append(blank, Words({15}));
    Append(blank, Words({255}));
    std::vector<uint8_t> rk = Words({8, 0});
    while (rk.size() + 8 <= 0xFFFF) Append(rk, Words({15, 2, 0}));
    Append(rk, Words({255}));
    const TAttempt attempt =
        ReadWithin(Workbook({}, {Concat({Record(BIFFRecs::MULBLANK, blank), Record(BIFFRecs::MULRK, rk)})}),
                   "long MULBLANK and MULRK");
    EXPECT_TRUE(attempt.ok) << attempt.message;
  }
  {  // a LABELSST naming string 4,294,967,295 of a table of one
    std::vector<uint8_t> sst = SstHead(1, 1);
    sst.insert(sst.end(), {1, 0, 0, 'a'});
    std::vector<uint8_t> label = Words({0, 0, 15, 0xFFFF, 0xFFFF});
    const TAttempt attempt = ReadWithin(
        Workbook(Record(BIFFRecs::SST, sst), {Record(BIFFRecs::LABELSST, label)}), "LABELSST past the table");
    EXPECT_NE(attempt.message.find("Read error at"), std::string::npos) << attempt.message;
  }
  {  // an SST of 4 billion strings holding one, in a workbook: the one is read
    std::vector<uint8_t> sst = SstHead(0xFFFFFFFF, 0xFFFFFFFF);
    sst.insert(sst.end(), {1, 0, 0, 'a'});
    const TAttempt attempt = ReadWithin(Workbook(Record(BIFFRecs::SST, sst), {{}}), "huge SST count");
    EXPECT_TRUE(attempt.ok) << attempt.message;
  }
  {  // DIMENSIONS and INDEX claiming every row and column
    std::vector<uint8_t> dimensions;
    PutFixed32(dimensions, 0);
    PutFixed32(dimensions, 0xFFFFFFFF);
    dimensions = Concat({dimensions, Words({0, 0xFFFF, 0})});
    std::vector<uint8_t> index;
    PutFixed32(index, 0);
    PutFixed32(index, 0);
    PutFixed32(index, 0xFFFFFFFF);
    PutFixed32(index, 0);
    ReadWithin(
        Workbook({}, {Concat({Record(BIFFRecs::INDEX, index), Record(BIFFRecs::DIMENSIONS, dimensions)})}),
        "huge DIMENSIONS and INDEX");
  }
  {  // a ROW record for each of the 65,536 rows, claiming all 256 columns and the tallest height
    std::vector<uint8_t> rows;
    for (uint32_t r = 0; r < 65536; ++r) {
      std::vector<uint8_t> body = Words({static_cast<uint16_t>(r), 0, 0xFFFF, 0x7FFF, 0, 0, 0x0180, 15});
      Append(rows, Record(BIFFRecs::ROW, body));
    }
    const TAttempt attempt = ReadWithin(Workbook({}, {rows}), "65,536 ROW records");
    EXPECT_TRUE(attempt.ok) << attempt.message;
  }
  {  // a thousand worksheets, each just a BOUNDSHEET, a BOF and an EOF
    const TAttempt attempt =
        ReadWithin(Workbook({}, std::vector<std::vector<uint8_t>>(1000)), "a thousand empty worksheets");
    EXPECT_TRUE(attempt.ok) << attempt.message;
  }
}

// Ten thousand empty worksheets, 400 KB of file: an empty worksheet's cell storage and columns take no
// memory until they hold something, so the reader's memory stays within a small multiple of the file.
TEST(Bounds, ManyEmptyWorksheetsCostNoMoreThanTheirBytes) {
  const TAttempt attempt =
      ReadWithin(Workbook({}, std::vector<std::vector<uint8_t>>(10000)), "ten thousand empty worksheets");
  EXPECT_TRUE(attempt.ok) << attempt.message;
}

// Two hundred worksheets of one blank cell each, 10 KB of file: the cell storage's blocks start small, so
// a worksheet of one cell costs a few kilobytes, not a megabyte.
TEST(Bounds, ManyWorksheetsOfOneCellCostNoMoreThanTheirBytes) {
  const std::vector<std::vector<uint8_t>> sheets(200, Record(BIFFRecs::BLANK, Words({0, 0, 15})));
  const TAttempt attempt = ReadWithin(Workbook({}, sheets), "two hundred worksheets of one cell");
  EXPECT_TRUE(attempt.ok) << attempt.message;
}

// The work of one read: blocks and bytes allocated.
struct TWork {
  uint64_t calls = 0;
  uint64_t bytes = 0;
};

TWork WorkOf(const std::function<void()>& read) {
  const uint64_t calls = TAllocationCounter::calls.load(), bytes = TAllocationCounter::total.load();
  const TAttempt attempt = Attempt(read);
  EXPECT_TRUE(attempt.ok) << attempt.message << attempt.fault;
  return {TAllocationCounter::calls.load() - calls, TAllocationCounter::total.load() - bytes};
}

// Doubling the input at most doubles the work, with slack for fixed costs and amortised growth.
void ExpectLinear(const TWork& one, const TWork& two, const std::string& what) {
  EXPECT_LE(two.calls, 2 * one.calls + one.calls / 4 + 64)
      << what << ": allocations " << one.calls << " -> " << two.calls;
  EXPECT_LE(two.bytes, 2 * one.bytes + one.bytes / 2 + (64 << 10))
      << what << ": bytes " << one.bytes << " -> " << two.bytes;
}

// n distinct strings in an SST and as many CONTINUE records as the writer would use.
std::vector<uint8_t> SstOf(uint32_t n) {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> body = SstHead(n, n);
  bool first = true;
  for (uint32_t i = 0; i < n; ++i) {
    const std::string text = "string " + std::to_string(i);
    if (body.size() + 3 + text.size() > kMaxRecordDataBiff8) {
      const std::vector<uint8_t> record = Record(first ? BIFFRecs::SST : BIFFRecs::CONTINUE, body);
      bytes.insert(bytes.end(), record.begin(), record.end());
      body.clear();
      first = false;
    }
    PutFixed16(body, static_cast<uint16_t>(text.size()));
    PutFixed8(body, 0);
    body.insert(body.end(), text.begin(), text.end());
  }
  const std::vector<uint8_t> record = Record(first ? BIFFRecs::SST : BIFFRecs::CONTINUE, body);
  bytes.insert(bytes.end(), record.begin(), record.end());
  return bytes;
}

TEST(Bounds, ReadingWorkGrowsLinearlyWithTheInput) {
  {
    const std::vector<uint8_t> one = SstOf(20000), two = SstOf(40000);
    ExpectLinear(WorkOf([&] { ReadSstStream(one); }), WorkOf([&] { ReadSstStream(two); }), "SST");
  }
  {
    auto document = [](int streams) {
      cfb::TCompoundDocument doc;
      for (int i = 0; i < streams; ++i) {
        std::u16string name = u"S";
        for (int k = i; k > 0; k /= 26) name += static_cast<char16_t>(u'A' + k % 26);
        cfb::TStorage& storage = doc.Root().CreateStorage(name);
        storage.CreateStream(u"Data").Data().assign(100 + (i % 50) * 100, static_cast<uint8_t>(i));
      }
      return doc.SaveToMemory();
    };
    const std::vector<uint8_t> one = document(2000), two = document(4000);
    ExpectLinear(WorkOf([&] { OpenContainer(one); }), WorkOf([&] { OpenContainer(two); }), "container");
  }
  {
    // n number cells and n text cells naming n distinct shared strings, row by row.
    auto workbook = [](uint32_t n) {
      std::vector<uint8_t> sst = SstOf(n);
      std::vector<uint8_t> cells;
      for (uint32_t i = 0; i < n; ++i) {
        const auto row = static_cast<uint16_t>(i / 128), column = static_cast<uint16_t>(2 * (i % 128));
        std::vector<uint8_t> number = Words({row, column, 15});
        PutDouble(number, i);
        Append(cells, Record(BIFFRecs::NUMBER, number));
        std::vector<uint8_t> label = Words({row, static_cast<uint16_t>(column + 1), 15});
        PutFixed32(label, i);
        Append(cells, Record(BIFFRecs::LABELSST, label));
      }
      return Workbook(sst, {cells});
    };
    const std::vector<uint8_t> one = workbook(10000), two = workbook(20000);
    ExpectLinear(WorkOf([&] { ReadWorkbook(one); }), WorkOf([&] { ReadWorkbook(two); }), "workbook");
  }
}

}  // namespace
}  // namespace plicato::test
