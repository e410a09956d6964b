#include "xls/XLSReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFile.h"
#include "biff/RecordStorage.h"
#include "biff/Settings.h"
#include "workbook/CellFormats.h"
#include "workbook/CellStorage.h"
#include "workbook/ColorTable.h"
#include "workbook/Columns.h"
#include "workbook/NumberFormats.h"
#include "workbook/Rows.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

namespace plicato {
namespace {

namespace rec = BIFFRecs;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------------
// Building record streams by hand

class TBody {
 public:
  TBody& U8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  TBody& U16(uint16_t v) {
    PutFixed16(bytes_, v);
    return *this;
  }
  TBody& U32(uint32_t v) {
    PutFixed32(bytes_, v);
    return *this;
  }
  TBody& F64(double v) {
    PutDouble(bytes_, v);
    return *this;
  }
  TBody& Raw(const Bytes& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  TBody& Latin(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  TBody& Wide(std::u16string_view s) {
    for (char16_t c : s) PutFixed16(bytes_, c);
    return *this;
  }
  operator Bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

class TStream {
 public:
  TStream& Rec(uint16_t id, const Bytes& body = {}) {
    PutFixed16(data_, id);
    PutFixed16(data_, static_cast<uint16_t>(body.size()));
    data_.insert(data_.end(), body.begin(), body.end());
    return *this;
  }
  const Bytes& Data() const { return data_; }
  size_t Size() const { return data_.size(); }

 private:
  Bytes data_;
};

Bytes Bof8(uint16_t type) {
  return TBody().U16(0x0600).U16(type).U16(0x18AF).U16(0x07CD).U32(0x000080C9).U32(0x00000106);
}
Bytes Bof5(uint16_t type) {
  return TBody().U16(0x0500).U16(type).U16(0x0DBB).U16(0x07CC);
}
Bytes BoundSheet8(std::string_view name, uint8_t visibility = 0, uint8_t type = 0) {
  return TBody().U32(0).U8(visibility).U8(type).U8(static_cast<uint8_t>(name.size())).U8(0).Latin(name);
}
Bytes Cell(uint16_t row, uint16_t column, uint16_t xf) {
  return TBody().U16(row).U16(column).U16(xf);
}
Bytes Sst(std::initializer_list<std::string_view> strings) {
  TBody b;
  b.U32(static_cast<uint32_t>(strings.size())).U32(static_cast<uint32_t>(strings.size()));
  for (std::string_view s : strings) b.U16(static_cast<uint16_t>(s.size())).U8(0).Latin(s);
  return b;
}
Bytes String8(std::string_view text) {
  return TBody().U16(static_cast<uint16_t>(text.size())).U8(0).Latin(text);
}

// FORMULA body: cell, cached result, options, tokens.
Bytes Formula(uint16_t row, uint16_t column, const Bytes& result, uint16_t options, const Bytes& tokens,
              uint16_t xf = 15) {
  return TBody()
      .Raw(Cell(row, column, xf))
      .Raw(result)
      .U16(options)
      .U32(0)
      .U16(static_cast<uint16_t>(tokens.size()))
      .Raw(tokens);
}
Bytes NumberResult(double v) {
  return TBody().F64(v);
}
Bytes SpecialResult(uint8_t type, uint8_t value = 0) {
  return {type, 0, value, 0, 0, 0, 0xFF, 0xFF};
}
Bytes ExpToken(uint16_t row, uint16_t column) {
  return TBody().U8(0x01).U16(row).U16(column);
}
const Bytes kTokensOnePlusOne = {0x1E, 0x01, 0x00, 0x1E, 0x01, 0x00, 0x03};

// The globals of a BIFF8 workbook naming the given sheets, and the start of the first sheet.
TStream Globals8(std::initializer_list<std::string_view> sheets,
                 const std::function<void(TStream&)>& more = {}) {
  TStream s;
  s.Rec(rec::BOF, Bof8(rec::BOF_GLOBALS));
  if (more) more(s);
  for (std::string_view name : sheets) s.Rec(rec::BOUNDSHEET, BoundSheet8(name));
  s.Rec(rec::EOF_);
  return s;
}

Bytes Compound(const Bytes& stream, std::u16string_view name = u"Workbook") {
  cfb::TCompoundDocument doc;
  doc.Root().CreateStream(name).Data() = stream;
  return doc.SaveToMemory();
}

// A workbook of one sheet whose records are given.
Bytes OneSheet(const std::function<void(TStream&)>& cells,
               const std::function<void(TStream&)>& globals = {}) {
  TStream s = Globals8({"Data"}, globals);
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  cells(s);
  s.Rec(rec::EOF_);
  return Compound(s.Data());
}

// Reads a file image; returns the failure's message, or "" when the read succeeded.
std::string ReadMessage(TXLSWorkbook& workbook, const Bytes& file) {
  try {
    ReadWorkbook(workbook, file);
  } catch (const EPlicatoError& e) {
    return e.what();
  }
  return {};
}

bool EndsWith(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsRecordFailure(const std::string& message) {
  return message.rfind("Error on reading record # ", 0) == 0 && message.find('\r') != std::string::npos;
}

// Identifiers of a record list, in order.
std::vector<uint16_t> Ids(const TBaseRecordStorage& list) {
  std::vector<uint16_t> ids;
  for (int i = 0; i < list.Count(); ++i)
    if (const TStoredRecord* entry = list.EntryAt(i)) ids.push_back(entry->Id());
  return ids;
}

int PositionOf(const std::vector<uint16_t>& ids, uint16_t id) {
  for (size_t i = 0; i < ids.size(); ++i)
    if (ids[i] == id) return static_cast<int>(i);
  return -1;
}

// ---------------------------------------------------------------------------------------------------
// Cell records

TEST(XLSReader, ReadsEveryNumberTextAndBlankRecord) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet(
      [](TStream& s) {
        s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 16)).F64(2.5));
        s.Rec(rec::RK, TBody().Raw(Cell(0, 1, 17)).U32(0x3FF00001u));
        // MULRK: three pairs in consecutive columns, each with its own XF.
        s.Rec(rec::MULRK, TBody()
                              .U16(1)
                              .U16(3)
                              .U16(18)
                              .U32(0x3FF00000u)
                              .U16(19)
                              .U32(static_cast<uint32_t>(-7 * 4) | 2u)
                              .U16(20)
                              .U32(0x00000007u)
                              .U16(5));
        s.Rec(rec::MULBLANK, TBody().U16(2).U16(0).U16(16).U16(17).U16(18).U16(2));
        s.Rec(rec::BLANK, Cell(2, 9, 19));
        s.Rec(rec::LABELSST, TBody().Raw(Cell(3, 0, 15)).U32(1));
        s.Rec(rec::LABELSST, TBody().Raw(Cell(3, 1, 15)).U32(1));
        s.Rec(rec::LABEL, TBody().Raw(Cell(4, 0, 15)).U16(3).U8(0).Latin("a\xE9z"));
        s.Rec(rec::LABEL, TBody().Raw(Cell(4, 1, 15)).U16(2).U8(1).Wide(u"\u4E2D\u6587"));
        s.Rec(rec::RSTRING, TBody().Raw(Cell(4, 2, 15)).U16(2).U8(0).Latin("rs").U16(1).U16(0).U16(0));
      },
      [](TStream& s) {
        s.Rec(rec::SST, Sst({"zero", "one"}));
      });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.Name(), u"Data");
  EXPECT_EQ(sheet.GetFloat(0, 0), 2.5);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(0, 0)), 16);
  EXPECT_DOUBLE_EQ(sheet.GetFloat(1, 0), 0.01);
  // The MULRK pairs.
  EXPECT_EQ(sheet.GetCellKind(3, 1), ckFloat);
  EXPECT_EQ(sheet.GetFloat(3, 1), 1.0);
  EXPECT_EQ(sheet.GetFloat(4, 1), -7.0);
  EXPECT_DOUBLE_EQ(sheet.GetFloat(5, 1), 0.01);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(3, 1)), 18);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(4, 1)), 19);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(5, 1)), 20);
  EXPECT_EQ(sheet.GetCellKind(6, 1), ckNone);
  // MULBLANK: one blank per XF.
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(sheet.GetCellKind(c, 2), ckBlank) << c;
    EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(c, 2)), 16 + c);
  }
  EXPECT_EQ(sheet.GetCellKind(3, 2), ckNone);
  EXPECT_EQ(sheet.GetCellKind(9, 2), ckBlank);
  // LABELSST counts a reference per cell.
  EXPECT_EQ(sheet.GetStringText(0, 3), u"one");
  EXPECT_EQ(sheet.FindCell(0, 3)->Entry(), sheet.FindCell(1, 3)->Entry());
  EXPECT_EQ(sheet.FindCell(0, 3)->Entry()->RefCount, 2);
  // BIFF8 8-bit text is Latin-1.
  EXPECT_EQ(sheet.GetStringText(0, 4), u"a\u00E9z");
  EXPECT_EQ(sheet.GetStringText(1, 4), u"\u4E2D\u6587");
  EXPECT_EQ(sheet.GetStringText(2, 4), u"rs");
}

