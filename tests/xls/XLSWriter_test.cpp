#include "xls/XLSWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/RK.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "biff/XLSStream.h"
#include "workbook/CellFormats.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"

namespace plicato {
namespace {

namespace R = BIFFRecs;
using Bytes = std::vector<uint8_t>;

struct Rec {
  uint16_t id;
  Bytes body;
  uint64_t offset;  // of the header in the workbook stream
};

// Every record of the workbook stream of a written file, bodies as stored (not decrypted).
std::vector<Rec> ReadRecords(const Bytes& file) {
  TXLSStream stream;
  stream.SetSourceMemory(&file);
  EXPECT_EQ(stream.OpenRead(""), xvExcel97);
  std::vector<Rec> out;
  TRecordHeader header;
  for (;;) {
    const uint64_t offset = stream.Position();
    if (stream.ReadHeader(header) < kRecordHeaderSize) break;
    Bytes body(header.length);
    EXPECT_EQ(stream.ReadPlain(body.data(), header.length), header.length);
    out.push_back({header.id, std::move(body), offset});
  }
  return out;
}

Bytes WriteToMemory(TXLSWorkbook& workbook) {
  Bytes file;
  TXLSWriter writer(workbook);
  writer.WriteWorkbook(&file);
  return file;
}

// The records of one substream: 0 = globals, n = the n-th sheet; from its BOF to its EOF inclusive.
std::vector<Rec> Substream(const std::vector<Rec>& all, int index) {
  std::vector<Rec> out;
  int current = -1;
  for (const Rec& r : all) {
    if (r.id == R::BOF) ++current;
    if (current == index) out.push_back(r);
    if (current == index && r.id == R::EOF_) break;
  }
  return out;
}

bool IsCellRecord(uint16_t id) {
  switch (id) {
    case R::RK:
    case R::MULRK:
    case R::NUMBER:
    case R::LABELSST:
    case R::BLANK:
    case R::MULBLANK:
    case R::BOOLERR:
    case R::FORMULA:
    case R::STRING:
    case R::ARRAY:
    case R::CONTINUE:
      return true;
    default:
      return false;
  }
}

std::vector<Rec> CellRecords(const Bytes& file, int sheet = 1) {
  std::vector<Rec> out;
  for (Rec& r : Substream(ReadRecords(file), sheet))
    if (IsCellRecord(r.id)) out.push_back(std::move(r));
  return out;
}

const Rec* Find(const std::vector<Rec>& records, uint16_t id) {
  for (const Rec& r : records)
    if (r.id == id) return &r;
  return nullptr;
}

uint16_t U16(const Bytes& b, size_t at) {
  return DecodeFixed16(b.data() + at);
}
uint32_t U32(const Bytes& b, size_t at) {
  return DecodeFixed32(b.data() + at);
}
double F64(const Bytes& b, size_t at) {
  return DecodeDouble(b.data() + at);
}

std::u16string Utf16(const Bytes& b, size_t at, size_t chars) {
  std::u16string s;
  for (size_t i = 0; i < chars; ++i) s.push_back(static_cast<char16_t>(U16(b, at + 2 * i)));
  return s;
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

std::unique_ptr<TFormulaData> Formula(std::vector<uint8_t> tokens) {
  auto data = std::make_unique<TFormulaData>();
  data->tokenLength = static_cast<uint32_t>(tokens.size());
  data->expression = std::move(tokens);
  return data;
}

// tNum: the constant as an 8-byte double.
std::vector<uint8_t> NumberTokens(double value) {
  std::vector<uint8_t> t(9);
  t[0] = 0x1F;
  EncodeDouble(t.data() + 1, value);
  return t;
}

// ---------------------------------------------------------------------------------------------------------
// Cell records

TEST(XLSWriter, PacksNumberRunsIntoMULRKAndTheRestIntoNUMBER) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  sheet.PutFloat(0, 0, 1, 15);
  sheet.PutFloat(1, 0, 2, 15);
  sheet.PutFloat(2, 0, 3, 16);
  sheet.PutFloat(5, 0, 5, 15);    // not next to the run: NUMBER although it has an RK form
  sheet.PutFloat(0, 1, 0.5, 15);  // alone: RK
  sheet.PutFloat(0, 2, 1.1, 15);  // no RK form
  sheet.PutFloat(0, 3, 1, 15);    // RK, NUMBER, RK: a NUMBER ends the run
  sheet.PutFloat(1, 3, 1.1, 15);
  sheet.PutFloat(2, 3, 2, 15);
  sheet.PutFloat(255, 4, 7, 15);  // runs never cross rows
  sheet.PutFloat(0, 5, 8, 15);
  sheet.PutFloat(0, 6, 1, 15);  // a text cell ends the run too
  sheet.PutText(1, 6, u"x");
  sheet.PutFloat(2, 6, 2, 15);

  const std::vector<Rec> cells = CellRecords(WriteToMemory(workbook));
  std::vector<uint16_t> ids;
  for (const Rec& r : cells) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{R::MULRK, R::NUMBER, R::RK, R::NUMBER, R::RK, R::NUMBER, R::RK, R::RK,
                                        R::RK, R::RK, R::LABELSST, R::RK}));
  ASSERT_EQ(cells.size(), 12u);

