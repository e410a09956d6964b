#include "merge/FileSearch.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

namespace plicato {

namespace fs = std::filesystem;

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative matcher with one backtrack point for the last '*': linear in practice, no recursion.
  size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
  auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], name[n])))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

namespace {

struct Entry {
  std::string name;
  std::string upper;
  bool isDirectory;
  bool isFile;
  std::string unknown;  // why the kind of an entry could not be told, when it could not
};

// The entries of folder, sorted; error is set when it could not be listed whole.
std::vector<Entry> ListFolder(const std::string& folder, std::error_code& ec) {
  std::vector<Entry> entries;
  fs::directory_iterator it(folder, ec);
  if (ec) return entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    Entry e;
    e.name = it->path().filename().string();
    e.upper = e.name;
    std::transform(e.upper.begin(), e.upper.end(), e.upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::error_code typeEc;
    // A link to a folder is not followed: it could lead back up the tree and never end.
    e.isDirectory = it->is_directory(typeEc) && !it->is_symlink(typeEc);
    // Only regular files are workbooks: a named pipe would hang the merge, a device never end it. A
    // link counts when it leads to a regular file.
    e.isFile = it->is_regular_file(typeEc);
    // A dangling link is no file and passes unnoticed; a path past the system's limit cannot be told.
    if (typeEc == std::errc::filename_too_long) e.unknown = typeEc.message();
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.upper != b.upper ? a.upper < b.upper : a.name < b.name;
  });
  return entries;
}

bool MatchesAny(const std::vector<std::string>& patterns, const std::string& name) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return WildcardMatch(pattern, name); });
}

bool SearchFolder(const std::string& folder, const std::vector<std::string>& patterns, bool subDirs,
                  const std::function<bool(const std::string&)>& onFound, const std::atomic<bool>* stop,
                  const TUnreadableFolderEvent& onUnreadable) {
  std::error_code error;
  std::vector<Entry> entries = ListFolder(folder, error);
  if (error && onUnreadable)
    onUnreadable(folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder, error.message());
  for (const Entry& e : entries) {
    if (stop && stop->load()) return false;
    if (e.isFile && MatchesAny(patterns, e.name)) {
      if (!onFound(folder + e.name)) return false;
    } else if (!e.unknown.empty() && onUnreadable && (subDirs || MatchesAny(patterns, e.name))) {
      onUnreadable(folder + e.name, e.unknown);
    }
  }
  if (!subDirs) return true;
  for (const Entry& e : entries) {
    if (stop && stop->load()) return false;
    if (e.isDirectory && !SearchFolder(folder + e.name + "/", patterns, subDirs, onFound, stop, onUnreadable))
      return false;
  }
  return true;
}

}  // namespace

void SearchFiles(const std::string& folder, const std::string& pattern, bool subDirs,
                 const std::function<bool(const std::string&)>& onFound, const std::atomic<bool>* stop,
                 const TUnreadableFolderEvent& onUnreadable) {
  SearchFiles(folder, std::vector<std::string>{pattern}, subDirs, onFound, stop, onUnreadable);
}

void SearchFiles(const std::string& folder, const std::vector<std::string>& patterns, bool subDirs,
                 const std::function<bool(const std::string&)>& onFound, const std::atomic<bool>* stop,
                 const TUnreadableFolderEvent& onUnreadable) {
  if (folder.empty()) return;
  std::string start = folder;
  if (start.back() != '/') start += '/';
  SearchFolder(start, patterns, subDirs, onFound, stop, onUnreadable);
}

std::vector<std::string> WorkbookPatterns(bool withXlsx, bool withCsv) {
  std::vector<std::string> patterns = {"*.xls"};
  if (withXlsx) patterns.insert(patterns.end(), {"*.xlsx", "*.xlsm"});
  if (withCsv) patterns.insert(patterns.end(), {"*.csv", "*.tsv"});
  return patterns;
}

}  // namespace plicato
