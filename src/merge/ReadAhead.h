// Reading the next file of a merge while the current one is merged. An .xls file is read whole into a
// model before its first row is taken, so the merge alternates between reading (the disk, the record
// stream, the string table) and writing; on a second thread the next file's read overlaps the current
// file's rows, and a folder of many files merges in about the time of the slower of the two.
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>

namespace plicato {

class TXLSWorkbook;

class TReadAhead {
 public:
  // Reads the file; opened is the password that opened it, or empty.
  using TRead = std::function<std::unique_ptr<TXLSWorkbook>(std::u16string& opened)>;

  TReadAhead() = default;
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;
  ~TReadAhead();  // waits for a read under way, and drops its workbook

  // Starts reading path with read, on a thread of its own, unless a read is under way. Nothing is
  // started when no thread can be had: the file is then read in its turn.
  void Start(const std::filesystem::path& path, TRead read);
  // The workbook read ahead for path, waiting for the read to end; null when none was started for path
  // or the read failed. A failed read is not reported from here: the file is read again in its turn, so
  // that its failure, its password questions and its messages come when and as they always do.
  std::unique_ptr<TXLSWorkbook> Take(const std::filesystem::path& path, std::u16string& opened);

 private:
  struct TDone {
    std::unique_ptr<TXLSWorkbook> workbook;
    std::u16string opened;
  };
  std::filesystem::path path_;
  std::future<TDone> result_;
};

}  // namespace plicato
