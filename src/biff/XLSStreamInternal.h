// What the workbook stream's reading and writing halves share and nothing outside the stream uses.
#pragma once

#include <cstdint>

#include "biff/BIFFRecs.h"

namespace plicato {

// Records whose bodies an encrypted stream keeps in clear (besides every BOF, and the stream position
// at the start of BOUNDSHEET). Reading and encrypting share this list, so whatever we encrypt reads back.
inline bool IsClearRecord(uint16_t id) {
  switch (id) {
    case BIFFRecs::FILEPASS:
    case BIFFRecs::INTERFACEHDR:
    case BIFFRecs::USREXCL:
    case BIFFRecs::FILELOCK:
    case BIFFRecs::RRDINFO:
    case BIFFRecs::RRDHEAD:
    // The BOF records of every version; chart records such as 0x1009 share their low byte but are
    // encrypted like any other.
    case BIFFRecs::BOF_2:
    case BIFFRecs::BOF_3:
    case BIFFRecs::BOF_4:
    case BIFFRecs::BOF:
      return true;
    default:
      return false;
  }
}

}  // namespace plicato
