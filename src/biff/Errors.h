// Failures of the workbook engine. Every failure is an exception carrying a message; the messages the
// user sees are used word for word. ClassName() names the kind of failure for the job's failure report.
// Kind() says what went wrong as a value, set where the failure is raised: callers decide on it (retry a
// password, pick a reason to show, choose an exit code), never on the words of the message, which are for
// people and may be reworded.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace plicato {

// printf-style formatting for failure messages ("Error on reading record # %d, %.4X Offs: %.8X").
std::string FormatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum TErrorKind : uint8_t {
  ekOther,             // none of the kinds below: a fault of the program or of a case not told apart
  ekDamaged,           // the file's container (compound document, zip archive) or its records are damaged
  ekNotAWorkbook,      // the file is something else: a text file, a PDF, a Word document, ...
  ekUnsupported,       // a workbook of a format or version this program does not read
  ekEncrypted,         // an encrypted workbook that no password was given for
  ekWrongPassword,     // an encrypted workbook that the passwords given do not open
  ekSheetMissing,      // the workbook has no sheet of the kind or name asked for
  ekInputUnreadable,   // an input that could not be opened or read (missing, no permission, I/O error)
  ekOutputUnwritable,  // an output that could not be created or written (no permission, disk full, ...)
  ekOutputClash,       // an output that would replace one of the inputs
  ekStopped,           // a run or read stopped on request
  ekOutOfMemory,       // the memory asked for was not to be had: the machine's limit, not the file's fault
};

class EPlicatoError : public std::runtime_error {
 public:
  explicit EPlicatoError(const std::string& message, TErrorKind kind = ekOther)
      : std::runtime_error(message), kind_(kind) {}
  virtual const char* ClassName() const noexcept { return "EPlicatoError"; }
  TErrorKind Kind() const noexcept { return kind_; }

 private:
  TErrorKind kind_;
};

// The kind of any exception: that of a failure of ours, ekOutOfMemory for std::bad_alloc, otherwise ekOther.
// A layer that wraps a failure with its context keeps this kind, so that running out of memory is still
// told apart from damage.
TErrorKind KindOf(const std::exception& e) noexcept;

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
