// Where a run's rows come from: the listed files in order, each opened by its content (an .xlsx file
// streamed, a CSV file read piece by piece, an .xls file read whole), an encrypted one with the
// passwords known (the one that opened the last file first) and then the host's answers; the next file
// read ahead while one is merged; and the sheets of each file the run merges.
//
// Owns the list, the passwords and the read ahead. The books it opens belong to the caller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "merge/CsvReader.h"
#include "merge/MergeEngine.h"
#include "merge/ReadAhead.h"
#include "merge/RowSource.h"

namespace plicato {

class TXLSWorkbook;

// Whether path is a regular file holding an .xlsx package. Only a regular file is asked for its content:
// opening a named pipe to look at it would wait for a writer forever. Anything else goes to the .xls
// reader, which says what the path is.
bool HoldsXlsx(const std::filesystem::path& path);

// Reads an .xls file. The reader takes one password per read, after its default one: each password next
// gives is a new read of the file, which fails early, at the file's encryption record. opened is the
// password that opened the file, or empty. read reads the workbook (by default whole).
std::unique_ptr<TXLSWorkbook> ReadXlsWith(const std::filesystem::path& path,
                                          const std::function<std::optional<std::u16string>()>& next,
                                          std::u16string& opened,
                                          const std::function<void(TXLSWorkbook&)>& read = {});

class TInputFiles {
 public:
  // The host answers AskPassword and tells of a stop request (nothing more is read ahead then).
  TInputFiles(TMergeHost& host, std::vector<std::filesystem::path> list, const TMergeOptions& options);

  const std::vector<std::filesystem::path>& List() const { return list_; }
  // The passwords to try on every encrypted file, after the default one.
  void SetPasswords(std::vector<std::u16string> passwords) { passwords_ = std::move(passwords); }

  // A book of the listed file at index read already (by the header pre-read), opened in its turn instead
  // of reading the file again; as many as fit the memory set aside for them, the rest freed.
  void Keep(size_t index, std::unique_ptr<TInputBook>& book);

  // Opens the listed file at index, reading no more than limit columns of its sheets, and starts reading
  // the file after it.
  std::unique_ptr<TInputBook> Open(size_t index, uint32_t limit);
  // The sheets of the book the run merges, in order. A book without the sheet asked for cannot be merged:
  // the failure's message says why.
  std::vector<size_t> ChooseSheets(const TInputBook& book) const;

 private:
  std::unique_ptr<TXLSWorkbook> ReadXls(const std::filesystem::path& path);
  void ReadAhead(size_t index);
  std::vector<std::u16string> KnownPasswords() const;
  std::optional<std::u16string> NextPassword(const std::filesystem::path& path, size_t& next);

  TMergeHost& host_;
  std::vector<std::filesystem::path> list_;  // the files to merge, in order
  TSheetChoice sheet_;
  TCsvOptions csv_;
  std::vector<std::u16string> passwords_;  // the host's, taken when the run starts
  std::u16string lastPassword_;            // the one that opened the last encrypted file
  std::map<size_t, std::unique_ptr<TInputBook>> kept_;  // books read already, by their index in the list
  uintmax_t keptBytes_ = 0;                             // the size of their files
  // Last: destroyed first, while what a read under way was given still stands.
  TReadAhead readAhead_;
};

}  // namespace plicato
