#include "merge/output/OutputNames.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <memory>
#include <system_error>

#include "merge/CsvReader.h"
#include "xlsx/XlsxReader.h"

namespace plicato {

namespace fs = std::filesystem;

namespace {

// The extension of a file name that names a format, in any letter case, and its length; 0 for none.
size_t KnownExtension(const std::string& name, TOutputFormat* format = nullptr) {
  static const std::pair<const char*, TOutputFormat> kExtensions[] = {
      {".xls", ofXls}, {".xlsx", ofXlsx}, {".csv", ofCsv}};
  for (const auto& [extension, which] : kExtensions) {
    const size_t length = std::char_traits<char>::length(extension);
    if (name.size() < length) continue;
    bool same = true;
    for (size_t i = 0; i < length && same; ++i)
      same = std::tolower(static_cast<unsigned char>(name[name.size() - length + i])) == extension[i];
    if (same) {
      if (format) *format = which;
      return length;
    }
  }
  return 0;
}

fs::path Normalised(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal() : canonical;
}

// The folder of a save path, as a path that can be listed.
fs::path FolderOf(const fs::path& savePath) {
  fs::path folder = savePath.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

TOutputFormat OutputFormatOf(const fs::path& savePath) {
  TOutputFormat format = ofXls;
  KnownExtension(savePath.filename().native(), &format);
  return format;
}

fs::path ResolveSavePath(const fs::path& savePath) {
  const std::string name = savePath.filename().native();
  if (name.empty() || name == "." || name == ".." || KnownExtension(name) > 0) return savePath;
  fs::path resolved = savePath;
  resolved += ".xls";
  return resolved;
}

fs::path ContinuationName(const fs::path& savePath, int32_t n) {
  const fs::path resolved = ResolveSavePath(savePath);
  const std::string name = resolved.filename().native();
  const size_t extension = KnownExtension(name);
  const std::string file = name.substr(0, name.size() - extension) + "-" + std::to_string(n) +
                           name.substr(name.size() - extension);
  return resolved.has_parent_path() ? resolved.parent_path() / file : fs::path(file);
}

std::string SplitOutputName(const std::string& savePath, int32_t splitNumber) {
  return ContinuationName(fs::path(savePath), splitNumber).native();
}

int32_t ContinuationNumber(const fs::path& savePath, const fs::path& name) {
  const std::string save = ResolveSavePath(savePath).filename().native();
  const size_t extension = KnownExtension(save);
  if (extension == 0) return 0;
  const std::string stem = save.substr(0, save.size() - extension) + "-";
  const std::string ext = save.substr(save.size() - extension);
  const std::string file = name.filename().native();
  if (file.size() <= stem.size() + ext.size() || file.compare(0, stem.size(), stem) != 0 ||
      file.compare(file.size() - ext.size(), ext.size(), ext) != 0)
    return 0;
  const std::string digits = file.substr(stem.size(), file.size() - stem.size() - ext.size());
  if (digits.empty() || digits.size() > 10 || digits[0] == '0') return 0;
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(n) : 0;
}

std::vector<fs::path> ExistingContinuations(const fs::path& savePath) {
  const fs::path resolved = ResolveSavePath(savePath);
  std::vector<std::pair<int32_t, fs::path>> found;
  // readdir, not std::filesystem::directory_iterator, whose opening ends the program when it runs out of
  // memory (it is noexcept inside). A folder that cannot be read holds no continuation this run knows of.
  DIR* folder = OutputFormatOf(resolved) != ofCsv ? ::opendir(FolderOf(resolved).c_str()) : nullptr;
  if (folder) {
    const std::unique_ptr<DIR, int (*)(DIR*)> closing(folder, ::closedir);
    while (const dirent* entry = ::readdir(folder)) {
      const int32_t n = ContinuationNumber(resolved, fs::path(entry->d_name));
      if (n <= 0) continue;
      fs::path name = ContinuationName(resolved, n);
      std::error_code fileError;
      if (fs::is_regular_file(name, fileError)) found.emplace_back(n, std::move(name));
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<fs::path> names;
  for (auto& [n, name] : found) names.push_back(std::move(name));
  return names;
}

TListedFiles::TListedFiles(const std::vector<fs::path>& files) : files_(files) {
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat info {};
    if (::stat(files[i].c_str(), &info) == 0) ids_.emplace(std::make_pair(info.st_dev, info.st_ino), i);
    names_.emplace(Normalised(files[i]), i);
  }
}

const fs::path* TListedFiles::Find(const fs::path& name) const {
  struct stat info {};
  if (::stat(name.c_str(), &info) == 0) {
    auto same = ids_.find(std::make_pair(info.st_dev, info.st_ino));
    if (same != ids_.end()) return &files_[same->second];
  }
  auto same = names_.find(Normalised(name));
  return same != names_.end() ? &files_[same->second] : nullptr;
}

std::vector<std::pair<int32_t, const fs::path*>> TListedFiles::Continuations(const fs::path& savePath) const {
  const fs::path resolved = ResolveSavePath(savePath);
  const fs::path folder = Normalised(FolderOf(resolved));
  std::vector<std::pair<int32_t, const fs::path*>> found;
  for (const auto& [name, index] : names_) {
    if (name.parent_path() != folder) continue;
    if (const int32_t n = ContinuationNumber(resolved, name.filename()))
      found.emplace_back(n, &files_[index]);
  }
  return found;
}

std::optional<TOutputClash> FindOutputClash(const fs::path& savePath, const std::vector<fs::path>& files,
                                            int headerRows, bool everySheet) {
  const fs::path resolved = ResolveSavePath(savePath);
  const TOutputFormat format = OutputFormatOf(resolved);
  const TListedFiles listed(files);
  if (const fs::path* input = listed.Find(resolved)) return TOutputClash{resolved, *input};
  if (format == ofCsv) return std::nullopt;

  // The continuations a run could need: each file gives at most one whole sheet (every sheet of it with
  // everySheet, of any number), and each output holds its rows less the repeated header rows.
  int64_t bound = std::numeric_limits<int32_t>::max();
  // A CSV file has no row limit: its rows could fill any number of outputs.
  if (!everySheet &&
      std::none_of(files.begin(), files.end(), [](const fs::path& file) { return ReadAsCsv(file); })) {
    uint64_t rows = 0;
    for (const fs::path& file : files) {
      struct stat info {};
      // Only a regular file is opened to look: a named pipe would wait for a writer.
      const bool xlsx =
          ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && DetectWorkbookContent(file) == wcXlsx;
      rows += CapacityOf(xlsx ? ofXlsx : ofXls).rows;
    }
    const uint64_t capacity = CapacityOf(format).rows - static_cast<uint32_t>(headerRows);
    bound = static_cast<int64_t>(std::min<uint64_t>((rows + capacity - 1) / capacity, bound));
  }
  int32_t best = 0;
  const fs::path* input = nullptr;
  auto consider = [&](int32_t n, const fs::path* file) {
    if (file && n <= bound && (best == 0 || n < best)) {
      best = n;
      input = file;
    }
  };
  // Listed by a continuation's name, and (hard links, links to it) the same file as one that exists.
  for (const auto& [n, file] : listed.Continuations(resolved)) consider(n, file);
  for (const fs::path& name : ExistingContinuations(resolved)) {
    const int32_t n = ContinuationNumber(resolved, name);
    if (best == 0 || n < best) consider(n, listed.Find(name));
  }
  if (!input) return std::nullopt;
  return TOutputClash{ContinuationName(resolved, best), *input};
}

}  // namespace plicato
