// The container's element tree: element names and their checks, copies, the input file, storages and
// streams, and a document's root. Reading a document is in CompoundFileReader.cpp, writing one in
// CompoundFileWriter.cpp, and the output file it is written to in OutputFile.cpp.
#include "biff/CompoundFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "biff/CodePage.h"
#include "biff/CompoundFileFormat.h"
#include "biff/CompoundFileInternal.h"

namespace plicato::cfb {

using namespace format;

namespace {

// ---------------------------------------------------------------------------------------------------
// Names

bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return CompareNames(a, b) == 0;
}

void CheckNewName(const TStorage& storage, std::u16string_view name) {
  if (name.empty()) throw EStorageError("Invalid element name: the name is empty");
  std::string printable = ToUtf8(name);
  if (name.size() > kMaxNameLength) {
    throw EStorageError(FormatMessage("Invalid element name \"%s\": longer than %zu characters",
                                      printable.c_str(), kMaxNameLength));
  }
  for (char16_t c : name) {
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') {
      throw EStorageError(FormatMessage("Invalid element name \"%s\": it holds '%c'", printable.c_str(),
                                        static_cast<char>(c)));
    }
  }
  for (const auto& element : storage.Elements()) {
    if (SameNameIgnoringCase(element->Name(), name)) {
      throw EStorageError(FormatMessage("An element named \"%s\" exists already", printable.c_str()));
    }
  }
}

void CopyAttributes(const TElement& from, TElement& to) {
  to.clsid = from.clsid;
  to.stateBits = from.stateBits;
  to.createdTime = from.createdTime;
  to.modifiedTime = from.modifiedTime;
}

// Null for a stream that cannot be read when skipDamaged is set.
std::unique_ptr<TElement> Clone(const TElement& source, bool skipDamaged) {
  if (source.IsStream()) {
    const auto& stream = static_cast<const TStreamElement&>(source);
    auto copy = std::make_unique<TStreamElement>(stream.Name());
    try {
      copy->Data() = stream.Data();
    } catch (const EPlicatoError&) {
      if (!skipDamaged) throw;
      return nullptr;
    }
    CopyAttributes(stream, *copy);
    return copy;
  }
  const auto& storage = static_cast<const TStorage&>(source);
  auto copy = std::make_unique<TStorage>(storage.Name());
  CopyAttributes(storage, *copy);
  auto& elements = TStorageAccess::Elements(*copy);
  elements.reserve(storage.Elements().size());
  for (const auto& element : storage.Elements()) {
    if (auto child = Clone(*element, skipDamaged)) elements.push_back(std::move(child));
  }
  return copy;
}

// ---------------------------------------------------------------------------------------------------
// Files

std::string ErrnoText(int error) {
  return std::system_category().message(error);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TInputFile, TStreamElement

namespace {

// What a path that is not a regular file leads to, for the message.
std::string NotRegularReason(const std::filesystem::path& path, const struct stat* info) {
  struct stat link {};
  if (!info) {
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return "it is a link that leads nowhere";
    return {};
  }
  return cfb::NotRegularReason(info->st_mode);
}

}  // namespace

TInputFile::TInputFile(const std::filesystem::path& path) : path_(path) {
  auto fail = [&](const char* what, const std::string& reason) -> EFileError {
    return EFileError(FormatMessage("Cannot %s file \"%s\": %s", what, path.string().c_str(), reason.c_str()),
                      ekInputUnreadable);
  };
  // The kind is looked at before opening: opening a named pipe would wait for a writer, and a device
  // may act on being opened.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    std::string reason = error == ENOENT ? NotRegularReason(path, nullptr) : std::string();
    if (reason.empty()) reason = error == ENOENT ? "the file does not exist" : ErrnoText(error);
    throw fail("open", reason);
  }
  if (!S_ISREG(info.st_mode)) throw fail("open", NotRegularReason(path, &info));
  // Non-blocking, in case the path was replaced by a pipe meanwhile; checked again on what was opened.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd_ < 0) throw fail("open", ErrnoText(errno));
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd_);
    throw fail("open", NotRegularReason(path, &info));
  }
  size_ = static_cast<uint64_t>(info.st_size);
}

