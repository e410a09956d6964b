#include "cli/StandardOutput.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "biff/Errors.h"

namespace plicato {

void WriteOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw EFileError("cannot write the output: " + std::system_category().message(n < 0 ? errno : EIO),
                       ekOutputUnwritable);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace plicato
