// Fuzz target: the .xlsx sheet reader. Input that starts like a zip archive is read as the whole file
// (libzip's checks and our limits on parts); any other input is cut at lines "----" into the sheet XML,
// the shared strings XML, the workbook XML and the workbook's relationships, the parts left out taking
// their usual form, and packed into a zip, so that the fuzzer works on the XML the reader parses.
//
// Besides "succeed or fail with a message", every row read must keep the reader's promises: rows in
// ascending order inside the worksheet, cells in ascending columns inside it, each column once. The sheet
// is read twice, with one parser and cut into pieces of a few dozen bytes (as a large sheet is cut into
// pieces of a megabyte): both must give the same rows and the same failure. Each listed sheet is chosen
// in turn and read from its first row.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCommon.h"
#include "xlsx/XlsxBuild.h"
#include "xlsx/XlsxReader.h"

namespace {

using namespace plicato;

std::vector<uint8_t> Package(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  size_t start = 0;
  while (pieces.size() < 4) {
    const size_t cut = input.find("\n----\n", start);
    pieces.emplace_back(
        input.substr(start, cut == std::string_view::npos ? std::string_view::npos : cut - start));
    if (cut == std::string_view::npos) break;
    start = cut + 6;
  }
  test::TParts parts = test::WorkbookParts(pieces[0], pieces.size() > 1 ? pieces[1] : "");
  if (pieces.size() > 2) parts["xl/workbook.xml"] = pieces[2];
  if (pieces.size() > 3) parts["xl/_rels/workbook.xml.rels"] = pieces[3];
  return test::BuildZip(parts, true);
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

void ReadRows(TXlsxSheetReader& reader, std::string& out);

// Every row of every sheet read, rendered, then the failure's message.
std::string ReadAll(const std::vector<uint8_t>& bytes, size_t pieceSize) {
  SetXlsxSheetPieceSize(pieceSize);
  std::string out;
  try {
    TXlsxSheetReader reader{std::span<const uint8_t>(bytes)};
    Check(
        reader.SelectedSheet() < reader.Sheets().size() && reader.Sheets()[reader.SelectedSheet()].worksheet,
        "the reader starts on a worksheet");
    // Every sheet the workbook lists, in turn (a few), each from its first row.
    for (size_t sheet = 0; sheet < std::min<size_t>(reader.Sheets().size(), 4); ++sheet) {
      out += "sheet " + std::to_string(sheet) + ":\n";
      try {
        reader.SelectSheet(sheet);
      } catch (const EPlicatoError& error) {
        fuzz::RequireMessage(error);
        out += error.what();
        continue;
      }
      ReadRows(reader, out);
    }
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
    out += error.what();
  }
  return out;
}

void ReadRows(TXlsxSheetReader& reader, std::string& out) {
  try {
    TXlsxRow row;
    bool first = true;
    uint32_t last = 0;
    while (reader.NextRow(row)) {
      Check(row.index < kXlsxMaxRows && (first || row.index > last), "rows ascending inside the sheet");
      first = false;
      last = row.index;
      out += "row " + std::to_string(row.index) + ":";
      for (size_t i = 0; i < row.cells.size(); ++i) {
        const TXlsxCell& cell = row.cells[i];
        Check(cell.column < kXlsxMaxColumns && (i == 0 || cell.column > row.cells[i - 1].column),
              "columns ascending inside the sheet");
        Check(cell.kind <= xkError, "a known cell kind");
        char value[80];
        std::snprintf(value, sizeof value, " %u %d%d%d%d %.17g ", cell.column, cell.kind, cell.formula,
                      cell.boolean, cell.error, cell.number);
        out += value;
        for (char16_t c : cell.text) out += std::to_string(c) + ',';
        for (char16_t c : cell.format) out += std::to_string(c) + ';';
      }
      out += '\n';
    }
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
    out += error.what();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool zip = size >= 2 && data[0] == 'P' && data[1] == 'K';
  const std::vector<uint8_t> bytes = zip ? std::vector<uint8_t>(data, data + size) : Package(data, size);
  const std::string single = ReadAll(bytes, 0);
  const std::string pieces = ReadAll(bytes, 16 + size % 48);
  SetXlsxSheetPieceSize(1 << 20);
  Check(single == pieces, "the same rows and failure with the sheet parsed in pieces");
  return 0;
}