TInputFile::~TInputFile() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TInputFile::ReadAt(uint64_t offset, void* out, size_t n) const {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd_, static_cast<uint8_t*>(out) + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      throw EFileError(
          FormatMessage("Cannot read file \"%s\": %s", path_.string().c_str(), ErrnoText(errno).c_str()),
          ekInputUnreadable);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void TStreamElement::Load() const {
  if (!loader_) return;
  loader_->Load(entry_, data_);
  loader_.reset();
}

// ---------------------------------------------------------------------------------------------------
// TStorage

TElement* TStorage::Find(std::u16string_view name) const {
  for (const auto& element : elements_) {
    if (element->Name() == name) return element.get();
  }
  return nullptr;
}

TStreamElement* TStorage::FindStream(std::u16string_view name) const {
  TElement* element = Find(name);
  return element && element->IsStream() ? static_cast<TStreamElement*>(element) : nullptr;
}

TStorage* TStorage::FindStorage(std::u16string_view name) const {
  TElement* element = Find(name);
  return element && element->IsStorage() ? static_cast<TStorage*>(element) : nullptr;
}

TStorage& TStorage::CreateStorage(std::u16string_view name) {
  CheckNewName(*this, name);
  auto storage = std::make_unique<TStorage>(std::u16string(name));
  TStorage& result = *storage;
  elements_.push_back(std::move(storage));
  return result;
}

TStreamElement& TStorage::CreateStream(std::u16string_view name) {
  CheckNewName(*this, name);
  auto stream = std::make_unique<TStreamElement>(std::u16string(name));
  TStreamElement& result = *stream;
  elements_.push_back(std::move(stream));
  return result;
}

bool TStorage::Destroy(std::u16string_view name) {
  // The exact name first; otherwise the name ignoring case, as the format identifies elements.
  auto it =
      std::find_if(elements_.begin(), elements_.end(), [&](const auto& e) { return e->Name() == name; });
  if (it == elements_.end()) {
    it = std::find_if(elements_.begin(), elements_.end(),
                      [&](const auto& e) { return SameNameIgnoringCase(e->Name(), name); });
  }
  if (it == elements_.end()) return false;
  elements_.erase(it);
  return true;
}

void TStorage::Replace(std::unique_ptr<TElement> element) {
  for (auto& existing : elements_) {
    if (SameNameIgnoringCase(existing->Name(), element->Name())) {
      existing = std::move(element);
      return;
    }
  }
  elements_.push_back(std::move(element));
}

void TStorage::CopyElement(const TElement& source, TStorage& dest, bool skipDamaged) {
  // The copy is complete before dest changes, so source may lie inside dest (or be replaced by it).
  if (auto copy = Clone(source, skipDamaged)) dest.Replace(std::move(copy));
}

void TStorage::CopyAllTo(TStorage& dest) const {
  std::vector<std::unique_ptr<TElement>> copies;
  copies.reserve(elements_.size());
  for (const auto& element : elements_) copies.push_back(Clone(*element, false));
  for (auto& copy : copies) dest.Replace(std::move(copy));
}

// ---------------------------------------------------------------------------------------------------
// TCompoundDocument

TCompoundDocument::TCompoundDocument() : root_(std::make_unique<TStorage>(u"Root Entry")) {}
TCompoundDocument::~TCompoundDocument() = default;
TCompoundDocument::TCompoundDocument(TCompoundDocument&&) noexcept = default;
TCompoundDocument& TCompoundDocument::operator=(TCompoundDocument&&) noexcept = default;

bool TCompoundDocument::IsCompoundData(std::span<const uint8_t> head) {
  return head.size() >= sizeof kSignature && std::memcmp(head.data(), kSignature, sizeof kSignature) == 0;
}

bool TCompoundDocument::IsCompoundFile(const std::filesystem::path& path) {
  try {
    TInputFile file(path);
    uint8_t head[sizeof kSignature];
    return file.ReadAt(0, head, sizeof head) == sizeof head && IsCompoundData(head);
  } catch (const EFileError&) {
    return false;
  }
}

TStorage& TCompoundDocument::Root() {
  return *root_;
}
const TStorage& TCompoundDocument::Root() const {
  return *root_;
}
}  // namespace plicato::cfb
