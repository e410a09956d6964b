// Our compound document container (OLE2 structured storage), used in place of the platform's.
//
// A document is read completely into an in-memory tree of storages and streams, changed there, and
// written out as a new version-3 document (512-byte sectors, streams under 4,096 bytes in the mini
// stream). Reading accepts versions 3 and 4 and checks every sector number, chain, size and directory
// index against the file: a damaged document raises EStorageError with a clear message; memory use is
// bounded by a small multiple of the file's size.
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

namespace plicato::cfb {

enum class TElementType : uint8_t { Storage = 1, Stream = 2 };

class TStorage;

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
  TElementType Type() const override { return TElementType::Stream; }

  std::vector<uint8_t>& Data() { return data_; }
  const std::vector<uint8_t>& Data() const { return data_; }
  uint64_t Size() const { return data_.size(); }

 private:
  std::vector<uint8_t> data_;
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
  // is replaced.
  static void CopyElement(const TElement& source, TStorage& dest);
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

  static TCompoundDocument OpenFile(const std::filesystem::path& path);  // EFileError, EStorageError
  static TCompoundDocument OpenMemory(std::span<const uint8_t> bytes);   // EStorageError

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

// Writes bytes to path through a temporary file in the same folder, renamed over path once complete.
void WriteFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace plicato::cfb