  const Bytes& mulrk = cells[0].body;
  ASSERT_EQ(mulrk.size(), 6u + 6 * 3);
  EXPECT_EQ(U16(mulrk, 0), 0);  // row
  EXPECT_EQ(U16(mulrk, 2), 0);  // first column
  EXPECT_EQ(U16(mulrk, 4), 15);
  EXPECT_EQ(U32(mulrk, 6), *EncodeRK(1));
  EXPECT_EQ(U16(mulrk, 10), 15);
  EXPECT_EQ(U32(mulrk, 12), *EncodeRK(2));
  EXPECT_EQ(U16(mulrk, 16), 16);
  EXPECT_EQ(U32(mulrk, 18), *EncodeRK(3));
  EXPECT_EQ(U16(mulrk, 22), 2);  // last column

  const Bytes& number = cells[1].body;
  ASSERT_EQ(number.size(), 14u);
  EXPECT_EQ(U16(number, 0), 0);
  EXPECT_EQ(U16(number, 2), 5);
  EXPECT_EQ(U16(number, 4), 15);
  EXPECT_EQ(F64(number, 6), 5.0);

  const Bytes& rk = cells[2].body;
  ASSERT_EQ(rk.size(), 10u);
  EXPECT_EQ(U16(rk, 0), 1);
  EXPECT_EQ(U16(rk, 2), 0);
  EXPECT_EQ(U32(rk, 6), 0x3FE00000u);
  EXPECT_EQ(F64(cells[3].body, 6), 1.1);
  EXPECT_EQ(U16(cells[7].body, 0), 4);
  EXPECT_EQ(U16(cells[7].body, 2), 255);
  EXPECT_EQ(U16(cells[8].body, 0), 5);
}

TEST(XLSWriter, GathersAdjacentBlanksIntoMULBLANK) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  sheet.PutBlank(3, 0, 15);
  sheet.PutBlank(4, 0, 16);
  sheet.PutBlank(5, 0, 15);
  sheet.PutBlank(7, 1, 15);  // alone
  sheet.PutBlank(0, 2, 15);  // a gap splits the run
  sheet.PutBlank(1, 2, 15);
  sheet.PutBlank(3, 2, 15);
  sheet.PutFloat(0, 3, 1, 15);  // a blank between numbers ends the RK run
  sheet.PutBlank(1, 3, 15);
  sheet.PutFloat(2, 3, 2, 15);

  const std::vector<Rec> cells = CellRecords(WriteToMemory(workbook));
  std::vector<uint16_t> ids;
  for (const Rec& r : cells) ids.push_back(r.id);
  EXPECT_EQ(ids,
            (std::vector<uint16_t>{R::MULBLANK, R::BLANK, R::MULBLANK, R::BLANK, R::RK, R::BLANK, R::RK}));
  ASSERT_EQ(cells.size(), 7u);

  const Bytes& run = cells[0].body;
  ASSERT_EQ(run.size(), 6u + 2 * 3);
  EXPECT_EQ(U16(run, 0), 0);
  EXPECT_EQ(U16(run, 2), 3);
  EXPECT_EQ(U16(run, 4), 15);
  EXPECT_EQ(U16(run, 6), 16);
  EXPECT_EQ(U16(run, 8), 15);
  EXPECT_EQ(U16(run, 10), 5);

  EXPECT_EQ(cells[1].body, (Bytes{1, 0, 7, 0, 15, 0}));
  EXPECT_EQ(U16(cells[2].body, 2), 0);
  EXPECT_EQ(U16(cells[2].body, 8), 1);
  EXPECT_EQ(U16(cells[3].body, 2), 3);
}

