#include "biff/XLSStream.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/CompoundFileFormat.h"

namespace plicato {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(uint16_t id, const Bytes& body) {
  Bytes out;
  PutFixed16(out, id);
  PutFixed16(out, static_cast<uint16_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Pattern(size_t size, uint8_t seed = 0) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kBof8 = {0x00, 0x06, 0x05, 0x00, 0xBB, 0x0D, 0xCC, 0x07, 0, 0, 0, 0, 0x06, 0, 0, 0};

// A compound document holding the given streams at its root.
Bytes Compound(const std::map<std::u16string, Bytes>& streams) {
  cfb::TCompoundDocument doc;
  for (const auto& [name, data] : streams) doc.Root().CreateStream(name).Data() = data;
  return doc.SaveToMemory();
}

template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return "(no failure)";
}

// Every record of an open stream: identifier and body as stored.
std::vector<std::pair<uint16_t, Bytes>> Records(TXLSStream& s) {
  std::vector<std::pair<uint16_t, Bytes>> out;
  TRecordHeader h;
  while (s.ReadHeader(h) == 4) {
    Bytes body(h.length);
    body.resize(s.ReadBody(body.data(), h.length));
    out.emplace_back(h.id, body);
  }
  return out;
}

class FakeVbaProject : public TVbaProject {
 public:
  bool HasProject() const override { return hasProject; }
  bool HasModules() const override { return false; }
  void Read(const cfb::TStorage& storage) override { readFrom.push_back(storage.Name()); }
  void Write(cfb::TStorage& storage) override { storage.CreateStream(u"dir").Data() = {1, 2, 3}; }

