// Fuzz target: the CSV reader. The first byte chooses how the rest is read (its encoding: found from the
// bytes, or BIG5 or UTF-16LE named; the separator; value mode; a .tsv name), the rest is the file.
//
// Besides "succeed or fail with a message", every row must keep the reader's promises: rows in ascending
// order, cells in ascending columns below the column limit, no empty text. The file is read whole-piece
// and again in pieces of a few bytes, and its sheet selected twice: all must give the same rows, remarks
// and failure.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzCommon.h"
#include "merge/CsvReader.h"

namespace {

using namespace plicato;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

std::string ReadAll(const std::filesystem::path& path, const TCsvOptions& options, size_t piece) {
  SetCsvPieceSize(piece);
  std::string out;
  try {
    std::unique_ptr<TInputBook> book = MakeCsvBook(path, options);
    book->SetColumnLimit(8);
    for (int pass = 0; pass < 2; ++pass) {
      book->SelectSheet(0);
      TInRow row;
      bool first = true;
      uint32_t last = 0;
      while (book->NextRow(row)) {
        Check(first || row.index > last, "rows ascending");
        first = false;
        last = row.index;
        out += "row " + std::to_string(row.index) + " " + std::to_string(row.lastColumnOut) + ":";
        for (size_t i = 0; i < row.cells.size(); ++i) {
          const TInCell& cell = row.cells[i];
          Check(cell.column < 8 && (i == 0 || cell.column > row.cells[i - 1].column), "columns ascending");
          Check(!cell.text.empty(), "no empty text");
          char value[40];
          std::snprintf(value, sizeof value, " %u %d %.17g ", cell.column, cell.kind, cell.number);
          out += value;
          for (char16_t c : cell.text) out += std::to_string(c) + ',';
        }
        out += '\n';
      }
      for (const TInRemark& remark : book->Remarks()) {
        Check(remark.line > 0, "remarks name a line");
        out += "remark " + std::to_string(remark.kind) + " " + std::to_string(remark.line) + "\n";
      }
    }
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
    out += error.what();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t how = data[0];
  static const char* const kEncodings[] = {"", "", "BIG5", "UTF-16LE"};
  static const char16_t kSeparators[] = {u',', u'\t', u';', u'|'};
  TCsvOptions options{kEncodings[how & 3], kSeparators[(how >> 2) & 3], (how & 0x10) != 0};
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("fuzz_csv_" + std::to_string(::getpid()) + ((how & 0x20) ? ".tsv" : ".csv"));
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
  }
  const std::string whole = ReadAll(path, options, 256 << 10);
  const std::string pieces = ReadAll(path, options, 1 + how % 7);
  if (whole != pieces) std::fprintf(stderr, "whole:\n%s\npieces:\n%s\n", whole.c_str(), pieces.c_str());
  Check(whole == pieces, "the same rows read in pieces of a few bytes");
  options.delimiter = 0;  // and found from the file
  ReadAll(path, options, 256 << 10);
  std::filesystem::remove(path);
  return 0;
}
