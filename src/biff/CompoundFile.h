// Our compound document container (OLE2 structured storage), used in place of the platform's.
//
// A document is read into an in-memory tree of storages and streams, changed there, and written out as a
// new version-3 document (512-byte sectors, streams under 4,096 bytes in the mini stream); one stream of a
// document being written may instead be produced while it is written (TDocumentWriter). Reading
// accepts versions 3 and 4 and checks every sector number, chain, size and directory index against the
// file: a damaged document raises EStorageError with a clear message. Only the sectors a stream occupies
// are read, when the stream is loaded, so memory use is bounded by a small multiple of the bytes used,
// whatever the file's size.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/Errors.h"
#include "biff/OutputFile.h"

namespace plicato::cfb {

enum class TElementType : uint8_t { Storage = 1, Stream = 2 };

class TStorage;

// A regular file opened for reading. Anything else (a named pipe, a socket, a device, a folder, a link
// that leads nowhere) fails at once with EFileError saying what it is, so that nothing ever waits on it
// or reads without end.
class TInputFile {
 public:
  explicit TInputFile(const std::filesystem::path& path);
  ~TInputFile();
  TInputFile(const TInputFile&) = delete;
  TInputFile& operator=(const TInputFile&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  uint64_t Size() const { return size_; }
  // Reads up to n bytes at offset; fewer only at the end of the file (EFileError on a failed read).
  size_t ReadAt(uint64_t offset, void* out, size_t n) const;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Loads a stream's bytes when they are first asked for (implemented by the container's reader).
class TStreamLoader {
 public:
  virtual ~TStreamLoader() = default;
  virtual void Load(uint32_t entry, std::vector<uint8_t>& data) = 0;
};

// One element of a storage: a stream (bytes) or a storage (further elements).
class TElement {
 public:
  virtual ~TElement() = default;
  TElement(const TElement&) = delete;
  TElement& operator=(const TElement&) = delete;

  const std::u16string& Name() const { return name_; }
  virtual TElementType Type() const = 0;
  bool IsStorage() const { return Type() == TElementType::Storage; }
  bool IsStream() const { return Type() == TElementType::Stream; }

  // Kept from the source document and written back unchanged.
  std::array<uint8_t, 16> clsid{};
  uint32_t stateBits = 0;
  uint64_t createdTime = 0;
  uint64_t modifiedTime = 0;

 protected:
  explicit TElement(std::u16string name) : name_(std::move(name)) {}

 private:
  friend class TStorage;
  std::u16string name_;
};

class TStreamElement final : public TElement {
 public:
  explicit TStreamElement(std::u16string name) : TElement(std::move(name)) {}
  TStreamElement(std::u16string name, std::shared_ptr<TStreamLoader> loader, uint32_t entry)
      : TElement(std::move(name)), loader_(std::move(loader)), entry_(entry) {}
  TElementType Type() const override { return TElementType::Stream; }

  // A stream of a document read on demand is read from its file here, the first time: a damaged one
  // raises EStorageError (every time it is asked for), EFileError when the file cannot be read.
  std::vector<uint8_t>& Data() {
    Load();
    return data_;
  }
  const std::vector<uint8_t>& Data() const {
    Load();
    return data_;
  }
  uint64_t Size() const { return Data().size(); }

 private:
  void Load() const;

  mutable std::vector<uint8_t> data_;
  mutable std::shared_ptr<TStreamLoader> loader_;  // set until the bytes are read
  uint32_t entry_ = 0;
};

class TStorage final : public TElement {
 public:
  explicit TStorage(std::u16string name) : TElement(std::move(name)) {}
  TElementType Type() const override { return TElementType::Storage; }

  // Elements in the order they were read or created.
  const std::vector<std::unique_ptr<TElement>>& Elements() const { return elements_; }

  // Exact-name lookup (the container itself compares names case-insensitively, as the format does, when
  // creating: two elements of one storage never differ only in letter case). Null when absent.
  TElement* Find(std::u16string_view name) const;
  TStreamElement* FindStream(std::u16string_view name) const;
  TStorage* FindStorage(std::u16string_view name) const;

  // Create fails with EStorageError when an element of that name (ignoring case) exists already, or the
  // name is empty, longer than 31 characters, or holds '/', '\\', ':' or '!'.
  TStorage& CreateStorage(std::u16string_view name);
  TStreamElement& CreateStream(std::u16string_view name);

