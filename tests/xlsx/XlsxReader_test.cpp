#include "xlsx/XlsxReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/CompoundFile.h"
#include "xlsx/XlsxBuild.h"

namespace plicato {
namespace {

using test::BuildZip;
using test::SharedStringsXml;
using test::SheetXml;
using test::TParts;
using test::WorkbookParts;

// A row as "column:kind[f]=value" per cell (kinds: _ blank, n number, s text, b boolean, eN error N).
std::string Render(const TXlsxRow& row) {
  std::string out;
  for (const TXlsxCell& c : row.cells) {
    if (!out.empty()) out += ' ';
    out += std::to_string(c.column) + ':';
    char number[40];
    std::snprintf(number, sizeof number, "%.17g", c.number);
    switch (c.kind) {
      case xkBlank:
        out += "_";
        break;
      case xkNumber:
        out += "n";
        break;
      case xkText:
        out += "s";
        break;
      case xkBoolean:
        out += "b";
        break;
      case xkError:
        out += "e" + std::to_string(c.error);
        break;
    }
    if (c.formula) out += 'f';
    if (c.kind == xkNumber) out += std::string("=") + number;
    if (c.kind == xkText || c.kind == xkError) out += "=" + ToUtf8(c.text);
    if (c.kind == xkBoolean) out += c.boolean ? "=1" : "=0";
  }
  return out;
}

TEST(XlsxReader, CellForms) {
  const std::string strings = SharedStringsXml(
      "<si><t>plain</t></si>"
      "<si><r><rPr><b/></rPr><t>rich </t></r><r><t xml:space=\"preserve\">runs </t></r></si>"
      "<si><t>\xE6\xBC\xA2\xE5\xAD\x97</t><rPh sb=\"0\" eb=\"2\"><t>kanji</t></rPh><phoneticPr "
      "fontId=\"0\"/></si>"
      "<si><t>a_x000D_b_x005F_x0041_</t></si>"
      "<si><t/></si>");
  struct TCase {
    const char* cells;  // {R} stands for the row's number
    bool rowRef;        // the <row> carries r
    const char* expected;
  };
  const TCase cases[] = {
      {"<c r=\"A{R}\" t=\"s\"><v>0</v></c>", true, "0:s=plain"},
      {"<c r=\"B{R}\" t=\"s\"><v>1</v></c>", true, "1:s=rich runs "},
      {"<c r=\"A{R}\" t=\"s\"><v>2</v></c>", false, "0:s=\xE6\xBC\xA2\xE5\xAD\x97"},
      {"<c r=\"A{R}\" t=\"s\"><v>3</v></c><c t=\"s\"><v>4</v></c>", true, "0:s=a\rb_x0041_ 1:s="},
      {"<c r=\"C{R}\"><v>1.5</v></c><c r=\"D{R}\" t=\"n\"><v> -2E-3 </v></c>", true, "2:n=1.5 3:n=-0.002"},
      {"<c t=\"b\"><v>1</v></c><c t=\"b\"><v>0</v></c>", false, "0:b=1 1:b=0"},
      // Past a double's range: 0, and the error a calculation that overflows gives, as INF is.
      {"<c><v>1E-400</v></c><c><v>-1e-99999</v></c><c><v>1E+309</v></c><c><v>-1E+99999</v></c><c><v>INF</v>"
       "</c>",
       false, "0:n=0 1:n=-0 2:e6=#NUM! 3:e6=#NUM! 4:e6=#NUM!"},
      {"<c r=\"A{R}\" t=\"e\"><v>#N/A</v></c><c t=\"e\"><v>#SPILL!</v></c>", true, "0:e7=#N/A 1:e0=#SPILL!"},
      {"<c r=\"A{R}\" t=\"inlineStr\"><is><t>inline</t></is></c>"
       "<c t=\"inlineStr\"><is><r><t>in</t></r><r><t>line</t></r><rPh><t>x</t></rPh></is></c>",
       true, "0:s=inline 1:s=inline"},
      {"<c r=\"A{R}\" t=\"str\"><f>A2&amp;\"x\"</f><v>&lt;a&gt; &amp;</v></c><c><f>1+1</f><v>2</v></c>"
       "<c t=\"b\"><f>TRUE()</f><v>1</v></c><c t=\"e\"><f>1/0</f><v>#DIV/0!</v></c>",
       true, "0:sf=<a> & 1:nf=2 2:bf=1 3:e2f=#DIV/0!"},
      {"<c r=\"A{R}\" s=\"3\"/><c><f>NOW()</f></c><c t=\"s\"/><c t=\"inlineStr\"/>", false,
       "0:_ 1:_f 2:_ 3:_"},
      {"<c r=\"A{R}\" t=\"d\"><v>2024-03-01T12:00:00</v></c><c t=\"d\"><v>1900-01-01</v></c>"
       "<c t=\"d\"><v>1900-03-01</v></c>",
       true, "0:n=45352.5 1:n=1 2:n=61"},
      {"<c r=\"XFD{R}\"><v>7</v></c>", true, "16383:n=7"},
      // Written out of column order, one column twice: sorted, the later one kept.
      {"<c r=\"C{R}\"><v>1</v></c><c r=\"A{R}\"><v>2</v></c><c r=\"C{R}\"><v>3</v></c>", true, "0:n=2 2:n=3"},
      {"", true, ""},
  };
  std::string rows;
  std::vector<uint32_t> indexes;
  uint32_t number = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    number += cases[i].rowRef ? 3 : 1;  // gaps where the row says where it is
    indexes.push_back(number - 1);
    std::string cells = cases[i].cells;
    for (size_t at; (at = cells.find("{R}")) != std::string::npos;)
      cells.replace(at, 3, std::to_string(number));
    rows += (cases[i].rowRef ? "<row r=\"" + std::to_string(number) + "\">" : std::string("<row>")) + cells +
            "</row>";
  }
  for (bool store : {false, true}) {
    const std::vector<uint8_t> bytes = BuildZip(WorkbookParts(SheetXml(rows), strings), store);
    TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
    EXPECT_EQ(reader.SheetName(), u"Sheet1");
    EXPECT_EQ(reader.SheetPart(), "xl/worksheets/sheet1.xml");
    EXPECT_EQ(reader.SharedStringCount(), 5u);
    TXlsxRow row;
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(cases[i].cells);
      ASSERT_TRUE(reader.NextRow(row));
      EXPECT_EQ(row.index, indexes[i]);
      EXPECT_EQ(Render(row), cases[i].expected);
    }
    EXPECT_FALSE(reader.NextRow(row));
    EXPECT_FALSE(reader.NextRow(row));
  }

