// What the fuzz targets share: the rule every reader must keep on arbitrary bytes (succeed, or fail with
// a plicato exception carrying a message; anything else - a crash, another exception, a sanitizer report,
// a hang or a huge allocation - is a finding), the record walk over a workbook stream, and the layout
// that turns fuzz bytes into an SST record followed by CONTINUE records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato::fuzz {

// A failure without a message tells the user nothing: count it as a finding.
inline void RequireMessage(const EPlicatoError& error) {
  if (std::string_view(error.what()).empty()) {
    std::fprintf(stderr, "%s without a message\n", error.ClassName());
    std::abort();
  }
}

// Walks every record of an open stream the way the workbook reader does: header, then the body with the
// clear or decrypted reading its identifier calls for. A FILEPASS record is tried with the password of
// the corpus's encrypted sample, so that decryption is walked too.
inline void WalkRecords(TXLSStream& stream) {
  std::vector<uint8_t> body(kMaxRecordDataBiff8);
  TRecordHeader header;
  while (stream.ReadHeader(header) == kRecordHeaderSize) {
    if (header.length > body.size()) body.resize(header.length);
    const uint32_t n = stream.ReadRecordBody(header.id, body.data(), header.length);
    if (n > header.length) std::abort();
    if (header.id == BIFFRecs::FILEPASS && !stream.Decrypting() && TXLSStream::IsRc4FilePass(body.data(), n))
      stream.CheckPassword(body.data(), n, u"password");
  }
}

// The fuzz bytes as a plain record stream: an SST record and the CONTINUE records after it. The bytes are
// cut into records by 16-bit little-endian length prefixes (each clamped to the bytes that follow and to
// the largest BIFF8 record); after the first, a prefix with its top bit set makes that record something
// other than CONTINUE, so that the missing-CONTINUE path is reached too. A stream whose first record is SST
// is what fuzz_sst reads, and the layout regression files of the SST keep.
inline std::vector<uint8_t> SstStreamFromFuzzData(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stream;
  bool first = true;
  size_t pos = 0;
  while (first || pos + 2 <= size) {
    uint16_t prefix = 0;
    if (pos + 2 <= size) {
      prefix = DecodeFixed16(data + pos);
      pos += 2;
    }
    size_t length = prefix & 0x7FFF;
    if (length > size - pos) length = size - pos;
    if (length > kMaxRecordDataBiff8) length = kMaxRecordDataBiff8;
    uint16_t id = first ? BIFFRecs::SST : BIFFRecs::CONTINUE;
    if (!first && (prefix & 0x8000)) id = BIFFRecs::LABELSST;
    PutFixed16(stream, id);
    PutFixed16(stream, static_cast<uint16_t>(length));
    stream.insert(stream.end(), data + pos, data + pos + length);
    pos += length;
    first = false;
  }
  return stream;
}

}  // namespace plicato::fuzz
