#include "merge/ReadAhead.h"

#include <system_error>
#include <utility>

#include "workbook/XLSWorkbook.h"

namespace plicato {

TReadAhead::~TReadAhead() {
  if (result_.valid()) result_.wait();
}

void TReadAhead::Start(const std::filesystem::path& path, TRead read) {
  if (result_.valid()) return;
  try {
    result_ = std::async(std::launch::async, [read = std::move(read)] {
      TDone done;
      done.workbook = read(done.opened);
      return done;
    });
    path_ = path;
  } catch (const std::system_error&) {
    // No thread to be had (a process at its limit): the file is read in its turn.
  }
}

std::unique_ptr<TXLSWorkbook> TReadAhead::Take(const std::filesystem::path& path, std::u16string& opened) {
  if (!result_.valid()) return nullptr;
  try {
    TDone done = result_.get();
    if (path != path_) return nullptr;
    opened = std::move(done.opened);
    return std::move(done.workbook);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace plicato