  // A workbook in the 1904 date system counts its dates from 1904-01-01: 1,462 days fewer.
  TParts parts =
      WorkbookParts(SheetXml("<row><c t=\"d\"><v>2024-03-01T12:00:00</v></c><c t=\"d\"><v>1904-01-02</v>"
                             "</c><c t=\"d\"><v>1904-01-01</v></c></row>"));
  parts["xl/workbook.xml"].insert(parts["xl/workbook.xml"].find("<sheets>"), "<workbookPr date1904=\"1\"/>");
  const std::vector<uint8_t> bytes = BuildZip(parts);
  TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
  TXlsxRow row;
  ASSERT_TRUE(reader.NextRow(row));
  EXPECT_EQ(Render(row), "0:n=43890.5 1:n=1 2:n=0");
}

// Reads every row; the message of the failure, or "" when the file reads. A reader that has failed must
// fail again the same way when asked for more.
std::string Failure(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<TXlsxSheetReader> reader;
  TXlsxRow row;
  try {
    reader = std::make_unique<TXlsxSheetReader>(std::span<const uint8_t>(bytes));
    while (reader->NextRow(row)) {
    }
    return "";
  } catch (const EXlsxError& e) {
    const std::string message = e.what();
    if (reader) {
      try {
        reader->NextRow(row);
        return "read on after: " + message;
      } catch (const EXlsxError& again) {
        if (message != again.what()) return "failed otherwise after: " + message;
      }
    }
    return message.empty() ? "(no message)" : message;
  }
}

std::string FileFailure(const std::filesystem::path& path) {
  try {
    TXlsxSheetReader reader(path);
    return "";
  } catch (const EPlicatoError& e) {
    return e.what();
  }
}

