// The failure of a merge, above the engine's failures of reading and writing one workbook.
#pragma once

#include "biff/Errors.h"

namespace plicato {

// A merge that stopped at a file it could not merge (the output gathered before it has been written).
class EMergeError : public EPlicatoError {
 public:
  using EPlicatoError::EPlicatoError;
  const char* ClassName() const noexcept override { return "EMergeError"; }
};

}  // namespace plicato
