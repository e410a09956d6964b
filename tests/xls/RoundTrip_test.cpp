// Read, write, read again: every corpus file the reader reads is written by the writer and read back,
// and must hold the same cells. Workbooks read from files before BIFF8 are written as BIFF8 with only
// BIFF8 records and their formulas as values; their checks are here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/Columns.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato {
namespace {

namespace R = BIFFRecs;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------------
// The corpus

// Corpus files the reader refuses, with the reason. Any other refusal fails the round trip test.
const std::map<std::string, std::string>& KnownUnreadable() {
  static const std::map<std::string, std::string> files = {
      {"poi/61300.xls", "damaged record stream: an XF record runs past the end of the workbook stream"},
  };
  return files;
}

bool IsKnownUnreadable(const std::string& relative) {
  // The fuzzer's minimised test cases are damaged on purpose.
  return KnownUnreadable().count(relative) > 0 || relative.rfind("poi/clusterfuzz-", 0) == 0;
}

// ---------------------------------------------------------------------------------------------------
// What a workbook reports for its cells

struct TCellReport {
  uint32_t key = 0;
  uint8_t kind = 0;
  int format = 0;
  std::u16string text;      // GetText
  uint64_t numberBits = 0;  // the exact number of a number (or number formula) cell
};

uint64_t Bits(double value) {
  uint8_t bytes[8];
  EncodeDouble(bytes, value);
  return DecodeFixed64(bytes);
}

std::vector<TCellReport> ReportCells(TSheet& sheet) {
  std::vector<uint32_t> keys;
  sheet.Cells().BeginIteration();
  for (TCellRef ref = sheet.Cells().NextCell(); ref; ref = sheet.Cells().NextCell()) keys.push_back(ref.key);
  std::vector<TCellReport> cells;
  cells.reserve(keys.size());
  for (uint32_t key : keys) {
    const int column = static_cast<int>(KeyColumn(key)), row = static_cast<int>(KeyRow(key));
    const TCell& cell = *sheet.Cells().LookupKey(key);
    TCellReport report;
    report.key = key;
    report.kind = cell.kind;
    report.format = sheet.CellFormatIndex(cell);
    report.text = sheet.GetText(column, row);
    if (const TCellVariant value = sheet.GetVariant(column, row); std::holds_alternative<double>(value))
      report.numberBits = Bits(std::get<double>(value));
    cells.push_back(std::move(report));
  }
  return cells;
}

struct TWorkbookReport {
  std::vector<std::u16string> names;
  std::vector<std::vector<TCellReport>> sheets;
  std::vector<std::string> columns;  // per sheet: hidden, outline level and collapsed of each column
};

TWorkbookReport ReportWorkbook(TXLSWorkbook& workbook) {
  TWorkbookReport report;
  for (int i = 0; i < workbook.Sheets().Count(); ++i) {
    TSheet& sheet = workbook.Sheets()[i];
    report.names.push_back(sheet.Name());
    report.sheets.push_back(ReportCells(sheet));
    std::string columns;
    for (int c = 0; c < 256; ++c)
      if (const TXLSColumn* column = sheet.Columns().Item(c))
        columns += FormatMessage("%d:%d%d%d ", c, column->Hidden, column->OutlineLevel, column->Collapsed);
    report.columns.push_back(columns);
  }
  return report;
}

// The kind a cell has once written and read again: a workbook read from a file before BIFF8 writes
// its formula cells as their values.
uint8_t KindAfterWrite(uint8_t kind, bool formulasAsValues) {
  if (!formulasAsValues) return kind;
  switch (kind) {
    case ckNumberFormula:
    case ckNumberArrayFormula:
      return ckFloat;
    case ckStringFormula:
    case ckStringArrayFormula:
      return ckString;
    case ckBooleanFormula:
      return ckBoolean;
    case ckErrorFormula:
      return ckError;
    default:
      return kind;
  }
}

std::string CellName(uint32_t key) {
  return "R" + std::to_string(KeyRow(key)) + "C" + std::to_string(KeyColumn(key));
}

// Differences between what a workbook reported (expected, with its kinds mapped as the write maps
// them) and what another reports; empty when they agree.
std::vector<std::string> Differences(const TWorkbookReport& expected, const TWorkbookReport& found,
                                     bool formulasAsValues) {
  std::vector<std::string> out;
  if (expected.names != found.names) {
    out.push_back(FormatMessage("sheets: %zu, found %zu, or their names differ", expected.names.size(),
                                found.names.size()));
    return out;
  }
  for (size_t s = 0; s < expected.sheets.size(); ++s) {
    if (expected.columns[s] != found.columns[s])
      out.push_back(FormatMessage("sheet %zu: columns %s, found %s", s, expected.columns[s].c_str(),
                                  found.columns[s].c_str()));
    const std::vector<TCellReport>& a = expected.sheets[s];
    const std::vector<TCellReport>& b = found.sheets[s];
    std::map<uint32_t, const TCellReport*> byKey;
    for (const TCellReport& cell : b) byKey[cell.key] = &cell;
    const std::string sheet = "sheet " + std::to_string(s) + " ";
    if (a.size() != b.size())
      out.push_back(FormatMessage("%s: %zu cells, found %zu", sheet.c_str(), a.size(), b.size()));
    for (const TCellReport& cell : a) {
      const auto it = byKey.find(cell.key);
      const std::string name = sheet + CellName(cell.key);
      if (it == byKey.end()) {
        out.push_back(name + ": missing");
        continue;
      }
      const TCellReport& other = *it->second;
      const uint8_t kind = KindAfterWrite(cell.kind, formulasAsValues);
      if (other.kind != kind)
        out.push_back(FormatMessage("%s: kind %d, found %d", name.c_str(), kind, other.kind));
      if (other.format != cell.format)
        out.push_back(FormatMessage("%s: format %d, found %d", name.c_str(), cell.format, other.format));
      if (other.text != cell.text)
        out.push_back(name + ": text \"" + ToUtf8(cell.text) + "\", found \"" + ToUtf8(other.text) + "\"");
      if (other.numberBits != cell.numberBits) out.push_back(name + ": the number differs in its bits");
    }
  }
  return out;
}

std::string FirstOf(const std::vector<std::string>& differences) {
  std::string text;
  for (size_t i = 0; i < differences.size() && i < 8; ++i) text += "\n  " + differences[i];
  if (differences.size() > 8) text += FormatMessage("\n  ... %zu differences in all", differences.size());
  return text;
}

// ---------------------------------------------------------------------------------------------------
// The written stream

struct TRecord {
  uint16_t id;
  Bytes body;
};

std::vector<TRecord> WrittenRecords(const Bytes& file) {
  TXLSStream stream;
  stream.SetSourceMemory(&file);
  EXPECT_EQ(stream.OpenRead(""), xvExcel97);
  std::vector<TRecord> records;
  TRecordHeader header;
  while (stream.ReadHeader(header) == kRecordHeaderSize) {
    Bytes body(header.length);
    EXPECT_EQ(stream.ReadPlain(body.data(), header.length), header.length);
    records.push_back({header.id, std::move(body)});
  }
  return records;
}

int Count(const std::vector<TRecord>& records, uint16_t id) {
  int n = 0;
  for (const TRecord& r : records) n += r.id == id ? 1 : 0;
  return n;
}

const TRecord* Find(const std::vector<TRecord>& records, uint16_t id) {
  for (const TRecord& r : records)
    if (r.id == id) return &r;
  return nullptr;
}

// What a BIFF8 file says of its sheets and macros: the BOUNDSHEET types in order (unless encrypted,
// where they are), the OBPROJ records and whether the macro project storage is there.
struct TFileFacts {
  std::vector<uint8_t> sheetTypes;
  int obproj = 0;
  bool macros = false;
};

TFileFacts Facts(const Bytes& file, bool encrypted) {
  TFileFacts facts;
  for (const TRecord& r : WrittenRecords(file)) {
    if (r.id == R::BOUNDSHEET && !encrypted && r.body.size() > 5) facts.sheetTypes.push_back(r.body[5]);
    facts.obproj += r.id == R::OBPROJ ? 1 : 0;
  }
  facts.macros = cfb::TCompoundDocument::OpenMemory(file).Root().FindStorage(u"_VBA_PROJECT_CUR") != nullptr;
  return facts;
}

// ---------------------------------------------------------------------------------------------------
// Every readable corpus file

TEST(RoundTrip, EveryReadableCorpusFileReadsBackWithTheSameCells) {
  const std::vector<fs::path> files = test::CorpusWorkbooks();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << test::CorpusDir();
  int roundTripped = 0, refused = 0, oldVersions = 0, cells = 0;
  for (const fs::path& path : files) {
    const std::string relative = test::CorpusRelativeName(path);
    SCOPED_TRACE(relative);
    TXLSWorkbook source;
    source.Filename = FromUtf8(path.string());
    source.Password = test::CorpusPassword(relative);
    try {
      ReadWorkbook(source);
    } catch (const EPlicatoError& e) {
      ++refused;
      EXPECT_TRUE(IsKnownUnreadable(relative)) << "the reader refuses it: " << e.what();
      continue;
    }
    const bool old = source.Version() < xvExcel97;
    const TWorkbookReport before = ReportWorkbook(source);

    Bytes image;
    try {
      WriteWorkbook(source, image);
    } catch (const EPlicatoError& e) {
      ADD_FAILURE() << "the writer fails: " << e.what();
      continue;
    }
    // Writing changes nothing the workbook reports about its cells.
    const std::vector<std::string> changed = Differences(before, ReportWorkbook(source), false);
    EXPECT_TRUE(changed.empty()) << "the write changed the workbook:" << FirstOf(changed);

    TXLSWorkbook copy;
    copy.Password = source.Password;  // a workbook with a password is written encrypted with it
    try {
      ReadWorkbook(copy, image);
    } catch (const EPlicatoError& e) {
      ADD_FAILURE() << "the written file cannot be read: " << e.what();
      continue;
    }
    EXPECT_EQ(copy.Version(), xvExcel97);
    // Every sheet keeps its kind and place, chart sheets included, and macros go along.
    const Bytes file = test::ReadFileBytes(path);
    TXLSStream probe;
    probe.SetSourceMemory(&file);
    if (probe.OpenRead("") == xvExcel97) {
      const bool encrypted = !source.Password.empty();
      const TFileFacts original = Facts(file, encrypted), written = Facts(image, encrypted);
      EXPECT_EQ(written.sheetTypes, original.sheetTypes);
      EXPECT_EQ(written.obproj, original.obproj);
      EXPECT_EQ(written.macros, original.macros);
    }
    const std::vector<std::string> differences = Differences(before, ReportWorkbook(copy), old);
    EXPECT_TRUE(differences.empty()) << "the written file holds other cells:" << FirstOf(differences);
    if (differences.empty() && changed.empty()) {
      ++roundTripped;
      oldVersions += old ? 1 : 0;
      for (const auto& sheet : before.sheets) cells += static_cast<int>(sheet.size());
    }
  }
  std::cout << "round trip: " << roundTripped << " of " << files.size() << " corpus files (" << oldVersions
            << " of them before BIFF8, " << cells << " cells); " << refused << " refused by the reader\n";
  EXPECT_GT(roundTripped, 150);
}

// A read of the top rows keeps exactly the cells of those rows that the whole read gives, also where a
// file stores a top row's cells after lower rows (poi/51670.xls, poi/59830.xls, poi/bug69021.xls), and
// tells whether it left any out.
TEST(RoundTrip, TopRowsOfEveryCorpusFileAsTheWholeReadHasThem) {
  const std::vector<fs::path> files = test::CorpusWorkbooks();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << test::CorpusDir();
  int compared = 0;
  for (const fs::path& path : files) {
    const std::string relative = test::CorpusRelativeName(path);
    SCOPED_TRACE(relative);
    TXLSWorkbook whole;
    whole.Filename = FromUtf8(path.string());
    whole.Password = test::CorpusPassword(relative);
    try {
      ReadWorkbook(whole);
    } catch (const EPlicatoError&) {
      continue;  // the round trip above accounts for the files the reader refuses
    }
    const TWorkbookReport all = ReportWorkbook(whole);
    for (uint32_t rows : {1u, 3u, 40u}) {
      SCOPED_TRACE(rows);
      TWorkbookReport expected = all;
      bool cut = false;
      for (std::vector<TCellReport>& sheet : expected.sheets)
        cut =
            std::erase_if(sheet, [rows](const TCellReport& cell) { return KeyRow(cell.key) >= rows; }) > 0 ||
            cut;
      TXLSWorkbook top;
      top.Filename = whole.Filename;
      top.Password = whole.Password;
      EXPECT_EQ(ReadWorkbookTop(top, rows), !cut);
      const std::vector<std::string> differences = Differences(expected, ReportWorkbook(top), false);
      EXPECT_TRUE(differences.empty()) << FirstOf(differences);
    }
    ++compared;
  }
  EXPECT_GT(compared, 150);
}

// Formula cells whose cached result follows a record of their own (TABLE) or is marked in the result
// bytes of an array formula's first cell read as that result (the corpus round trip keeps it).
TEST(RoundTrip, FormulaResultsOfDataTablesAndArraysAreKept) {
  struct TExpected {
    const char* file;
    int row, column;
    TCellKind kind;
    std::u16string text;
  };
  for (const TExpected& e :
       {TExpected{"poi/testArraysAndTables.xls", 26, 2, ckStringFormula, u"103a"},
        TExpected{"poi/52527.xls", 4, 10, ckErrorFormula, u"#VALUE!"},
        TExpected{"poi/MatrixFormulaEvalTestData.xls", 9, 7, ckErrorFormula, u"#VALUE!"}}) {
    SCOPED_TRACE(e.file);
    const fs::path path = test::CorpusFile(e.file);
    if (!fs::exists(path)) GTEST_SKIP() << "no corpus";
    TXLSWorkbook source;
    source.Filename = FromUtf8(path.string());
    ReadWorkbook(source);
    EXPECT_EQ(source.Sheets()[0].GetCellKind(e.column, e.row), e.kind);
    EXPECT_EQ(source.Sheets()[0].GetText(e.column, e.row), e.text);
  }
}

// The corpus round trip keeps macros; a workbook told not to preserve them drops both parts.
TEST(RoundTrip, MacrosAreDroppedWhenNotPreserved) {
  const fs::path path = test::CorpusFile("poi/30070.xls");
  if (!fs::exists(path)) GTEST_SKIP() << "no corpus";
  TXLSWorkbook workbook;
  workbook.Filename = FromUtf8(path.string());
  ReadWorkbook(workbook);
  workbook.PreserveMacros = false;
  Bytes image;
  WriteWorkbook(workbook, image);
  const TFileFacts facts = Facts(image, false);
  EXPECT_FALSE(facts.macros);
  EXPECT_EQ(facts.obproj, 0);
}

// ---------------------------------------------------------------------------------------------------
// Workbooks read from files before BIFF8

// Records that a BIFF8 reader misreads or that have no meaning in BIFF8.
const std::set<uint16_t>& RecordsOfOldLayouts() {
  static const std::set<uint16_t> ids = {R::FORMULA,
                                         R::FORMULA_3,
                                         R::FORMULA_4,
                                         R::STRING,
                                         R::ARRAY,
                                         R::SHRFMLA,
                                         R::EXTERNCOUNT,
                                         R::EXTERNSHEET,
                                         R::NAME,
                                         R::NAME_3,
                                         R::EXTERNNAME,
                                         R::NOTE,
                                         R::CONTINUE,
                                         0x00BF /*TOOLBARHDR*/,
                                         0x00C0,
                                         0x001E /*FORMAT before BIFF4*/,
                                         0x005D /*OBJ*/,
                                         R::PLS,
                                         0x0056 /*BUILTINFMTCOUNT*/,
                                         R::BOF_3,
                                         R::BOF_4,
                                         R::FONT_3,
                                         R::XF_3,
                                         R::XF_4,
                                         R::DIMENSIONS_2};
  return ids;
}

TEST(RoundTrip, KeepOnlyRecordsInTheBiff8Layout) {
  for (const char* name :
       {"gen/merge/e_biff5.xls", "poi/testEXCEL_5.xls", "poi/64130.xls", "poi/testEXCEL_3.xls"}) {
    SCOPED_TRACE(name);
    const fs::path path = test::CorpusFile(name);
    if (!fs::exists(path)) GTEST_SKIP() << "no corpus";
    TXLSWorkbook source;
    source.Filename = FromUtf8(path.string());
    ReadWorkbook(source);
    ASSERT_LT(source.Version(), xvExcel97);
    Bytes image;
    WriteWorkbook(source, image);
    const std::vector<TRecord> records = WrittenRecords(image);
    ASSERT_FALSE(records.empty());

    for (const TRecord& r : records)
      EXPECT_EQ(RecordsOfOldLayouts().count(r.id), 0u) << FormatMessage("record %.4X", r.id);
    // Substreams: globals and one per sheet, each a BIFF8 BOF closed by its EOF.
    int open = 0, substreams = 0;
    for (const TRecord& r : records) {
      if (r.id == R::BOF) {
        EXPECT_EQ(open, 0) << "a BOF inside a substream";
        ASSERT_GE(r.body.size(), 4u);
        EXPECT_EQ(DecodeFixed16(r.body.data()), 0x0600);
        ++open;
        ++substreams;
      } else if (r.id == R::EOF_) {
        EXPECT_EQ(open, 1) << "an EOF outside a substream";
        --open;
      }
    }
    EXPECT_EQ(open, 0);
    EXPECT_EQ(substreams, 1 + source.Sheets().Count());
    // The code page of a BIFF8 file is UTF-16: its texts are all Unicode.
    const TRecord* codePage = Find(records, R::CODEPAGE);
    ASSERT_NE(codePage, nullptr);
    EXPECT_EQ(DecodeFixed16(codePage->body.data()), 1200);
    if (const TRecord* hdr = Find(records, R::INTERFACEHDR)) {
      ASSERT_EQ(hdr->body.size(), 2u);
      EXPECT_EQ(DecodeFixed16(hdr->body.data()), 1200);
    }
    // WINDOW2 in its BIFF8 length, with a palette index for the gridline colour.
    for (const TRecord& r : records) {
      if (r.id != R::WINDOW2) continue;
      ASSERT_EQ(r.body.size(), 18u);
      EXPECT_EQ(DecodeFixed16(r.body.data() + 6), 0x40);
    }
  }
}

TEST(RoundTrip, BiffFiveCorpusFileHoldsItsFormulaResultsAsValues) {
  const fs::path path = test::CorpusFile("gen/merge/e_biff5.xls");
  if (!fs::exists(path)) GTEST_SKIP() << "no corpus";
  TXLSWorkbook source;
  source.Filename = FromUtf8(path.string());
  ReadWorkbook(source);
  ASSERT_EQ(source.Version(), xvExcel50);
  // The file's formulas are of the kinds the write turns into values.
  int formulas = 0;
  for (const TCellReport& cell : ReportCells(source.Sheets()[0]))
    formulas += IsFormulaKind(cell.kind) ? 1 : 0;
  ASSERT_GT(formulas, 0);

  Bytes image;
  WriteWorkbook(source, image);
  TXLSWorkbook copy;
  ReadWorkbook(copy, image);
  for (const TCellReport& cell : ReportCells(copy.Sheets()[0])) EXPECT_FALSE(IsFormulaKind(cell.kind));
  // The source still holds its formulas.
  int still = 0;
  for (const TCellReport& cell : ReportCells(source.Sheets()[0])) still += IsFormulaKind(cell.kind) ? 1 : 0;
  EXPECT_EQ(still, formulas);
}

std::unique_ptr<TFormulaData> FormulaData() {
  auto data = std::make_unique<TFormulaData>();
  data->expression = {0x1E, 0x01, 0x00};  // tInt 1: a BIFF5 token stream like any
  data->tokenLength = 3;
  return data;
}

std::unique_ptr<TFormulaData> NumberResult(double value) {
  auto data = FormulaData();
  EncodeDouble(data->result, value);
  return data;
}

std::unique_ptr<TFormulaData> TextResult(std::u16string text) {
  auto data = FormulaData();
  data->text = std::move(text);
  return data;
}

std::unique_ptr<TFormulaData> SmallResult(uint8_t value) {
  auto data = FormulaData();
  data->small = value;
  return data;
}

TEST(RoundTrip, FormulaCellsAreWrittenAsTheirCachedValues) {
  TXLSWorkbook source;
  source.SetVersion(xvExcel50);
  TSheet& sheet = source.Sheets()[0];
  // Row 0: numbers with and without an RK form, in a run with plain numbers.
  sheet.PutFloat(0, 0, 1, 15);
  sheet.PutFormula(1, 0, ckNumberFormula, 15, NumberResult(2));
  sheet.PutFormula(2, 0, ckNumberArrayFormula, 15, NumberResult(3));
  sheet.PutFormula(3, 0, ckNumberFormula, 15, NumberResult(1.1));
  // Row 1: texts, 8-bit, 16-bit and empty.
  sheet.PutFormula(0, 1, ckStringFormula, 15, TextResult(u"abc"));
  sheet.PutFormula(1, 1, ckStringFormula, 15, TextResult(u"\u4E2D\u6587 \u00E9"));
  sheet.PutFormula(2, 1, ckStringFormula, 15, TextResult(u""));
  sheet.PutFormula(3, 1, ckStringArrayFormula, 15, TextResult(u"array"));
  sheet.PutText(4, 1, u"plain");
  // Row 2: booleans and errors; an error result without a known value writes #N/A.
  sheet.PutFormula(0, 2, ckBooleanFormula, 15, SmallResult(1));
  sheet.PutFormula(1, 2, ckBooleanFormula, 15, SmallResult(0));
  sheet.PutFormula(2, 2, ckErrorFormula, 15, SmallResult(ceDiv0));
  sheet.PutFormula(3, 2, ckErrorFormula, 15, SmallResult(ceNone));
  // Row 3: the first cell of an array formula whose result bytes mark a boolean, an error and a text.
  auto marked = [](uint8_t type, uint8_t value) {
    auto data = FormulaData();
    const uint8_t bytes[8] = {type, 0, value, 0, 0, 0, 0xFF, 0xFF};
    std::memcpy(data->result, bytes, 8);
    return data;
  };
  sheet.PutFormula(0, 3, ckNumberArrayFormula, 15, marked(1, 1));
  sheet.PutFormula(1, 3, ckNumberArrayFormula, 15, marked(2, 0x17));
  sheet.PutFormula(2, 3, ckNumberArrayFormula, 15, marked(3, 0));
  const TWorkbookReport before = ReportWorkbook(source);

  Bytes image;
  WriteWorkbook(source, image);
  const std::vector<TRecord> records = WrittenRecords(image);
  for (uint16_t id : {R::FORMULA, R::STRING, R::ARRAY}) EXPECT_EQ(Count(records, id), 0) << id;
  EXPECT_EQ(Count(records, R::LABEL), 5);
  EXPECT_EQ(Count(records, R::LABELSST), 1);
  // 1, 2 and 3 form one MULRK; 1.1 has no RK form.
  const TRecord* mulrk = Find(records, R::MULRK);
  ASSERT_NE(mulrk, nullptr);
  EXPECT_EQ(mulrk->body.size(), 6u + 6 * 3);
  EXPECT_EQ(Count(records, R::NUMBER), 1);
  // LABEL: 8-bit characters when they all fit, else 16-bit.
  std::vector<const TRecord*> labels;
  for (const TRecord& r : records)
    if (r.id == R::LABEL) labels.push_back(&r);
  ASSERT_EQ(labels.size(), 5u);
  EXPECT_EQ(labels[0]->body, (Bytes{1, 0, 0, 0, 15, 0, 3, 0, 0, 'a', 'b', 'c'}));
  EXPECT_EQ(labels[1]->body.size(), 9u + 2 * 4);
  EXPECT_EQ(labels[1]->body[8], 1);
  EXPECT_EQ(labels[2]->body, (Bytes{1, 0, 2, 0, 15, 0, 0, 0, 0}));

  // The workbook itself still holds its formulas.
  EXPECT_TRUE(Differences(before, ReportWorkbook(source), false).empty());

  TXLSWorkbook copy;
  ReadWorkbook(copy, image);
  TSheet& back = copy.Sheets()[0];
  const std::vector<std::string> differences = [&] {
    // Row 3 and the #N/A cell change their text (the marked results were NaN numbers in memory).
    TWorkbookReport expected = before;
    std::vector<TCellReport>& cells = expected.sheets[0];
    cells.erase(
        std::remove_if(cells.begin(), cells.end(),
                       [](const TCellReport& c) { return KeyRow(c.key) == 3 || c.key == CellKey(3, 2); }),
        cells.end());
    TWorkbookReport found = ReportWorkbook(copy);
    std::vector<TCellReport>& foundCells = found.sheets[0];
    foundCells.erase(
        std::remove_if(foundCells.begin(), foundCells.end(),
                       [](const TCellReport& c) { return KeyRow(c.key) == 3 || c.key == CellKey(3, 2); }),
        foundCells.end());
    return Differences(expected, found, true);
  }();
  EXPECT_TRUE(differences.empty()) << FirstOf(differences);
  EXPECT_EQ(back.GetCellKind(2, 1), ckString);
  EXPECT_EQ(back.GetText(2, 1), u"");
  EXPECT_EQ(back.GetCellKind(3, 2), ckError);
  EXPECT_EQ(back.GetText(3, 2), u"#N/A");
  EXPECT_EQ(back.GetCellKind(0, 3), ckBoolean);
  EXPECT_EQ(back.GetText(0, 3), u"TRUE");
  EXPECT_EQ(back.GetCellKind(1, 3), ckError);
  EXPECT_EQ(back.GetText(1, 3), u"#REF!");
  EXPECT_EQ(back.GetCellKind(2, 3), ckString);
  EXPECT_EQ(back.GetText(2, 3), u"");
}

TEST(RoundTrip, FileSharingGetsItsBiff8String) {
  for (const auto& [codePage, nameBytes, expected] :
       {std::tuple<uint16_t, Bytes, std::u16string>{1252, Bytes{'B', 0xF6, 'b'}, u"B\u00F6b"},
        std::tuple<uint16_t, Bytes, std::u16string>{1251, Bytes{0xC1, 0xEE, 0xE1}, u"\u0411\u043E\u0431"}}) {
    for (const uint8_t readOnly : {0, 1}) {
      SCOPED_TRACE(FormatMessage("code page %d, read-only %d", codePage, readOnly));
      TXLSWorkbook source;
      source.SetVersion(xvExcel50);
      source.CodePage = codePage;
      // Read-only flag, password hash, then the name as a 16-bit count and 8-bit characters.
      Bytes body = {readOnly, 0, 0x34, 0x12, static_cast<uint8_t>(nameBytes.size()), 0};
      body.insert(body.end(), nameBytes.begin(), nameBytes.end());
      source.FileSharing().Assign(body.data(), static_cast<uint16_t>(body.size()));
      Bytes image;
      WriteWorkbook(source, image);
      // (A read-only recommended workbook is encrypted with the built-in password: read it back.)
      TXLSWorkbook copy;
      ReadWorkbook(copy, image);
      const bool wide = expected.back() > 0xFF;
      Bytes want = {readOnly, 0, 0x34, 0x12, 3, 0, static_cast<uint8_t>(wide ? 1 : 0)};
      for (char16_t c : expected) {
        want.push_back(static_cast<uint8_t>(c));
        if (wide) want.push_back(static_cast<uint8_t>(c >> 8));
      }
      EXPECT_EQ(copy.FileSharing().Data(), want);
      EXPECT_EQ(copy.RecomendReadOnly(), readOnly == 1);
    }
  }
}

// A sheet list as the reader leaves it for a BIFF5 sheet with a chart embedded in its drawing: the
// chart's records between its own BOF and EOF, after the chart's OBJ record.
struct TOldSheetList {
  const char* what;
  std::vector<uint16_t> ids;       // the list (placeholders included)
  std::vector<uint16_t> expected;  // the sheet substream written
};

void FillSheetList(TSheet& sheet, const std::vector<uint16_t>& ids) {
  TRecordStorageSheet& records = sheet.Records();
  const uint8_t bof[16] = {0x00, 0x06, 0x10, 0x00};
  const uint8_t chartBof[8] = {0x00, 0x05, 0x20, 0x00};
  const uint8_t some[4] = {1, 0, 0, 0};
  bool first = true;
  for (uint16_t id : ids) {
    if (id == R::BOF) {
      records.AddRecord(id, first ? sizeof bof : sizeof chartBof, first ? bof : chartBof);
      first = false;
    } else if (id == R::EOF_ || (id & 0x8000) != 0) {
      records.AddRecord(id, 0, nullptr);
    } else {
      records.AddRecord(id, sizeof some, some);
    }
  }
  sheet.RecordsFilled = true;
}

constexpr uint16_t kObj = 0x005D;
constexpr uint16_t kChartRecord = 0x1001;

TEST(RoundTrip, EmbeddedSubstreamsAndOldRecordsAreLeftOut) {
  const std::vector<TOldSheetList> lists = {
      {"a closed chart",
       {R::BOF, R::EXTERNCOUNT, kObj, R::BOF, kChartRecord, R::HCENTER, R::EOF_, R::PH_CELLS, R::PANE,
        R::EOF_},
       {R::BOF, R::LABELSST, R::PANE, R::EOF_}},
      {"a chart that took the sheet's EOF, closed when the next sheet began",
       {R::BOF, R::PANE, R::PH_CELLS, kObj, R::BOF, kChartRecord, R::EOF_, R::PH_HEADERFOOTER, R::EOF_},
       {R::BOF, R::PANE, R::LABELSST, R::HEADER, R::FOOTER, R::EOF_}},
      {"a chart still open when the stream ended",
       {R::BOF, R::PH_CELLS, kObj, R::BOF, kChartRecord, R::SCL, R::PH_HEADERFOOTER, R::EOF_},
       {R::BOF, R::LABELSST, R::HEADER, R::FOOTER, R::EOF_}},
      {"a stray EOF before the list's own",
       {R::BOF, R::PH_CELLS, R::EOF_, R::PANE, R::EOF_},
       {R::BOF, R::LABELSST, R::PANE, R::EOF_}},
  };
  for (const TOldSheetList& list : lists) {
    SCOPED_TRACE(list.what);
    TXLSWorkbook source;
    source.SetVersion(xvExcel50);
    TSheet& sheet = source.Sheets()[0];
    sheet.PutText(0, 0, u"kept");
    FillSheetList(sheet, list.ids);
    Bytes image;
    WriteWorkbook(source, image);
    std::vector<uint16_t> ids;
    bool inSheet = false;
    for (const TRecord& r : WrittenRecords(image)) {
      if (r.id == R::BOF && r.body.size() >= 4 && DecodeFixed16(r.body.data() + 2) == R::BOF_WORKSHEET)
        inSheet = true;
      if (inSheet) ids.push_back(r.id);
    }
    EXPECT_EQ(ids, list.expected);
    TXLSWorkbook copy;
    ReadWorkbook(copy, image);
    EXPECT_EQ(copy.Sheets()[0].GetText(0, 0), u"kept");
  }
  // The list of a BIFF8 workbook is written as it stands.
  TXLSWorkbook biff8;
  FillSheetList(biff8.Sheets()[0], lists[0].ids);
  Bytes image;
  WriteWorkbook(biff8, image);
  const std::vector<TRecord> records = WrittenRecords(image);
  EXPECT_EQ(Count(records, kChartRecord), 1);
  EXPECT_EQ(Count(records, R::EXTERNCOUNT), 1);
}

TEST(XLSWorkbook, ReadStringsCountOneReferencePerCell) {
  TXLSWorkbook source;
  TSheet& s = source.Sheets()[0];
  for (int row = 0; row < 3; ++row) s.PutText(0, row, u"thrice");
  s.PutText(1, 0, u"once");
  std::vector<uint8_t> image;
  WriteWorkbook(source, image);

  TXLSWorkbook read;
  ReadWorkbook(read, image);
  TSheet& r = read.Sheets()[0];
  EXPECT_EQ(r.FindCell(0, 0)->Entry(), r.FindCell(0, 2)->Entry());
  EXPECT_EQ(r.FindCell(0, 0)->Entry()->RefCount, 3);
  EXPECT_EQ(r.FindCell(1, 0)->Entry()->RefCount, 1);
  r.DeleteCell(1, 0);
  EXPECT_EQ(read.SST().TrieCount(), 1u) << "the last reference went with its cell";
}

// Runs of empty text stored in one go end as PutText of each: same cells, formats, uses and strings,
// the same file.
TEST(SheetRowsColumns, EmptyTextRunsMatchSingleCells) {
  std::vector<uint8_t> written[2];
  for (int bulk = 0; bulk < 2; ++bulk) {
    TXLSWorkbook wb;
    TSheet& s = wb.Sheets()[0];
    TXLSColumn* column = s.Columns().Add(7, 15);
    column->SetFillPattern(fpPattern1);  // a counted format of its own
    TXLSRow* row = s.Rows().Add(2, 15);
    row->SetFillPattern(fpPattern2);
    s.PutText(5, 2, u"in the way");
    for (int r : {1, 2}) {
      if (bulk) {
        s.PutEmptyTexts(3, 255, r);
      } else {
        for (int c = 3; c <= 255; ++c) s.PutText(c, r, u"");
      }
    }
    EXPECT_EQ(s.CellFormatIndex(*s.FindCell(7, 1)), column->FormatIndex());
    EXPECT_EQ(s.CellFormatIndex(*s.FindCell(8, 2)), row->FormatIndex());
    EXPECT_EQ(s.CellFormatIndex(*s.FindCell(8, 1)), 15);
    EXPECT_EQ(s.GetStringText(5, 2), u"");
    EXPECT_EQ(wb.CellFormats().Item(column->FormatIndex())->UseCount, 3);
    EXPECT_EQ(wb.CellFormats().Item(row->FormatIndex())->UseCount, 1 + 252);  // column 7 has its own
    EXPECT_EQ(wb.SST().TotalRefCount(), 1 + 2 * 253);
    EXPECT_THROW(s.PutEmptyTexts(250, 256, 3), EXLSError);
    EXPECT_EQ(s.GetCellKind(255, 3), ckString) << "the columns before the bad one are stored";
    WriteWorkbook(wb, written[bulk]);
  }
  EXPECT_EQ(written[0], written[1]);
}

}  // namespace
}  // namespace plicato
