// The zip container of an Office Open XML file, read through libzip, with the limits that keep a hostile
// file from exhausting memory or time: a part is refused before it is read when its directory entry
// declares more than kMaxPartSize inflated bytes, and while it is read when it inflates to more than it
// declared. (Its compression ratio alone is no sign of a bomb: a row of 16,384 empty formatted cells
// inflates hundreds of times; what the readers keep of a part is bounded by their own budgets.) Each part's
// CRC is checked when the part has been read to its end; zip64 archives are read.
//
// A deflated part of up to kWholePartSize bytes (a sheet of some 20,000 rows of 20 cells) is inflated
// whole by libdeflate when it is first read, about 2.5 times as fast as libzip's stream through zlib, and
// then given from memory; a larger part is streamed by libzip, so memory stays bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

struct zip;
struct zip_file;

namespace plicato::xlsx {

inline constexpr uint64_t kMaxPartSize = 2ull * 1024 * 1024 * 1024;
inline constexpr uint64_t kWholePartSize = 16ull * 1024 * 1024;

class TZipPart;

// Where the bytes of a part come from, for its parser: the zip directly (TZipPart) or a thread inflating
// the part ahead of the parse (TInflateThread).
class TPartReader {
 public:
  virtual ~TPartReader() = default;
  // Reads up to size bytes; 0 at the end of the part. EXlsxError on damage.
  virtual size_t Read(uint8_t* buffer, size_t size) = 0;
  virtual const std::string& Name() const = 0;
};

class TZipPackage {
 public:
  // EXlsxError when the file cannot be opened or is not a zip archive.
  static TZipPackage OpenFile(const std::filesystem::path& path);
  // bytes must outlive the package and every part opened from it.
  static TZipPackage OpenMemory(std::span<const uint8_t> bytes);

  TZipPackage(TZipPackage&&) noexcept;
  TZipPackage& operator=(TZipPackage&&) noexcept;
  ~TZipPackage();

  // Part names compare without regard to case and without a leading '/', as the package format has it; an
  // entry named with backslashes (xl\workbook.xml, as some writers on Windows store it) is the part with
  // slashes. Two entries of one name make the archive ambiguous (readers differ on which one counts) and
  // are refused as damage when the package is opened.
  bool Contains(const std::string& name) const;
  // EXlsxError when the part is missing, encrypted, or refused by the limits above.
  TZipPart OpenPart(const std::string& name) const;

 private:
  explicit TZipPackage(zip* archive) : archive_(archive) {}
  void IndexEntries();
  zip* archive_ = nullptr;
  std::unordered_map<std::string, uint64_t> entries_;  // entry index by part name, as Key() makes it
};

// A part being read from its start. The package must outlive it. libzip allows one thread at a time in
// an archive: the parts of one package are read by one thread, or by several taking turns.
class TZipPart final : public TPartReader {
 public:
  TZipPart(TZipPart&&) noexcept;
  TZipPart& operator=(TZipPart&&) noexcept;
  ~TZipPart() override;

  // EXlsxError on damage (a CRC mismatch, a deflate error) and when the part inflates to more than its
  // directory entry declared.
  size_t Read(uint8_t* buffer, size_t size) override;
  const std::string& Name() const override { return name_; }
  uint64_t DeclaredSize() const { return declared_; }

 private:
  friend class TZipPackage;
  // whole: file gives the part's deflated bytes (compressed of them), to be inflated at once.
  struct TWhole {
    uint64_t compressed = 0;
    uint32_t crc = 0;
    std::unique_ptr<uint8_t[]> bytes;  // the part inflated, once read, until its end
    size_t size = 0, given = 0;
    bool inflated = false, crcMatches = false;
    std::exception_ptr failure;  // thrown again by every later Read
  };
  TZipPart(zip_file* file, std::string name, uint64_t declared, std::unique_ptr<TWhole> whole)
      : file_(file), name_(std::move(name)), declared_(declared), whole_(std::move(whole)) {}
  void InflateWhole();
  zip_file* file_ = nullptr;
  std::string name_;
  uint64_t declared_ = 0;
  uint64_t read_ = 0;
  std::unique_ptr<TWhole> whole_;  // null: streamed by libzip
};

// Whether the bytes of a file start like a zip archive ("PK\3\4", or "PK\5\6" for an empty one).
bool IsZipData(std::span<const uint8_t> head);

}  // namespace plicato::xlsx