TEST(XLSWriter, WritesTextBooleanAndErrorCells) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  sheet.PutText(0, 0, u"alpha");
  sheet.PutText(1, 0, u"beta");
  sheet.PutText(2, 0, u"alpha");
  sheet.PutBoolean(0, 1, true, 15);
  sheet.PutBoolean(1, 1, false, 15);
  sheet.PutError(2, 1, ceDiv0, 15);
  sheet.PutError(3, 1, ceNA, 15);

  const std::vector<Rec> cells = CellRecords(WriteToMemory(workbook));
  ASSERT_EQ(cells.size(), 7u);
  const uint32_t alpha = sheet.FindCell(0, 0)->Entry()->Index;
  const uint32_t beta = sheet.FindCell(1, 0)->Entry()->Index;
  EXPECT_NE(alpha, beta);
  EXPECT_LT(alpha, 2u);
  EXPECT_LT(beta, 2u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(cells[i].id, R::LABELSST);
    ASSERT_EQ(cells[i].body.size(), 10u);
    EXPECT_EQ(U16(cells[i].body, 2), i);
    EXPECT_EQ(U16(cells[i].body, 4), 15);
  }
  EXPECT_EQ(U32(cells[0].body, 6), alpha);
  EXPECT_EQ(U32(cells[1].body, 6), beta);
  EXPECT_EQ(U32(cells[2].body, 6), alpha);
  EXPECT_EQ(cells[3].body, (Bytes{1, 0, 0, 0, 15, 0, 1, 0}));
  EXPECT_EQ(cells[4].body, (Bytes{1, 0, 1, 0, 15, 0, 0, 0}));
  EXPECT_EQ(cells[5].body, (Bytes{1, 0, 2, 0, 15, 0, 0x07, 1}));
  EXPECT_EQ(cells[6].body, (Bytes{1, 0, 3, 0, 15, 0, 0x2A, 1}));
}