  // Removes the element (of that exact name, else of that name ignoring case) and everything under it;
  // false when there was none.
  bool Destroy(std::u16string_view name);

  // Deep copy of one element (with everything under it) into dest; an element of the same name in dest
  // is replaced. With skipDamaged, a stream that cannot be read is left out instead of failing the copy.
  static void CopyElement(const TElement& source, TStorage& dest, bool skipDamaged = false);
  // Deep copy of every element of this storage into dest.
  void CopyAllTo(TStorage& dest) const;

 private:
  friend class TStorageAccess;  // the reader appends elements without the checks of Create*

  // Puts element in place of one whose name equals it ignoring case, or appends it.
  void Replace(std::unique_ptr<TElement> element);

  std::vector<std::unique_ptr<TElement>> elements_;
};

class TCompoundDocument {
 public:
  TCompoundDocument();  // a new, empty document: a root storage without elements
  ~TCompoundDocument();
  TCompoundDocument(TCompoundDocument&&) noexcept;
  TCompoundDocument& operator=(TCompoundDocument&&) noexcept;

  // True when the bytes start with the compound document signature D0 CF 11 E0 A1 B1 1A E1.
  static bool IsCompoundData(std::span<const uint8_t> head);
  // True when the file exists and starts with that signature (false on any failure to read it).
  static bool IsCompoundFile(const std::filesystem::path& path);

  // How streams are read: all of them on opening (a damaged one fails the opening), or each when it is
  // first asked for (a damaged stream fails only its own Data(); the file or memory stays in use until
  // every stream has been read or the document is gone).
  enum class TLoading { Everything, OnDemand };

  static TCompoundDocument OpenFile(const std::filesystem::path& path,
                                    TLoading loading = TLoading::Everything);  // EFileError, EStorageError
  static TCompoundDocument OpenFile(std::shared_ptr<const TInputFile> file, TLoading loading);
  // With OnDemand, bytes must stay alive until the streams wanted have been read.
  static TCompoundDocument OpenMemory(std::span<const uint8_t> bytes,
                                      TLoading loading = TLoading::Everything);  // EStorageError

  TStorage& Root();
  const TStorage& Root() const;

  // Writes a version-3 document. The directory of each storage is a red-black tree ordered by name
  // length, then by upper-cased name, as the format prescribes.
  std::vector<uint8_t> SaveToMemory() const;
  // Writes to a temporary file in the target's folder and renames it over the target only once it is
  // complete: a failed save never leaves a damaged file in place of a good one (EFileError).
  void SaveToFile(const std::filesystem::path& path) const;

 private:
  std::unique_ptr<TStorage> root_;
};

// Writes a version-3 document into an output, one of whose streams, the leading stream, is produced
// while the document is being written: a large workbook stream goes out as it is made instead of being
// held whole. Its bytes are laid down from sector 0 on as they come (from the moment they pass the
// 4,096 bytes below which a stream belongs in the mini stream; until then they are held). Finish adds
// the rest after them: FAT, DIFAT, directory, mini FAT, mini stream, the other large streams, and
// finally the header in the first sector.
class TDocumentWriter {
 public:
  // output must be empty and outlive the writer.
  explicit TDocumentWriter(TOutput& output);

  void AppendLeading(std::span<const uint8_t> bytes);
  // Writes over bytes of the leading stream appended before, at that stream offset.
  void PatchLeading(uint64_t offset, std::span<const uint8_t> bytes);
  // Writes the document root: leading is its element standing for the leading stream (its own bytes
  // are not used), null when no leading stream was appended. The output is complete afterwards, for
  // the caller to commit.
  void Finish(const TStorage& root, const TStreamElement* leading);

 private:
  TOutput& output_;
  std::vector<uint8_t> held_;  // the leading stream while it is small enough for the mini stream
  uint64_t leadingSize_ = 0;
  bool streaming_ = false;  // the leading stream goes out as it comes
  bool finished_ = false;
};

// The largest file a version-3 document can address: its sector numbers reach about 2 GB.
inline constexpr uint64_t kMaxVersion3FileSize = uint64_t{1} << 31;

}  // namespace plicato::cfb
