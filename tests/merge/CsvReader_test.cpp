#include "merge/CsvReader.h"

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Errors.h"
#include "merge/MergeHost.h"
#include "workbook/CellFormats.h"

namespace plicato {

namespace fs = std::filesystem;

namespace {

struct TRead {
  std::vector<std::string> rows;  // "index:" then the row's fields by column, '|' between them
  std::string remarks;            // "U<line>" undecodable, "Q<line>" unclosed quote
};

TRead ReadCsv(const fs::path& path, const TCsvOptions& options = {}) {
  std::unique_ptr<TInputBook> book = MakeCsvBook(path, options);
  book->SelectSheet(0);
  TRead read;
  TInRow row;
  while (book->NextRow(row)) {
    std::string text = std::to_string(row.index) + ":";
    uint32_t column = 0;
    for (const TInCell& cell : row.cells) {
      for (; column < cell.column; ++column) text += "|";
      text += cell.kind == ikNumber ? "#" + ToUtf8(cell.format) : ToUtf8(cell.text);
    }
    read.rows.push_back(text);
  }
  for (const TInRemark& remark : book->Remarks())
    read.remarks += (remark.kind == TInRemark::rkUndecodable ? "U" : "Q") + std::to_string(remark.line);
  return read;
}

void Write(const fs::path& path, const std::string& bytes) {
  test::WriteFileBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::string Utf16(std::u16string_view text, bool big) {
  std::string bytes = big ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : text) {
    const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
    bytes += big ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

}  // namespace

TEST(CsvReader, EncodingsSeparatorsAndQuotes) {
  struct TCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> rows;
    std::string remarks = {};
    TCsvOptions options = {};
  };
  const std::vector<TCase> cases = {
      {"utf8.csv", "\xEF\xBB\xBF名,b\r\n1,2\r\n", {"0:名|b", "1:1|2"}},
      {"utf8bad.csv",
       "\xEF\xBB\xBF\xF0\x9F\x98\x80,\xFF\xE5\x90\n",
       {"0:\U0001F600|\uFFFD\uFFFD\uFFFD"},
       "U1"},
      {"le.csv", Utf16(u"名,b\n1,2", false), {"0:名|b", "1:1|2"}},
      {"be.csv", Utf16(u"名\tb\r\n", true), {"0:名|b"}},
      {"gbk.csv", "\xC3\xFB\xD7\xD6\x2C\xCA\xFD\x0A\xCD\xF5\xCE\xE5\x2C\x37\x0A", {"0:名字|数", "1:王五|7"}},
      {"big5.csv", "\xA4\xA4\xA4\xE5\x2C\x61\x0A", {"0:中文|a"}, "", {"BIG5"}},
      {"semicolon.csv", "a;b,c;d\n1;2;3\n", {"0:a|b,c|d", "1:1|2|3"}},
      {"pipe.csv", "a|b\rc|d\r", {"0:a|b", "1:c|d"}},
      {"tab.tsv", "a,b\tc\n", {"0:a,b|c"}},
      {"given.csv", "a,b;c\n", {"0:a,b|c"}, "", {"", u';'}},
      {"quotes.csv",
       "\"x,y\",\"say \"\"hi\"\"\",\"two\r\nlines\"\nz\"q,\"a\"b\n",
       {"0:x,y|say \"hi\"|two\r\nlines", "1:z\"q|ab"}},
      {"ragged.csv", "a,b,c\n\n,,x\nd\n,\n", {"0:a|b|c", "2:||x", "3:d"}},
      {"unclosed.csv", "a,b\n1,\"open\n2,3", {"0:a|b", "1:1|open\n2,3"}, "Q2"},
      {"nul.csv", std::string("a,b\n1,x\0y\n", 10), {"0:a|b", "1:1|x\uFFFDy"}, "U2"},
      {"badgbk.csv", "\xC3\xFB,b\n1,\xFF\n", {"0:名|b", "1:1|\uFFFD"}, "U2"},
      {"trailing.csv", "a,", {"0:a"}},
  };
  test::TempDir dir;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir.Path() / c.name;
    Write(path, c.bytes);
    const TRead read = ReadCsv(path, c.options);
    EXPECT_EQ(read.rows, c.rows);
    EXPECT_EQ(read.remarks, c.remarks);
  }
}

// Pieces of the file end inside multi-byte characters, quoted line breaks and CR LF pairs: read in pieces
// of 256 KB or of 7 bytes, a long GB18030 file gives every row, and a selected sheet reads again from its
// top.
TEST(CsvReader, LongFileReadsAcrossPiecesAndAgain) {
  test::TempDir dir;
  std::string bytes;
  for (int i = 0; i < 40000; ++i)
    bytes += std::to_string(i) + ",\xC3\xFB\xD7\xD6,\"a\r\nb\"" + (i % 3 ? "\r\n" : "\n");
  const fs::path path = dir.Path() / "long.csv";
  Write(path, bytes);
  for (const size_t piece : {size_t{256} << 10, size_t{7}}) {
    SetCsvPieceSize(piece);
    std::unique_ptr<TInputBook> book = MakeCsvBook(path, {"", u','});
    SetCsvPieceSize(256 << 10);
    for (int pass = 0; pass < 2; ++pass) {
      book->SelectSheet(0);
      TInRow row;
      uint32_t count = 0;
      while (book->NextRow(row)) {
        ASSERT_EQ(row.index, count);
        ASSERT_EQ(row.cells.size(), 3u);
        ASSERT_EQ(ToUtf8(row.cells[0].text), std::to_string(count));
        ASSERT_EQ(row.cells[1].text, u"名字");
        ASSERT_EQ(row.cells[2].text, u"a\r\nb");
        ++count;
      }
      EXPECT_EQ(count, 40000u) << piece;
    }
    EXPECT_TRUE(book->Remarks().empty());
  }
}

TEST(CsvReader, RefusesOverlongLineAndUnknownEncoding) {
  test::TempDir dir;
  const fs::path path = dir.Path() / "long.csv";
  Write(path, "a,b\nx,\"" + std::string(kCsvLineBudget + 1, 'y') + "\"\n");
  const auto kindOf = [&](const TCsvOptions& options) {
    try {
      ReadCsv(path, options);
    } catch (const EPlicatoError& e) {
      EXPECT_NE(std::string(e.what()).find(options.encoding.empty() ? "Line 2 " : "NO-SUCH"),
                std::string::npos);
      return e.Kind();
    }
    return ekOther;
  };
  EXPECT_EQ(kindOf({}), ekDamaged);
  EXPECT_EQ(kindOf({"NO-SUCH-ENCODING"}), ekUnsupported);
  EXPECT_FALSE(CsvEncodingKnown("NO-SUCH-ENCODING"));
}

TEST(CsvReader, ValueRules) {
  struct TCase {
    const char16_t* field;
    TCsvValue kind;
    double value = 0;
  };
  const std::vector<TCase> cases = {
      {u"-12.5", cvNumber, -12.5},
      {u"3e-4", cvNumber, 3e-4},
      {u"0", cvNumber, 0},
      {u"0.25", cvNumber, 0.25},
      {u"123456789012345", cvNumber, 123456789012345.0},
      {u"1234567890123456", cvText},
      {u"110101199001011234", cvText},
      {u"00123", cvText},
      {u"+5", cvText},
      {u"1,234.5", cvText},
      {u"-0", cvText},
      {u"5.", cvText},
      {u".5", cvText},
      {u"1e400", cvText},
      {u"1e-400", cvText},
      {u" 1", cvText},
      {u"TRUE", cvText},
      {u"2024-03-01", cvDate, 45352},
      {u"2024/03/01 12:30", cvDateTime, 45352.5208333333},
      {u"1900-03-01 00:00:30", cvDateTime, 61 + 30 / 86400.0},
      {u"1900-01-01", cvDate, 1},
      {u"2023-02-29", cvText},
      {u"2024-03/01", cvText},
      {u"2024-13-01", cvText},
      {u"2024-03-01 24:00", cvText},
      {u"1899-12-31", cvText},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(ToUtf8(c.field));
    double value = -1;
    EXPECT_EQ(CsvFieldValue(c.field, value), c.kind);
    if (c.kind != cvText) {
      EXPECT_NEAR(value, c.value, 1e-9);
    }
  }
}

// Every plain number gives the double the C library reads from it, whatever way it is taken apart.
TEST(CsvReader, NumbersReadAsStrtodReadsThem) {
  uint64_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const int digits = 1 + static_cast<int>((seed >> 33) % 15);
    const int point = static_cast<int>((seed >> 20) % (digits + 1));
    std::string text = std::to_string((seed >> 7) % 1000000000000000ull);
    text = text.substr(0, static_cast<size_t>(digits));
    if (point > 0 && point < static_cast<int>(text.size())) text.insert(static_cast<size_t>(point), ".");
    if (text.size() > 1 && text[0] == '0' && text[1] != '.') continue;
    if (seed & 1) text = "-" + text;
    double value = 0;
    if (CsvFieldValue(FromUtf8(text), value) != cvNumber) continue;
    ASSERT_EQ(value, std::strtod(text.c_str(), nullptr)) << text;
  }
}