TEST(XLSReader, MapsBoolErrCodes) {
  const std::vector<std::pair<uint8_t, TCellError>> codes = {{0x00, ceNull}, {0x07, ceDiv0}, {0x0F, ceValue},
                                                             {0x17, ceRef},  {0x1D, ceName}, {0x24, ceNum},
                                                             {0x2A, ceNA},   {0x99, ceNone}};
  TXLSWorkbook wb;
  const Bytes file = OneSheet([&](TStream& s) {
    for (size_t i = 0; i < codes.size(); ++i)
      s.Rec(rec::BOOLERR, TBody().Raw(Cell(static_cast<uint16_t>(i), 0, 15)).U8(codes[i].first).U8(1));
    s.Rec(rec::BOOLERR, TBody().Raw(Cell(0, 1, 15)).U8(1).U8(0));
    s.Rec(rec::BOOLERR, TBody().Raw(Cell(1, 1, 15)).U8(0).U8(0));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  for (size_t i = 0; i < codes.size(); ++i) {
    ASSERT_EQ(sheet.GetCellKind(0, static_cast<int>(i)), ckError) << i;
    EXPECT_EQ(sheet.FindCell(0, static_cast<int>(i))->Error(), codes[i].second) << i;
  }
  EXPECT_EQ(sheet.GetCellKind(1, 0), ckBoolean);
  EXPECT_TRUE(sheet.FindCell(1, 0)->Boolean());
  EXPECT_FALSE(sheet.FindCell(1, 1)->Boolean());
  EXPECT_EQ(sheet.GetText(0, 1), u"#DIV/0!");
}

TEST(XLSReader, SkipsCellsBeyondTheLastColumn) {
  // Column 256 cannot exist in a sheet; such a cell is left out rather than landing in column 0.
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) {
    s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 256, 15)).F64(1));
    s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 255, 15)).F64(2));
    s.Rec(rec::MULRK, TBody().U16(1).U16(254).U16(15).U32(6).U16(15).U32(10).U16(15).U32(14).U16(256));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.GetCellKind(0, 0), ckNone);
  EXPECT_EQ(sheet.GetFloat(255, 0), 2);
  EXPECT_EQ(sheet.GetFloat(254, 1), 1);
  EXPECT_EQ(sheet.GetFloat(255, 1), 2);
  EXPECT_EQ(sheet.GetCellKind(0, 1), ckNone);
}

TEST(XLSReader, LaterRecordForTheSameCellWins) {
  // Overlapping records: a MULBLANK over columns 0-2, then values in columns 1 and 2 with formats of
  // their own; a text replaced by a number gives its string reference back.
  TXLSWorkbook wb;
  const Bytes file = OneSheet(
      [](TStream& s) {
        s.Rec(rec::MULBLANK, TBody().U16(0).U16(0).U16(16).U16(17).U16(18).U16(2));
        s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 1, 19)).F64(5));
        s.Rec(rec::LABELSST, TBody().Raw(Cell(0, 2, 20)).U32(0));
        s.Rec(rec::LABELSST, TBody().Raw(Cell(1, 0, 15)).U32(0));
        s.Rec(rec::RK, TBody().Raw(Cell(0, 2, 16)).U32(6));
      },
      [](TStream& s) { s.Rec(rec::SST, Sst({"text"})); });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(0, 0)), 16);
  EXPECT_EQ(sheet.GetFloat(1, 0), 5);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(1, 0)), 19);
  EXPECT_EQ(sheet.GetFloat(2, 0), 1);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(2, 0)), 16);
  EXPECT_EQ(sheet.FindCell(0, 1)->Entry()->RefCount, 1);
}

TEST(XLSReader, LabelSstBeyondTheTableFails) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) { s.Rec(rec::LABELSST, TBody().Raw(Cell(0, 0, 15)).U32(2)); },
                              [](TStream& s) { s.Rec(rec::SST, Sst({"only"})); });
  const std::string message = ReadMessage(wb, file);
  EXPECT_TRUE(IsRecordFailure(message)) << message;
  EXPECT_NE(message.find("\rRead error at 000000"), std::string::npos) << message;
}

// Damage confined to a count, a padding byte or a reference: what is there is read. Each table below
// declares two strings and holds one.
TEST(XLSReader, ReadsWhatIsThereWhereDamageIsConfined) {
  auto labels = [](TStream& s) {
    for (uint16_t i = 0; i < 2; ++i) s.Rec(rec::LABELSST, TBody().Raw(Cell(i, 0, 15)).U32(i));
  };
  auto sheet = [](double number, const Bytes& filler) {
    TStream s = Globals8({"Data"});
    s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET)).Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(number));
    if (!filler.empty()) s.Rec(0x00F5, filler);
    s.Rec(rec::EOF_);
    return s.Data();
  };
  // A workbook in the mini stream, cut after its last byte: only its last mini sector's padding is lost.
  const Bytes filler(64 + (104 - (sheet(7, {}).size() + 4) % 64) % 64, 'm');
  const Bytes mini = Compound(sheet(7, filler)), end = {'m', 'm', 'm', 'm', 0x0A, 0, 0, 0};
  const Bytes cutMini(mini.begin(), std::search(mini.begin(), mini.end(), end.begin(), end.end()) + 8);
  TStream biff5;
  biff5.Rec(rec::BOF, Bof5(rec::BOF_GLOBALS)).Rec(rec::BOUNDSHEET, TBody().U32(0).U16(0).U8(4).Latin("Data"));
  biff5.Rec(rec::EOF_).Rec(rec::BOF, Bof5(rec::BOF_WORKSHEET));
  biff5.Rec(rec::LABEL, TBody().Raw(Cell(0, 0, 15)).U16(2).Latin("b5")).Rec(rec::EOF_);
  const Bytes one = TBody().U32(2).U32(2).Raw(String8("one"));
  // No compound document and no globals: a worksheet under a 6-byte BOF of version 0, then formats.
  TStream shortBof;
  shortBof.Rec(rec::BOF, TBody().U16(0).U16(rec::BOF_WORKSHEET).U16(0));
  shortBof.Rec(rec::FORMAT, TBody().U16(0xA4).U8(4).Latin("0.00"));
  shortBof.Rec(rec::LABEL, TBody().Raw(Cell(0, 0, 15)).U16(5).Latin("short"));
  shortBof.Rec(rec::NUMBER, TBody().Raw(Cell(1, 0, 15)).F64(2.5)).Rec(rec::EOF_);

  const struct {
    const char* damage;
    Bytes file;
    std::vector<std::u16string> column0;  // texts of rows 0, 1, ...
  } cases[] = {
      {"a formatting run naming font 300",
       OneSheet(labels,
                [](TStream& s) {
                  s.Rec(rec::SST, TBody().U32(2).U32(2).U16(2).U8(0x08).U16(1).Latin("ab").U16(0).U16(300));
                }),
       {u"ab", u""}},
      {"a CONTINUE holding only the 16-bit flag after the last string",
       OneSheet(labels, [&](TStream& s) { s.Rec(rec::SST, one).Rec(rec::CONTINUE, {0x01}); }),
       {u"one", u""}},
      {"no CONTINUE",
       OneSheet(labels,
                [&](TStream& s) {
                  s.Rec(rec::SST, one).Rec(rec::EXTSST, {8, 0});
                }),
       {u"one", u""}},
      {"an XF naming number format 200, never defined",
       OneSheet([](TStream& s) { s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 0)).F64(1.5)); },
                [](TStream& s) { s.Rec(rec::XF, TBody().U16(0).U16(200).U16(1).Raw(Bytes(14, 0))); }),
       {u"1.5"}},
      {"a mini stream whose last sector lacks its padding", cutMini, {u"7"}},
      {"a plain BIFF5 record stream", biff5.Data(), {u"b5"}},
      {"a plain BIFF8 record stream", sheet(8, {}), {u"8"}},
      {"a plain record stream under a short BOF of version 0", shortBof.Data(), {u"short", u"2.5"}},
      {"an SST record ending one byte into a 16-bit character, an empty CONTINUE, then the string again",
       OneSheet(
           [](TStream& s) {
             for (uint16_t i = 0; i < 3; ++i) s.Rec(rec::LABELSST, TBody().Raw(Cell(i, 0, 15)).U32(i));
           },
           [](TStream& s) {
             s.Rec(rec::SST, TBody().U32(3).U32(3).Raw(String8("one")).U16(3).U8(1).Wide(u"\u03B1").U8(0xB2));
             s.Rec(rec::CONTINUE).Rec(rec::CONTINUE, TBody().U8(1).Wide(u"\u03B2\u03B3").Raw(String8("ok")));
           }),
       {u"one", u"\u03B1\u03B2\u03B3", u"ok"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    TXLSWorkbook wb;
    ASSERT_EQ(ReadMessage(wb, c.file), "");
    for (size_t row = 0; row < c.column0.size(); ++row) {
      EXPECT_EQ(wb.Sheets()[0].GetText(0, static_cast<int>(row)), c.column0[row]) << row;
      EXPECT_NE(wb.Sheets()[0].GetCellKind(0, static_cast<int>(row)), ckNone) << row;
    }
  }
  TXLSWorkbook wb;  // a byte the stream needs is past the end: still refused
  EXPECT_NE(ReadMessage(wb, Bytes(cutMini.begin(), cutMini.end() - 1)), "");
}

// ---------------------------------------------------------------------------------------------------
// Formula cells

