// Makes seeds for fuzz_sst from workbooks: for each .xls file given, the body of its SST record and of
// the CONTINUE records after it, in the layout of SstStreamFromFuzzData (16-bit length, then the bytes),
// written to <output folder>/<file name>.sst. Files without an SST, or that do not open, are passed over.
//   sst_seeds <output folder> <file.xls>...
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCommon.h"

namespace {

using namespace plicato;

// The SST and its CONTINUE records in the fuzz layout; empty when the stream has no SST.
std::vector<uint8_t> ExtractSst(TXLSStream& stream) {
  std::vector<uint8_t> seed;
  std::vector<uint8_t> body(0xFFFF);
  TRecordHeader header;
  bool inSst = false;
  while (stream.ReadHeader(header) == kRecordHeaderSize) {
    const uint32_t n = stream.ReadRecordBody(header.id, body.data(), header.length);
    if (header.id == BIFFRecs::FILEPASS && !stream.Decrypting() && TXLSStream::IsRc4FilePass(body.data(), n))
      stream.CheckPassword(body.data(), n, u"password");
    if (header.id == BIFFRecs::SST || (inSst && header.id == BIFFRecs::CONTINUE)) {
      inSst = true;
      PutFixed16(seed, static_cast<uint16_t>(std::min<uint32_t>(n, 0x7FFF)));
      seed.insert(seed.end(), body.begin(), body.begin() + std::min<uint32_t>(n, 0x7FFF));
    } else if (inSst) {
      break;
    }
  }
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sst_seeds <output folder> <file.xls>...\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  int made = 0;
  for (int i = 2; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> seed;
    try {
      TXLSStream stream;
      stream.SetSourceMemory(&bytes);
      stream.OpenRead(path);
      seed = ExtractSst(stream);
    } catch (const EPlicatoError&) {
      continue;  // damaged files are seeds of the other targets
    }
    if (seed.empty()) continue;
    // Names from different folders may clash: number them.
    const std::filesystem::path out = folder / (std::to_string(i) + "-" + path.filename().string() + ".sst");
    std::ofstream(out, std::ios::binary)
        .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    ++made;
  }
  std::printf("sst_seeds: %d seeds\n", made);
  return 0;
}