TEST(XlsxReader, DamagedInputIsRefusedWithAMessage) {
  const std::string goodRows = "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>2</v></c></row>";
  const std::string strings = SharedStringsXml("<si><t>text</t></si>");
  const TParts good = WorkbookParts(SheetXml(goodRows), strings);
  const std::vector<uint8_t> goodBytes = BuildZip(good);
  ASSERT_EQ(Failure(goodBytes), "");

  // Cut at every length: a message each time, never a crash or a partial success.
  for (size_t n = 0; n < goodBytes.size(); ++n) {
    const std::vector<uint8_t> cut(goodBytes.begin(), goodBytes.begin() + static_cast<ptrdiff_t>(n));
    EXPECT_NE(Failure(cut), "") << "cut at " << n;
  }

  struct TCase {
    const char* name;
    TParts parts;
    const char* message;
  };
  auto with = [&](const std::string& part, const std::string& xml) {
    TParts p = good;
    if (xml.empty())
      p.erase(part);
    else
      p[part] = xml;
    return p;
  };
  const std::string sheet = SheetXml(goodRows);
  const std::string workbookRels = good.at("xl/_rels/workbook.xml.rels");
  auto relTo = [&](const std::string& target) {
    std::string rels = workbookRels;
    rels.replace(rels.find("worksheets/sheet1.xml"), 21, target);
    return rels;
  };
  const TCase cases[] = {
      {"doctype",
       with("xl/worksheets/sheet1.xml", "<?xml version=\"1.0\"?><!DOCTYPE w [<!ENTITY a \"aaaa\">]>" +
                                            sheet.substr(sheet.find("<worksheet"))),
       "document type declaration"},
      {"entity use", with("xl/worksheets/sheet1.xml", "<worksheet><sheetData>&a;</sheetData></worksheet>"),
       "undefined entity"},
      {"cut short", with("xl/worksheets/sheet1.xml", sheet.substr(0, sheet.size() - 30)), "cut short"},
      {"not XML", with("xl/sharedStrings.xml", "<sst><si><t>x</si></sst>"), "xl/sharedStrings.xml, line 1"},
      {"missing sheet part", with("xl/worksheets/sheet1.xml", ""), "missing from the zip"},
      {"missing rels", with("xl/_rels/workbook.xml.rels", ""), "relationships (xl/_rels/workbook.xml.rels)"},
      {"missing rel",
       with("xl/_rels/workbook.xml.rels",
            std::string(workbookRels).replace(workbookRels.find("rId1"), 4, "rId9")),
       "\"rId1\" of the worksheet \"Sheet1\""},
      {"looping rel", with("xl/_rels/workbook.xml.rels", relTo("../xl/./workbook.xml")), "loops back"},
      {"rel outside", with("xl/_rels/workbook.xml.rels", relTo("../../sheet.xml")), "outside the package"},
      {"no workbook", with("xl/workbook.xml", ""), "not an Excel workbook"},
      {"no sheet", with("xl/workbook.xml", "<workbook><sheets/></workbook>"), "lists no worksheet"},
      {"xlsb", with("xl/workbook.bin", "binary"), ".xlsb"},
      {"column past XFD", with("xl/worksheets/sheet1.xml", SheetXml("<row><c r=\"XFE1\"/></row>")),
       "\"XFE1\" is outside the worksheet"},
      {"row past the end", with("xl/worksheets/sheet1.xml", SheetXml("<row><c r=\"A1048577\"/></row>")),
       "outside the worksheet"},
      {"row zero", with("xl/worksheets/sheet1.xml", SheetXml("<row r=\"0\"/>")), "outside the worksheet"},
      {"bad reference", with("xl/worksheets/sheet1.xml", SheetXml("<row><c r=\"1A\"/></row>")),
       "is not a cell reference"},
      {"rows backwards", with("xl/worksheets/sheet1.xml", SheetXml("<row r=\"5\"/><row r=\"2\"/>")),
       "row 2 comes after row 5"},
      {"string index", with("xl/worksheets/sheet1.xml", SheetXml("<row><c t=\"s\"><v>1</v></c></row>")),
       "shared string \"1\" does not exist"},
      {"not a number", with("xl/worksheets/sheet1.xml", SheetXml("<row><c><v>1,5</v></c></row>")),
       "\"1,5\" is not a number"},
      {"cell type", with("xl/worksheets/sheet1.xml", SheetXml("<row><c t=\"q\"><v>1</v></c></row>")),
       "unknown cell type"},
  };
  for (const TCase& c : cases)
    EXPECT_NE(Failure(BuildZip(c.parts)).find(c.message), std::string::npos)
        << c.name << ": " << Failure(BuildZip(c.parts));

  // A part that inflates to more than its directory entry says: the declared size patched smaller.
  std::vector<uint8_t> lying =
      BuildZip(with("xl/worksheets/sheet1.xml", SheetXml(goodRows + std::string(3000, ' '))));
  for (size_t i = 0; i + 46 < lying.size(); ++i)
    if (lying[i] == 'P' && lying[i + 1] == 'K' && lying[i + 2] == 1 && lying[i + 3] == 2 &&
        std::string(lying.begin() + static_cast<ptrdiff_t>(i) + 46,
                    lying.begin() + static_cast<ptrdiff_t>(i) + 70) == "xl/worksheets/sheet1.xml")
      lying[i + 24] = lying[i + 25] = 0;  // low 16 bits of the uncompressed size
  EXPECT_NE(Failure(lying), "");
  // A part declaring more than 2 GB is refused before it is inflated.
  for (size_t i = 0; i + 46 < lying.size(); ++i)
    if (lying[i] == 'P' && lying[i + 1] == 'K' && lying[i + 2] == 1 && lying[i + 3] == 2)
      lying[i + 27] = 0xF0;
  EXPECT_NE(Failure(lying).find("more than the 2 GB a part may have"), std::string::npos) << Failure(lying);

  // Damage the worker thread meets while it inflates (a CRC mismatch of either part, stored so that the
  // XML stays readable) reaches the caller, after the bytes before it.
  for (const std::string& text : {std::string("<v>2</v>"), std::string("<t>text</t>")}) {
    std::vector<uint8_t> damaged = BuildZip(good, true);
    const auto at = std::search(damaged.begin(), damaged.end(), text.begin(), text.end());
    ASSERT_NE(at, damaged.end());
    at[3] ^= 1;  // '2' to '3', 't' to 'u'
    EXPECT_NE(Failure(damaged).find("is damaged"), std::string::npos) << text << ": " << Failure(damaged);
  }
  // A deflated part is inflated whole: a CRC that does not match its bytes (the entry's CRC changed) and a
  // stream cut short (its compressed size made 10 bytes) are damage all the same.
  {
    std::vector<uint8_t> wrongCrc = BuildZip(good);
    std::vector<uint8_t> cut = wrongCrc;
    const std::string name = "xl/worksheets/sheet1.xml";
    for (size_t i = 0; i + 46 + name.size() < wrongCrc.size(); ++i) {
      const bool local = wrongCrc[i + 2] == 3 && wrongCrc[i + 3] == 4;
      const size_t nameAt = i + (local ? 30 : 46);
      if (wrongCrc[i] != 'P' || wrongCrc[i + 1] != 'K' ||
          !(local || (wrongCrc[i + 2] == 1 && wrongCrc[i + 3] == 2)) ||
          std::string(wrongCrc.begin() + static_cast<ptrdiff_t>(nameAt),
                      wrongCrc.begin() + static_cast<ptrdiff_t>(nameAt + name.size())) != name)
        continue;
      wrongCrc[i + (local ? 14 : 16)] ^= 1;
      if (!local)
        std::fill_n(cut.begin() + static_cast<ptrdiff_t>(i + 20), 4, uint8_t(0));  // compressed size
      if (!local) cut[i + 20] = 10;
    }
    EXPECT_NE(Failure(wrongCrc).find("is damaged"), std::string::npos) << Failure(wrongCrc);
    EXPECT_NE(Failure(cut).find("is damaged"), std::string::npos) << Failure(cut);
  }
  // A reader given up after its first row stops its worker, which waits with its blocks full.
  {
    std::string rows;
    for (int i = 0; i < 100000; ++i) rows += "<row><c><v>1</v></c></row>";
    const std::vector<uint8_t> big = BuildZip(WorkbookParts(SheetXml(rows)), true);
    TXlsxSheetReader reader{std::span<const uint8_t>(big)};
    TXlsxRow row;
    EXPECT_TRUE(reader.NextRow(row));
  }

  // A large sheet is parsed in pieces on two threads; a piece whose cut the text fooled (a "<row" in a
  // comment, a CDATA section or a processing instruction), or that fails, is parsed again by the single
  // parser. Each sheet reads, rows and failure alike, as the single parser reads it, read to its end or
  // given up after a few rows.
  auto readAll = [](const std::vector<uint8_t>& bytes, size_t pieceSize, size_t stopAfter) {
    SetXlsxSheetPieceSize(pieceSize);
    std::string out;
    try {
      TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
      TXlsxRow row;
      for (size_t n = 0; n < stopAfter && reader.NextRow(row); ++n)
        out += std::to_string(row.index) + ' ' + Render(row) + '\n';
    } catch (const EXlsxError& e) {
      out += e.what();
    }
    SetXlsxSheetPieceSize(1 << 20);
    return out;
  };
  auto bigSheet = [](const std::string& prefix, const std::function<std::string(int)>& extra) {
    std::string rows;
    for (int i = 1; i <= 3000; ++i) {
      const std::string r = std::to_string(i);
      rows += "<" + prefix + "row r=\"" + r + "\"><" + prefix + "c r=\"A" + r + "\"><" + prefix + "v>" + r +
              "</" + prefix + "v></" + prefix + "c><" + prefix + "c t=\"s\"><" + prefix + "v>0</" + prefix +
              "v></" + prefix + "c><" + prefix + "c t=\"inlineStr\"><" + prefix + "is><" + prefix + "t>x" +
              r + "</" + prefix + "t></" + prefix + "is></" + prefix + "c></" + prefix + "row>" + extra(i) +
              (i % 3 == 0   ? "\r\n"
               : i % 3 == 1 ? "\n"
                            : " ");
    }
    const std::string ns = prefix.empty() ? "xmlns" : "xmlns:" + prefix.substr(0, prefix.size() - 1);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + prefix + "worksheet " + ns + "=\"" +
           test::kSheetNs + "\">\n<" + prefix + "sheetData>" + rows + "</" + prefix + "sheetData><" + prefix +
           "mergeCells count=\"1\"><" + prefix + "mergeCell ref=\"A1:B1\"/></" + prefix + "mergeCells></" +
           prefix + "worksheet>";
  };
  const std::string fake = "<row r=\"7\"><c><v>9</v></c></row>";
  struct TSplitCase {
    const char* name;
    std::string sheet;
    const char* expected;  // in the single parse's result
  };
  const TSplitCase splitCases[] = {
      {"plain", bigSheet("", [](int) { return ""; }), "2999 0:n=3000 1:s=text 2:s=x3000\n"},
      {"prefixed", bigSheet("x:", [](int) { return ""; }), "2999 0:n=3000"},
      {"comment", bigSheet("", [&](int i) { return i % 7 == 0 ? "<!-- " + fake + " -->" : ""; }),
       "2999 0:n="},
      {"CDATA",
       bigSheet("", [&](int i) { return i % 5 == 0 ? "<extra><![CDATA[" + fake + "]]></extra>" : ""; }),
       "2999 0:n="},
      {"processing instruction", bigSheet("", [&](int i) { return i % 9 == 0 ? "<?pi " + fake + "?>" : ""; }),
       "2999 0:n="},
      {"late bad number", bigSheet("", [](int i) { return i == 2500 ? "<row><c><v>1,5</v></c></row>" : ""; }),
       "\"1,5\" is not a number"},
      {"late rows backwards", bigSheet("", [](int i) { return i == 2000 ? "<row r=\"5\"/>" : ""; }),
       "row 5 comes after row 2000"},
      {"late entity", bigSheet("", [](int i) { return i == 2600 ? "<row r=\"2601\">&a;</row>" : ""; }),
       "undefined entity"},
      {"counted rows", bigSheet("", [](int i) { return i % 50 == 0 ? "<row/>" : ""; }), "\n"},
      {"late cut short", bigSheet("", [](int) { return ""; }).substr(0, 150000), "cut short"},
      {"late nested row",
       bigSheet("",
                [](int i) {
                  return i == 2400 ? "<row r=\"5000\"><c r=\"C5000\"><v>1</v></c><row><c "
                                     "r=\"A5000\"><v>2</v></c></row></row>"
                                   : "";
                }),
       "4999 0:n=2 2:n=1\n"},
      {"late misnested", bigSheet("", [](int i) { return i == 2200 ? "</sheetData><sheetData>" : ""; }),
       "\n"},
  };
  for (const TSplitCase& c : splitCases) {
    const std::vector<uint8_t> bytes = BuildZip(WorkbookParts(c.sheet, strings), true);
    const std::string single = readAll(bytes, 0, SIZE_MAX);
    EXPECT_NE(single.find(c.expected), std::string::npos)
        << c.name << ": " << single.substr(single.size() - 200);
    for (size_t pieceSize : {4096, 20000})
      for (size_t stopAfter : {size_t(5), size_t(1500), SIZE_MAX})
        EXPECT_EQ(readAll(bytes, pieceSize, stopAfter),
                  stopAfter == SIZE_MAX ? single : readAll(bytes, 0, stopAfter))
            << c.name << ", pieces of " << pieceSize << ", stopped after " << stopAfter;
  }
  {
    // A CRC mismatch the inflater meets while the pieces are read ahead: thrown after the same rows.
    std::vector<uint8_t> damaged = BuildZip(WorkbookParts(splitCases[0].sheet, strings), true);
    const std::string text = "<v>2345</v>";
    const auto at = std::search(damaged.begin(), damaged.end(), text.begin(), text.end());
    ASSERT_NE(at, damaged.end());
    at[4] ^= 1;
    const std::string single = readAll(damaged, 0, SIZE_MAX);
    EXPECT_NE(single.find("is damaged"), std::string::npos) << single.substr(single.size() - 200);
    EXPECT_EQ(readAll(damaged, 4096, SIZE_MAX), single);
  }

  // Files by name: an encrypted package, an .xls, a text file.
  test::TempDir dir;
  cfb::TCompoundDocument encrypted;
  encrypted.Root().CreateStream(u"EncryptionInfo");
  encrypted.Root().CreateStream(u"EncryptedPackage");
  encrypted.SaveToFile(dir / "secret.xlsx");
  EXPECT_EQ(FileFailure(dir / "secret.xlsx"), kEncryptedXlsx);
  EXPECT_TRUE(HoldsEncryptedPackage(dir / "secret.xlsx"));
  // Damaged (its first FAT sector out of the file, or the file cut short): the same message.
  std::vector<uint8_t> secret = test::ReadFileBytes(dir / "secret.xlsx");
  for (const size_t cut : {size_t(0), size_t(1)}) {
    std::vector<uint8_t> damaged(secret.begin(), secret.end() - static_cast<ptrdiff_t>(cut));
    if (cut == 0) damaged[76 + 3] = 0x70;
    test::WriteFileBytes(dir / "damaged.xlsx", damaged);
    EXPECT_EQ(FileFailure(dir / "damaged.xlsx"), kEncryptedXlsx) << cut;
  }
  cfb::TCompoundDocument xls;
  xls.Root().CreateStream(u"Workbook");
  xls.SaveToFile(dir / "old.xlsx");
  EXPECT_NE(FileFailure(dir / "old.xlsx").find("compound document"), std::string::npos);
  EXPECT_FALSE(HoldsEncryptedPackage(dir / "old.xlsx"));
  test::WriteFileBytes(dir / "text.xlsx", {'a', 'b', 'c'});
  EXPECT_NE(FileFailure(dir / "text.xlsx").find("not a zip archive"), std::string::npos);
  EXPECT_EQ(DetectWorkbookContent(dir / "text.xlsx"), wcXls);
  EXPECT_EQ(DetectWorkbookContent(dir / "missing.xlsx"), wcXls);
  test::WriteFileBytes(dir / "good.bin", goodBytes);
  EXPECT_EQ(DetectWorkbookContent(dir / "good.bin"), wcXlsx);
  EXPECT_EQ(FileFailure(dir / "good.bin"), "");
}

}  // namespace
}  // namespace plicato