TEST(XLSReader, ReadsCachedResults) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 0, SpecialResult(0), 0, kTokensOnePlusOne));
    s.Rec(rec::STRING, String8("abc"));
    s.Rec(rec::FORMULA, Formula(1, 0, SpecialResult(0), 0, kTokensOnePlusOne));  // no STRING: no cell
    s.Rec(rec::FORMULA, Formula(2, 0, NumberResult(7), 0, {}));                  // no tokens: no cell
    s.Rec(rec::FORMULA, Formula(3, 0, NumberResult(2), 0, kTokensOnePlusOne, 17));
    s.Rec(rec::FORMULA, Formula(4, 0, SpecialResult(1, 1), 0, kTokensOnePlusOne));
    s.Rec(rec::FORMULA, Formula(5, 0, SpecialResult(2, 0x07), 0, kTokensOnePlusOne));
    s.Rec(rec::FORMULA, Formula(6, 0, SpecialResult(3), 0, kTokensOnePlusOne));
    s.Rec(rec::FORMULA, Formula(7, 0, SpecialResult(0), 0, kTokensOnePlusOne));
    s.Rec(rec::STRING, TBody().U16(2).U8(1).Wide(u"\u00E9\u4E2D"));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  ASSERT_EQ(sheet.GetCellKind(0, 0), ckStringFormula);
  EXPECT_EQ(sheet.FindCell(0, 0)->Formula()->text, u"abc");
  EXPECT_EQ(sheet.GetText(0, 0), u"abc");
  EXPECT_EQ(sheet.GetCellKind(0, 1), ckNone);
  EXPECT_EQ(sheet.GetCellKind(0, 2), ckNone);
  ASSERT_EQ(sheet.GetCellKind(0, 3), ckNumberFormula);
  EXPECT_EQ(sheet.GetFloat(0, 3), 2);
  EXPECT_EQ(sheet.CellFormatIndex(*sheet.FindCell(0, 3)), 17);
  const TFormulaData* data = sheet.FindCell(0, 3)->Formula();
  EXPECT_EQ(data->expression, kTokensOnePlusOne);
  EXPECT_EQ(data->tokenLength, kTokensOnePlusOne.size());
  EXPECT_EQ(sheet.GetCellKind(0, 4), ckBooleanFormula);
  EXPECT_EQ(sheet.FindCell(0, 4)->Formula()->small, 1);
  EXPECT_EQ(sheet.GetCellKind(0, 5), ckErrorFormula);
  EXPECT_EQ(sheet.FindCell(0, 5)->Formula()->small, ceDiv0);
  EXPECT_EQ(sheet.GetCellKind(0, 6), ckStringFormula);
  EXPECT_EQ(sheet.FindCell(0, 6)->Formula()->text, u"");
  EXPECT_EQ(sheet.FindCell(0, 7)->Formula()->text, u"\u00E9\u4E2D");
}

TEST(XLSReader, LongStringResultContinues) {
  // A STRING record's text that runs on into a CONTINUE record, which switches to 16-bit characters.
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 0, SpecialResult(0), 0, kTokensOnePlusOne));
    s.Rec(rec::STRING, TBody().U16(5).U8(0).Latin("abc"));
    s.Rec(rec::CONTINUE, TBody().U8(1).Wide(u"\u4E2Dz"));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  EXPECT_EQ(wb.Sheets()[0].FindCell(0, 0)->Formula()->text, u"abc\u4E2Dz");
}

TEST(XLSReader, ResolvesSharedFormulas) {
  // Column B holds =A(row)*2 as a shared formula over B1:B3: tRefN with a relative row offset 0 and a
  // relative column offset -1, then tInt 2 and tMul.
  const Bytes sharedTokens = TBody().U8(0x2C).U16(0).U16(0xC000 | 0xFF).U8(0x1E).U16(2).U8(0x05);
  TXLSWorkbook wb;
  const Bytes file = OneSheet([&](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 1, NumberResult(2), 0x0008, ExpToken(0, 1)));
    s.Rec(rec::SHRFMLA, TBody()
                            .U16(0)
                            .U16(2)
                            .U8(1)
                            .U8(1)
                            .U16(0x0300)
                            .U16(static_cast<uint16_t>(sharedTokens.size()))
                            .Raw(sharedTokens));
    s.Rec(rec::FORMULA, Formula(1, 1, NumberResult(4), 0x0008, ExpToken(0, 1)));
    s.Rec(rec::FORMULA, Formula(2, 1, NumberResult(6), 0x0008, ExpToken(0, 1)));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  for (uint16_t row = 0; row < 3; ++row) {
    ASSERT_EQ(sheet.GetCellKind(1, row), ckNumberFormula) << row;
    EXPECT_EQ(sheet.GetFloat(1, row), 2.0 * (row + 1));
    const TFormulaData* data = sheet.FindCell(1, row)->Formula();
    // tRef with the absolute row and column of A(row), flags kept.
    const Bytes expected = TBody().U8(0x24).U16(row).U16(0xC000).U8(0x1E).U16(2).U8(0x05);
    EXPECT_EQ(data->expression, expected) << row;
    EXPECT_EQ(data->tokenLength, sharedTokens.size());
  }

  // A cell pointing at a shared formula that does not exist.
  TXLSWorkbook wb2;
  const Bytes bad = OneSheet(
      [&](TStream& s) { s.Rec(rec::FORMULA, Formula(5, 0, NumberResult(2), 0x0008, ExpToken(9, 9))); });
  const std::string message = ReadMessage(wb2, bad);
  EXPECT_TRUE(IsRecordFailure(message)) << message;
  EXPECT_TRUE(EndsWith(message, "\rFixup error in shared formula at C=0,R=5 (A6)")) << message;

  // A string result followed by SHRFMLA is not a shared formula's: the file is damaged.
  TXLSWorkbook wb3;
  const Bytes unexpected = OneSheet([&](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 0, SpecialResult(0), 0, kTokensOnePlusOne));
    s.Rec(rec::SHRFMLA, TBody().U16(0).U16(2).U8(1).U8(1).U16(0).U16(0));
  });
  EXPECT_TRUE(EndsWith(ReadMessage(wb3, unexpected), "\rUnxepected SHRFMLA"));
}

TEST(XLSReader, ConvertsSharedReferencesOfBothLayouts) {
  // BIFF8 tAreaN over rows -1..+1 (relative), column 3 absolute, for the cell at row 10, column 5.
  Bytes area = TBody().U8(0x2D).U16(0xFFFF).U16(1).U16(0x8003).U16(0x8003);
  ConvertSharedFormulaTokens(area.data(), area.size(), 10, 5, true);
  EXPECT_EQ(area, Bytes(TBody().U8(0x25).U16(9).U16(11).U16(0x8003).U16(0x8003)));
  // BIFF5 tRefN (class value, 0x4C): row word with both flags and offset +2, column offset -1.
  Bytes ref = TBody().U8(0x4C).U16(0xC002).U8(0xFF);
  ConvertSharedFormulaTokens(ref.data(), ref.size(), 7, 4, false);
  EXPECT_EQ(ref, Bytes(TBody().U8(0x44).U16(0xC009).U8(3)));
  // Tokens are walked past strings and attributes; an unknown token ends the walk.
  Bytes mixed = TBody()
                    .U8(0x17)
                    .U8(2)
                    .U8(0)
                    .Latin("ab")
                    .U8(0x19)
                    .U8(0x04)
                    .U16(1)
                    .U16(0)
                    .U16(0)
                    .U8(0x2C)
                    .U16(1)
                    .U16(0x8000)
                    .U8(0xFF)
                    .U8(0x2C)
                    .U16(1)
                    .U16(0x8000);
  ConvertSharedFormulaTokens(mixed.data(), mixed.size(), 3, 0, true);
  EXPECT_EQ(mixed[13], 0x24);
  EXPECT_EQ(DecodeFixed16(&mixed[14]), 4);
  EXPECT_EQ(mixed[19], 0x2C);  // after the unknown token: left as it was
  EXPECT_EQ(CellA1Name(0, 5), "A6");
  EXPECT_EQ(CellA1Name(27, 0), "AB1");
  EXPECT_EQ(CellA1Name(255, 65535), "IV65536");
}

TEST(XLSReader, ReadsArrayFormulas) {
  // {=...} over A1:B2 with number results, and a text array formula in D1.
  const Bytes arrayBody = TBody().U16(0).U16(1).U8(0).U8(1).U16(0).U32(0).U16(3).Raw({0x1E, 0x05, 0x00});
  TXLSWorkbook wb;
  const Bytes file = OneSheet([&](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 0, NumberResult(5), 0, ExpToken(0, 0)));
    s.Rec(rec::ARRAY, arrayBody);
    s.Rec(rec::FORMULA, Formula(0, 1, NumberResult(5), 0, ExpToken(0, 0)));
    s.Rec(rec::FORMULA, Formula(1, 0, NumberResult(5), 0, ExpToken(0, 0)));
    s.Rec(rec::FORMULA, Formula(1, 1, NumberResult(5), 0, ExpToken(0, 0)));
    s.Rec(rec::FORMULA, Formula(0, 3, SpecialResult(0), 0, ExpToken(0, 3)));
    s.Rec(rec::ARRAY, TBody().U16(0).U16(0).U8(3).U8(3).U16(0).U32(0).U16(0));
    s.Rec(rec::STRING, String8("txt"));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  ASSERT_EQ(sheet.GetCellKind(0, 0), ckNumberArrayFormula);
  EXPECT_EQ(sheet.FindCell(0, 0)->Formula()->arrayFlag, 0);
  EXPECT_EQ(sheet.FindCell(0, 0)->Formula()->arrayBody, arrayBody);
  EXPECT_EQ(sheet.GetFloat(0, 0), 5);
  for (auto [c, r] : {std::pair{1, 0}, {0, 1}, {1, 1}}) {
    ASSERT_EQ(sheet.GetCellKind(c, r), ckNumberArrayFormula) << c << r;
    EXPECT_EQ(sheet.FindCell(c, r)->Formula()->arrayFlag, 1);
    // Members keep the fixed part of the ARRAY record (the range), not its tokens.
    EXPECT_EQ(sheet.FindCell(c, r)->Formula()->arrayBody, Bytes(arrayBody.begin(), arrayBody.begin() + 14));
  }
  ASSERT_EQ(sheet.GetCellKind(3, 0), ckStringArrayFormula);
  EXPECT_EQ(sheet.FindCell(3, 0)->Formula()->text, u"txt");
}