TEST(XLSWriter, WritesFormulaResultsWithTheirStringAndArrayRecords) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  auto number = Formula(NumberTokens(42.5));
  EncodeDouble(number->result, 42.5);
  sheet.PutFormula(0, 0, ckNumberFormula, 15, std::move(number));
  sheet.PutFormula(1, 0, ckStringFormula, 15, Formula({0x17, 0, 0}));  // empty text result
  auto text = Formula({0x17, 2, 0, 'h', 'i'});
  text->text = u"hi";
  sheet.PutFormula(2, 0, ckStringFormula, 15, std::move(text));
  auto boolean = Formula({0x1D, 1});
  boolean->small = 1;
  sheet.PutFormula(3, 0, ckBooleanFormula, 15, std::move(boolean));
  auto error = Formula({0x1C, 0x07});
  error->small = ceDiv0;
  sheet.PutFormula(4, 0, ckErrorFormula, 15, std::move(error));
  auto badError = Formula({0x1C, 0x2A});
  badError->small = ceNone;  // no error value: written as #N/A
  sheet.PutFormula(5, 0, ckErrorFormula, 15, std::move(badError));
  auto array = Formula({0x1E, 1, 0});
  array->arrayBody = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x1E, 1, 0};
  EncodeDouble(array->result, 1);
  sheet.PutFormula(6, 0, ckNumberArrayFormula, 15, std::move(array));
  auto member = Formula({0x02, 0, 0, 6, 0});
  member->arrayFlag = 1;
  member->text = u"m";
  sheet.PutFormula(7, 0, ckStringArrayFormula, 15, std::move(member));
  auto textArray = Formula({0x17, 1, 0, 't'});
  textArray->arrayBody = {1, 2, 3};
  textArray->text = u"t";
  sheet.PutFormula(8, 0, ckStringArrayFormula, 15, std::move(textArray));
  auto quiet = Formula(NumberTokens(1));
  quiet->tokenLength = 7;  // the source record's value, kept as it is
  sheet.PutFormula(0, 1, ckNumberFormula, 15, std::move(quiet));

  const Bytes file = WriteToMemory(workbook);
  std::vector<Rec> cells = CellRecords(file);
  std::vector<uint16_t> ids;
  for (const Rec& r : cells) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{R::FORMULA, R::FORMULA, R::FORMULA, R::STRING, R::FORMULA, R::FORMULA,
                                        R::FORMULA, R::FORMULA, R::ARRAY, R::FORMULA, R::STRING, R::FORMULA,
                                        R::ARRAY, R::STRING, R::FORMULA}));
  ASSERT_EQ(cells.size(), 15u);

  const Bytes& f0 = cells[0].body;
  ASSERT_EQ(f0.size(), 22u + 9);
  EXPECT_EQ(U16(f0, 0), 0);
  EXPECT_EQ(U16(f0, 2), 0);
  EXPECT_EQ(U16(f0, 4), 15);
  EXPECT_EQ(F64(f0, 6), 42.5);
  EXPECT_EQ(U16(f0, 14), 0x0002);  // recalculate on load
  EXPECT_EQ(U32(f0, 16), 0u);
  EXPECT_EQ(U16(f0, 20), 9);
  EXPECT_EQ(Bytes(f0.begin() + 22, f0.end()), NumberTokens(42.5));

  EXPECT_EQ(Bytes(cells[1].body.begin() + 6, cells[1].body.begin() + 14),
            (Bytes{3, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(cells[2].body.begin() + 6, cells[2].body.begin() + 14),
            (Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(cells[3].body, (Bytes{2, 0, 1, 'h', 0, 'i', 0}));
  EXPECT_EQ(Bytes(cells[4].body.begin() + 6, cells[4].body.begin() + 14),
            (Bytes{1, 0, 1, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(cells[5].body.begin() + 6, cells[5].body.begin() + 14),
            (Bytes{2, 0, 0x07, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(cells[6].body[8], 0x2A);
  EXPECT_EQ(F64(cells[7].body, 6), 1.0);
  EXPECT_EQ(cells[8].body, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x1E, 1, 0}));
  EXPECT_EQ(U16(cells[9].body, 2), 7);  // the member cell: STRING without ARRAY
  EXPECT_EQ(cells[10].body, (Bytes{1, 0, 1, 'm', 0}));
  EXPECT_EQ(cells[12].body, (Bytes{1, 2, 3}));
  EXPECT_EQ(cells[13].body, (Bytes{1, 0, 1, 't', 0}));
  EXPECT_EQ(U16(cells[14].body, 20), 7);

  // Without recalculation the options word is 0.
  sheet.RecalcFormulas = false;
  cells = CellRecords(WriteToMemory(workbook));
  EXPECT_EQ(U16(cells[0].body, 14), 0);
}

TEST(XLSWriter, ContinuesALongFormulaTextWithFlagBytes) {
  TXLSWorkbook workbook;
  auto data = Formula({0x17, 0, 0});
  for (int i = 0; i < 9000; ++i) data->text.push_back(static_cast<char16_t>(0x4E00 + i % 50));
  const std::u16string expected = data->text;
  workbook.Sheets()[0].PutFormula(0, 0, ckStringFormula, 15, std::move(data));

  const std::vector<Rec> cells = CellRecords(WriteToMemory(workbook));
  ASSERT_EQ(cells.size(), 4u);
  EXPECT_EQ(cells[1].id, R::STRING);
  EXPECT_EQ(cells[2].id, R::CONTINUE);
  EXPECT_EQ(cells[3].id, R::CONTINUE);
  EXPECT_EQ(U16(cells[1].body, 0), 9000);
  std::u16string text;
  text += Utf16(cells[1].body, 3, (cells[1].body.size() - 3) / 2);
  EXPECT_EQ(cells[1].body[2], 1);
  for (int i = 2; i < 4; ++i) {
    EXPECT_LE(cells[i].body.size(), kMaxRecordDataBiff8);
    EXPECT_EQ(cells[i].body[0], 1);  // each piece carries its own flag byte
    EXPECT_EQ(cells[i].body.size() % 2, 1u);
    text += Utf16(cells[i].body, 1, (cells[i].body.size() - 1) / 2);
  }
  EXPECT_EQ(text, expected);
}

TEST(XLSWriter, FailuresNameTheCellAndLeaveAnExistingFileAlone) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  sheet.PutText(0, 0, u"first");
  sheet.PutBlank(0, 2, 15);  // a run of two blanks counts once
  sheet.PutBlank(1, 2, 15);
  sheet.PutError(3, 2, ceNone, 15);
  EXPECT_EQ(MessageOf([&] { WriteToMemory(workbook); }),
            "Error on writing record # 3\rInvalid error value in cell 2:3");

  test::TempDir dir;
  const std::filesystem::path path = dir / "kept.xls";
  const Bytes before = {'o', 'l', 'd'};
  test::WriteFileBytes(path, before);
  workbook.Filename = path.u16string();
  TXLSWriter writer(workbook);
  EXPECT_THROW(writer.WriteWorkbook(nullptr), EXLSError);
  EXPECT_EQ(test::ReadFileBytes(path), before);

  // Fixed, the same workbook goes to the file.
  sheet.PutError(3, 2, ceRef, 15);
  TXLSWriter again(workbook);
  again.WriteWorkbook(nullptr);
  const std::vector<Rec> cells = CellRecords(test::ReadFileBytes(path));
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[2].body, (Bytes{2, 0, 3, 0, 15, 0, 0x17, 1}));
}

// ---------------------------------------------------------------------------------------------------------
// Worksheet records

Bytes DimensionsOf(TXLSWorkbook& workbook) {
  const std::vector<Rec> records = Substream(ReadRecords(WriteToMemory(workbook)), 1);
  const Rec* dims = Find(records, R::DIMENSIONS);
  return dims ? dims->body : Bytes{};
}

TEST(XLSWriter, DimensionsFollowTheCells) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  EXPECT_EQ(DimensionsOf(workbook), Bytes(14, 0));  // no cells

  sheet.PutText(3, 7, u"one");
  EXPECT_EQ(DimensionsOf(workbook), (Bytes{7, 0, 0, 0, 8, 0, 0, 0, 3, 0, 4, 0, 0, 0}));

  for (int row = 0; row < 10; ++row)
    for (int column = 0; column < 255; ++column) sheet.PutText(column, row, u"x");
  EXPECT_EQ(DimensionsOf(workbook), (Bytes{0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 255, 0, 0, 0}));

  sheet.DeleteCells(0, 255, 0, 65535);  // blocks stay, cells go
  EXPECT_EQ(DimensionsOf(workbook), Bytes(14, 0));
}

TEST(XLSWriter, WritesPrintWindowAndProtectionSettings) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  TPrintSettings& print = sheet.PrintSettings();
  print.SetHeader(u"Kopf");
  print.SetFooter(u"页脚");
  print.SetMarginLeft(-1);  // not stated: no record
  print.SetMarginTop(2.5);
  print.HorizPagebreaks() = {{10, 0, 255}, {20, 0, 255}};
  print.VertPagebreaks() = {{3, 0, 65535}};
  sheet.Zoom = 150;
  sheet.PaneKind = 1;
  sheet.Protection = 0x7FFE;
  sheet.Rows().Add(9, 15)->Height = 400;
  sheet.Rows().Add(2, 15);
  sheet.Columns().Add(1, 15)->Width = 5000;
  sheet.PutText(0, 2, u"a");

  const std::vector<Rec> records = Substream(ReadRecords(WriteToMemory(workbook)), 1);
  std::vector<uint16_t> ids;
  for (const Rec& r : records) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{R::BOF,
                                        R::CALCMODE,
                                        R::CALCCOUNT,
                                        R::REFMODE,
                                        R::ITERATION,
                                        R::DELTA,
                                        R::SAVERECALC,
                                        R::PRINTGRIDLINES,
                                        R::PRINTHEADERS,
                                        R::GRIDSET,
                                        R::GUTS,
                                        R::DEFAULTROWHEIGHT,
                                        R::WSBOOL,
                                        R::HORIZONTALPAGEBREAKS,
                                        R::VERTICALPAGEBREAKS,
                                        R::HEADER,
                                        R::FOOTER,
                                        R::RIGHTMARGIN,
                                        R::TOPMARGIN,
                                        R::BOTTOMMARGIN,
                                        R::HCENTER,
                                        R::VCENTER,
                                        R::SETUP,
                                        R::PROTECT,
                                        R::DEFCOLWIDTH,
                                        R::DIMENSIONS,
                                        R::COLINFO,
                                        R::ROW,
                                        R::ROW,
                                        R::LABELSST,
                                        R::WINDOW2,
                                        R::SCL,
                                        R::SHEETPROTECTION,
                                        R::EOF_}));

  EXPECT_EQ(Find(records, R::HORIZONTALPAGEBREAKS)->body,
            (Bytes{2, 0, 10, 0, 0, 0, 255, 0, 20, 0, 0, 0, 255, 0}));
  EXPECT_EQ(Find(records, R::VERTICALPAGEBREAKS)->body, (Bytes{1, 0, 3, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Find(records, R::HEADER)->body, (Bytes{4, 0, 1, 'K', 0, 'o', 0, 'p', 0, 'f', 0}));
  EXPECT_EQ(Find(records, R::FOOTER)->body, (Bytes{2, 0, 1, 0x75, 0x98, 0x1A, 0x81}));
  EXPECT_EQ(F64(Find(records, R::TOPMARGIN)->body, 0), 2.5);
  EXPECT_EQ(F64(Find(records, R::RIGHTMARGIN)->body, 0), 0.75);
  EXPECT_EQ(Find(records, R::PROTECT)->body, (Bytes{1, 0}));
  EXPECT_EQ(Find(records, R::SCL)->body, (Bytes{150, 0, 100, 0}));
  // Frozen panes and the selected tab.
  EXPECT_EQ(U16(Find(records, R::WINDOW2)->body, 0), 0x04B6 | 0x0008 | 0x0100 | 0x0200);
  // Rows come sorted, before the cells.
  const Rec* row = Find(records, R::ROW);
  ASSERT_EQ(row->body.size(), 16u);
  EXPECT_EQ(U16(row->body, 0), 2);
  EXPECT_EQ(U16((row + 1)->body, 0), 9);
  EXPECT_EQ(U16((row + 1)->body, 6), 400);
  EXPECT_EQ(U16(Find(records, R::COLINFO)->body, 4), 5000);

  const Bytes& protection = Find(records, R::SHEETPROTECTION)->body;
  ASSERT_EQ(protection.size(), 23u);
  EXPECT_EQ(protection, (Bytes{0x67, 0x08, 0, 0,    0,    0,    0,    0,    0,    0, 0, 0,
                               2,    0,    1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x7F, 0, 0}));

  // Back to no pane, no zoom, no protection: SELECTION again, no SCL and no SHEETPROTECTION.
  sheet.PaneKind = 0;
  sheet.Zoom = 0;
  sheet.Protection = 0x7FFF;
  const std::vector<Rec> plain = Substream(ReadRecords(WriteToMemory(workbook)), 1);
  EXPECT_NE(Find(plain, R::SELECTION), nullptr);
  EXPECT_EQ(Find(plain, R::SCL), nullptr);
  EXPECT_EQ(Find(plain, R::SHEETPROTECTION), nullptr);
  EXPECT_EQ(Find(plain, R::PROTECT)->body, (Bytes{0, 0}));
}

TEST(XLSWriter, RefusesTextsTooLongForTheirRecords) {
  TXLSWorkbook workbook;
  workbook.Sheets()[0].PrintSettings().SetHeader(std::u16string(5000, u'h'));
  EXPECT_EQ(MessageOf([&] { WriteToMemory(workbook); }), "Header or footer of 5000 characters is too long");

  TXLSWorkbook named;
  named.Sheets()[0].SetNameUnchecked(std::u16string(300, u'n'));
  // The BOUNDSHEET placeholder is entry 18 of the default globals list.
  EXPECT_EQ(MessageOf([&] { WriteToMemory(named); }),
            "Error on writing record # 18\rSheet name of 300 characters is too long");
}

// ---------------------------------------------------------------------------------------------------------
// Whole workbooks

TEST(XLSWriter, NewTextWorkbookHasTheDefaultRecordOrder) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  for (int row = 0; row < 40; ++row)
    for (int column = 0; column < 255; ++column)
      sheet.PutText(column, row, u"r" + std::u16string(1, static_cast<char16_t>(u'A' + row % 26)));

  const Bytes file = WriteToMemory(workbook);
  const std::vector<Rec> all = ReadRecords(file);
  const std::vector<Rec> globals = Substream(all, 0);
  std::vector<uint16_t> expected = {R::BOF,          R::WRITEACCESS,   R::CODEPAGE, R::DSF,      R::TABID,
                                    R::FNGROUPCOUNT, R::WINDOWPROTECT, R::PROTECT,  R::PASSWORD, R::PROT4REV,
                                    R::WINDOW1,      R::BACKUP,        R::HIDEOBJ,  R::DATEMODE, R::PRECISION,
                                    R::REFRESHALL,   R::BOOKBOOL};
  expected.insert(expected.end(), 4, R::FONT);
  expected.insert(expected.end(), 5, R::FORMAT);
  expected.insert(expected.end(), 21, R::XF);
  expected.insert(expected.end(), 6, R::STYLE);
  expected.insert(expected.end(), {R::BOUNDSHEET, R::COUNTRY, R::RECALCID, R::SST, R::EXTSST, R::EOF_});
  std::vector<uint16_t> ids;
  for (const Rec& r : globals) ids.push_back(r.id);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(Find(globals, R::TABID)->body, (Bytes{1, 0}));
  EXPECT_EQ(U16(Find(globals, R::BOF)->body, 2), R::BOF_GLOBALS);

  const std::vector<Rec> records = Substream(all, 1);
  ids.clear();
  for (const Rec& r : records)
    if (r.id != R::LABELSST) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<uint16_t>{R::BOF,          R::CALCMODE,  R::CALCCOUNT,    R::REFMODE,
                                        R::ITERATION,    R::DELTA,     R::SAVERECALC,   R::PRINTGRIDLINES,
                                        R::PRINTHEADERS, R::GRIDSET,   R::GUTS,         R::DEFAULTROWHEIGHT,
                                        R::WSBOOL,       R::HEADER,    R::FOOTER,       R::LEFTMARGIN,
                                        R::RIGHTMARGIN,  R::TOPMARGIN, R::BOTTOMMARGIN, R::HCENTER,
                                        R::VCENTER,      R::SETUP,     R::PROTECT,      R::DEFCOLWIDTH,
                                        R::DIMENSIONS,   R::WINDOW2,   R::SELECTION,    R::EOF_}));
  // The LABELSST records stand together between DIMENSIONS and WINDOW2, one per cell in row order.
  size_t first = 0;
  while (records[first].id != R::LABELSST) ++first;
  EXPECT_EQ(records[first - 1].id, R::DIMENSIONS);
  for (size_t i = 0; i < 40 * 255; ++i) {
    const Rec& r = records[first + i];
    ASSERT_EQ(r.id, R::LABELSST);
    ASSERT_EQ(U16(r.body, 0), i / 255);
    ASSERT_EQ(U16(r.body, 2), i % 255);
  }
  EXPECT_EQ(records[first + 40 * 255].id, R::WINDOW2);
  EXPECT_TRUE(Find(records, R::HEADER)->body.empty());
  EXPECT_TRUE(Find(records, R::FOOTER)->body.empty());
  EXPECT_EQ(F64(Find(records, R::LEFTMARGIN)->body, 0), 0.75);
  EXPECT_EQ(F64(Find(records, R::BOTTOMMARGIN)->body, 0), 1.0);
  EXPECT_EQ(Find(records, R::PROTECT)->body, (Bytes{0, 0}));
  EXPECT_EQ(Find(records, R::DIMENSIONS)->body, (Bytes{0, 0, 0, 0, 40, 0, 0, 0, 0, 0, 255, 0, 0, 0}));
  EXPECT_EQ(U16(Find(records, R::WINDOW2)->body, 0), 0x06B6);  // the default options, selected

  // The BOUNDSHEET names the sheet and points at its BOF.
  const Bytes& boundsheet = Find(globals, R::BOUNDSHEET)->body;
  EXPECT_EQ(U32(boundsheet, 0), records.front().offset);
  EXPECT_EQ(boundsheet[4], 0);
  EXPECT_EQ(boundsheet[5], 0);
  EXPECT_EQ(boundsheet[7], 1);
  EXPECT_EQ(Utf16(boundsheet, 8, boundsheet[6]), sheet.Name());
}

