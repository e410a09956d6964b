// Damaged copies of every readable corpus file - cut short, with bytes changed, and with the record
// headers and counts of the workbook stream changed inside an intact container - are read; each read
// must succeed or fail with a message, within the hang and memory bounds, and a workbook stream cut
// short must keep what was read before the cut. The damage is seeded, so a failure names the input it
// came from and reproduces.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Hardening.h"
#include "TestUtil.h"
#include "biff/Coding.h"
#include "workbook/CellStorage.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato::test {
namespace {

namespace fs = std::filesystem;

// The number of damaged copies of a file shrinks as the file grows, so that the large corpus files do
// not take the whole time of the test: about this many bytes are read per file and kind of damage.
constexpr uint64_t kBytesPerKind = 4u << 20;

size_t CopiesFor(size_t size, size_t least, size_t most) {
  return std::clamp<size_t>(static_cast<size_t>(kBytesPerKind / std::max<size_t>(size, 1)), least, most);
}

struct TSample {
  fs::path path;
  std::string name;  // relative to the corpus
  std::vector<uint8_t> bytes;
};

// Every reader that applies to the bytes, each as its own attempt: the container (for a compound
// document), the record walk over the workbook stream or plain file, the whole workbook, and the
// workbook written and read back.
std::vector<std::pair<const char*, std::function<void(const std::vector<uint8_t>&)>>> Readers() {
  return {{"container", OpenContainer},
          {"record walk", WalkRecords},
          {"workbook", ReadWorkbook},
          {"write and read back", RoundTripWorkbook}};
}

// The corpus files every reader takes as they are.
const std::vector<TSample>& ReadableSamples() {
  static const std::vector<TSample> samples = [] {
    std::vector<TSample> found;
    int unreadable = 0;
    for (const char* folder : {"poi", "gen"}) {
      for (const fs::path& path : CorpusFiles(folder)) {
        TSample sample{path, fs::relative(path, CorpusDir()).string(), ReadFileBytes(path)};
        bool readable = true;
        for (const auto& [kind, read] : Readers()) {
          if (kind == std::string("container") && !cfb::TCompoundDocument::IsCompoundData(sample.bytes))
            continue;
          if (kind == std::string("write and read back")) continue;  // reading is what makes a sample
          readable = readable && Attempt([&] { read(sample.bytes); }).ok;
        }
        if (readable)
          found.push_back(std::move(sample));
        else
          ++unreadable;
      }
    }
    std::printf("[ DAMAGE ] %zu readable corpus files (%d others fail as they are)\n", found.size(),
                unreadable);
    return found;
  }();
  return samples;
}

// Reads damaged inputs and keeps the first problems found.
class TDamageRun {
 public:
  explicit TDamageRun(std::string kind) : kind_(std::move(kind)) {}

  void Read(const std::vector<uint8_t>& input, const std::string& what) {
    ++inputs_;
    for (const auto& [reader, read] : Readers()) {
      if (reader == std::string("container") && !cfb::TCompoundDocument::IsCompoundData(input)) continue;
      const TAttempt attempt = Attempt([&] { read(input); });
      ++reads_;
      if (attempt.ok)
        ++succeeded_;
      else if (attempt.fault.empty())
        ++failed_;
      const std::string problem =
          Problem(attempt, input.size(), reader == std::string("write and read back") ? 2 : 1);
      if (!problem.empty() && problems_.size() < 20)
        problems_.push_back(what + ", " + reader + ": " + problem);
    }
  }

  ~TDamageRun() {
    std::printf("[ DAMAGE ] %s: %zu damaged inputs tried, %zu reads (%zu read, %zu failed cleanly)\n",
                kind_.c_str(), inputs_, reads_, succeeded_, failed_);
  }

  void Check() const {
    EXPECT_GT(inputs_, 0u);
    for (const std::string& problem : problems_) ADD_FAILURE() << problem;
  }