TEST(XLSReader, ReadsOlderFormulaLayouts) {
  // BIFF3: FORMULA 0x0206 with the result at 6 and the tokens at 18, in a plain file.
  TStream s;
  s.Rec(rec::BOF_3, TBody().U16(0).U16(rec::BOF_WORKSHEET).U16(0));
  s.Rec(rec::FORMULA_3, TBody().Raw(Cell(0, 0, 15)).F64(3).U16(0).U16(3).Raw({0x1E, 0x03, 0x00}));
  s.Rec(rec::FORMULA_3, TBody().Raw(Cell(1, 0, 15)).Raw(SpecialResult(1, 1)).U16(0).U16(0));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, s.Data()), "");
  EXPECT_EQ(wb.Version(), xvExcel30);
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.Name(), u"Sheet1");
  ASSERT_EQ(sheet.GetCellKind(0, 0), ckNumberFormula);
  EXPECT_EQ(sheet.GetFloat(0, 0), 3);
  EXPECT_EQ(sheet.FindCell(0, 0)->Formula()->expression, Bytes({0x1E, 0x03, 0x00}));
  EXPECT_EQ(sheet.GetCellKind(0, 1), ckBooleanFormula);
}

// ---------------------------------------------------------------------------------------------------
// Substreams and stopping

TEST(XLSReader, KeepsChartSheetsBetweenWorksheetsWhole) {
  TStream s = Globals8({"One", "Chart", "Two"});
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(1));
  s.Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof8(rec::BOF_CHART));
  s.Rec(0x1009, TBody().U32(0).U32(0).U16(0).U16(0).U16(0).U32(0));  // MarkerFormat: low byte 0x09, no BOF
  s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(99));
  s.Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(2));
  s.Rec(rec::EOF_);
  s.Rec(0x8000, TBody().U32(0));  // after the last sheet nothing is read
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, Compound(s.Data())), "");
  ASSERT_EQ(wb.Sheets().Count(), 2);
  EXPECT_EQ(wb.Sheets()[0].Name(), u"One");
  EXPECT_EQ(wb.Sheets()[1].Name(), u"Two");
  EXPECT_EQ(wb.Sheets()[0].GetFloat(0, 0), 1);
  EXPECT_EQ(wb.Sheets()[1].GetFloat(0, 0), 2);
  // The chart sheet is kept from its BOF to its EOF, to be written back in its place.
  ASSERT_EQ(wb.ChartSheets().size(), 1u);
  const TChartSheet& chart = wb.ChartSheets()[0];
  EXPECT_EQ(chart.name, u"Chart");
  EXPECT_EQ(chart.position, 1);
  const Bytes& records = chart.records;
  ASSERT_EQ(records.size(), 4u + 16 + 4 + 18 + 4 + 14 + 4);
  EXPECT_EQ(DecodeFixed16(records.data()), rec::BOF);
  EXPECT_EQ(DecodeFixed16(records.data() + records.size() - 4), rec::EOF_);
}

TEST(XLSReader, StopsAtGlobalsEOFWithoutSheets) {
  TStream s = Globals8({});
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));  // not named by any BOUNDSHEET: never read
  s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(1));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, Compound(s.Data())), "");
  ASSERT_EQ(wb.Sheets().Count(), 1);  // the default sheet of an emptied workbook
  EXPECT_EQ(wb.Sheets()[0].GetCellKind(0, 0), ckNone);
}

TEST(XLSReader, NamesSheetsAndVisibility) {
  TStream s;
  s.Rec(rec::BOF, Bof8(rec::BOF_GLOBALS));
  s.Rec(rec::BOUNDSHEET, BoundSheet8("Caf\xE9"));
  s.Rec(rec::BOUNDSHEET, TBody().U32(0).U8(1).U8(0).U8(2).U8(1).Wide(u"\u8868\u4E00"));
  s.Rec(rec::BOUNDSHEET, BoundSheet8("Hidden", 2));
  s.Rec(rec::EOF_);
  for (int i = 0; i < 3; ++i) s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET)).Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, Compound(s.Data())), "");
  ASSERT_EQ(wb.Sheets().Count(), 3);
  EXPECT_EQ(wb.Sheets()[0].Name(), u"Caf\u00E9");
  EXPECT_EQ(wb.Sheets()[1].Name(), u"\u8868\u4E00");
  EXPECT_EQ(wb.Sheets()[1].Hidden, 1);
  EXPECT_EQ(wb.Sheets()[2].Hidden, 2);
}

TEST(XLSReader, BadRecordIdentifierFailsWithContext) {
  TStream s = Globals8({"A"});
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  const size_t offset = s.Size();
  s.Rec(0x8123, TBody().U16(1));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  const std::string message = ReadMessage(wb, Compound(s.Data()));
  EXPECT_EQ(message,
            FormatMessage("Error on reading record # 4, 8123 Offs: %.8X", static_cast<unsigned>(offset)) +
                "\rBad record in file");
  // The sheet read before the failure stays.
  EXPECT_EQ(wb.Sheets().Count(), 1);
}

TEST(XLSReader, KeepsRecordOrderForTheWriter) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) {
    s.Rec(rec::CALCMODE, TBody().U16(0));
    s.Rec(rec::HORIZONTALPAGEBREAKS, TBody().U16(2).U16(10).U16(0).U16(255).U16(20).U16(0).U16(255));
    s.Rec(rec::HEADER, TBody().U16(3).U8(0).Latin("Top"));
    s.Rec(rec::FOOTER);
    s.Rec(rec::LEFTMARGIN, TBody().F64(0.25));
    s.Rec(rec::DEFCOLWIDTH, TBody().U16(10));
    s.Rec(rec::COLINFO, TBody().U16(1).U16(2).U16(3000).U16(15).U16(0).U16(0));
    s.Rec(rec::DIMENSIONS, TBody().U32(0).U32(1).U16(0).U16(1).U16(0));
    s.Rec(rec::ROW, TBody().U16(0).U16(0).U16(1).U16(300).U16(0).U16(0).U16(0x0100).U16(15));
    s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(1));
    s.Rec(rec::DBCELL, TBody().U32(0));
    s.Rec(rec::MSODRAWING, TBody().U32(0x12345678));
    s.Rec(rec::WINDOW2, TBody().U16(0x06B6).U16(0).U16(0).U32(0x40));  // BIFF5-sized: extended
    s.Rec(rec::SELECTION, TBody().U8(3).U16(0).U16(0).U16(0).U16(1).U16(0).U16(0).U8(0).U8(0));
    s.Rec(rec::SELECTION, TBody().U8(1).U16(0).U16(0).U16(0).U16(1).U16(0).U16(0).U8(0).U8(0));
    s.Rec(rec::USERSVIEWBEGIN, TBody().U32(1));
    s.Rec(rec::SELECTION, TBody().U8(2).U16(5).U16(5).U16(0).U16(1).U16(5).U16(5).U8(5).U8(5));
    s.Rec(rec::HEADER, TBody().U16(4).U8(0).Latin("View"));
    s.Rec(rec::USERSVIEWEND, TBody().U16(1));
    s.Rec(rec::MERGEDCELLS, TBody().U16(1).U16(0).U16(1).U16(0).U16(1));
    s.Rec(rec::SHEETEXT, TBody().U16(0x0862).U16(0).U32(0).U32(0).U32(0x14).U8(0x0A).U8(0).U16(0));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  const std::vector<uint16_t> ids = Ids(sheet.Records());
  // The model's records are regenerated at their placeholders, which stand where the file had them.
  const std::vector<uint16_t> order = {
      rec::BOF,        rec::CALCMODE,    rec::PH_PAGEBREAKS, rec::PH_HEADERFOOTER,
      rec::PH_MARGINS, rec::DEFCOLWIDTH, rec::DIMENSIONS,    rec::PH_COLINFO,
      rec::PH_CELLS,   rec::MSODRAWING,  rec::WINDOW2,       rec::PH_SHEETEXTRAS,
      rec::SELECTION,  rec::SELECTION,   rec::MERGEDCELLS,   rec::SHEETEXT,
      rec::EOF_};
  int last = -1;
  for (uint16_t id : order) {
    const int at = PositionOf(std::vector<uint16_t>(ids.begin() + last + 1, ids.end()), id);
    ASSERT_GE(at, 0) << std::hex << id;
    last += at + 1;
  }
  EXPECT_EQ(ids.back(), rec::EOF_);
  EXPECT_EQ(PositionOf(ids, rec::DBCELL), -1);
  EXPECT_EQ(PositionOf(ids, rec::NUMBER), -1);
  EXPECT_EQ(PositionOf(ids, rec::HEADER), -1);
  EXPECT_EQ(sheet.Records().Window2()->Length(), 18);
  EXPECT_EQ(sheet.Records().Selection()->Data()[0], 3);  // the first SELECTION is the sheet's
  EXPECT_EQ(sheet.Records().CalcMode(), 0);
  // The custom view's records did not reach the sheet.
  EXPECT_EQ(sheet.PrintSettings().Header(), u"Top");
  EXPECT_EQ(sheet.PrintSettings().Footer(), u"");
  EXPECT_EQ(sheet.PrintSettings().MarginLeft(), 0.25);
  ASSERT_EQ(sheet.PrintSettings().HorizPagebreaks().size(), 2u);
  EXPECT_EQ(sheet.PrintSettings().HorizPagebreaks()[1], (TPageBreak{20, 0, 255}));
  ASSERT_NE(sheet.Columns().Item(2), nullptr);
  EXPECT_EQ(sheet.Columns().Item(2)->Width, 3000);
  EXPECT_EQ(sheet.Rows().Count(), 1);
  EXPECT_EQ(sheet.TabColor, 0x0A);
}

