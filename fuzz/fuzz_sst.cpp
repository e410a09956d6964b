// Fuzz target: the shared string table's reader on an SST record with arbitrary body and CONTINUE
// records (see SstStreamFromFuzzData for the layout), read through a record stream opened on the bytes
// in memory, as the workbook reader calls it.
//
// A table that read its strings must also write them: the strings are written into a new stream and read
// back, and the second read must give the same texts.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "workbook/SST.h"
#include "workbook/XLSFonts.h"

namespace {

using namespace plicato;

std::vector<std::u16string> Texts(const TSST& sst) {
  std::vector<std::u16string> texts;
  for (size_t i = 0; i < sst.FileIndexCount(); ++i) texts.push_back(sst.EntryText(sst.EntryAtFileIndex(i)));
  return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> image = fuzz::SstStreamFromFuzzData(data, size);
  TXFonts fonts;
  fonts.AddDefaultFonts();
  fonts.MarkInitialFonts();
  TSST sst(&fonts);
  bool read = false;
  try {
    TXLSStream stream;
    stream.SetSourceMemory(&image);
    stream.OpenRead("");
    TRecordHeader header;
    if (stream.ReadHeader(header) != kRecordHeaderSize || header.id != BIFFRecs::SST) std::abort();
    sst.ReadSST(stream, header.length);
    read = true;
  } catch (const EPlicatoError& error) {
    fuzz::RequireMessage(error);
  }
  if (!read) return 0;

  // No catch from here: what was read must write and read back with the same texts.
  std::vector<std::u16string> before = Texts(sst);
  std::vector<uint8_t> written;
  {
    TXLSStream out;
    out.SetDestMemory(&written);
    out.OpenWrite("", xvNone);
    sst.WriteSST(out);
    out.Close();
  }
  TSST back(&fonts);
  TXLSStream in;
  in.SetSourceMemory(&written);
  in.OpenRead("");
  TRecordHeader header;
  in.ReadHeader(header);
  back.ReadSST(in, header.length);
  // Every distinct text read comes back (the written table holds each once).
  std::vector<std::u16string> after = Texts(back);
  std::sort(before.begin(), before.end());
  before.erase(std::unique(before.begin(), before.end()), before.end());
  std::sort(after.begin(), after.end());
  after.erase(std::unique(after.begin(), after.end()), after.end());
  if (before != after) {
    std::fprintf(stderr, "the written SST reads back with other texts\n");
    std::abort();
  }
  return 0;
}
