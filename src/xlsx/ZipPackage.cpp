#include "xlsx/ZipPackage.h"

#include <libdeflate.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "biff/Errors.h"
#include "xlsx/XlsxErrors.h"

namespace plicato::xlsx {

namespace {

std::string ZipErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

std::string PartKey(const std::string& name) {
  std::string key = !name.empty() && (name[0] == '/' || name[0] == '\\') ? name.substr(1) : name;
  for (char& c : key) c = c == '\\' ? '/' : c;
  return key;
}

// Part names compare as ASCII without regard to case.
std::string Key(const std::string& name) {
  std::string key = PartKey(name);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

}  // namespace

TZipPackage TZipPackage::OpenFile(const std::filesystem::path& path) {
  int code = 0;
  zip* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!archive) {
    const bool io = code == ZIP_ER_OPEN || code == ZIP_ER_READ || code == ZIP_ER_SEEK;
    throw EXlsxError("Cannot open \"" + path.string() + "\" as a zip archive: " + ZipErrorText(code),
                     io ? ekInputUnreadable : ekDamaged);
  }
  TZipPackage package(archive);
  package.IndexEntries();
  return package;
}

TZipPackage TZipPackage::OpenMemory(std::span<const uint8_t> bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (!archive) {
    if (source) zip_source_free(source);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw EXlsxError("The file is not a readable zip archive: " + text, ekNotAWorkbook);
  }
  zip_error_fini(&error);
  TZipPackage package(archive);
  package.IndexEntries();
  return package;
}

void TZipPackage::IndexEntries() {
  const zip_int64_t count = zip_get_num_entries(archive_, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
    if (!name)
      throw EXlsxError(std::string("The zip archive's directory is damaged: ") + zip_strerror(archive_),
                       ekDamaged);
    const std::string key = Key(name);
    if (key.empty() || key.back() == '/') continue;  // a folder
    if (!entries_.emplace(key, static_cast<uint64_t>(i)).second)
      throw EXlsxError("The zip archive is damaged: it holds two entries named \"" + PartKey(name) +
                           "\", and readers differ on which one counts",
                       ekDamaged);
  }
}

TZipPackage::TZipPackage(TZipPackage&& other) noexcept
    : archive_(std::exchange(other.archive_, nullptr)), entries_(std::move(other.entries_)) {}

TZipPackage& TZipPackage::operator=(TZipPackage&& other) noexcept {
  std::swap(archive_, other.archive_);
  std::swap(entries_, other.entries_);
  return *this;
}

TZipPackage::~TZipPackage() {
  if (archive_) zip_discard(archive_);
}

bool TZipPackage::Contains(const std::string& name) const {
  return entries_.count(Key(name)) > 0;
}

TZipPart TZipPackage::OpenPart(const std::string& name) const {
  const std::string key = PartKey(name);
  const auto found = entries_.find(Key(name));
  if (found == entries_.end()) throw EXlsxError("The workbook has no part " + key, ekDamaged);
  const zip_uint64_t index = found->second;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_, index, 0, &stat) != 0)
    throw EXlsxError("The zip entry of " + key + " is damaged: " + zip_strerror(archive_), ekDamaged);
  if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
    throw EXlsxError("The part " + key + " is encrypted inside the zip archive", ekEncrypted);
  if (!(stat.valid & ZIP_STAT_SIZE) || !(stat.valid & ZIP_STAT_COMP_SIZE))
    throw EXlsxError("The zip entry of " + key + " gives no size");
  // A part is read as a stream, so a high compression ratio costs time, not memory (a sheet of empty
  // formatted cells inflates a thousand times): the inflated size is bounded, here and while it is read,
  // and what is kept of it by the memory budgets of the parts' readers.
  if (stat.size > kMaxPartSize)
    throw EXlsxError(FormatMessage("The part %s declares %llu bytes, more than the 2 GB a part may have",
                                   key.c_str(), static_cast<unsigned long long>(stat.size)));
  std::unique_ptr<TZipPart::TWhole> whole;
  if ((stat.valid & ZIP_STAT_COMP_METHOD) && stat.comp_method == ZIP_CM_DEFLATE &&
      (stat.valid & ZIP_STAT_CRC) && stat.size > 0 && stat.size <= kWholePartSize &&
      stat.comp_size <= kWholePartSize) {
    whole = std::make_unique<TZipPart::TWhole>();
    whole->compressed = stat.comp_size;
    whole->crc = stat.crc;
  }
  const zip_flags_t flags = whole ? ZIP_FL_COMPRESSED : 0;
  // Made before the entry is opened, so that nothing can fail between its opening and its owner: an entry
  // left open holds the archive's file open past the package.
  TZipPart part(nullptr, key, stat.size, std::move(whole));
  part.file_ = zip_fopen_index(archive_, index, flags);
  if (!part.file_) throw EXlsxError("Cannot read the part " + key + ": " + zip_strerror(archive_), ekDamaged);
  return part;
}