TEST(XLSWriter, SeveralSheetsGetTabIdsAndPositions) {
  TXLSWorkbook workbook;
  workbook.Sheets().Add();
  workbook.Sheets().Add();
  workbook.Sheets()[1].SetName(u"Größe");
  workbook.Sheets()[2].Hidden = 1;
  workbook.Sheets()[0].PutText(0, 0, u"a");
  workbook.Sheets()[2].PutFloat(0, 0, 1, 15);
  workbook.Workbook().SetSelectedTab(1);

  const std::vector<Rec> all = ReadRecords(WriteToMemory(workbook));
  const std::vector<Rec> globals = Substream(all, 0);
  EXPECT_EQ(Find(globals, R::TABID)->body, (Bytes{1, 0, 2, 0, 3, 0}));
  std::vector<const Rec*> boundsheets;
  for (const Rec& r : globals)
    if (r.id == R::BOUNDSHEET) boundsheets.push_back(&r);
  ASSERT_EQ(boundsheets.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const std::vector<Rec> sheet = Substream(all, i + 1);
    ASSERT_FALSE(sheet.empty());
    EXPECT_EQ(U32(boundsheets[i]->body, 0), sheet.front().offset) << i;
    EXPECT_EQ(Utf16(boundsheets[i]->body, 8, boundsheets[i]->body[6]), workbook.Sheets()[i].Name());
    EXPECT_EQ(boundsheets[i]->body[4], i == 2 ? 1 : 0);
    EXPECT_EQ((U16(Find(sheet, R::WINDOW2)->body, 0) & 0x0200) != 0, i == 1) << i;
  }
}