  bool hasProject = true;
  std::vector<std::u16string> readFrom;
};

}  // namespace

// --- writing ---

TEST(XLSStream, WritesExactRecordBytes) {
  Bytes out;
  TXLSStream s;
  s.SetDestMemory(&out);
  s.OpenWrite("", xvExcel40);  // below version 5: the stream itself is the file
  s.AppendRecord(0x0042, Bytes{0xB0, 0x04});
  s.AppendRecord(0x000A, {});
  s.WriteRecord(0x0018, "\x01\x02\x03", 3);
  s.WriteRecord(0x000A, nullptr, 0);
  EXPECT_EQ(s.Position(), 21u);
  EXPECT_TRUE(out.empty());  // filled on Close
  s.Close();
  const Bytes expected = {0x42, 0x00, 0x02, 0x00, 0xB0, 0x04, 0x0A, 0x00, 0x00, 0x00, 0x18,
                          0x00, 0x03, 0x00, 0x01, 0x02, 0x03, 0x0A, 0x00, 0x00, 0x00};
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(s.IsOpen());
}

TEST(XLSStream, LongRecordsContinueAtTheBiff8Limit) {
  for (uint32_t length : {0u, 8223u, 8224u, 8225u, 16448u, 20000u}) {
    const Bytes body = Pattern(length);
    Bytes out;
    TXLSStream s;
    s.SetDestMemory(&out);
    s.OpenWrite("", xvExcel21);
    s.AppendRecord(0x00EB, body);
    s.Close();

    // The pieces: 8,224 bytes each, the first under the record's own identifier.
    Bytes expected;
    uint32_t done = 0;
    do {
      const uint32_t piece = std::min<uint32_t>(length - done, 8224);
      expected = Concat({expected, Record(done == 0 ? 0x00EB : 0x003C,
                                          Bytes(body.begin() + done, body.begin() + done + piece))});
      done += piece;
    } while (done < length);
    EXPECT_EQ(out, expected) << length;
    const size_t records = length <= 8224 ? 1 : 1 + (length - 1) / 8224;
    EXPECT_EQ(out.size(), length + 4 * records) << length;

    // And CONTINUE mode reads it back whole.
    s.SetSourceMemory(&out);
    ASSERT_EQ(s.OpenRead(""), xvNone);  // a plain file that does not start with a BOF
    TRecordHeader h;
    ASSERT_EQ(s.ReadHeader(h), 4u);
    s.BeginContinue();
    Bytes back(length);
    EXPECT_EQ(s.ReadBody(back.data(), length), length);
    s.EndContinue();
    EXPECT_EQ(back, body) << length;
    EXPECT_EQ(s.Position(), out.size());
  }
}

// Patches reach bytes wherever they are by now: still held, or long since in the file or the memory
// image, in a plain file, in a small workbook stream (held for the mini stream) and in a large one.
TEST(XLSStream, PatchesBytesWrittenLongBefore) {
  test::TempDir dir;
  for (TExcelVersion version : {xvExcel30, xvExcel97}) {
    for (size_t records : {3u, 400u}) {  // 3 records stay in the mini stream
      for (bool toMemory : {true, false}) {
        SCOPED_TRACE(std::to_string(version) + " " + std::to_string(records) +
                     (toMemory ? " memory" : " file"));
        Bytes expected;
        Bytes out;
        TXLSStream s;
        if (toMemory) s.SetDestMemory(&out);
        s.OpenWrite(toMemory ? "" : dir / "out.xls", version);
        for (size_t i = 0; i < records; ++i) {
          const Bytes body = Pattern(records > 3 && i % 3 == 0 ? 8224 : 1 + i % 13, static_cast<uint8_t>(i));
          s.AppendRecord(0x00FC, body);
          const Bytes record = Record(0x00FC, body);
          expected.insert(expected.end(), record.begin(), record.end());
        }
        const uint64_t size = s.Position();
        // The first header, a long span from bytes written out early into the ones written last, and
        // the very last byte.
        for (auto [at, count] : {std::pair<uint64_t, uint64_t>{0, 4}, {size / 4, size / 2}, {size - 1, 1}}) {
          const Bytes bytes = Pattern(count, 0x5A);
          s.Patch(at, bytes.data(), static_cast<uint32_t>(count));
          std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
        }
        EXPECT_THROW(s.Patch(size - 1, "ab", 2), EXLSError);
        EXPECT_THROW(s.Seek(0, TSeekOrigin::soBeginning), EXLSError);
        s.Close();
        const Bytes file = toMemory ? out : test::ReadFileBytes(dir / "out.xls");
        if (version < xvExcel50) {
          EXPECT_EQ(file, expected);
        } else {
          const cfb::TCompoundDocument doc = cfb::TCompoundDocument::OpenMemory(file);
          ASSERT_NE(doc.Root().FindStream(u"Workbook"), nullptr);
          EXPECT_EQ(doc.Root().FindStream(u"Workbook")->Data(), expected);
        }
      }
    }
  }
}

TEST(XLSStream, WritingNeedsAnOpenStreamAndAName) {
  TXLSStream s;
  EXPECT_EQ(MessageOf([&] { s.OpenWrite("", xvExcel97); }), "Filename is missing");
  EXPECT_EQ(MessageOf([&] { s.OpenWrite("", xvExcel30); }), "Filename is missing");
  EXPECT_FALSE(s.IsOpen());
  EXPECT_THROW(s.AppendRecord(1, {}), EXLSError);
  s.Close();  // nothing open: no effect
  s.Abandon();
}

// --- opening ---

TEST(XLSStream, FindsTheWorkbookStreamIgnoringCase) {
  const Bytes book = Concat({Record(0x0809, {0, 5, 5, 0}), Record(0x000A, {})});
  const Bytes workbook = Concat({Record(0x0809, kBof8), Record(0x000A, {})});
  struct Case {
    std::map<std::u16string, Bytes> streams;
    TExcelVersion version;
    Bytes data;
  } cases[] = {
      {{{u"Book", book}, {u"Workbook", workbook}}, xvExcel97, workbook},
      {{{u"WORKBOOK", workbook}}, xvExcel97, workbook},
      {{{u"book", book}, {u"Other", {1}}}, xvExcel50, book},
      {{{u"BoOk", book}}, xvExcel50, book},
  };
  for (const Case& c : cases) {
    const Bytes file = Compound(c.streams);
    TXLSStream s;
    s.SetSourceMemory(&file);
    EXPECT_EQ(s.OpenRead(""), c.version);
    EXPECT_EQ(s.Version(), c.version);
    EXPECT_EQ(s.StreamSize(), c.data.size());
    Bytes all(c.data.size());
    EXPECT_EQ(s.ReadPlain(all.data(), static_cast<uint32_t>(all.size())), all.size());
    EXPECT_EQ(all, c.data);
    s.Close();
    EXPECT_FALSE(s.IsOpen());
  }
}

TEST(XLSStream, RejectsDocumentsWithoutAWorkbookStream) {
  cfb::TCompoundDocument doc;
  doc.Root().CreateStream(u"Workbook2").Data() = {1, 2, 3, 4};
  doc.Root().CreateStorage(u"Book");  // a storage is not the workbook stream
  const Bytes file = doc.SaveToMemory();
  TXLSStream s;
  s.SetSourceMemory(&file);
  EXPECT_EQ(MessageOf([&] { s.OpenRead(""); }), "The file is not an Excel workbook");
  EXPECT_FALSE(s.IsOpen());

  const Bytes damaged(file.begin(), file.begin() + 600);
  s.SetSourceMemory(&damaged);
  EXPECT_THROW(s.OpenRead(""), EStorageError);
  EXPECT_FALSE(s.IsOpen());
}

TEST(XLSStream, PlainFilesAreVersionedByTheirFirstRecord) {
  test::TempDir dir;
  const struct {
    uint16_t id;
    TExcelVersion version;
  } cases[] = {{0x0009, xvExcel21}, {0x0209, xvExcel30}, {0x0409, xvExcel40},
               {0x0809, xvExcel50}, {0x0309, xvNone},    {0x0042, xvNone}};  // a BOF of version 0: BIFF5
  for (const auto& c : cases) {
    const Bytes file = Concat({Record(c.id, {0, 0, 0x10, 0}), Record(0x000A, {})});
    test::WriteFileBytes(dir / "plain.xls", file);
    TXLSStream s;
    EXPECT_EQ(s.OpenRead(dir / "plain.xls"), c.version) << c.id;
    EXPECT_EQ(s.StreamSize(), file.size());
    EXPECT_EQ(s.PeekId(), c.id);
    s.SetSourceMemory(&file);
    EXPECT_EQ(s.OpenRead("ignored"), c.version) << c.id;
  }
  for (const Bytes& tiny : {Bytes{}, Bytes{0x09}, Bytes{0x09, 0x02, 0x00}}) {
    TXLSStream s;
    s.SetSourceMemory(&tiny);
    EXPECT_EQ(s.OpenRead(""), xvNone);
    TRecordHeader h{1, 1};
    EXPECT_EQ(s.ReadHeader(h), tiny.size());
    EXPECT_EQ(h.id, 0);
    EXPECT_EQ(s.PeekId(), 0);
  }
}

TEST(XLSStream, MissingFilesFailNamingTheFile) {
  test::TempDir dir;
  TXLSStream s;
  const std::string missing = MessageOf([&] { s.OpenRead(dir / "nothere.xls"); });
  EXPECT_NE(missing.find("nothere.xls"), std::string::npos) << missing;
  EXPECT_THROW(s.OpenRead(dir / "nothere.xls"), EFileError);
  EXPECT_THROW(s.OpenRead(dir.Path()), EFileError);  // a folder
  EXPECT_FALSE(s.IsOpen());
}

TEST(XLSStream, WritesCompoundDocumentsThatReadBack) {
  test::TempDir dir;
  const Bytes body = Pattern(5000);
  // Once, and so often that the document needs more FAT sectors than its header lists (DIFAT).
  for (size_t repeat : {1u, 1700u}) {
    for (TExcelVersion version : {xvExcel50, xvExcel97}) {
      Bytes memory;
      for (bool toMemory : {true, false}) {
        const auto path = dir / "out.xls";
        TXLSStream s;
        if (toMemory) s.SetDestMemory(&memory);
        s.OpenWrite(toMemory ? "" : path, version);
        s.WriteRecord(0x0809, kBof8.data(), 16);
        for (size_t i = 0; i < repeat; ++i) s.AppendRecord(0x00EB, body);
        s.WriteRecord(0x000A, nullptr, 0);
        s.Close();
        const Bytes file = toMemory ? memory : test::ReadFileBytes(path);
        EXPECT_EQ(DecodeFixed32(&file[cfb::format::kOffDifatSectorCount]) > 0, repeat > 1);
        cfb::TCompoundDocument doc = cfb::TCompoundDocument::OpenMemory(file);
        EXPECT_NE(doc.Root().FindStream(version == xvExcel97 ? u"Workbook" : u"Book"), nullptr);
        EXPECT_EQ(doc.Root().Elements().size(), 1u);

        TXLSStream r;
        if (toMemory) r.SetSourceMemory(&memory);
        EXPECT_EQ(r.OpenRead(toMemory ? "" : path), version);
        const auto records = Records(r);
        ASSERT_EQ(records.size(), 2 + repeat);
        EXPECT_EQ(records[0].second, kBof8);
        for (size_t i = 1; i <= repeat; ++i) {
          EXPECT_EQ(records[i].first, 0x00EB);
          EXPECT_EQ(records[i].second, body);
        }
        EXPECT_EQ(records.back().first, 0x000A);
      }
    }
  }
}

TEST(XLSStream, CarriesOtherPartsAndTheVbaProject) {
  cfb::TCompoundDocument source;
  source.Root().CreateStream(u"Workbook").Data() = Concat({Record(0x0809, kBof8), Record(0x000A, {})});
  source.Root().CreateStream(u"\x05SummaryInformation").Data() = {7, 7, 7};
  source.Root().CreateStorage(u"_VBA_PROJECT_CUR").CreateStream(u"VBA").Data() = {1};
  source.Root().CreateStorage(u"MBD0001").CreateStream(u"Ole").Data() = {9, 9};
  const Bytes file = source.SaveToMemory();

  TExtraObjects extras;
  FakeVbaProject vba;
  TXLSStream s;
  s.SetExtraObjects(&extras);
  s.SetVbaProject(&vba);
  s.SetSourceMemory(&file);
  s.OpenRead("");
  EXPECT_TRUE(vba.readFrom.empty());  // macros are not preserved unless asked
  s.SetPreserveMacros(true);
  ASSERT_EQ(s.OpenRead(""), xvExcel97);
  EXPECT_EQ(vba.readFrom, std::vector<std::u16string>{u"_VBA_PROJECT_CUR"});
  ASSERT_FALSE(extras.Empty());
  const cfb::TStorage& kept = extras.Document()->Root();
  EXPECT_EQ(kept.Elements().size(), 2u);
  EXPECT_NE(kept.FindStream(u"\x05SummaryInformation"), nullptr);
  EXPECT_NE(kept.FindStorage(u"MBD0001"), nullptr);
  s.Close();

  Bytes out;
  s.SetDestMemory(&out);
  s.OpenWrite("", xvExcel97);
  s.WriteRecord(0x0809, kBof8.data(), 16);
  s.WriteVbaStorage();
  s.Close();
  cfb::TCompoundDocument written = cfb::TCompoundDocument::OpenMemory(out);
  const cfb::TStorage& root = written.Root();
  EXPECT_EQ(root.Elements().size(), 4u);
  ASSERT_NE(root.FindStream(u"\x05SummaryInformation"), nullptr);
  EXPECT_EQ(root.FindStream(u"\x05SummaryInformation")->Data(), Bytes({7, 7, 7}));
  ASSERT_NE(root.FindStorage(u"MBD0001"), nullptr);
  ASSERT_NE(root.FindStorage(u"_VBA_PROJECT_CUR"), nullptr);
  EXPECT_EQ(root.FindStorage(u"_VBA_PROJECT_CUR")->FindStream(u"dir")->Data(), Bytes({1, 2, 3}));
  ASSERT_NE(root.FindStream(u"Workbook"), nullptr);
  EXPECT_EQ(root.FindStream(u"Workbook")->Data(), Record(0x0809, kBof8));

  // Without a project nothing is created; a plain file carries no parts.
  vba.hasProject = false;
  s.OpenWrite("", xvExcel97);
  s.WriteVbaStorage();
  s.Close();
  EXPECT_EQ(cfb::TCompoundDocument::OpenMemory(out).Root().FindStorage(u"_VBA_PROJECT_CUR"), nullptr);
  const Bytes plain = Record(0x0209, {0, 0, 0x10, 0});
  s.SetSourceMemory(&plain);
  s.OpenRead("");
  EXPECT_TRUE(extras.Empty());
}

TEST(XLSStream, AbandonWritesNothing) {
  test::TempDir dir;
  TXLSStream s;
  s.OpenWrite(dir / "never.xls", xvExcel97);
  for (int i = 0; i < 200; ++i) s.AppendRecord(0x00EB, Pattern(8224));  // some of it in the file by now
  s.Abandon();
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));  // the temporary file is gone too
  {
    TXLSStream dropped;
    dropped.OpenWrite(dir / "never.xls", xvExcel30);
    dropped.AppendRecord(0x00EB, Pattern(10));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

// --- reading ---

TEST(XLSStream, ContinueModeCrossesContinuationRecords) {
  // Every continuation identifier, each record full; a continuing HFPICTURE's own 14-byte header is
  // part of its record but not of the data.
  const Bytes a = Pattern(8224, 1), b = Pattern(8224, 2), c = Pattern(8224, 3), d = Pattern(8224, 4);
  const Bytes e = Pattern(20, 5), hfHeader = Pattern(14, 9);
  const Bytes file = Concat({Record(0x00EB, a), Record(0x003C, b), Record(0x00EB, c), Record(0x1066, d),
                             Record(0x0866, Concat({hfHeader, Pattern(8210, 6)})),
                             Record(0x0866, Concat({hfHeader, e})), Record(0x000A, {})});
  TXLSStream s;
  s.SetSourceMemory(&file);
  s.OpenRead("");
  TRecordHeader h;
  s.ReadHeader(h);
  s.BeginContinue();
  EXPECT_TRUE(s.InContinueMode());
  const Bytes expected = Concat({a, b, c, d, Pattern(8210, 6), e});
  Bytes got(expected.size());
  // In uneven pieces: 5000, then 3324 (ends inside the first CONTINUE), then the rest at once.
  EXPECT_EQ(s.ReadBody(got.data(), 5000), 5000u);
  EXPECT_EQ(s.ReadBody(got.data() + 5000, 3324), 3324u);
  const auto rest = static_cast<uint32_t>(expected.size() - 8324);
  EXPECT_EQ(s.ReadBody(got.data() + 8324, rest), rest);
  s.EndContinue();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(s.PeekId(), 0x000A);
  EXPECT_EQ(s.Position(), file.size() - 4);
}

TEST(XLSStream, RequestEndingAtTheLimitReadsNoFurtherHeader) {
  const Bytes file = Concat({Record(0x00EB, Pattern(8224)), Record(0x003C, Pattern(10)), Record(0x000A, {})});
  TXLSStream s;
  s.SetSourceMemory(&file);
  s.OpenRead("");
  TRecordHeader h;
  s.ReadHeader(h);
  s.BeginContinue();
  Bytes body(8224);
  EXPECT_EQ(s.ReadBody(body.data(), 8000), 8000u);
  EXPECT_EQ(s.ReadBody(body.data(), 224), 224u);
  EXPECT_EQ(s.Position(), 4u + 8224u);
  EXPECT_EQ(s.PeekId(), 0x003C);
  // Going on crosses into the CONTINUE record then.
  uint8_t one = 0;
  EXPECT_EQ(s.ReadBody(&one, 1), 1u);
  EXPECT_EQ(one, Pattern(10)[0]);
  s.EndContinue();
  EXPECT_FALSE(s.InContinueMode());
}

TEST(XLSStream, MissingContinueRecordFails) {
  for (const Bytes& tail : {Record(0x000A, {}), Bytes{}, Bytes{0x3C, 0x00}}) {
    const Bytes file = Concat({Record(0x00EB, Pattern(8224)), tail});
    TXLSStream s;
    s.SetSourceMemory(&file);
    s.OpenRead("");
    TRecordHeader h;
    s.ReadHeader(h);
    s.BeginContinue();
    Bytes body(8300);
    EXPECT_EQ(MessageOf([&] { s.ReadBody(body.data(), 8225); }), "CONTINUE record is missing");
  }
  // Outside CONTINUE mode a body is read as asked, and a short stream gives fewer bytes.
  const Bytes file = Concat({Record(0x00EB, Pattern(8224)), Record(0x000A, {})});
  TXLSStream s;
  s.SetSourceMemory(&file);
  s.OpenRead("");
  Bytes all(9000);
  EXPECT_EQ(s.ReadBody(all.data(), 9000), file.size());
  EXPECT_EQ(s.ReadBody(all.data(), 1), 0u);
}

TEST(XLSStream, ReadsWideStringsOfBothWidths) {
  const Bytes file = {0x00, 'A', 0xE9, 0xFF, 0x01, 0x3A, 0x04, 'b', 0x00, 0x01, 'z', 0x00};
  TXLSStream s;
  s.SetSourceMemory(&file);
  s.OpenRead("");
  s.Seek(0, TSeekOrigin::soBeginning);
  std::u16string text;
  EXPECT_EQ(s.ReadWideStr(3, text), 4u);
  EXPECT_EQ(text, u"A\u00E9\u00FF");  // 8-bit characters are Latin-1
  EXPECT_EQ(s.ReadWideStr(2, text), 5u);
  EXPECT_EQ(text, u"\u043Ab");
  // A count beyond the stream reads what is there.
  EXPECT_EQ(s.ReadWideStr(60000, text), 3u);
  EXPECT_EQ(text, u"z");
  EXPECT_EQ(s.ReadWideStr(5, text), 0u);
  EXPECT_THROW(s.Seek(13, TSeekOrigin::soBeginning), EXLSError);
  EXPECT_THROW(s.Seek(-1, TSeekOrigin::soBeginning), EXLSError);
  EXPECT_EQ(s.Seek(-2, TSeekOrigin::soEnd), 10u);
}

// --- encryption ---

namespace {

// A small BIFF8 stream with records of every kind the encryption treats differently, spanning several
// 1,024-byte blocks. Element 1 is the FILEPASS placeholder.
std::vector<std::pair<uint16_t, Bytes>> SampleRecords() {
  return {{0x0809, kBof8},
          {0x002F, Bytes(54, 0)},
          {0x00E1, {0xB0, 0x04}},
          {0x00C1, {0x00, 0x00}},
          {0x00E2, {}},
          {0x005C, Pattern(112, 5)},
          {0x0085, {0x10, 0x20, 0x30, 0x40, 0x00, 0x00, 0x02, 0x00, 'S', 'x'}},
          {0x00FC, Pattern(3000, 6)},
          {0x0194, Pattern(8, 7)},
          {0x000A, {}},
          {0x0809, kBof8},
          {0x0203, Pattern(14, 8)},
          {0x00FD, Pattern(10, 9)},
          {0x0208, Pattern(2000, 10)},
          {0x000A, {}}};
}

}  // namespace

TEST(XLSStream, EncryptedStreamsReadBackWithThePassword) {
  const auto records = SampleRecords();
  auto write = [&](TXLSStream& s, Bytes& out) {
    s.SetDestMemory(&out);
    s.OpenWrite("", xvExcel97);
    uint8_t filePass[TXLSStream::kFilePassSize];
    s.MakeFilePass(filePass, u"geheim");
    for (size_t i = 0; i < records.size(); ++i)
      s.WriteRecord(records[i].first, i == 1 ? filePass : records[i].second.data(),
                    static_cast<uint16_t>(records[i].second.size()));
    EXPECT_TRUE(s.Encrypting());
    s.Close();
  };
  Bytes out1, out2;
  TXLSStream s;
  write(s, out1);
  write(s, out2);

  std::vector<std::vector<std::pair<uint16_t, Bytes>>> stored;
  for (const Bytes& out : {out1, out2}) {
    s.SetSourceMemory(&out);
    ASSERT_EQ(s.OpenRead(""), xvExcel97);
    stored.push_back(Records(s));
  }
  // A fresh salt and verifier every time, so the same content encrypts differently.
  ASSERT_EQ(stored[0].size(), records.size());
  EXPECT_TRUE(TXLSStream::IsRc4FilePass(stored[0][1].second.data(), 54));
  EXPECT_NE(stored[0][1].second, stored[1][1].second);
  EXPECT_NE(stored[0][7].second, stored[1][7].second);
  // What stays in clear and what does not.
  for (size_t i = 0; i < records.size(); ++i) {
    const uint16_t id = records[i].first;
    const bool clear =
        (id & 0xFF) == 0x09 || id == 0x002F || id == 0x00E1 || id == 0x0194 || records[i].second.empty();
    if (i == 1) continue;
    if (clear) {
      EXPECT_EQ(stored[0][i].second, records[i].second) << i;
    } else {
      EXPECT_NE(stored[0][i].second, records[i].second) << i;
    }
  }
  EXPECT_EQ(Bytes(stored[0][6].second.begin(), stored[0][6].second.begin() + 4),
            Bytes({0x10, 0x20, 0x30, 0x40}));
  EXPECT_NE(stored[0][6].second, records[6].second);

  // Read back: the wrong password is refused, the right one decrypts every body.
  for (const Bytes& out : {out1, out2}) {
    s.SetSourceMemory(&out);
    s.OpenRead("");
    TRecordHeader h;
    Bytes body(8224);
    s.ReadHeader(h);
    s.ReadRecordBody(h.id, body.data(), h.length);
    s.ReadHeader(h);
    ASSERT_EQ(h.id, 0x002F);
    ASSERT_EQ(s.ReadRecordBody(h.id, body.data(), h.length), 54u);
    EXPECT_FALSE(s.CheckPassword(body.data(), 54, u"Geheim"));
    EXPECT_FALSE(s.Decrypting());
    ASSERT_TRUE(s.CheckPassword(body.data(), 54, u"geheim"));
    EXPECT_TRUE(s.Decrypting());
    for (size_t i = 2; i < records.size(); ++i) {
      ASSERT_EQ(s.ReadHeader(h), 4u);
      EXPECT_EQ(h.id, records[i].first);
      body.assign(h.length, 0);
      s.ReadRecordBody(h.id, body.data(), h.length);
      EXPECT_EQ(body, records[i].second) << i;
    }
  }

  // Encryption begins before any of the stream is written out.
  Bytes out3;
  s.SetDestMemory(&out3);
  s.OpenWrite("", xvExcel97);
  EXPECT_FALSE(s.Encrypting());
  for (int i = 0; i < 100; ++i) s.AppendRecord(0x00EB, Pattern(8224));
  uint8_t filePass[TXLSStream::kFilePassSize];
  EXPECT_THROW(s.MakeFilePass(filePass, u"late"), EXLSError);
}

// The stream is encrypted piece by piece as it is written out; the result is what encrypting the
// whole stream at once by the format's rule gives, computed here from the salt the file carries. The
// 7-byte records at the end make pieces of a power-of-two size end at every offset in a record, inside
// headers as well as bodies; the stream position in BOUNDSHEET, patched long after it went out, stays
// in clear.
TEST(XLSStream, EncryptsPieceByPieceAsTheWholeStreamAtOnce) {
  auto records = [](TXLSStream& s) {
    for (int i = 0; i < 400000; ++i) {
      if (i % 10000 == 0 && i < 40000)
        s.AppendRecord(0x0809, kBof8);
      else if (i % 10000 == 1 && i < 40000)
        s.AppendRecord(0x00E1, {0xB0, 0x04});
      else if (i % 10000 == 2 && i < 40000)
        s.AppendRecord(0x00EB, Pattern(8224 + i % 7, static_cast<uint8_t>(i)));
      else
        s.AppendRecord(0x0203, Pattern(3, static_cast<uint8_t>(i)));
    }
  };
  const Bytes sheet = {0x44, 0x33, 0x22, 0x11, 0x00, 0x00, 0x02, 0x00, 'S', 'x'};
  Bytes out;
  TXLSStream s;
  s.SetDestMemory(&out);
  s.OpenWrite("", xvExcel97);
  s.AppendRecord(0x0809, kBof8);
  uint8_t filePass[TXLSStream::kFilePassSize];
  s.MakeFilePass(filePass, u"geheim");
  const Bytes filePassBody(filePass, filePass + sizeof filePass);
  s.AppendRecord(0x002F, filePassBody);
  const uint64_t position = s.Position() + 4;
  s.AppendRecord(0x0085, Concat({Bytes(4, 0), Bytes(sheet.begin() + 4, sheet.end())}));
  records(s);
  s.Patch(position, sheet.data(), 4);
  s.Close();

  Bytes clear;
  s.SetDestMemory(&clear);
  s.OpenWrite("", xvExcel30);  // the same records in a plain file, unencrypted
  s.AppendRecord(0x0809, kBof8);
  s.AppendRecord(0x002F, filePassBody);
  s.AppendRecord(0x0085, sheet);
  records(s);
  s.Close();

  Bytes stream = cfb::TCompoundDocument::OpenMemory(out).Root().FindStream(u"Workbook")->Data();
  ASSERT_EQ(stream.size(), clear.size());
  EXPECT_NE(stream, clear);
  TRc4Key key;
  key.Derive(u"geheim", filePass + 6);
  size_t p = 0;
  for (int record = 0; p + 4 <= stream.size(); ++record) {
    const uint16_t id = DecodeFixed16(&stream[p]);
    const size_t body = p + 4 + (id == 0x0085 ? 4 : 0);
    p += 4 + DecodeFixed16(&stream[p + 2]);
    if (record >= 2 && id != 0x0809 && id != 0x00E1 && body < p) key.Apply(&stream[body], p - body, body);
  }
  EXPECT_TRUE(stream == clear);
}

namespace {

// Reads an encrypted corpus file up to its FILEPASS and checks the password.
void OpenEncrypted(TXLSStream& s, const std::filesystem::path& path, std::u16string_view password,
                   bool expectAccepted) {
  ASSERT_EQ(s.OpenRead(path), xvExcel97);
  TRecordHeader h;
  Bytes body(8224);
  s.ReadHeader(h);
  s.ReadRecordBody(h.id, body.data(), h.length);
  s.ReadHeader(h);
  ASSERT_EQ(h.id, 0x002F);
  const uint32_t n = s.ReadRecordBody(h.id, body.data(), h.length);
  EXPECT_EQ(s.CheckPassword(body.data(), n, password), expectAccepted);
}

bool IsCellOrSst(uint16_t id) {
  switch (id) {
    case 0x00FC:
    case 0x00FD:
    case 0x0203:
    case 0x027E:
    case 0x00BD:
    case 0x0204:
    case 0x0205:
    case 0x0006:
    case 0x0201:
    case 0x00BE:
      return true;
    default:
      return false;
  }
}

std::vector<std::pair<uint16_t, Bytes>> CellRecords(TXLSStream& s) {
  std::vector<std::pair<uint16_t, Bytes>> out;
  TRecordHeader h;
  Bytes body;
  while (s.ReadHeader(h) == 4) {
    body.assign(h.length, 0);
    body.resize(s.ReadRecordBody(h.id, body.data(), h.length));
    if (IsCellOrSst(h.id)) out.emplace_back(h.id, body);
  }
  return out;
}

}  // namespace

TEST(XLSStream, DecryptsFilesEncryptedByOtherPrograms) {
  const auto plainPath = test::CorpusFile("gen/encrypted/lo_plain.xls");
  const auto encryptedPath = test::CorpusFile("gen/encrypted/lo__pw_pw136.xls");
  if (!std::filesystem::exists(plainPath)) GTEST_SKIP() << "corpus missing";
  TXLSStream plain;
  ASSERT_EQ(plain.OpenRead(plainPath), xvExcel97);
  TRecordHeader h;
  plain.ReadHeader(h);
  Bytes bof(h.length);
  plain.ReadRecordBody(h.id, bof.data(), h.length);
  const auto expected = CellRecords(plain);
  ASSERT_GT(expected.size(), 3u);
  EXPECT_EQ(expected.front().first, 0x00FC);

  TXLSStream s;
  OpenEncrypted(s, encryptedPath, u"pw136x", false);
  OpenEncrypted(s, encryptedPath, u"pw136", true);
  EXPECT_EQ(CellRecords(s), expected);

  // Excel's own sample: the global records after FILEPASS decrypt to sensible values.
  OpenEncrypted(s, test::CorpusFile("poi/password.xls"), u"Password", false);
  OpenEncrypted(s, test::CorpusFile("poi/password.xls"), u"password", true);
  Bytes body(8224);
  s.ReadHeader(h);
  ASSERT_EQ(h.id, 0x00E1);
  s.ReadRecordBody(h.id, body.data(), h.length);
  EXPECT_EQ(DecodeFixed16(body.data()), 1200);  // code page UTF-16 kept in clear
  for (;;) {
    ASSERT_EQ(s.ReadHeader(h), 4u);
    s.ReadRecordBody(h.id, body.data(), h.length);
    if (h.id == 0x0042) break;
  }
  EXPECT_EQ(DecodeFixed16(body.data()), 1200);  // CODEPAGE, decrypted
  while (s.ReadHeader(h) == 4 && h.id != 0x0085) s.ReadRecordBody(h.id, body.data(), h.length);
  ASSERT_EQ(h.id, 0x0085);
  ASSERT_EQ(s.ReadRecordBody(h.id, body.data(), h.length), h.length);
  EXPECT_LT(DecodeFixed32(body.data()), s.StreamSize());  // the sheet's position, in clear
  EXPECT_EQ(body[4], 0);                                  // visible worksheet
  EXPECT_EQ(body[5], 0);
  EXPECT_EQ(8u + body[6] * (body[7] & 1 ? 2u : 1u), h.length);  // the name fits the record
}

TEST(XLSStream, OnlyTheRightPasswordDecryptsTheOtherSchemes) {
  const auto path = test::CorpusFile("poi/35897-type4.xls");
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "corpus missing";
  TXLSStream s;
  OpenEncrypted(s, path, u"VelvetSweatshop", false);
  EXPECT_FALSE(s.Decrypting());
  OpenEncrypted(s, path, u"freedom", true);
  EXPECT_TRUE(s.Decrypting());
  // XOR obfuscation, the key and verifier of "abc" (xor-encryption-abc.xls).
  const uint8_t xorPass[6] = {0, 0, 0x4A, 0x51, 0x1A, 0xCC};
  EXPECT_FALSE(TXLSStream::IsRc4FilePass(xorPass, 6));
  EXPECT_FALSE(s.CheckPassword(xorPass, 6, u"abd"));
  // Before BIFF8 the body is the key and verifier alone, which a BIFF8 body never is.
  EXPECT_FALSE(s.CheckPassword(xorPass + 2, 4, u"abc"));
  EXPECT_TRUE(s.CheckPassword(xorPass + 2, 4, u"abc", false));
  EXPECT_TRUE(s.CheckPassword(xorPass, 6, u"abc"));
  EXPECT_FALSE(s.CheckPassword(nullptr, 0, u"abc"));
}

// --- files made by other programs ---

TEST(XLSStream, OpensEveryCorpusFileOrFailsCleanly) {
  const auto files = test::CorpusFiles("poi");
  if (files.empty()) GTEST_SKIP() << "corpus missing";
  int readable = 0;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    TXLSStream s;
    TExtraObjects extras;
    s.SetExtraObjects(&extras);
    TExcelVersion version;
    try {
      version = s.OpenRead(path);
    } catch (const EPlicatoError& e) {
      EXPECT_NE(std::string(e.what()), "") << name;
      continue;
    }
    ++readable;
    // BIFF5 files ("Book" streams) besides the named sample; everything else readable is BIFF8.
    const std::set<std::string> biff5 = {"testEXCEL_5.xls", "46904.xls", "60284.xls", "64130.xls"};
    if (name == "testEXCEL_3.xls")
      EXPECT_EQ(version, xvExcel30);
    else
      EXPECT_EQ(version, biff5.count(name) ? xvExcel50 : xvExcel97) << name;
    // Walking every record ends at the end of the stream.
    TRecordHeader h;
    Bytes body(65535);
    uint64_t records = 0;
    while (s.ReadHeader(h) == 4) {
      s.ReadBody(body.data(), h.length);
      ++records;
    }
    EXPECT_EQ(s.Position(), s.StreamSize()) << name;
    EXPECT_LE(records, s.StreamSize() / 4) << name;
    s.Close();
  }
  EXPECT_GT(readable, 150);
}

}  // namespace plicato
