// Writes the files the interop checks of this folder hand to independent readers (olefile, xlrd,
// LibreOffice), which hold the same expectations on their side:
//   interop_samples cfb FILE               a compound document of known streams (olefile_test.py)
//   interop_samples xls-write FOLDER       cells.xls and encrypted.xls (xls_write_test.py)
//   interop_samples reader-dump FILE       worksheet 0 of every corpus file as JSON lines (xlrd_read_test.py)
//   interop_samples roundtrip-copies FOLDER  every corpus file read and written back (roundtrip_test.py)
// Exit status 0 when the files were written.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFile.h"
#include "biff/Errors.h"
#include "workbook/CellStorage.h"
#include "workbook/SST.h"
#include "workbook/SheetData.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xls/XLSWriter.h"

namespace plicato {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------------
// The compound document: byte i of a stream named N is (i * 31 + length of N) & 0xFF, which the script
// regenerates.

void AddStream(cfb::TStorage& storage, const std::u16string& name, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + name.size()) & 0xFF);
  storage.CreateStream(name).Data() = std::move(bytes);
}

bool WriteCompoundSample(const fs::path& path) {
  cfb::TCompoundDocument doc;
  cfb::TStorage& root = doc.Root();
  for (auto [name, size] : std::initializer_list<std::pair<std::u16string, size_t>>{{u"Workbook", 5000},
                                                                                    {u"Empty", 0},
                                                                                    {u"One", 1},
                                                                                    {u"Mini4095", 4095},
                                                                                    {u"Big4096", 4096},
                                                                                    {u"Big4097", 4097},
                                                                                    {u"Large", 15u << 20}}) {
    AddStream(root, name, size);
  }
  cfb::TStorage& a = root.CreateStorage(u"Storage A");
  a.clsid = {0x00, 0x02, 0x08, 0x20, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  a.modifiedTime = 0x01D4B4C2D5E6F700ull;
  AddStream(a, u"Inner", 300);
  cfb::TStorage& nested = a.CreateStorage(u"Nested");
  AddStream(nested, u"Deep", 70000);
  cfb::TStorage& many = root.CreateStorage(u"Many");
  for (int i = 0; i < 20; ++i) {
    std::u16string name = u"S" + std::u16string(1, static_cast<char16_t>(u'a' + i)) + u"x";
    for (int k = 0; k < i % 4; ++k) name += u"y";
    AddStream(many, name, static_cast<size_t>(i) * 97);
  }
  doc.SaveToFile(path);
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Written workbooks: every cell kind, texts crossing CONTINUE records, several sheets, and an encrypted
// workbook.

std::u16string LongWideText() {
  std::u16string s;
  for (int i = 0; i < 10000; ++i) s.push_back(static_cast<char16_t>(0x4E00 + i % 64));
  return s;
}

std::u16string LongNarrowText() {
  std::u16string s;
  for (int i = 0; i < 9000; ++i) s.push_back(static_cast<char16_t>(u'A' + i % 26));
  return s;
}

std::unique_ptr<TFormulaData> Formula(std::vector<uint8_t> tokens) {
  auto data = std::make_unique<TFormulaData>();
  data->tokenLength = static_cast<uint32_t>(tokens.size());
  data->expression = std::move(tokens);
  return data;
}

bool WriteXlsSamples(const fs::path& dir) {
  TXLSWorkbook workbook;
  TSheet& cells = workbook.Sheets()[0];
  cells.SetName(u"Cells");
  // Row 0: an RK run, then a number apart from it.
  cells.PutFloat(0, 0, 1, 15);
  cells.PutFloat(1, 0, 2, 15);
  cells.PutFloat(2, 0, 3, 15);
  cells.PutFloat(5, 0, 5, 15);
  // Row 1: every number form.
  const double numbers[] = {1.1, 0.5, 123456789, 1.23, -7.25, 1e300, -0.01};
  for (int c = 0; c < 7; ++c) cells.PutFloat(c, 1, numbers[c], 15);
  // Row 2: texts, 8-bit, 16-bit and long ones crossing CONTINUE records.
  cells.PutText(0, 2, u"plain");
  cells.PutText(1, 2, u"Ünïcödé 中文");
  cells.PutText(2, 2, LongWideText());
  cells.PutText(3, 2, LongNarrowText());
  cells.PutText(4, 2, u"");
  // Row 3: booleans and errors.
  cells.PutBoolean(0, 3, true, 15);
  cells.PutBoolean(1, 3, false, 15);
  cells.PutError(2, 3, ceDiv0, 15);
  cells.PutError(3, 3, ceNA, 15);
  cells.PutError(4, 3, ceRef, 15);
  // Row 4: blanks, then text.
  cells.PutBlank(0, 4, 15);
  cells.PutBlank(1, 4, 15);
  cells.PutBlank(2, 4, 15);
  cells.PutText(3, 4, u"after blanks");
  cells.PutBlank(5, 4, 15);
  // Row 5: formulas of constants with their cached results.
  std::vector<uint8_t> tNum(9);  // tNum 42.5
  tNum[0] = 0x1F;
  EncodeDouble(tNum.data() + 1, 42.5);
  auto number = Formula(tNum);
  EncodeDouble(number->result, 42.5);
  cells.PutFormula(0, 5, ckNumberFormula, 15, std::move(number));
  auto integer = Formula({0x1E, 7, 0});  // tInt 7
  EncodeDouble(integer->result, 7);
  cells.PutFormula(1, 5, ckNumberFormula, 15, std::move(integer));
  auto text = Formula({0x17, 2, 0, 'o', 'k'});  // tStr "ok"
  text->text = u"ok";
  cells.PutFormula(2, 5, ckStringFormula, 15, std::move(text));
  auto boolean = Formula({0x1D, 1});  // tBool TRUE
  boolean->small = 1;
  cells.PutFormula(3, 5, ckBooleanFormula, 15, std::move(boolean));

  TSheet& texts = workbook.Sheets().Add();
  texts.SetName(u"Texts");
  for (int r = 0; r < 100; ++r)
    for (int c = 0; c < 10; ++c) {
      const std::string s = "r" + std::to_string(r) + "c" + std::to_string(c);
      texts.PutText(c, r, std::u16string(s.begin(), s.end()));
    }
  workbook.Sheets().Add().SetName(u"Empty");

  workbook.Filename = (dir / "cells.xls").u16string();
  TXLSWriter(workbook).WriteWorkbook(nullptr);

  TXLSWorkbook secret;
  TSheet& sheet = secret.Sheets()[0];
  sheet.SetName(u"Secret");
  sheet.PutText(0, 0, u"geheim");
  sheet.PutText(1, 0, u"秘密");
  sheet.PutFloat(0, 1, 1.5, 15);
  sheet.PutFloat(1, 1, 2, 15);
  secret.Password = u"plicato";
  secret.Filename = (dir / "encrypted.xls").u16string();
  TXLSWriter(secret).WriteWorkbook(nullptr);
  return true;
}

// ---------------------------------------------------------------------------------------------------
// Worksheet 0 of every corpus file, as JSON lines, for the comparison with xlrd.

bool DumpCorpusCells(const fs::path& target) {
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  for (const char* folder : {"poi", "gen"}) {
    for (const std::filesystem::path& path : test::CorpusFiles(folder)) {
      const std::string relative = path.lexically_relative(test::CorpusDir()).string();
      TXLSWorkbook wb;
      wb.Filename = FromUtf8(path.string());
      try {
        ReadWorkbook(wb);
      } catch (const EPlicatoError& e) {
        out << "{\"file\":" << test::JsonString(relative) << ",\"error\":" << test::JsonString(e.what())
            << "}\n";
        continue;
      }
      TSheet& sheet = wb.Sheets()[0];
      out << "{\"file\":" << test::JsonString(relative)
          << ",\"sheet\":" << test::JsonString(ToUtf8(sheet.Name())) << ",\"cells\":[";
      std::vector<uint32_t> keys;
      sheet.Cells().BeginIteration();
      while (TCellRef ref = sheet.Cells().NextCell()) keys.push_back(ref.key);
      bool first = true;
      for (uint32_t key : keys) {
        const TCell& cell = *sheet.Cells().LookupKey(key);
        std::string value;
        switch (cell.kind) {
          case ckBlank:
            value = "null";
            break;
          case ckFloat:
            value = FormatMessage("%.17g", cell.Number());
            break;
          case ckNumberFormula:
          case ckNumberArrayFormula:
            value = FormatMessage("%.17g", cell.FormulaNumber());
            break;
          case ckString:
            value = test::JsonString(ToUtf8(wb.SST().EntryText(cell.Entry())));
            break;
          case ckStringFormula:
          case ckStringArrayFormula:
            value = test::JsonString(ToUtf8(cell.Formula()->text));
            break;
          case ckBoolean:
            value = cell.Boolean() ? "true" : "false";
            break;
          case ckBooleanFormula:
            value = cell.Formula()->small ? "true" : "false";
            break;
          case ckError:
            value = std::to_string(BiffFromError(cell.Error()));
            break;
          case ckErrorFormula:
            value = std::to_string(BiffFromError(static_cast<TCellError>(cell.Formula()->small)));
            break;
          default:
            value = "null";
            break;
        }
        // Non-finite numbers are not JSON: written as text the script recognises.
        if (value == "nan" || value == "-nan" || value == "inf" || value == "-inf")
          value = test::JsonString(value);
        out << (first ? "" : ",") << "[" << KeyRow(key) << "," << KeyColumn(key) << "," << int{cell.kind}
            << "," << value << "]";
        first = false;
      }
      out << "]}\n";
    }
  }
  return out.good();
}

// ---------------------------------------------------------------------------------------------------
// Round-tripped corpus copies

// With PLICATO_ROUNDTRIP_COPIES naming a folder, writes there the round-tripped copy of every corpus
// file the reader reads (under the file's corpus path) and a line per corpus file in manifest.jsonl.
// Encrypted files are written without their password, so that readers that cannot decrypt read the
// copies. tests/interop/roundtrip_test.py compares the copies with the originals in xlrd and LibreOffice.
bool WriteCorpusCopies(const fs::path& folder) {
  std::ofstream manifest(folder / "manifest.jsonl", std::ios::binary | std::ios::trunc);
  for (const fs::path& path : test::CorpusWorkbooks()) {
    const std::string relative = test::CorpusRelativeName(path);
    TXLSWorkbook workbook;
    workbook.Filename = FromUtf8(path.string());
    workbook.Password = test::CorpusPassword(relative);
    try {
      ReadWorkbook(workbook);
    } catch (const EPlicatoError& e) {
      manifest << "{\"file\":" << test::JsonString(relative)
               << ",\"read_error\":" << test::JsonString(e.what()) << "}\n";
      continue;
    }
    workbook.Password.clear();
    Bytes image;
    try {
      WriteWorkbook(workbook, image);
    } catch (const EPlicatoError& e) {
      manifest << "{\"file\":" << test::JsonString(relative)
               << ",\"write_error\":" << test::JsonString(e.what()) << "}\n";
      continue;
    }
    const fs::path copy = folder / relative;
    fs::create_directories(copy.parent_path());
    test::WriteFileBytes(copy, image);
    manifest << "{\"file\":" << test::JsonString(relative) << ",\"copy\":" << test::JsonString(relative)
             << ",\"version\":" << static_cast<int>(workbook.Version()) << "}\n";
  }
  return manifest.good();
}

}  // namespace
}  // namespace plicato

int main(int argc, char** argv) {
  using namespace plicato;
  const std::string command = argc == 3 ? argv[1] : "";
  bool written = false;
  try {
    if (command == "cfb")
      written = WriteCompoundSample(argv[2]);
    else if (command == "xls-write")
      written = WriteXlsSamples(argv[2]);
    else if (command == "reader-dump")
      written = DumpCorpusCells(argv[2]);
    else if (command == "roundtrip-copies")
      written = WriteCorpusCopies(argv[2]);
    else {
      std::fprintf(stderr, "usage: %s cfb|xls-write|reader-dump|roundtrip-copies PATH\n", argv[0]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", command.c_str(), e.what());
    return 1;
  }
  return written ? 0 : 1;
}
