#include "biff/Errors.h"

#include <cstdio>
#include <new>
#include <vector>

namespace plicato {

std::string FormatMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(needed));
  }
  va_end(args);
  return text;
}

EListError::EListError(long long index)
    : EPlicatoError(FormatMessage("List index out of bounds (%lld)", index)) {}

TErrorKind KindOf(const std::exception& e) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&e)) return ekOutOfMemory;
  const auto* ours = dynamic_cast<const EPlicatoError*>(&e);
  return ours ? ours->Kind() : ekOther;
}

}  // namespace plicato
