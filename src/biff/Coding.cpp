#include "biff/Coding.h"

namespace plicato {

void TByteReader::Overrun(size_t wanted) const {
  throw EXLSError(
      FormatMessage("Record data too short: %zu bytes wanted at offset %zu of %zu", wanted, pos_, size_));
}

}  // namespace plicato