TEST(XLSReader, KeepsEmbeddedChartsWithTheDrawing) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream& s) {
    s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(1));
    s.Rec(rec::MSODRAWING, TBody().U32(1));
    s.Rec(rec::BOF, Bof8(rec::BOF_CHART));
    s.Rec(rec::HEADER);
    s.Rec(rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(42));
    s.Rec(0x1009, TBody().U32(0));
    s.Rec(rec::EOF_);
    s.Rec(rec::WINDOW2, TBody().U16(0x06B6).U16(0).U16(0).U32(0x40).U16(0).U16(0).U32(0));
  });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.GetFloat(0, 0), 1);  // the chart's number is the chart's, not a cell
  const std::vector<uint16_t> ids = Ids(sheet.Records());
  const int drawing = PositionOf(ids, rec::MSODRAWING);
  ASSERT_GE(drawing, 0);
  const std::vector<uint16_t> chart = {rec::BOF, rec::HEADER, rec::NUMBER, 0x1009, rec::EOF_};
  EXPECT_EQ(std::vector<uint16_t>(ids.begin() + drawing + 1, ids.begin() + drawing + 6), chart);
  // The sheet's own list still ends with its EOF after the remaining defaults.
  EXPECT_EQ(ids.back(), rec::EOF_);
  EXPECT_GT(PositionOf(ids, rec::WINDOW2), drawing + 5);
  EXPECT_GT(PositionOf(ids, rec::PH_SHEETEXTRAS), drawing + 5);
  EXPECT_EQ(sheet.PrintSettings().Header(), u"");
}

TEST(XLSReader, TakesProtectionOfProtectedSheetsOnly) {
  auto featHdr = [](uint16_t flags) {
    return TBody().U16(0x0867).U16(0).U32(0).U32(0).U16(2).U8(1).U32(0xFFFFFFFF).U16(flags).U16(0);
  };
  TStream s = Globals8({"Protected", "Open", "Old"});
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET))
      .Rec(rec::PROTECT, TBody().U16(1))
      .Rec(rec::FEATHDR, featHdr(0x4403));
  s.Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET)).Rec(rec::FEATHDR, featHdr(0x4403)).Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET)).Rec(rec::PROTECT, TBody().U16(1)).Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, Compound(s.Data())), "");
  EXPECT_EQ(wb.Sheets()[0].Protection, 0x4403);
  EXPECT_EQ(PositionOf(Ids(wb.Sheets()[0].Records()), rec::FEATHDR), -1);
  // Not protected: the options are kept as they are, and the sheet stays unprotected.
  EXPECT_EQ(wb.Sheets()[1].Protection, 0x7FFF);
  EXPECT_GE(PositionOf(Ids(wb.Sheets()[1].Records()), rec::FEATHDR), 0);
  // Protected without options: Excel's default options, so that it stays protected.
  EXPECT_EQ(wb.Sheets()[2].Protection, 0x4400);
}

TEST(XLSReader, ReadsExternalCellCaches) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet([](TStream&) {},
                              [](TStream& s) {
                                s.Rec(rec::XCT, TBody().U16(2).U16(0));
                                s.Rec(rec::CRN, TBody().U8(0).U8(0).U16(0).U8(1).F64(1));
                                s.Rec(rec::CRN, TBody().U8(0).U8(0).U16(1).U8(1).F64(2));
                              });
  ASSERT_EQ(ReadMessage(wb, file), "");
  const std::vector<uint16_t> ids = Ids(wb.Globals());
  const int xct = PositionOf(ids, rec::XCT);
  ASSERT_GE(xct, 0);
  EXPECT_EQ(ids[xct + 1], rec::CRN);
  EXPECT_EQ(ids[xct + 2], rec::CRN);

  TXLSWorkbook wb2;
  const Bytes missing = OneSheet([](TStream&) {},
                                 [](TStream& s) {
                                   s.Rec(rec::XCT, TBody().U16(0xFFFE).U16(0));  // 2 CRNs announced
                                   s.Rec(rec::CRN, TBody().U8(0).U8(0).U16(0).U8(1).F64(1));
                                 });
  EXPECT_TRUE(EndsWith(ReadMessage(wb2, missing), "\rCRN record missing"));
}

TEST(XLSReader, PadsWriteAccessAndKeepsGlobalsOrder) {
  TXLSWorkbook wb;
  const Bytes file = OneSheet(
      [](TStream&) {},
      [](TStream& s) {
        s.Rec(rec::WRITEACCESS, TBody().U16(3).U8(0).Latin("Bob"));
        s.Rec(rec::FILESHARING, TBody().U16(1).U16(0x1234).U16(0));
        s.Rec(rec::WINDOW1, TBody().U16(1).U16(2).U16(3).U16(4).U16(0x38).U16(0).U16(0).U16(1).U16(600));
        s.Rec(rec::WINDOW1, TBody().U16(9).U16(9).U16(9).U16(9).U16(0x38).U16(0).U16(0).U16(1).U16(600));
        s.Rec(rec::BOOKBOOL, TBody().U16(0));
        s.Rec(rec::FONT,
              TBody().U16(200).U16(0).U16(8).U16(400).U16(0).U8(0).U8(2).U8(0).U8(0).U8(5).U8(0).Latin(
                  "Arial"));
        s.Rec(rec::PALETTE, TBody().U16(1).U32(0x00123456));
        s.Rec(rec::STYLE, TBody().U16(0x8000).U8(0).U8(0xFF));
        s.Rec(rec::SST, Sst({"x"}));
        s.Rec(rec::EXTSST, TBody().U16(8));
      });
  ASSERT_EQ(ReadMessage(wb, file), "");
  TRecordStorageGlobals& globals = wb.Globals();
  const TStoredRecord* access = globals.Current(rec::WRITEACCESS);
  ASSERT_EQ(access->Length(), 112);
  EXPECT_EQ(access->Data()[3], 'B');
  EXPECT_EQ(access->Data()[111], 0x20);
  EXPECT_EQ(wb.UserName(), u"Bob");
  EXPECT_EQ(wb.Workbook().Left(), 1);  // the first window is the workbook's
  const std::vector<uint16_t> ids = Ids(globals);
  EXPECT_LT(PositionOf(ids, rec::BOOKBOOL), PositionOf(ids, rec::PH_FORMATS));
  EXPECT_LT(PositionOf(ids, rec::PH_FORMATS), PositionOf(ids, rec::PH_BOUNDSHEETS));
  EXPECT_LT(PositionOf(ids, rec::PH_BOUNDSHEETS), PositionOf(ids, rec::PH_SST));
  for (uint16_t consumed : {rec::FONT, rec::PALETTE, rec::STYLE, rec::SST, rec::EXTSST, rec::BOUNDSHEET})
    EXPECT_EQ(PositionOf(ids, consumed), -1) << std::hex << consumed;
  EXPECT_EQ(wb.Styles().Count(), 1);
  EXPECT_TRUE(wb.FileSharing().RecomendReadOnly());
  EXPECT_EQ(PositionOf(ids, rec::FILESHARING), -1);  // the writer writes it after WRITEACCESS
  EXPECT_EQ(wb.Colors().Colors[8], 0x00123456u);
}

TEST(XLSReader, ReportsProgressAndStopsWhenAborted) {
  const Bytes file = OneSheet([](TStream& s) {
    for (uint16_t r = 0; r < 2000; ++r) s.Rec(rec::NUMBER, TBody().Raw(Cell(r, 0, 15)).F64(r));
  });
  TXLSWorkbook wb;
  std::vector<int> reports;
  wb.OnProgress = [&](int percent) { reports.push_back(percent); };
  ASSERT_EQ(ReadMessage(wb, file), "");
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front(), 0);
  EXPECT_EQ(reports.back(), 100);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));

  // Aborting keeps what was read so far, without a failure.
  TXLSWorkbook aborted;
  aborted.OnProgress = [&](int percent) {
    if (percent >= 50) aborted.Aborted = true;
  };
  ASSERT_EQ(ReadMessage(aborted, file), "");
  TSheet& sheet = aborted.Sheets()[0];
  EXPECT_EQ(sheet.GetCellKind(0, 0), ckFloat);
  EXPECT_EQ(sheet.GetCellKind(0, 1999), ckNone);
}

// ---------------------------------------------------------------------------------------------------
// Encryption