TZipPart::TZipPart(TZipPart&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      name_(std::move(other.name_)),
      declared_(other.declared_),
      read_(other.read_),
      whole_(std::move(other.whole_)) {}

TZipPart& TZipPart::operator=(TZipPart&& other) noexcept {
  std::swap(file_, other.file_);
  std::swap(name_, other.name_);
  std::swap(declared_, other.declared_);
  std::swap(read_, other.read_);
  std::swap(whole_, other.whole_);
  return *this;
}

TZipPart::~TZipPart() {
  if (file_) zip_fclose(file_);
}

size_t TZipPart::Read(uint8_t* buffer, size_t size) {
  if (whole_) {
    if (whole_->failure) std::rethrow_exception(whole_->failure);
    if (!whole_->inflated) {
      try {
        InflateWhole();
      } catch (...) {
        whole_->failure = std::current_exception();
        throw;
      }
    }
    const size_t n = std::min(size, whole_->size - whole_->given);
    if (n == 0) {
      // As a stream would, the part gives its bytes first and fails its check at its end. Its memory is
      // not kept past its end (the parts before a sheet are held until the sheet's end).
      whole_->bytes.reset();
      if (!whole_->crcMatches)
        whole_->failure =
            std::make_exception_ptr(EXlsxError("The part " + name_ + " is damaged: CRC error", ekDamaged));
      if (whole_->failure) std::rethrow_exception(whole_->failure);
      return 0;
    }
    std::memcpy(buffer, whole_->bytes.get() + whole_->given, n);
    whole_->given += n;
    return n;
  }
  // Ask for one byte more than the part may still hold, so that inflating past the declared size is
  // seen rather than silently cut off.
  const uint64_t left = declared_ - read_;
  if (size > left + 1) size = static_cast<size_t>(left + 1);
  const zip_int64_t n = zip_fread(file_, buffer, size);
  if (n < 0) throw EXlsxError("The part " + name_ + " is damaged: " + zip_file_strerror(file_), ekDamaged);
  read_ += static_cast<uint64_t>(n);
  if (read_ > declared_)
    throw EXlsxError("The part " + name_ + " inflates to more bytes than its zip entry declares", ekDamaged);
  return static_cast<size_t>(n);
}

void TZipPart::InflateWhole() {
  // The declared sizes are bounded when the part is opened, so both buffers are.
  const auto compressed = static_cast<size_t>(whole_->compressed);
  std::unique_ptr<uint8_t[]> in = std::make_unique_for_overwrite<uint8_t[]>(compressed + 1);
  size_t got = 0;
  while (got <= compressed) {
    const zip_int64_t n = zip_fread(file_, in.get() + got, compressed + 1 - got);
    if (n < 0) throw EXlsxError("The part " + name_ + " is damaged: " + zip_file_strerror(file_), ekDamaged);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != compressed)
    throw EXlsxError(
        "The part " + name_ + " is damaged: its compressed size is not the one its zip entry declares",
        ekDamaged);
  const auto size = static_cast<size_t>(declared_);
  std::unique_ptr<uint8_t[]> out = std::make_unique_for_overwrite<uint8_t[]>(size);
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
  if (!inflater) throw EXlsxError("Out of memory while reading " + name_);
  size_t actual = 0;
  const libdeflate_result result =
      libdeflate_deflate_decompress(inflater, in.get(), compressed, out.get(), size, &actual);
  libdeflate_free_decompressor(inflater);
  if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
    throw EXlsxError("The part " + name_ + " inflates to more bytes than its zip entry declares", ekDamaged);
  if (result != LIBDEFLATE_SUCCESS)
    throw EXlsxError("The part " + name_ + " is damaged: its compressed data is not valid", ekDamaged);
  whole_->crcMatches = libdeflate_crc32(0, out.get(), actual) == whole_->crc;
  whole_->bytes = std::move(out);
  whole_->size = actual;
  whole_->inflated = true;
  read_ = actual;
}

bool IsZipData(std::span<const uint8_t> head) {
  return head.size() >= 4 && head[0] == 'P' && head[1] == 'K' &&
         ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
}

}  // namespace plicato::xlsx