 private:
  std::string kind_;
  size_t inputs_ = 0, reads_ = 0, succeeded_ = 0, failed_ = 0;
  std::vector<std::string> problems_;
};

uint32_t SeedOf(const std::string& name) {
  uint32_t seed = 2166136261u;
  for (char c : name) seed = (seed ^ static_cast<uint8_t>(c)) * 16777619u;
  return seed;
}

TEST(Damage, TruncatedFilesReadOrFailCleanly) {
  if (ReadableSamples().empty()) GTEST_SKIP() << "no corpus";
  TDamageRun run("truncations");
  for (const TSample& sample : ReadableSamples()) {
    const size_t size = sample.bytes.size();
    if (size == 0) continue;
    std::mt19937 random(SeedOf(sample.name));
    // The edges of the header and of the first sectors, fractions of the file, its last bytes.
    std::vector<size_t> lengths = {0,
                                   7,
                                   8,
                                   511,
                                   512,
                                   513,
                                   4096,
                                   size / 4,
                                   size / 2,
                                   size * 3 / 4,
                                   size - std::min<size_t>(size, 512),
                                   size - 1};
    for (size_t i = 0, n = CopiesFor(size, 2, 8); i < n; ++i) lengths.push_back(random() % size);
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    for (size_t length : lengths) {
      if (length >= size) continue;
      run.Read(std::vector<uint8_t>(sample.bytes.begin(), sample.bytes.begin() + length),
               sample.name + " cut to " + std::to_string(length) + " bytes");
    }
  }
  run.Check();
}

TEST(Damage, FilesWithChangedBytesReadOrFailCleanly) {
  if (ReadableSamples().empty()) GTEST_SKIP() << "no corpus";
  TDamageRun run("byte changes");
  for (const TSample& sample : ReadableSamples()) {
    const size_t size = sample.bytes.size();
    if (size == 0) continue;
    std::mt19937 random(SeedOf(sample.name) ^ 0x5EED);
    for (size_t copy = 0, n = CopiesFor(size, 1, 12); copy < n; ++copy) {
      std::vector<uint8_t> input = sample.bytes;
      std::string what = sample.name + " copy " + std::to_string(copy) + ":";
      // One to four bytes; a third of them in the container's header, where every byte matters.
      for (int k = 0, changes = 1 + random() % 4; k < changes; ++k) {
        const size_t at = random() % 3 == 0 ? random() % std::min<size_t>(size, 512) : random() % size;
        const uint8_t value =
            random() % 4 == 0 ? (random() % 2 ? 0x00 : 0xFF) : input[at] ^ (1 + random() % 255);
        input[at] = value;
        what += " [" + std::to_string(at) + "]=" + std::to_string(value);
      }
      run.Read(input, what);
    }
  }
  run.Check();
}

// Positions of the record headers in a workbook stream, up to where the records stop fitting.
std::vector<size_t> RecordStarts(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t pos = 0; pos + kRecordHeaderSize <= stream.size();
       pos += kRecordHeaderSize + DecodeFixed16(&stream[pos + 2]))
    starts.push_back(pos);
  return starts;
}

// Records whose identifiers the reader treats specially, put in place of others.
constexpr uint16_t kInterestingIds[] = {BIFFRecs::BOF,
                                        BIFFRecs::EOF_,
                                        BIFFRecs::CONTINUE,
                                        BIFFRecs::SST,
                                        BIFFRecs::LABELSST,
                                        BIFFRecs::BOUNDSHEET,
                                        BIFFRecs::FILEPASS,
                                        BIFFRecs::FORMULA,
                                        BIFFRecs::SHRFMLA,
                                        BIFFRecs::ARRAY,
                                        BIFFRecs::STRING,
                                        BIFFRecs::MULRK,
                                        BIFFRecs::MULBLANK,
                                        BIFFRecs::ROW,
                                        BIFFRecs::XF,
                                        BIFFRecs::FONT,
                                        BIFFRecs::FORMAT,
                                        BIFFRecs::DIMENSIONS,
                                        BIFFRecs::INDEX,
                                        BIFFRecs::XCT,
                                        BIFFRecs::USERSVIEWBEGIN,
                                        BIFFRecs::MSODRAWINGGROUP,
                                        0x8000};