Bytes EncryptedWorkbook(std::u16string_view password) {
  TXLSStream s;
  Bytes out;
  s.SetDestMemory(&out);
  s.OpenWrite("", xvExcel97);
  const Bytes bof = Bof8(rec::BOF_GLOBALS);
  s.WriteRecord(rec::BOF, bof.data(), static_cast<uint16_t>(bof.size()));
  uint8_t filePass[TXLSStream::kFilePassSize];
  s.MakeFilePass(filePass, password);
  s.WriteRecord(rec::FILEPASS, filePass, sizeof filePass);
  auto write = [&](uint16_t id, const Bytes& body) {
    s.WriteRecord(id, body.data(), static_cast<uint16_t>(body.size()));
  };
  write(rec::SST, Sst({"secret text"}));
  write(rec::BOUNDSHEET, BoundSheet8("Hidden name"));
  write(rec::EOF_, {});
  write(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  write(rec::LABELSST, TBody().Raw(Cell(0, 0, 15)).U32(0));
  write(rec::NUMBER, TBody().Raw(Cell(1, 0, 15)).F64(12.5));
  write(rec::EOF_, {});
  s.Close();
  return out;
}

TEST(XLSReader, NeedsThePassword) {
  const Bytes file = EncryptedWorkbook(u"secret");
  TXLSWorkbook none;
  const std::string message = ReadMessage(none, file);
  EXPECT_TRUE(IsRecordFailure(message)) << message;
  EXPECT_TRUE(EndsWith(message, "\rFile is encrypted. Password required.")) << message;

  TXLSWorkbook wrong;
  wrong.Password = u"Secret";
  EXPECT_TRUE(EndsWith(ReadMessage(wrong, file), "\rInvalid password"));

  TXLSWorkbook asked;
  asked.OnPassword = [](std::u16string& password) {
    password.clear();
    return true;
  };
  EXPECT_TRUE(EndsWith(ReadMessage(asked, file), "\rPassword is missing."));

  TXLSWorkbook refused;
  refused.OnPassword = [](std::u16string&) { return false; };
  EXPECT_EQ(ReadMessage(refused, file), "");
  EXPECT_TRUE(refused.Aborted);

  TXLSWorkbook right;
  right.Password = u"secret";
  ASSERT_EQ(ReadMessage(right, file), "");
  EXPECT_EQ(right.Sheets()[0].Name(), u"Hidden name");
  EXPECT_EQ(right.Sheets()[0].GetStringText(0, 0), u"secret text");
  EXPECT_EQ(right.Sheets()[0].GetFloat(0, 1), 12.5);
}

TEST(XLSReader, OpensExcelsDefaultPasswordWithoutAsking) {
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, EncryptedWorkbook(u"VelvetSweatshop")), "");
  EXPECT_EQ(wb.Sheets()[0].GetStringText(0, 0), u"secret text");
}

TEST(XLSReader, RefusesOtherSchemes) {
  auto withFilePass = [](const Bytes& body) {
    return OneSheet([](TStream&) {}, [&](TStream& s) { s.Rec(rec::FILEPASS, body); });
  };
  TXLSWorkbook a, b, c;
  // XOR obfuscation is read: without the password it asks for it.
  EXPECT_TRUE(EndsWith(ReadMessage(a, withFilePass(TBody().U16(0).U16(0x1234).U16(0x5678))),
                       "\rFile is encrypted. Password required."));
  // RC4 CryptoAPI (type 1, version 2.2) with an empty header and no verifier.
  Bytes cryptoApi = TBody().U16(1).U16(2).U16(2);
  cryptoApi.resize(200, 0);
  EXPECT_TRUE(
      EndsWith(ReadMessage(b, withFilePass(cryptoApi)), "\rCan not read file, unknown type of encryption."));
  EXPECT_TRUE(EndsWith(ReadMessage(c, withFilePass(TBody().U16(7))),
                       "\rCan not read file, unknown type of encryption."));
}

// ---------------------------------------------------------------------------------------------------
// Older files and their code pages

TEST(XLSReader, DecodesBiff5TextWithTheFilesCodePage) {
  const Bytes name = {0xB1, 0xED, 0xD2, 0xBB};  // 表一 in GBK
  const Bytes text = {0xD6, 0xD0, 0xCE, 0xC4};  // 中文
  TStream s;
  s.Rec(rec::BOF, Bof5(rec::BOF_GLOBALS));
  s.Rec(rec::WRITEACCESS, TBody().U8(4).Raw(text));
  s.Rec(rec::CODEPAGE, TBody().U16(936));
  s.Rec(rec::FORMAT, TBody().U16(164).U8(4).Raw(text));
  s.Rec(rec::BOUNDSHEET, TBody().U32(0).U8(0).U8(0).U8(4).Raw(name));
  s.Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof5(rec::BOF_WORKSHEET));
  s.Rec(rec::DIMENSIONS, TBody().U16(0).U16(2).U16(0).U16(1).U16(0));
  s.Rec(rec::HEADER, TBody().U8(4).Raw(text));
  s.Rec(rec::LABEL, TBody().Raw(Cell(0, 0, 15)).U16(4).Raw(text));
  s.Rec(rec::RSTRING, TBody().Raw(Cell(1, 0, 15)).U16(4).Raw(text).U8(0));
  s.Rec(rec::FORMULA, Formula(2, 0, SpecialResult(0), 0, kTokensOnePlusOne));
  s.Rec(rec::STRING, TBody().U16(4).Raw(text));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, Compound(s.Data(), u"Book")), "");
  EXPECT_EQ(wb.Version(), xvExcel50);
  EXPECT_EQ(wb.CodePage, 936);
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.Name(), u"\u8868\u4E00");
  EXPECT_EQ(sheet.GetStringText(0, 0), u"\u4E2D\u6587");
  EXPECT_EQ(sheet.GetStringText(0, 1), u"\u4E2D\u6587");
  EXPECT_EQ(sheet.FindCell(0, 2)->Formula()->text, u"\u4E2D\u6587");
  EXPECT_EQ(sheet.PrintSettings().Header(), u"\u4E2D\u6587");
  EXPECT_EQ(wb.NumberFormats().FindNumberFormatById(164)->Text, u"\u4E2D\u6587");
  EXPECT_EQ(wb.UserName(), u"\u4E2D\u6587");
  // The lists hold BIFF8 records: the BOF of the version written, DIMENSIONS widened.
  EXPECT_EQ(DecodeFixed16(sheet.Records().BOF()->Data()), 0x0600);
  EXPECT_EQ(DecodeFixed16(sheet.Records().BOF()->Data() + 2), rec::BOF_WORKSHEET);
  ASSERT_EQ(sheet.Records().Dimensions()->Length(), 14);
  EXPECT_EQ(DecodeFixed32(sheet.Records().Dimensions()->Data() + 4), 2u);
}

TEST(XLSReader, TakesTheCodePageFromTheFontsWhenNoneIsDeclared) {
  const Bytes text = {0xCF, 0xF0, 0xE8};
  const struct {
    uint16_t declared;
    uint8_t charset;
    uint16_t codePage;
    std::u16string text;
  } cases[] = {{0, 204, 1251, u"\u041F\u0440\u0438"},
               {0, 238, 1250, u"\u010E\u0111\u010D"},
               {0, 0, 1252, u"\u00CF\u00F0\u00E8"},
               {1252, 204, 1252, u"\u00CF\u00F0\u00E8"}};  // a declared code page wins
  for (const auto& c : cases) {
    TStream s;
    s.Rec(rec::BOF, Bof5(rec::BOF_GLOBALS));
    if (c.declared) s.Rec(rec::CODEPAGE, TBody().U16(c.declared));
    s.Rec(
        rec::FONT,
        TBody().U16(200).U16(0).U16(0x7FFF).U16(400).U16(0).U8(0).U8(0).U8(c.charset).U8(0).U8(3).Raw(text));
    s.Rec(rec::BOUNDSHEET, TBody().U32(0).U8(0).U8(0).U8(3).Raw(text));
    s.Rec(rec::EOF_);
    s.Rec(rec::BOF, Bof5(rec::BOF_WORKSHEET));
    s.Rec(rec::LABEL, TBody().Raw(Cell(0, 0, 15)).U16(3).Raw(text));
    s.Rec(rec::EOF_);
    TXLSWorkbook wb;
    ASSERT_EQ(ReadMessage(wb, Compound(s.Data(), u"Book")), "") << +c.charset;
    EXPECT_EQ(wb.CodePage, c.codePage);
    EXPECT_EQ(wb.Fonts().Item(0)->Name, c.text);
    EXPECT_EQ(wb.Sheets()[0].Name(), c.text);
    EXPECT_EQ(wb.Sheets()[0].GetStringText(0, 0), c.text);
  }
}

TEST(XLSReader, ReadsBiff2Cells) {
  TStream s;
  s.Rec(rec::BOF_2, TBody().U16(2).U16(rec::BOF_WORKSHEET));
  s.Rec(rec::CODEPAGE, TBody().U16(1251));
  s.Rec(rec::INTEGER_2, TBody().U16(0).U16(0).U8(0).U8(0).U8(0).U16(42));
  s.Rec(rec::NUMBER_2, TBody().U16(1).U16(0).U8(0).U8(0).U8(0).F64(-1.5));
  s.Rec(rec::LABEL_2, TBody().U16(2).U16(0).U8(0).U8(0).U8(0).U8(2).Raw({0xC4, 0xE0}));  // Да in 1251
  s.Rec(rec::BOOLERR_2, TBody().U16(3).U16(0).U8(0).U8(0).U8(0).U8(0x2A).U8(1));
  s.Rec(rec::BLANK_2, TBody().U16(4).U16(0).U8(0).U8(0).U8(0));
  s.Rec(rec::FORMULA, TBody().U16(5).U16(0).U8(0).U8(0).U8(0).F64(9).U8(0).U8(0));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  ASSERT_EQ(ReadMessage(wb, s.Data()), "");
  EXPECT_EQ(wb.Version(), xvExcel21);
  TSheet& sheet = wb.Sheets()[0];
  EXPECT_EQ(sheet.GetFloat(0, 0), 42);
  EXPECT_EQ(sheet.GetFloat(0, 1), -1.5);
  EXPECT_EQ(sheet.GetStringText(0, 2), u"\u0414\u0430");
  EXPECT_EQ(sheet.FindCell(0, 3)->Error(), ceNA);
  EXPECT_EQ(sheet.GetCellKind(0, 4), ckBlank);
  EXPECT_EQ(sheet.GetCellKind(0, 5), ckNumberFormula);  // a BIFF2 formula without tokens still counts
}