namespace plicato {
namespace {

// Reads the workbook's rows as "index: cells" lines, each cell rendered with its format as "{code}"; or
// the failure's message.
std::string Rows(const std::vector<uint8_t>& bytes, size_t pieceSize = 0) {
  SetXlsxSheetPieceSize(pieceSize);
  std::string out;
  try {
    TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
    TXlsxRow row;
    while (reader.NextRow(row)) {
      out += std::to_string(row.index) + ":";
      for (const TXlsxCell& c : row.cells) {
        TXlsxRow one;
        one.cells.push_back(c);
        out += " " + Render(one) + (c.format.empty() ? "" : "{" + ToUtf8(c.format) + "}");
      }
      out += "\n";
    }
  } catch (const EXlsxError& e) {
    out += e.what();
  }
  SetXlsxSheetPieceSize(1 << 20);
  return out;
}

// A workbook whose sheets are given as (name, relationship type, part XML); the first takes the workbook
// parts of WorkbookParts, the others are added.
TParts Workbook(const std::vector<std::array<std::string, 3>>& sheets, const std::string& strings = "",
                const std::string& workbookPr = "", const std::string& styles = "") {
  TParts parts = WorkbookParts(sheets[0][2], strings);
  std::string list, rels;
  for (size_t i = 0; i < sheets.size(); ++i) {
    const std::string id = "rS" + std::to_string(i), part = "sheets/s" + std::to_string(i) + ".xml";
    list += "<sheet name=\"" + sheets[i][0] + "\" sheetId=\"" + std::to_string(i + 1) + "\" r:id=\"" + id +
            "\"/>";
    rels += "<Relationship Id=\"" + id +
            "\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
            "relationships/" +
            sheets[i][1] + "\" Target=\"" + part + "\"/>";
    parts["xl/" + part] = sheets[i][2];
  }
  if (!styles.empty()) {
    rels +=
        "<Relationship Id=\"rSt\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships/styles\" Target=\"styles.xml\"/>";
    parts["xl/styles.xml"] =
        std::string("<styleSheet xmlns=\"") + test::kSheetNs + "\">" + styles + "</styleSheet>";
  }
  std::string& book = parts["xl/workbook.xml"];
  book.replace(book.find("<sheets>"), book.find("</sheets>") - book.find("<sheets>"),
               workbookPr + "<sheets>" + list);
  std::string& r = parts["xl/_rels/workbook.xml.rels"];
  r.insert(r.find("</Relationships>"), rels);
  return parts;
}

// Renames a zip entry in place (local header and central directory) to a name of the same length.
void RenameEntry(std::vector<uint8_t>& zip, const std::string& from, const std::string& to) {
  for (auto at = zip.begin(); (at = std::search(at, zip.end(), from.begin(), from.end())) != zip.end();)
    at = std::copy(to.begin(), to.end(), at);
}

TEST(XlsxReader, ReadsWhatOtherProgramsRead) {
  const std::string styles =
      "<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"0.000&quot;kg&quot;\"/>"
      "<numFmt numFmtId=\"165\" formatCode=\"General\"/></numFmts><cellStyleXfs><xf numFmtId=\"14\"/>"
      "</cellStyleXfs><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"164\"/><xf numFmtId=\"14\"/>"
      "<xf numFmtId=\"10\"/><xf numFmtId=\"165\"/><xf numFmtId=\"31\"/></cellXfs>";
  auto sheet = [](const std::string& rows) { return SheetXml(rows); };
  const std::string plain = sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c></row>");
  const std::string chart = "<chartsheet xmlns=\"" + std::string(test::kSheetNs) + "\"/>";
  struct TCase {
    const char* name;
    TParts parts;
    const char* expected;  // the rows as Rows() gives them, or a part of the failure's message
  };
  const TCase cases[] = {
      // Times and durations in date cells: fractions of a day and days.
      {"times",
       Workbook({{"S", "worksheet",
                  sheet("<row><c t=\"d\"><v>10:10:10</v></c><c t=\"d\"><v>23:44:51.894</v>"
                        "</c><c t=\"d\"><v>PT0H11M0.000S</v></c><c t=\"d\" s=\"2\">"
                        "<v>P1DT12H</v></c><c t=\"d\"><v>2024-03-01T06:00:00+02:00</v>"
                        "</c><c t=\"d\"><v>10:30</v></c><c t=\"d\"><v>T10:30</v></c>"
                        "<c t=\"d\"><v>10:30Z</v></c><c t=\"d\"><v>P2W</v></c><c t=\"d\"><v>-PT6H</v></c>"
                        "<c t=\"d\"><v>2024-03-01 06:00</v></c></row>")}},
                "", "", styles),
       "0: 0:n=0.42372685185185183{hh:mm:ss} 1:n=0.98948951388888884{hh:mm:ss} "
       "2:n=0.0076388888888888886{[h]:mm:ss} 3:n=1.5{m/d/yy} 4:n=45352.25{yyyy-mm-dd hh:mm:ss} "
       "5:n=0.4375{hh:mm:ss} 6:n=0.4375{hh:mm:ss} 7:n=0.4375{hh:mm:ss} 8:n=14{[h]:mm:ss} "
       "9:n=-0.25{[h]:mm:ss} "
       "10:n=45352.25{yyyy-mm-dd hh:mm:ss}\n"},
      {"not a date", Workbook({{"S", "worksheet", sheet("<row><c t=\"d\"><v>P1Y</v></c></row>")}}),
       "is not a date"},
      // Number formats: custom, built-in, General (by id and by a custom General), a Chinese built-in.
      {"formats",
       Workbook({{"S", "worksheet",
                  sheet("<row><c s=\"1\"><v>2</v></c><c s=\"2\"><v>45000</v></c><c s=\"3\">"
                        "<v>0.5</v></c><c s=\"4\"><v>3</v></c><c s=\"0\"><v>4</v></c>"
                        "<c s=\"5\"><v>5</v></c><c s=\"9\"><v>6</v></c><c s=\"2\" t=\"d\">"
                        "<v>2024-03-01</v></c></row>")}},
                "", "", styles),
       "0: 0:n=2{0.000\"kg\"} 1:n=45000{m/d/yy} 2:n=0.5{0.00%} 3:n=3 4:n=4 5:n=5{yyyy\"年\"m\"月\"d\"日\"} "
       "6:n=6 "
       "7:n=45352{m/d/yy}\n"},
      // A chart sheet listed first: the first worksheet is read.
      {"chart first", Workbook({{"Chart", "chartsheet", chart}, {"Data", "worksheet", plain}}), "0: 0:n=1\n"},
      {"no worksheet", Workbook({{"Chart", "chartsheet", chart}, {"Dialog", "dialogsheet", chart}}),
       "lists no worksheet, only chart, dialog or macro sheets"},
      // Lowercase references; a row number written twice gives one row, the later cell kept.
      {"lowercase",
       Workbook({{"S", "worksheet",
                  sheet("<row r=\"2\"><c r=\"b2\"><v>1</v></c><c r=\"aa2\"><v>2</v>"
                        "</c></row>")}}),
       "1: 1:n=1 26:n=2\n"},
      {"row twice",
       Workbook({{"S", "worksheet",
                  sheet("<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"C1\"><v>3</v></c>"
                        "</row><row r=\"1\"><c r=\"B1\" t=\"inlineStr\"><is><t>b</t>"
                        "</is></c><c r=\"C1\"><v>4</v></c></row><row r=\"2\"><c r=\"A2\">"
                        "<v>5</v></c></row><row r=\"2\"/>")}}),
       "0: 0:n=1 1:s=b 2:n=4\n1: 0:n=5\n"},
      {"row backwards", Workbook({{"S", "worksheet", sheet("<row r=\"2\"/><row r=\"1\"/>")}}),
       "row 1 comes after row 2"},
      // 2007 pre-release shared strings.
      {"sstItem",
       Workbook(
           {{"S", "worksheet",
             sheet("<row><c t=\"s\"><v>1</v></c></row><row><c t=\"s\"><v>2</v></c></row>")}},
           SharedStringsXml("<sstItem><t>a</t></sstItem><sstItem>b</sstItem><sstItem> <t>c</t> </sstItem>")),
       "0: 0:s=b\n1: 0:s=c\n"},
      // Dates before 1900-03-01: Excel's day numbers, or days from 1899-12-30 where the workbook says so.
      {"early dates",
       Workbook({{"S", "worksheet",
                  sheet("<row><c t=\"d\"><v>1899-12-31</v></c><c t=\"d\"><v>1900-01-01"
                        "</v></c><c t=\"d\"><v>1900-02-28</v></c><c t=\"d\"><v>"
                        "1900-03-01</v></c></row>")}}),
       "0: 0:n=0{yyyy-mm-dd} 1:n=1{yyyy-mm-dd} 2:n=59{yyyy-mm-dd} 3:n=61{yyyy-mm-dd}\n"},
      {"early dates, no compatibility",
       Workbook({{"S", "worksheet",
                  sheet("<row><c t=\"d\"><v>1899-12-31</v></c><c t=\"d\"><v>1900-01-01</v></c>"
                        "<c t=\"d\"><v>1900-03-01</v></c></row>")}},
                "", "<workbookPr dateCompatibility=\"0\"/>"),
       "0: 0:n=1{yyyy-mm-dd} 1:n=2{yyyy-mm-dd} 2:n=61{yyyy-mm-dd}\n"},
      {"1904",
       Workbook({{"S", "worksheet", sheet("<row><c t=\"d\"><v>1904-01-02</v></c></row>")}}, "",
                "<workbookPr date1904=\"true\"/>"),
       "0: 0:n=1{yyyy-mm-dd}\n"},
  };
  const std::string x14 =
      "<extLst><ext uri=\"{140A7794-F1CB-4D9C-8C87-BE16C0F32B44}\" "
      "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\"><x14:workbookPr/></ext>"
      "</extLst>";
  auto without = [](TParts parts, const std::string& part, const std::string& from, const std::string& to) {
    std::string& xml = parts[part];
    xml.replace(xml.find(from), from.size(), to);
    return parts;
  };
  const TCase more[] = {
      // The workbook's own workbookPr decides, not the one of an extension.
      {"1904, extension",
       Workbook({{"S", "worksheet", sheet("<row><c t=\"d\"><v>1904-01-02</v></c></row>")}}, "",
                "<workbookPr date1904=\"1\"/>" + x14),
       "0: 0:n=1{yyyy-mm-dd}\n"},
      {"no compatibility, extension",
       Workbook({{"S", "worksheet", sheet("<row><c t=\"d\"><v>1899-12-31</v></c></row>")}}, "",
                "<workbookPr dateCompatibility=\"0\"/>" + x14),
       "0: 0:n=1{yyyy-mm-dd}\n"},
      // A sheet listed without its part, or with a part the archive lacks: the next worksheet is read.
      {"empty relationship",
       without(Workbook({{"A", "worksheet", plain}, {"B", "worksheet", sheet("<row><c><v>2</v></c></row>")}}),
               "xl/workbook.xml", "r:id=\"rS0\"", "r:id=\"\""),
       "0: 0:n=2\n"},
      {"missing part",
       without(Workbook({{"A", "worksheet", plain}, {"B", "worksheet", sheet("<row><c><v>2</v></c></row>")}}),
               "xl/_rels/workbook.xml.rels", "sheets/s0.xml", "sheets/gone.xml"),
       "0: 0:n=2\n"},
      {"no part at all",
       without(Workbook({{"A", "worksheet", plain}}), "xl/workbook.xml", "r:id=\"rS0\"", "r:id=\"\""),
       "The relationship \"\" of the worksheet \"A\" is missing"},
      // Root relationships that are not XML, the workbook at its usual place.
      {"damaged root relationships",
       without(WorkbookParts(plain), "_rels/.rels", "</Relationships>", "</Relations>"), "0: 0:n=1\n"},
  };
  for (const std::span<const TCase> table : {std::span<const TCase>(cases), std::span<const TCase>(more)})
    for (const TCase& c : table) {
      const std::vector<uint8_t> bytes = BuildZip(c.parts);
      for (size_t pieceSize : {size_t(0), size_t(16)}) {
        const std::string rows = Rows(bytes, pieceSize);
        EXPECT_NE(rows.find(c.expected), std::string::npos)
            << c.name << ", pieces of " << pieceSize << ": " << rows;
      }
    }

  // Entries named with backslashes are the parts with slashes; two entries of one name are refused.
  const TParts one = WorkbookParts(plain);
  std::vector<uint8_t> bytes = BuildZip(one);
  RenameEntry(bytes, "xl/_rels/workbook.xml.rels", "xl\\_rels\\workbook.xml.rels");
  RenameEntry(bytes, "xl/worksheets/sheet1.xml", "xl\\worksheets\\sheet1.xml");
  EXPECT_EQ(Rows(bytes), "0: 0:n=1\n");
  TParts twice = one;
  twice["xl/worksheets/sheet1.xmX"] = SheetXml("<row r=\"1\"><c r=\"A1\"><v>2</v></c></row>");
  bytes = BuildZip(twice);
  RenameEntry(bytes, "xl/worksheets/sheet1.xmX", "xl/worksheets/sheet1.xml");
  EXPECT_NE(Rows(bytes).find("two entries named \"xl/worksheets/sheet1.xml\""), std::string::npos)
      << Rows(bytes);
}

TEST(XlsxReader, ListsTheSheetsAndReadsAnyWorksheet) {
  const std::string chart = "<chartsheet xmlns=\"" + std::string(test::kSheetNs) + "\"/>";
  auto sheet = [](int value) {
    return SheetXml("<row r=\"1\"><c r=\"A1\"><v>" + std::to_string(value) +
                    "</v></c></row><row r=\"2\"><c r=\"A2\">"
                    "<v>0</v></c></row>");
  };
  const std::vector<uint8_t> bytes = BuildZip(Workbook({{"C", "chartsheet", chart},
                                                        {"One", "worksheet", sheet(1)},
                                                        {"M", "xlMacrosheet", chart},
                                                        {"Two", "worksheet", sheet(2)}},
                                                       "", "<workbookPr date1904=\"1\"/>"));
  TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
  ASSERT_EQ(reader.Sheets().size(), 4u);
  std::string listed;
  for (const TXlsxSheetEntry& e : reader.Sheets()) listed += ToUtf8(e.name) + (e.worksheet ? "+ " : "- ");
  EXPECT_EQ(listed, "C- One+ M- Two+ ");
  EXPECT_TRUE(reader.Date1904());
  EXPECT_EQ(reader.SelectedSheet(), 1u);
  TXlsxRow row;
  // Chosen again before and after a row of it was read, moved after a row of another sheet, and back: each
  // starts at its first row.
  for (size_t index : {size_t(1), size_t(1), size_t(3), size_t(1)}) {
    if (index != reader.SelectedSheet() || index == 1) reader.SelectSheet(index);
    EXPECT_EQ(ToUtf8(reader.SheetName()), index == 1 ? "One" : "Two");
    ASSERT_TRUE(reader.NextRow(row));
    EXPECT_EQ(Render(row), index == 1 ? "0:n=1" : "0:n=2");
  }
  for (size_t index : {size_t(0), size_t(2), size_t(4)}) {
    EXPECT_THROW(reader.SelectSheet(index), EXlsxError) << index;
    EXPECT_THROW(reader.NextRow(row), EXlsxError) << index;
  }
  reader.SelectSheet(3);
  ASSERT_TRUE(reader.NextRow(row));
  ASSERT_TRUE(reader.NextRow(row));
  EXPECT_FALSE(reader.NextRow(row));
}

TEST(XlsxReader, SharedStringsAreHeldWithinTheirBudget) {
  // A repetitive sheet inflating hundreds of times is read: the ratio alone is no bomb.
  std::string cells;
  for (int i = 0; i < 16384; ++i) cells += "<c t=\"inlineStr\"><is><t>v</t></is></c>";
  EXPECT_EQ(Rows(BuildZip(WorkbookParts(SheetXml("<row>" + cells + "</row>")))).substr(0, 12),
            "0: 0:s=v 1:s");
  // Strings that outgrow the budget are refused with a message, not with the process's memory.
  const size_t budget = XlsxSharedStringsBudget();
  EXPECT_EQ(budget, size_t(1) << 30);
  SetXlsxSharedStringsBudget(4 << 20);
  for (const size_t length : {size_t(1), size_t(1000), size_t(1) << 20}) {
    std::string items;
    const std::string item = "<si><t>" + std::string(length, 'a') + "</t></si>";
    for (size_t i = 0; i <= (4 << 20) / (2 * length + 4); ++i) items += item;
    const std::string rows = Rows(BuildZip(WorkbookParts(SheetXml(""), SharedStringsXml(items))));
    EXPECT_NE(rows.find("shared strings need more than the 4 MB"), std::string::npos)
        << length << ": " << rows;
  }
  SetXlsxSharedStringsBudget(budget);
}

}  // namespace
}  // namespace plicato