TEST(CsvReader, ReadAsCsvByNameOrContent) {
  test::TempDir dir;
  auto write = [&](const char* name, std::string bytes) {
    Write(dir.Path() / name, bytes);
    return ReadAsCsv(dir.Path() / name);
  };
  EXPECT_TRUE(write("a.CSV", "a,b\n"));
  EXPECT_TRUE(write("a.tsv", "a\tb\n"));
  EXPECT_TRUE(write("noext", "a,b\n"));
  EXPECT_FALSE(write("a.xls", "a,b\n"));
  EXPECT_FALSE(write("zip.csv", "PK\x03\x04rest"));
  EXPECT_FALSE(write("cfb", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"));
  EXPECT_FALSE(write("biff", std::string("\x09\x04\x06\x00", 4)));
}

}  // namespace plicato

namespace plicato {

// A CSV file among workbooks: its header row skipped as theirs are, its fields typed by the value rules,
// its remarks and a sheet it does not have noted on it.
TEST(CsvReader, MergesAmongWorkbooks) {
  test::TempDir dir;
  WriteInput(dir / "a.xls", [](TSheet& s) {
    s.PutText(0, 0, u"id");
    s.PutText(0, 1, u"from xls");
  });
  Write(dir / "b.csv", "id,day\n00123,2024-03-01\n\xC3\xFB,\xFF\n");
  TRecordingHost host;
  host.files = {(dir / "a.xls").string(), (dir / "b.csv").string()};
  host.savePath = (dir / "out.xls").string();
  host.options.values = true;
  host.options.headerRows = 1;
  MergeFiles(host);
  TOutput out(host.savePath);
  EXPECT_EQ(out.LastRow(), 3);
  EXPECT_EQ(out.Text(0, 2), u"00123");
  const TCell* day = out.Sheet().FindCell(1, 2);
  ASSERT_TRUE(day && day->kind == ckFloat);
  EXPECT_EQ(day->number, 45352);
  EXPECT_EQ(out.wb.CellFormats().ByHandle(day->format)->NumberFormatText(), kCsvDateFormat);
  EXPECT_EQ(out.Text(0, 3), u"名");
  EXPECT_EQ(host.notes, std::vector<std::string>{"b.csv: Bytes the encoding cannot decode, first on line 3, "
                                                 "were read as U+FFFD."});

  host.files = {(dir / "b.csv").string()};
  host.options.sheet = {TSheetChoice::scIndex, 2, u""};
  host.notes.clear();
  MergeFiles(host);
  EXPECT_EQ(TOutput(host.savePath).LastRow(), 2);
  ASSERT_EQ(host.notes.size(), 2u);
  EXPECT_EQ(host.notes[0], "b.csv: A CSV file has one sheet: it was merged in place of the sheet asked for.");
}

}  // namespace plicato
