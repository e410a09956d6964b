// Helpers shared by the tests: where the corpus is, reading files, scratch folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plicato {
class TXLSStream;
}

namespace plicato::test {

struct TRecord {
  uint16_t id;
  std::vector<uint8_t> body;
};

// The records of a plain record stream, in order (a truncated last record is left out).
std::vector<TRecord> SplitRecords(const std::vector<uint8_t>& stream);
// Runs write against an in-memory plain record stream and returns the records it wrote.
std::vector<TRecord> WrittenRecords(const std::function<void(TXLSStream&)>& write);

// ../shared/corpus (the files made by other programs); tests that need it skip when it is absent.
std::filesystem::path CorpusDir();
std::filesystem::path CorpusFile(const std::string& relative);
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// A fresh, empty folder under the system's temporary folder, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// text as a JSON string literal (quotes, backslashes and control characters escaped).
std::string JsonString(std::string_view text);
// The rows of a JSON file holding an array of arrays of strings (as Python's json module writes it).
std::vector<std::vector<std::u16string>> ReadJsonTextRows(const std::filesystem::path& path);

// Every .xls file under a corpus folder (recursively), sorted by path.
std::vector<std::filesystem::path> CorpusFiles(const std::string& relativeFolder);
// The workbooks of the corpus: every file under poi/, then under gen/.
std::vector<std::filesystem::path> CorpusWorkbooks();
// A corpus file's path relative to the corpus folder, with '/' between names.
std::string CorpusRelativeName(const std::filesystem::path& path);
// The password of the encrypted corpus workbooks that have one (by relative name); empty for the rest.
std::u16string CorpusPassword(const std::string& relative);

}  // namespace plicato::test
