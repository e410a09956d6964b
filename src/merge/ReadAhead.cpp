#include "merge/ReadAhead.h"

#include <system_error>
#include <utility>

#include "merge/RowSource.h"

namespace plicato {

TReadAhead::~TReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TReadAhead::Start(const std::filesystem::path& path, TRead read) {
  std::unique_lock lock(mutex_);
  if (started_) return;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      return;  // no thread to be had (a process at its limit): the file is read in its turn
    }
  }
  started_ = true;
  ended_ = false;
  path_ = path;
  read_ = std::move(read);
  lock.unlock();
  changed_.notify_all();
}

void TReadAhead::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || read_; });
    if (quit_) return;
    TRead read = std::move(read_);
    read_ = nullptr;
    lock.unlock();
    std::unique_ptr<TInputBook> workbook;
    std::u16string opened;
    try {
      workbook = read(opened);
    } catch (...) {
      workbook.reset();  // read again in its turn, where its failure is reported
    }
    read = nullptr;
    lock.lock();
    workbook_ = std::move(workbook);
    opened_ = std::move(opened);
    ended_ = true;
    changed_.notify_all();
  }
}

std::unique_ptr<TInputBook> TReadAhead::Take(const std::filesystem::path& path, std::u16string& opened) {
  std::unique_lock lock(mutex_);
  if (!started_) return nullptr;
  changed_.wait(lock, [this] { return ended_; });
  started_ = false;
  std::unique_ptr<TInputBook> workbook = std::move(workbook_);
  if (path != path_ || !workbook) return nullptr;
  opened = std::move(opened_);
  return workbook;
}

}  // namespace plicato
