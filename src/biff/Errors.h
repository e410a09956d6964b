// Failures of the workbook engine. Every failure is an exception carrying a message; the messages the
// user sees are used word for word. ClassName() names the kind of failure for the job's failure report.
#pragma once

#include <cstdarg>
#include <stdexcept>
#include <string>

namespace plicato {

// printf-style formatting for failure messages ("Error on reading record # %d, %.4X Offs: %.8X").
std::string FormatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

class EPlicatoError : public std::runtime_error {
 public:
  explicit EPlicatoError(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "EPlicatoError"; }
};

// A compound document that is damaged, or a structured-storage operation that failed.
class EStorageError : public EPlicatoError {
 public:
  using EPlicatoError::EPlicatoError;
  const char* ClassName() const noexcept override { return "EStorageError"; }
};

// A failure of the record stream, the reader, the writer or the workbook model.
class EXLSError : public EPlicatoError {
 public:
  using EPlicatoError::EPlicatoError;
  const char* ClassName() const noexcept override { return "EXLSError"; }
};

// An index outside a list: "List index out of bounds (%d)".
class EListError : public EPlicatoError {
 public:
  explicit EListError(long long index);
  const char* ClassName() const noexcept override { return "EListError"; }
};

// A file could not be opened, created, read or written.
class EFileError : public EPlicatoError {
 public:
  using EPlicatoError::EPlicatoError;
  const char* ClassName() const noexcept override { return "EFileError"; }
};

}  // namespace plicato