// BIFF2-4 name number formats by their place among the FORMAT records: XFs (BIFF3-4) and BIFF2 cells
// (second attribute byte) keep them, also where a BIFF5 BOF of version 0 heads BIFF4 records or the
// compound document around them has a wrong byte order field.
TEST(XLSReader, KeepsTheNumberFormatsOfOlderVersions) {
  const struct {
    const char* name;
    uint16_t bof, bofVersion, format, xf;  // xf 0: BIFF2, formats in the cells
    bool compound;
  } cases[] = {
      {"BIFF2", rec::BOF_2, 2, rec::FORMAT_2, 0, false},
      {"BIFF3", rec::BOF_3, 0, rec::FORMAT_2, rec::XF_3, false},
      {"BIFF4", rec::BOF_4, 0, rec::FORMAT, rec::XF_4, false},
      {"BIFF4 records under a version 0 BOF", rec::BOF, 0, rec::FORMAT, rec::XF_4, false},
      {"the same in a Book stream, byte order field FEFF", rec::BOF, 0, rec::FORMAT, rec::XF_4, true},
  };
  const char* const formats[] = {"General", "0.00%", "yyyy-mm-dd"};
  for (const auto& c : cases) {
    TStream s;
    s.Rec(c.bof, TBody().U16(c.bofVersion).U16(rec::BOF_WORKSHEET));
    for (const char* f : formats) {
      TBody body;
      if (c.format == rec::FORMAT) body.U16(0);
      s.Rec(c.format, body.U8(static_cast<uint8_t>(std::strlen(f))).Latin(f));
    }
    // Cells with the formats at places 1, 2 and 0; BIFF3-4 through XFs 0, 1 and 2 that name them.
    for (uint8_t place : {1, 2, 0})
      if (c.xf) s.Rec(c.xf, TBody().U8(0).U8(place).U16(0).U32(0).U32(0));
    for (uint16_t column = 0; column < 3; ++column) {
      const uint8_t place = column == 2 ? 0 : static_cast<uint8_t>(column + 1);
      if (c.xf)
        s.Rec(rec::NUMBER, TBody().Raw(Cell(0, column, column)).F64(45322.5));
      else
        s.Rec(rec::NUMBER_2, TBody().U16(0).U16(column).U8(0).U8(place).U8(0).F64(45322.5));
    }
    s.Rec(rec::EOF_);
    Bytes file = s.Data();
    if (c.compound) {
      file = Compound(file, u"Book");
      EncodeFixed16(&file[0x1C], 0xFEFF);
    }
    TXLSWorkbook wb;
    ASSERT_EQ(ReadMessage(wb, file), "") << c.name;
    std::string shown;
    for (uint32_t column = 0; column < 3; ++column) {
      const TCell* cell = wb.Sheets()[0].FindCell(column, 0);
      ASSERT_NE(cell, nullptr) << c.name;
      shown += ToUtf8(wb.CellFormats().ByHandle(cell->format)->NumberFormatText()) + ";";
    }
    EXPECT_EQ(shown, "0.00%;yyyy-mm-dd;;") << c.name;
  }
}

TEST(XLSReader, RefusesBiff4Workbooks) {
  TStream s;
  s.Rec(rec::BOF_4, TBody().U16(0).U16(rec::BOF_WORKSPACE).U16(0));
  s.Rec(rec::EOF_);
  TXLSWorkbook wb;
  EXPECT_TRUE(EndsWith(ReadMessage(wb, s.Data()), "\rBIFF4 Workbook unhandled"));
}

// ---------------------------------------------------------------------------------------------------
// Files that are not workbooks, and damage

TEST(XLSReader, SaysWhatAFileIsWhenItIsNoWorkbook) {
  const std::string prefix = "The file is not an Excel workbook. ";
  auto message = [](const Bytes& file) {
    TXLSWorkbook wb;
    return ReadMessage(wb, file);
  };
  auto text = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(message({}), prefix + "The file is empty");
  EXPECT_EQ(message(text(std::string("PK\x03\x04", 4) + "....[Content_Types].xml....xl/workbook.xml")),
            prefix + "The file is an Excel 2007+ (.xlsx) workbook, not an .xls file");
  EXPECT_EQ(message(text("\xEF\xBB\xBF  <!DOCTYPE html><html><body><table></table></body></html>")),
            prefix + "The file is an HTML document (a web page), not an .xls file");
  EXPECT_EQ(message(text("a,b,c\r\n1,2,3\r\n")),
            prefix + "The file is a text file (such as CSV), not an .xls file");
  EXPECT_EQ(message(text(
                "<?xml version=\"1.0\"?><Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\">")),
            prefix + "The file is an XML Spreadsheet 2003 document, not an .xls file");
  EXPECT_EQ(message(TStream().Rec(rec::BOF, TBody().U16(0x0700).U16(rec::BOF_GLOBALS)).Rec(rec::EOF_).Data()),
            prefix + "The file holds BIFF records without the compound document that should contain them");
  EXPECT_EQ(message({0x00, 0x01, 0x02, 0x03, 0xFF}), prefix + "The file does not begin with an Excel record");
  cfb::TCompoundDocument word;
  word.Root().CreateStream(u"WordDocument");
  EXPECT_EQ(message(word.SaveToMemory()), prefix + "The file is a Word document, not an .xls file");
  cfb::TCompoundDocument other;
  other.Root().CreateStream(u"Something");
  EXPECT_EQ(message(other.SaveToMemory()),
            prefix + "The compound document holds no Workbook or Book stream (it holds: Something)");
}

TEST(XLSReader, TruncatedRecordsFailCleanly) {
  // Each record, cut at every length below its full one, in a workbook that is otherwise sound.
  const std::vector<std::pair<uint16_t, Bytes>> records = {
      {rec::NUMBER, TBody().Raw(Cell(0, 0, 15)).F64(1)},
      {rec::RK, TBody().Raw(Cell(0, 0, 15)).U32(6)},
      {rec::MULRK, TBody().U16(0).U16(0).U16(15).U32(6).U16(15).U32(6).U16(1)},
      {rec::MULBLANK, TBody().U16(0).U16(0).U16(15).U16(15).U16(1)},
      {rec::BLANK, Cell(0, 0, 15)},
      {rec::LABELSST, TBody().Raw(Cell(0, 0, 15)).U32(0)},
      {rec::LABEL, TBody().Raw(Cell(0, 0, 15)).U16(3).U8(1).Wide(u"abc")},
      {rec::RSTRING, TBody().Raw(Cell(0, 0, 15)).U16(3).U8(0).Latin("abc")},
      {rec::BOOLERR, TBody().Raw(Cell(0, 0, 15)).U8(1).U8(0)},
      {rec::FORMULA, Formula(0, 0, NumberResult(1), 0, kTokensOnePlusOne)},
      {rec::ROW, TBody().U16(0).U16(0).U16(1).U16(300).U16(0).U16(0).U16(0x0180).U16(15)},
      {rec::COLINFO, TBody().U16(1).U16(2).U16(3000).U16(15).U16(0).U16(0)},
      {rec::HEADER, TBody().U16(3).U8(1).Wide(u"abc")},
      {rec::LEFTMARGIN, TBody().F64(1)},
      {rec::HORIZONTALPAGEBREAKS, TBody().U16(1).U16(10).U16(0).U16(255)},
      {rec::SHRFMLA, TBody().U16(0).U16(2).U8(1).U8(1).U16(0).U16(3).Raw({0x1E, 0x01, 0x00})},
      {rec::ARRAY, TBody().U16(0).U16(2).U8(1).U8(1).U16(0).U32(0).U16(0)},
      {rec::XF, Bytes(20, 0)},
      {rec::FONT,
       TBody().U16(200).U16(0).U16(8).U16(400).U16(0).U8(0).U8(2).U8(0).U8(0).U8(5).U8(0).Latin("Arial")},
      {rec::FORMAT, TBody().U16(164).U16(3).U8(0).Latin("0.0")},
      {rec::PALETTE, TBody().U16(2).U32(1).U32(2)},
      {rec::BOUNDSHEET, BoundSheet8("Second")},
      {rec::SST, Sst({"abc", "de"})},
      {rec::XCT, TBody().U16(0).U16(0)},
      {rec::FILEPASS, Bytes(TXLSStream::kFilePassSize, 1)},
      {rec::WINDOW2, TBody().U16(0x06B6).U16(0).U16(0).U32(0x40).U16(0).U16(0).U32(0)},
      {rec::FEATHDR,
       TBody().U16(0x0867).U16(0).U32(0).U32(0).U16(2).U8(1).U32(0xFFFFFFFF).U16(0x4400).U16(0)},
  };
  const std::set<uint16_t> globalsRecords = {rec::XF,         rec::FONT, rec::FORMAT, rec::PALETTE,
                                             rec::BOUNDSHEET, rec::SST,  rec::XCT,    rec::FILEPASS};
  // Records whose every field is needed: any cut fails.
  const std::set<uint16_t> mustFail = {rec::NUMBER, rec::RK,      rec::LABELSST,   rec::BOOLERR,
                                       rec::LABEL,  rec::FORMULA, rec::LEFTMARGIN, rec::BOUNDSHEET};
  int reads = 0, failures = 0;
  for (const auto& [id, body] : records) {
    for (size_t cut = 0; cut < body.size(); ++cut) {
      const Bytes shortBody(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut));
      const bool inGlobals = globalsRecords.count(id) > 0;
      TStream s;
      s.Rec(rec::BOF, Bof8(rec::BOF_GLOBALS));
      if (inGlobals) s.Rec(id, shortBody);
      s.Rec(rec::BOUNDSHEET, BoundSheet8("A")).Rec(rec::EOF_);
      s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
      if (!inGlobals) s.Rec(id, shortBody);
      s.Rec(rec::EOF_);
      TXLSWorkbook wb;
      const std::string message = ReadMessage(wb, Compound(s.Data()));
      if (message.empty()) {
        ++reads;
        EXPECT_FALSE(mustFail.count(id)) << std::hex << id << " cut at " << std::dec << cut;
      } else {
        ++failures;
        EXPECT_TRUE(IsRecordFailure(message))
            << std::hex << id << " cut at " << std::dec << cut << ": " << message;
      }
    }
  }
  EXPECT_GT(failures, 100);
  std::printf("truncated records: %d read, %d failed cleanly\n", reads, failures);
}