TEST(XLSWriter, WritesGlobalsExtrasInTheirPlaces) {
  TXLSWorkbook workbook;
  workbook.SetRecomendReadOnly(true);
  workbook.Colors().Colors[8] = 0x00123456;
  std::vector<Rec> globals = Substream(ReadRecords(WriteToMemory(workbook)), 0);
  ASSERT_GT(globals.size(), 3u);
  EXPECT_EQ(globals[1].id, R::WRITEACCESS);
  EXPECT_EQ(globals[2].id, R::FILESHARING);
  EXPECT_EQ(globals[2].body, (Bytes{1, 0, 0, 0, 0, 0}));
  size_t palette = 0;
  while (palette < globals.size() && globals[palette].id != R::PALETTE) ++palette;
  ASSERT_LT(palette, globals.size());
  EXPECT_EQ(globals[palette - 1].id, R::STYLE);
  EXPECT_EQ(globals[palette + 1].id, R::BOUNDSHEET);
  ASSERT_EQ(globals[palette].body.size(), 226u);
  EXPECT_EQ(U16(globals[palette].body, 0), 56);
  EXPECT_EQ(U32(globals[palette].body, 2), 0x00123456u);

  // A stored TABID body is kept; OBPROJ is dropped, since no macro project is carried into the output.
  TRecordStorageGlobals& list = workbook.Globals();
  const uint8_t tabs[4] = {5, 0, 9, 0};
  list.ResizeEntry(list.IndexOf(R::TABID), 4, tabs);
  const uint8_t project[2] = {7, 7};
  list.AddRecord(R::OBPROJ, 2, project);  // (after EOF: the list has no insertion)
  std::vector<Rec> all = ReadRecords(WriteToMemory(workbook));
  EXPECT_EQ(Find(all, R::TABID)->body, (Bytes{5, 0, 9, 0}));
  EXPECT_EQ(Find(all, R::OBPROJ), nullptr);
  EXPECT_NE(Find(all, R::TABID), nullptr);
}