// Changes one record of the stream: its length, its identifier, a count near the start of its body, or
// removes or repeats it. Returns what was done.
std::string ChangeRecord(std::vector<uint8_t>& stream, size_t start, std::mt19937& random) {
  const uint16_t length = DecodeFixed16(&stream[start + 2]);
  const size_t bodyEnd = std::min(stream.size(), start + kRecordHeaderSize + length);
  std::string what = "record at " + std::to_string(start) + ": ";
  switch (random() % 9) {
    case 0:
    case 1: {
      static constexpr uint16_t kLengths[] = {0, 1, 0xFFFF, 8224, 8225, 2080};
      const uint16_t value = kLengths[random() % std::size(kLengths)];
      EncodeFixed16(&stream[start + 2], value);
      return what + "length " + std::to_string(value);
    }
    case 2: {
      const int delta = static_cast<int>(random() % 9) - 4;
      const auto value = static_cast<uint16_t>(length + delta);
      EncodeFixed16(&stream[start + 2], value);
      return what + "length " + std::to_string(value);
    }
    case 3: {
      const auto value = static_cast<uint16_t>(random());
      EncodeFixed16(&stream[start + 2], value);
      return what + "length " + std::to_string(value);
    }
    case 4:
    case 5: {
      const uint16_t id = kInterestingIds[random() % std::size(kInterestingIds)];
      EncodeFixed16(&stream[start], id);
      return what + "identifier " + std::to_string(id);
    }
    case 6: {
      // Counts, indexes and lengths sit in the first bytes of most bodies.
      if (bodyEnd < start + kRecordHeaderSize + 4) return what + "unchanged";
      const size_t at = start + kRecordHeaderSize + random() % (bodyEnd - start - kRecordHeaderSize - 1);
      static constexpr uint16_t kValues[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
      const uint16_t value =
          random() % 2 ? kValues[random() % std::size(kValues)] : static_cast<uint16_t>(random());
      EncodeFixed16(&stream[at], value);
      return what + "body word at " + std::to_string(at - start) + " = " + std::to_string(value);
    }
    case 7:
      stream.erase(stream.begin() + static_cast<ptrdiff_t>(start),
                   stream.begin() + static_cast<ptrdiff_t>(bodyEnd));
      return what + "removed";
    default: {
      const std::vector<uint8_t> record(stream.begin() + static_cast<ptrdiff_t>(start),
                                        stream.begin() + static_cast<ptrdiff_t>(bodyEnd));
      stream.insert(stream.begin() + static_cast<ptrdiff_t>(bodyEnd), record.begin(), record.end());
      return what + "repeated";
    }
  }
}

TEST(Damage, ChangedRecordsInAnIntactContainerReadOrFailCleanly) {
  if (ReadableSamples().empty()) GTEST_SKIP() << "no corpus";
  TDamageRun run("record changes");
  for (const TSample& sample : ReadableSamples()) {
    const bool compound = cfb::TCompoundDocument::IsCompoundData(sample.bytes);
    cfb::TCompoundDocument document;
    cfb::TStreamElement* workbook = nullptr;
    std::vector<uint8_t> original = sample.bytes;  // a plain file is its own record stream
    if (compound) {
      document = cfb::TCompoundDocument::OpenMemory(sample.bytes);
      for (const auto& element : document.Root().Elements()) {
        std::u16string lower = element->Name();
        for (char16_t& c : lower) c = static_cast<char16_t>(c >= u'A' && c <= u'Z' ? c + 32 : c);
        if (element->IsStream() && (lower == u"workbook" || (lower == u"book" && !workbook)))
          workbook = static_cast<cfb::TStreamElement*>(element.get());
      }
      if (!workbook) continue;
      original = workbook->Data();
    }
    const std::vector<size_t> starts = RecordStarts(original);
    if (starts.empty()) continue;
    std::mt19937 random(SeedOf(sample.name) ^ 0xC0DE);
    for (size_t copy = 0, n = CopiesFor(sample.bytes.size(), 1, 12); copy < n; ++copy) {
      std::vector<uint8_t> stream = original;
      std::string what = sample.name + " copy " + std::to_string(copy) + ":";
      // Changes from the back, so that removing or repeating one does not move the next.
      std::vector<size_t> chosen;
      for (int k = 0, changes = 1 + random() % 2; k < changes; ++k)
        chosen.push_back(starts[random() % starts.size()]);
      std::sort(chosen.rbegin(), chosen.rend());
      chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
      for (size_t start : chosen) what += " " + ChangeRecord(stream, start, random);
      if (compound) {
        workbook->Data() = std::move(stream);
        run.Read(document.SaveToMemory(), what);
      } else {
        run.Read(stream, what);
      }
    }
  }
  run.Check();
}

// A cell as text: its kind and its value (a number by its bits, so that NaN compares).
std::string Describe(TSheet& sheet, uint32_t key) {
  const int column = static_cast<int>(KeyColumn(key)), row = static_cast<int>(KeyRow(key));
  std::string out = std::to_string(sheet.GetCellKind(column, row)) + ":";
  const TCellVariant value = sheet.GetVariant(column, row);
  if (const double* number = std::get_if<double>(&value)) {
    uint64_t bits;
    std::memcpy(&bits, number, sizeof bits);
    out += std::to_string(bits);
  } else if (const std::u16string* text = std::get_if<std::u16string>(&value)) {
    for (char16_t c : *text) out += std::to_string(c) + ",";
  } else if (const bool* flag = std::get_if<bool>(&value)) {
    out += *flag ? "true" : "false";
  } else {
    out += "error " + std::to_string(std::get<TCellError>(value));
  }
  return out;
}

std::map<uint32_t, std::string> CellsOf(TSheet& sheet) {
  std::map<uint32_t, std::string> cells;
  TCellStorage& storage = sheet.Cells();
  storage.BeginIteration();
  for (TCellRef ref = storage.NextCell(); ref; ref = storage.NextCell())
    cells[ref.key] = Describe(sheet, ref.key);
  return cells;
}

// Where the first worksheet's substream ends in a workbook stream (after its EOF), or 0.
size_t FirstSheetEnd(const std::vector<uint8_t>& stream) {
  int depth = 0;
  bool inSheet = false;
  for (size_t pos = 0; pos + kRecordHeaderSize <= stream.size();) {
    const uint16_t id = DecodeFixed16(&stream[pos]), length = DecodeFixed16(&stream[pos + 2]);
    const size_t next = pos + kRecordHeaderSize + length;
    if (BIFFRecs::HasBOFLowByte(id)) {
      const uint16_t type = next <= stream.size() && length >= 4 ? DecodeFixed16(&stream[pos + 6]) : 0;
      if (!inSheet && depth == 0 &&
          (type == BIFFRecs::BOF_WORKSHEET || type == BIFFRecs::BOF_MODULE ||
           type == BIFFRecs::BOF_MACROSHEET))
        inSheet = true;
      ++depth;
    } else if (id == BIFFRecs::EOF_ && depth > 0) {
      --depth;
      if (inSheet && depth == 0) return next;
    }
    pos = next;
  }
  return 0;
}

// A workbook stream cut short inside an intact container: the read fails (or ends early), and keeps
// what it read before the cut: every cell of the first worksheet read is the cell the whole file holds
// there, and a cut after the first worksheet's end keeps all of its cells.
TEST(Damage, WorkbookStreamsCutShortKeepWhatWasReadBeforeTheCut) {
  if (ReadableSamples().empty()) GTEST_SKIP() << "no corpus";
  size_t inputs = 0, whole = 0;
  std::vector<std::string> problems;
  for (const TSample& sample : ReadableSamples()) {
    if (!cfb::TCompoundDocument::IsCompoundData(sample.bytes) || sample.bytes.size() > (1u << 20)) continue;
    TXLSWorkbook original;
    original.Password = u"password";
    ReadWorkbook(original, sample.bytes);
    const std::map<uint32_t, std::string> cells = CellsOf(original.Sheets()[0]);

    cfb::TCompoundDocument document = cfb::TCompoundDocument::OpenMemory(sample.bytes);
    cfb::TStreamElement* workbook = document.Root().FindStream(u"Workbook");
    if (!workbook) workbook = document.Root().FindStream(u"Book");
    if (!workbook || workbook->Data().size() < 64) continue;
    const std::vector<uint8_t> stream = workbook->Data();
    const size_t sheetEnd = FirstSheetEnd(stream);
    std::mt19937 random(SeedOf(sample.name) ^ 0xC47);
    std::vector<size_t> cuts = {random() % stream.size(), random() % stream.size()};
    if (sheetEnd > 0 && sheetEnd + 3 < stream.size()) cuts.push_back(sheetEnd + 3);
    for (size_t cut : cuts) {
      workbook->Data().assign(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
      const std::vector<uint8_t> bytes = document.SaveToMemory();
      const std::string what =
          sample.name + " with its workbook stream cut to " + std::to_string(cut) + " bytes";
      ++inputs;
      TXLSWorkbook damaged;
      damaged.Password = u"password";
      const TAttempt attempt = Attempt([&] { ReadWorkbook(damaged, bytes); });
      if (!attempt.fault.empty()) {
        problems.push_back(what + ": " + attempt.fault);
        continue;
      }
      if (damaged.Sheets().Count() < 1) {
        problems.push_back(what + ": no worksheet left");
        continue;
      }
      if (sheetEnd == 0 || cut < sheetEnd) {
        // Some writers put a blank first and the value in a later record for the same place: a blank
        // read before the cut may stand where the whole file holds a value.
        for (const auto& [key, cell] : CellsOf(damaged.Sheets()[0])) {
          const auto it = cells.find(key);
          const bool blankBeforeValue = it != cells.end() && cell.rfind("1:", 0) == 0;
          if (!blankBeforeValue && (it == cells.end() || it->second != cell))
            problems.push_back(what + ": cell " + std::to_string(key) + " is " + cell + ", not " +
                               (it == cells.end() ? "absent" : it->second));
        }
      } else {
        ++whole;
        if (CellsOf(damaged.Sheets()[0]) != cells)
          problems.push_back(what + ": the first worksheet lost cells");
      }
    }
  }
  std::printf(
      "[ DAMAGE ] cut workbook streams: %zu damaged inputs tried, %zu cut after the first worksheet\n",
      inputs, whole);
  EXPECT_GT(inputs, 0u);
  for (size_t i = 0; i < problems.size() && i < 20; ++i) ADD_FAILURE() << problems[i];
}

}  // namespace
}  // namespace plicato::test
