// Reading the next file of a merge while the current one is merged. An .xls file is read whole into a
// model before its first row is taken, so the merge alternates between reading (the disk, the record
// stream, the string table) and writing; on a second thread the next file's read overlaps the current
// file's rows, and a folder of many files merges in about the time of the slower of the two. A CSV file
// is opened ahead the same way: its encoding found (a pass over the whole file) and its first piece read.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace plicato {

class TInputBook;

class TReadAhead {
 public:
  // Reads the file; opened is the password that opened it, or empty.
  using TRead = std::function<std::unique_ptr<TInputBook>(std::u16string& opened)>;

  TReadAhead() = default;
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;
  ~TReadAhead();  // waits for a read under way, and drops its book

  // Starts reading path with read on the reading thread (made by the first call, and kept for the run's
  // later files), unless a read is under way. Nothing is started when no thread can be had: the file is
  // then read in its turn.
  void Start(const std::filesystem::path& path, TRead read);
  // The book read ahead for path, waiting for the read to end; null when none was started for path or
  // the read failed. A failed read is not reported from here: the file is read again in its turn, so
  // that its failure, its password questions and its messages come when and as they always do.
  std::unique_ptr<TInputBook> Take(const std::filesystem::path& path, std::u16string& opened);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  bool quit_ = false;
  // The read started last: its path, the read until the thread takes it, and once it has ended its result.
  bool started_ = false;  // and not taken yet
  bool ended_ = false;
  std::filesystem::path path_;
  TRead read_;
  std::unique_ptr<TInputBook> workbook_;
  std::u16string opened_;
};

}  // namespace plicato