// ---------------------------------------------------------------------------------------------------------
// Encryption

// Reads every record of an encrypted file back with the password, bodies decrypted.
std::vector<Rec> DecryptRecords(const Bytes& file, std::u16string_view password, bool* accepted) {
  TXLSStream stream;
  stream.SetSourceMemory(&file);
  stream.OpenRead("");
  std::vector<Rec> out;
  TRecordHeader header;
  *accepted = false;
  for (;;) {
    const uint64_t offset = stream.Position();
    if (stream.ReadHeader(header) < kRecordHeaderSize) break;
    Bytes body(header.length);
    stream.ReadRecordBody(header.id, body.data(), header.length);
    out.push_back({header.id, body, offset});
    if (header.id == R::FILEPASS) {
      *accepted = stream.CheckPassword(body.data(), header.length, password);
      if (!*accepted) break;
    }
  }
  return out;
}

TEST(XLSWriter, APasswordEncryptsAndTheFileDecryptsAgain) {
  TXLSWorkbook workbook;
  TSheet& sheet = workbook.Sheets()[0];
  sheet.PutText(0, 0, u"geheim");
  sheet.PutText(1, 0, u"秘密");
  sheet.PutFloat(2, 0, 1.1, 15);
  sheet.PutFloat(0, 1, 3, 15);
  const std::vector<Rec> plain = ReadRecords(WriteToMemory(workbook));

  workbook.Password = u"s3cret";
  const Bytes file = WriteToMemory(workbook);
  const std::vector<Rec> raw = ReadRecords(file);
  ASSERT_GT(raw.size(), 6u);
  EXPECT_EQ(raw[0].id, R::BOF);
  EXPECT_EQ(raw[1].id, R::FILEPASS);
  EXPECT_EQ(raw[1].body.size(), 54u);
  EXPECT_EQ(U16(raw[1].body, 0), 1);
  EXPECT_EQ(raw[2].id, R::INTERFACEHDR);
  EXPECT_EQ(raw[2].body, (Bytes{0xB0, 0x04}));  // kept in clear
  EXPECT_EQ(raw[3].id, R::MMS);
  EXPECT_EQ(raw[4].id, R::INTERFACEEND);
  EXPECT_EQ(raw[5].id, R::WRITEACCESS);
  EXPECT_NE(raw[5].body, plain[1].body);  // encrypted

  bool accepted = false;
  DecryptRecords(file, u"wrong", &accepted);
  EXPECT_FALSE(accepted);
  std::vector<Rec> decrypted = DecryptRecords(file, u"s3cret", &accepted);
  ASSERT_TRUE(accepted);
  ASSERT_EQ(decrypted.size(), plain.size() + 4);
  decrypted.erase(decrypted.begin() + 1, decrypted.begin() + 5);
  const std::vector<Rec> sheetRecords = Substream(raw, 1);
  for (size_t i = 0; i < plain.size(); ++i) {
    ASSERT_EQ(decrypted[i].id, plain[i].id) << i;
    if (plain[i].id == R::BOUNDSHEET) {
      // Only the stream position moves: by the 4 records inserted after the BOF.
      EXPECT_EQ(U32(decrypted[i].body, 0), sheetRecords.front().offset);
      EXPECT_EQ(Bytes(decrypted[i].body.begin() + 4, decrypted[i].body.end()),
                Bytes(plain[i].body.begin() + 4, plain[i].body.end()));
    } else if (plain[i].id != R::EXTSST) {
      EXPECT_EQ(decrypted[i].body, plain[i].body) << "record " << i << " id " << plain[i].id;
    }
  }
}

}  // namespace
}  // namespace plicato