TEST(XLSReader, TruncatedStreamsNeverCrash) {
  // The workbook stream cut at every byte: each read either succeeds or fails with a message.
  TStream s = Globals8({"A", "B"}, [](TStream& g) { g.Rec(rec::SST, Sst({"one", "two", "three"})); });
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  s.Rec(rec::LABELSST, TBody().Raw(Cell(0, 0, 15)).U32(2));
  s.Rec(rec::FORMULA, Formula(1, 0, SpecialResult(0), 0, kTokensOnePlusOne));
  s.Rec(rec::STRING, String8("abc"));
  s.Rec(rec::EOF_);
  s.Rec(rec::BOF, Bof8(rec::BOF_WORKSHEET));
  s.Rec(rec::MULRK, TBody().U16(0).U16(0).U16(15).U32(6).U16(15).U32(10).U16(1));
  s.Rec(rec::EOF_);
  for (size_t cut = 0; cut <= s.Size(); ++cut) {
    TXLSWorkbook wb;
    ReadMessage(wb, Compound(Bytes(s.Data().begin(), s.Data().begin() + static_cast<std::ptrdiff_t>(cut))));
    EXPECT_GE(wb.Sheets().Count(), 1);
  }
  TXLSWorkbook whole;
  ASSERT_EQ(ReadMessage(whole, Compound(s.Data())), "");
  EXPECT_EQ(whole.Sheets()[0].GetStringText(0, 0), u"three");
  EXPECT_EQ(whole.Sheets()[1].GetFloat(1, 0), 2);
}

TEST(XLSReader, AbsurdSizesAreRefusedWithoutAllocating) {
  // An SST declaring four billion strings and a MULBLANK claiming many columns: the counts are bounded
  // by the data that is really there, and the string there is read.
  TXLSWorkbook wb;
  const Bytes file = OneSheet(
      [](TStream& s) { s.Rec(rec::MULBLANK, TBody().U16(0).U16(0).U16(15)); },
      [](TStream& s) { s.Rec(rec::SST, TBody().U32(0xFFFFFFFF).U32(0xFFFFFFFF).U16(1).U8(0).Latin("a")); });
  EXPECT_EQ(ReadMessage(wb, file), "");

  // One shared formula of 60,000 token bytes used by 20,000 cells of 27 bytes each: copied into every
  // cell it would claim over a gigabyte.
  const Bytes tokens(60000, 0x16);  // tMissArg, 60,000 times
  TXLSWorkbook shared;
  const Bytes expanding = OneSheet([&](TStream& s) {
    s.Rec(rec::FORMULA, Formula(0, 0, NumberResult(1), 0x0008, ExpToken(0, 0)));
    s.Rec(rec::SHRFMLA, TBody().U16(0).U16(0xFFFF).U8(0).U8(0).U16(0).U16(60000).Raw(tokens));
    for (uint16_t r = 1; r <= 20000; ++r)
      s.Rec(rec::FORMULA, Formula(r, 0, NumberResult(1), 0x0008, ExpToken(0, 0)));
  });
  const std::string expanded = ReadMessage(shared, expanding);
  EXPECT_TRUE(IsRecordFailure(expanded)) << expanded;
  EXPECT_NE(expanded.find("Shared formulas expand to more than"), std::string::npos) << expanded;
}

// ---------------------------------------------------------------------------------------------------
// Files made by other programs

class XLSReaderCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(test::CorpusDir())) GTEST_SKIP() << "no corpus";
  }
  static void ReadFile(TXLSWorkbook& wb, const std::string& relative, std::u16string password = {}) {
    wb.Filename = FromUtf8(test::CorpusFile(relative).string());
    wb.Password = std::move(password);
    ReadWorkbook(wb);
  }
  // Every cell of every sheet as kind and text, in order.
  static std::vector<std::string> Cells(TXLSWorkbook& wb) {
    std::vector<std::string> cells;
    for (int i = 0; i < wb.Sheets().Count(); ++i) {
      TSheet& sheet = wb.Sheets()[i];
      cells.push_back("sheet " + ToUtf8(sheet.Name()));
      sheet.Cells().BeginIteration();
      std::vector<uint32_t> keys;
      while (TCellRef ref = sheet.Cells().NextCell()) keys.push_back(ref.key);
      for (uint32_t key : keys) {
        const int c = static_cast<int>(KeyColumn(key)), r = static_cast<int>(KeyRow(key));
        cells.push_back(std::to_string(r) + "," + std::to_string(c) + "," +
                        std::to_string(sheet.GetCellKind(c, r)) + "," + ToUtf8(sheet.GetText(c, r)));
      }
    }
    return cells;
  }
};

TEST_F(XLSReaderCorpus, ReadsEncryptedFilesWithTheirPasswords) {
  // A cell each file holds; an empty password: Excel's default one, which opens without asking.
  const struct {
    const char* file;
    std::u16string password;
    const char* cell;
  } files[] = {
      {"poi/password.xls", u"password", "4,3,5,A ZIP bomb is a variant of mail-bombing."},  // RC4
      {"poi/35897-type4.xls", u"freedom", "0,0,5,hello there!"},                            // RC4 CryptoAPI
      {"poi/xor-encryption-abc.xls", u"abc", "2,0,4,3"},                                    // XOR
      {"poi/60284.xls", u"", "2,1,5,PI PAD Attenuator (ver 3.2)"},                          // XOR, BIFF5
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.file);
    TXLSWorkbook wb;
    ReadFile(wb, f.file, f.password);
    const std::vector<std::string> cells = Cells(wb);
    EXPECT_TRUE(
        std::any_of(cells.begin(), cells.end(), [&](const std::string& c) { return c.starts_with(f.cell); }));
    if (f.password.empty()) continue;
    for (const auto& [password, message] : {std::pair<std::u16string, const char*>{u"", "Password required."},
                                            {f.password + u"x", "Invalid password"}}) {
      TXLSWorkbook wrong;
      try {
        ReadFile(wrong, f.file, password);
        ADD_FAILURE() << "read with the password \"" << ToUtf8(password) << "\"";
      } catch (const EXLSError& e) {
        EXPECT_TRUE(EndsWith(e.what(), message)) << e.what();
      }
    }
  }

  TXLSWorkbook encrypted, plain;
  ReadFile(encrypted, "gen/encrypted/lo__pw_pw136.xls", u"pw136");
  ReadFile(plain, "gen/encrypted/lo_plain.xls");
  const std::vector<std::string> cells = Cells(encrypted);
  EXPECT_GT(cells.size(), 3u);
  EXPECT_EQ(cells, Cells(plain));
}

TEST_F(XLSReaderCorpus, ReadsOlderVersions) {
  TXLSWorkbook biff3, biff5, e5;
  ReadFile(biff3, "poi/testEXCEL_3.xls");
  EXPECT_EQ(biff3.Version(), xvExcel30);
  EXPECT_FALSE(biff3.Sheets()[0].Cells().IsEmpty());
  ReadFile(biff5, "poi/testEXCEL_5.xls");
  EXPECT_EQ(biff5.Version(), xvExcel50);
  EXPECT_FALSE(biff5.Sheets()[0].Cells().IsEmpty());
  ReadFile(e5, "gen/merge/e_biff5.xls");
  EXPECT_EQ(e5.Version(), xvExcel50);
  EXPECT_EQ(e5.CodePage, 1252);
  // Its second sheet has the bytes E5 65 2C 67 9E 8A: 9E and 8A are z and S with caron in 1252 (and
  // control characters in Latin-1).
  bool sawCp1252 = false;
  for (const std::string& cell : Cells(e5))
    sawCp1252 = sawCp1252 || EndsWith(cell, ToUtf8(u"\u00E5e,g\u017E\u0160"));
  EXPECT_TRUE(sawCp1252);
}

TEST_F(XLSReaderCorpus, EveryFileReadsOrFailsWithAMessage) {
  int read = 0, refused = 0;
  std::map<std::string, std::string> messages;
  for (const char* folder : {"poi", "gen"}) {
    for (const std::filesystem::path& path : test::CorpusFiles(folder)) {
      TXLSWorkbook wb;
      wb.Filename = FromUtf8(path.string());
      try {
        ReadWorkbook(wb);
        ++read;
        EXPECT_GE(wb.Sheets().Count(), 1);
      } catch (const EPlicatoError& e) {
        ++refused;
        EXPECT_NE(std::string(e.what()), "") << path;
        messages[path.lexically_relative(test::CorpusDir()).string()] = e.what();
      }
    }
  }
  for (const auto& [file, message] : messages) {
    std::string oneLine = message;
    for (char& c : oneLine)
      if (c == '\r') c = ' ';
    std::printf("refused %s: %s\n", file.c_str(), oneLine.c_str());
  }
  std::printf("corpus: %d read, %d refused with a message\n", read, refused);
  EXPECT_GT(read, 150);
  // The files made for this project are all sound, apart from the encrypted one read without password.
  for (const auto& [file, message] : messages)
    EXPECT_TRUE(file.rfind("gen/", 0) != 0 || file == "gen/encrypted/lo__pw_pw136.xls")
        << file << ": " << message;
}

}  // namespace
}  // namespace plicato
