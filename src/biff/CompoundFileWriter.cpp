// Writing a compound document: the layout of a version-3 document (sectors, FAT, DIFAT, directory,
// mini FAT and mini stream) written to an output, and TDocumentWriter, which lets the leading stream
// go out while it is produced.
#include "biff/CompoundFile.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFileFormat.h"
#include "biff/CompoundFileInternal.h"

namespace plicato::cfb {

using namespace format;

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kFatPerSector = kSectorSize / 4;
constexpr uint32_t kDifatPerSector = kSectorSize / 4 - 1;
constexpr uint32_t kEntriesPerSector = kSectorSize / kDirEntrySize;

uint64_t Sectors(uint64_t bytes, uint64_t unit) {
  return (bytes + unit - 1) / unit;
}

// Our reader, like others, refuses a version-3 document past 2 GB: one is never put in place of a file.
void CheckFileSize(TOutput& output, uint64_t size) {
  if (size > kMaxVersion3FileSize) {
    throw output.Abandon(
        FormatMessage("the workbook would take more than %llu bytes, more than a compound "
                      "document of version 3 can address (2 GB); nothing was written",
                      static_cast<unsigned long long>(size)));
  }
}

// Lays out and writes a version-3 document, each chain contiguous: the leading stream when it is large
// (already in the output, from sector 0), FAT sectors, DIFAT sectors, directory, mini FAT, mini stream,
// then the other large streams. Without a large leading stream the FAT comes first.
class TWriter {
 public:
  // leading: the element of the tree whose bytes are not its own Data() but leadingSize bytes, already
  // written when large, held in heldLeading when small enough for the mini stream (null for none).
  TWriter(const TStorage& root, const TElement* leading, uint64_t leadingSize,
          std::span<const uint8_t> heldLeading)
      : leading_(leading), leadingSize_(leadingSize), heldLeading_(heldLeading) {
    BuildDirectory(root);
  }

  // Appends everything after the leading stream's sectors to output, which holds the header's sector
  // and those sectors already, then writes the header in its place. The sectors up to the end of the
  // mini stream go as one piece, then each other large stream straight from its element, padded to
  // whole sectors: a large stream is never copied into a file image.
  void WriteTo(TOutput& output) {
    Layout();
    CheckFileSize(output, kSectorSize + sectorTotal_ * kSectorSize);
    output.Reserve(kSectorSize + sectorTotal_ * kSectorSize);
    std::vector<uint8_t> head((miniStreamStart_ + miniStreamSectors_ - fatStart_) * kSectorSize, 0);
    WriteFat(head.data());
    WriteDifat(head.data());
    WriteDirectory(head.data());
    WriteMiniFat(head.data());
    WriteMiniStreams(head.data());
    output.Append(head);
    head.clear();
    head.shrink_to_fit();
    static const uint8_t kZeros[kSectorSize] = {};
    for (const Entry& entry : entries_) {
      if (entry.type != kTypeStream || entry.size == 0 || entry.mini || entry.leading) continue;
      const auto& data = static_cast<const TStreamElement*>(entry.element)->Data();
      output.Append(data);
      size_t tail = data.size() % kSectorSize;
      if (tail != 0) output.Append(std::span<const uint8_t>(kZeros, kSectorSize - tail));
    }
    uint8_t header[kHeaderSize] = {};
    WriteHeader(header);
    output.WriteAt(0, header);
  }

 private:
  struct Entry {
    const TElement* element;
    uint8_t type;
    uint8_t color = kColorBlack;
    uint32_t left = kNoStream;
    uint32_t right = kNoStream;
    uint32_t child = kNoStream;
    uint32_t start = kEndOfChain;
    uint64_t size = 0;
    bool mini = false;
    bool leading = false;
  };

  std::span<const uint8_t> Bytes(const Entry& entry) const {
    if (entry.leading) return heldLeading_;
    return static_cast<const TStreamElement*>(entry.element)->Data();
  }

  // Gives each storage's children consecutive entries and links them as a balanced binary tree over
  // their sorted order. Storages are handled breadth first, so nesting costs no stack.
  void BuildDirectory(const TStorage& root) {
    entries_.push_back({&root, kTypeRoot});
    std::vector<std::pair<uint32_t, uint32_t>> queue{{0, 1}};  // entry, depth
    for (size_t q = 0; q < queue.size(); ++q) {
      auto [parent, depth] = queue[q];
      if (depth > kMaxStorageDepth) {
        throw EStorageError(FormatMessage("Storages are nested more than %u deep", kMaxStorageDepth));
      }
      const auto& storage = static_cast<const TStorage&>(*entries_[parent].element);
      std::vector<const TElement*> sorted;
      sorted.reserve(storage.Elements().size());
      for (const auto& element : storage.Elements()) sorted.push_back(element.get());
      std::stable_sort(sorted.begin(), sorted.end(), [](const TElement* a, const TElement* b) {
        return CompareNames(a->Name(), b->Name()) < 0;
      });
      if (sorted.empty()) continue;
      if (entries_.size() + sorted.size() >= kMaxRegularSector) throw EStorageError("Too many elements");
      const auto base = static_cast<uint32_t>(entries_.size());
      for (uint32_t i = 0; i < sorted.size(); ++i) {
        const TElement* element = sorted[i];
        Entry entry{element, element->IsStorage() ? kTypeStorage : kTypeStream};
        if (element->IsStream()) {
          entry.leading = element == leading_;
          entry.size = entry.leading ? leadingSize_ : static_cast<const TStreamElement*>(element)->Size();
          if (entry.size > 0xFFFFFFFFu) {
            throw EStorageError(FormatMessage("Stream \"%s\" is larger than 4 GB, too large for the document",
                                              ToUtf8(element->Name()).c_str()));
          }
          entry.mini = entry.size > 0 && entry.size < kMiniStreamCutoff;
        } else {
          entry.start = 0;  // storages have no stream
          queue.push_back({base + i, depth + 1});
        }
        entries_.push_back(entry);
      }
      // Height of the balanced tree: its levels are full except the deepest, whose nodes are red when
      // that level is not full, so every path to a leaf passes the same number of black nodes.
      uint32_t n = static_cast<uint32_t>(sorted.size());
      uint32_t levels = 0;
      while ((uint64_t{1} << levels) - 1 < n) ++levels;
      bool lastLevelFull = (uint64_t{1} << levels) - 1 == n;
      entries_[parent].child = Link(base, 0, n, 0, levels - 1, lastLevelFull);
    }
  }

  // Root of the balanced tree over entries base+lo .. base+hi-1.
  uint32_t Link(uint32_t base, uint32_t lo, uint32_t hi, uint32_t depth, uint32_t deepest, bool deepestFull) {
    if (lo >= hi) return kNoStream;
    uint32_t mid = lo + (hi - lo) / 2;
    entries_[base + mid].color = depth == deepest && !deepestFull ? kColorRed : kColorBlack;
    uint32_t left = Link(base, lo, mid, depth + 1, deepest, deepestFull);
    uint32_t right = Link(base, mid + 1, hi, depth + 1, deepest, deepestFull);
    entries_[base + mid].left = left;
    entries_[base + mid].right = right;
    return base + mid;
  }

  void Layout() {
    uint64_t miniSectors = 0;
    uint64_t bigSectors = 0;
    for (Entry& entry : entries_) {
      if (entry.type != kTypeStream || entry.size == 0) continue;
      if (entry.mini) {
        entry.start = static_cast<uint32_t>(miniSectors);
        miniSectors += Sectors(entry.size, kMiniSectorSize);
      } else if (entry.leading) {
        entry.start = 0;
        fatStart_ = Sectors(entry.size, kSectorSize);
      } else {
        bigSectors += Sectors(entry.size, kSectorSize);
      }
    }
    miniStreamSize_ = miniSectors * kMiniSectorSize;
    directorySectors_ = Sectors(entries_.size(), kEntriesPerSector);
    miniFatSectors_ = Sectors(miniSectors, kFatPerSector);
    miniStreamSectors_ = Sectors(miniStreamSize_, kSectorSize);
    uint64_t data = fatStart_ + directorySectors_ + miniFatSectors_ + miniStreamSectors_ + bigSectors;
    // The FAT describes itself and the DIFAT too, so their sizes grow together until they settle.
    for (;;) {
      uint64_t total = data + fatSectors_ + difatSectors_;
      uint64_t fat = Sectors(total, kFatPerSector);
      uint64_t difat = fat > kHeaderDifatEntries ? Sectors(fat - kHeaderDifatEntries, kDifatPerSector) : 0;
      if (fat == fatSectors_ && difat == difatSectors_) break;
      fatSectors_ = fat;
      difatSectors_ = difat;
    }
    sectorTotal_ = data + fatSectors_ + difatSectors_;
    if (sectorTotal_ > kMaxRegularSector) throw EStorageError("The document is too large to be written");

    uint64_t next = fatStart_;
    next += fatSectors_;
    difatStart_ = next;
    next += difatSectors_;
    directoryStart_ = next;
    next += directorySectors_;
    miniFatStart_ = next;
    next += miniFatSectors_;
    miniStreamStart_ = next;
    next += miniStreamSectors_;
    for (Entry& entry : entries_) {
      if (entry.type != kTypeStream || entry.size == 0 || entry.mini || entry.leading) continue;
      entry.start = static_cast<uint32_t>(next);
      next += Sectors(entry.size, kSectorSize);
    }
    Entry& root = entries_[0];
    root.size = miniStreamSize_;
    root.start = miniStreamSize_ > 0 ? static_cast<uint32_t>(miniStreamStart_) : kEndOfChain;
  }

  // The head block holds the sectors from the first FAT sector to the end of the mini stream.
  uint8_t* SectorAt(uint8_t* head, uint64_t sector) const {
    return head + (sector - fatStart_) * kSectorSize;
  }

  void WriteHeader(uint8_t* out) const {
    std::memcpy(out + kOffSignature, kSignature, sizeof kSignature);
    EncodeFixed16(out + kOffMinorVersion, kMinorVersion);
    EncodeFixed16(out + kOffMajorVersion, kMajorVersion3);
    EncodeFixed16(out + kOffByteOrder, kByteOrderMark);
    EncodeFixed16(out + kOffSectorShift, kSectorShift3);
    EncodeFixed16(out + kOffMiniSectorShift, kMiniSectorShift);
    EncodeFixed32(out + kOffDirectorySectorCount, 0);  // always 0 in version 3
    EncodeFixed32(out + kOffFatSectorCount, static_cast<uint32_t>(fatSectors_));
    EncodeFixed32(out + kOffFirstDirectorySector, static_cast<uint32_t>(directoryStart_));
    EncodeFixed32(out + kOffMiniStreamCutoff, kMiniStreamCutoff);
    EncodeFixed32(out + kOffFirstMiniFatSector,
                  miniFatSectors_ > 0 ? static_cast<uint32_t>(miniFatStart_) : kEndOfChain);
    EncodeFixed32(out + kOffMiniFatSectorCount, static_cast<uint32_t>(miniFatSectors_));
    EncodeFixed32(out + kOffFirstDifatSector,
                  difatSectors_ > 0 ? static_cast<uint32_t>(difatStart_) : kEndOfChain);
    EncodeFixed32(out + kOffDifatSectorCount, static_cast<uint32_t>(difatSectors_));
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i) {
      EncodeFixed32(out + kOffHeaderDifat + 4 * i,
                    i < fatSectors_ ? static_cast<uint32_t>(fatStart_ + i) : kFreeSector);
    }
  }

  static void Chain(std::vector<uint32_t>& table, uint64_t start, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      table[start + i] = i + 1 < count ? static_cast<uint32_t>(start + i + 1) : kEndOfChain;
    }
  }

  void EncodeTable(uint8_t* head, uint64_t firstSector, const std::vector<uint32_t>& table) const {
    uint8_t* p = SectorAt(head, firstSector);  // the table's sectors are contiguous
    for (uint32_t value : table) {
      EncodeFixed32(p, value);
      p += 4;
    }
  }

  void WriteFat(uint8_t* head) const {
    std::vector<uint32_t> fat(fatSectors_ * kFatPerSector, kFreeSector);
    for (uint64_t i = 0; i < fatSectors_; ++i) fat[fatStart_ + i] = kFatSector;
    for (uint64_t i = 0; i < difatSectors_; ++i) fat[difatStart_ + i] = kDifatSector;
    Chain(fat, directoryStart_, directorySectors_);
    Chain(fat, miniFatStart_, miniFatSectors_);
    Chain(fat, miniStreamStart_, miniStreamSectors_);
    for (const Entry& entry : entries_) {
      if (entry.type == kTypeStream && entry.size > 0 && !entry.mini) {
        Chain(fat, entry.start, Sectors(entry.size, kSectorSize));
      }
    }
    EncodeTable(head, fatStart_, fat);
  }

  // FAT sectors past the 109 listed in the header, 127 to a DIFAT sector, each ending with the next.
  void WriteDifat(uint8_t* head) const {
    for (uint64_t d = 0; d < difatSectors_; ++d) {
      uint8_t* p = SectorAt(head, difatStart_ + d);
      for (uint32_t i = 0; i < kDifatPerSector; ++i) {
        uint64_t fatIndex = kHeaderDifatEntries + d * kDifatPerSector + i;
        EncodeFixed32(p + 4 * i,
                      fatIndex < fatSectors_ ? static_cast<uint32_t>(fatStart_ + fatIndex) : kFreeSector);
      }
      uint32_t next = d + 1 < difatSectors_ ? static_cast<uint32_t>(difatStart_ + d + 1) : kEndOfChain;
      EncodeFixed32(p + 4 * kDifatPerSector, next);
    }
  }

  void WriteDirectory(uint8_t* head) const {
    uint8_t* base = SectorAt(head, directoryStart_);
    for (uint64_t i = 0; i < directorySectors_ * kEntriesPerSector; ++i) {
      uint8_t* e = base + i * kDirEntrySize;
      if (i >= entries_.size()) {  // unused entry: zeros with no links
        EncodeFixed32(e + kDirOffLeft, kNoStream);
        EncodeFixed32(e + kDirOffRight, kNoStream);
        EncodeFixed32(e + kDirOffChild, kNoStream);
        continue;
      }
      const Entry& entry = entries_[i];
      const std::u16string& name = entry.element->Name();
      if (name.size() > kMaxNameLength) {
        throw EStorageError(
            FormatMessage("Element name \"%s\" is longer than 31 characters", ToUtf8(name).c_str()));
      }
      for (size_t c = 0; c < name.size(); ++c) EncodeFixed16(e + kDirOffName + 2 * c, name[c]);
      EncodeFixed16(e + kDirOffNameLength, static_cast<uint16_t>(2 * (name.size() + 1)));
      e[kDirOffType] = entry.type;
      e[kDirOffColor] = entry.color;
      EncodeFixed32(e + kDirOffLeft, entry.left);
      EncodeFixed32(e + kDirOffRight, entry.right);
      EncodeFixed32(e + kDirOffChild, entry.child);
      std::memcpy(e + kDirOffClsid, entry.element->clsid.data(), entry.element->clsid.size());
      EncodeFixed32(e + kDirOffStateBits, entry.element->stateBits);
      EncodeFixed64(e + kDirOffCreatedTime, entry.element->createdTime);
      EncodeFixed64(e + kDirOffModifiedTime, entry.element->modifiedTime);
      EncodeFixed32(e + kDirOffStartSector, entry.type == kTypeStorage ? 0 : entry.start);
      EncodeFixed64(e + kDirOffStreamSize, entry.size);
    }
  }

  void WriteMiniFat(uint8_t* head) const {
    if (miniFatSectors_ == 0) return;
    std::vector<uint32_t> miniFat(miniFatSectors_ * kFatPerSector, kFreeSector);
    for (const Entry& entry : entries_) {
      if (entry.mini) Chain(miniFat, entry.start, Sectors(entry.size, kMiniSectorSize));
    }
    EncodeTable(head, miniFatStart_, miniFat);
  }

  void WriteMiniStreams(uint8_t* head) const {
    uint8_t* mini = SectorAt(head, miniStreamStart_);
    for (const Entry& entry : entries_) {
      if (entry.type != kTypeStream || entry.size == 0 || !entry.mini) continue;
      const std::span<const uint8_t> data = Bytes(entry);
      std::memcpy(mini + uint64_t{entry.start} * kMiniSectorSize, data.data(), data.size());
    }
  }

  const TElement* leading_;
  uint64_t leadingSize_;
  std::span<const uint8_t> heldLeading_;
  std::vector<Entry> entries_;
  uint64_t miniStreamSize_ = 0;
  uint64_t directorySectors_ = 0;
  uint64_t miniFatSectors_ = 0;
  uint64_t miniStreamSectors_ = 0;
  uint64_t fatSectors_ = 0;
  uint64_t difatSectors_ = 0;
  uint64_t sectorTotal_ = 0;
  uint64_t fatStart_ = 0;  // the sectors of a large leading stream come first
  uint64_t difatStart_ = 0;
  uint64_t directoryStart_ = 0;
  uint64_t miniFatStart_ = 0;
  uint64_t miniStreamStart_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------
// TDocumentWriter

TDocumentWriter::TDocumentWriter(TOutput& output) : output_(output) {
  static const uint8_t kHeaderPlace[kHeaderSize] = {};
  output_.Append(kHeaderPlace);  // the header is written last, when the layout is known
}

void TDocumentWriter::AppendLeading(std::span<const uint8_t> bytes) {
  if (finished_) throw EStorageError("[int] The document is finished");
  if (!streaming_) {
    if (held_.size() + bytes.size() < kMiniStreamCutoff) {
      held_.insert(held_.end(), bytes.begin(), bytes.end());
      leadingSize_ += bytes.size();
      return;
    }
    // Too large for the mini stream now: it goes out from sector 0 on.
    streaming_ = true;
    output_.Append(held_);
    held_ = std::vector<uint8_t>();
  }
  CheckFileSize(output_, kHeaderSize + leadingSize_ + bytes.size());
  output_.Append(bytes);
  leadingSize_ += bytes.size();
}

void TDocumentWriter::PatchLeading(uint64_t offset, std::span<const uint8_t> bytes) {
  if (offset > leadingSize_ || bytes.size() > leadingSize_ - offset)
    throw EStorageError("[int] The bytes to patch lie outside the leading stream");
  if (streaming_)
    output_.WriteAt(kHeaderSize + offset, bytes);
  else
    std::memcpy(held_.data() + offset, bytes.data(), bytes.size());
}

void TDocumentWriter::Finish(const TStorage& root, const TStreamElement* leading) {
  if (finished_) throw EStorageError("[int] The document is finished");
  if (!leading && leadingSize_ > 0) throw EStorageError("[int] The leading stream has no element");
  finished_ = true;
  if (streaming_ && leadingSize_ % kSectorSize != 0) {
    static const uint8_t kZeros[kSectorSize] = {};
    output_.Append(std::span<const uint8_t>(kZeros, kSectorSize - leadingSize_ % kSectorSize));
  }
  TWriter(root, leading, leadingSize_, held_).WriteTo(output_);
}

// ---------------------------------------------------------------------------------------------------
// Saving

std::vector<uint8_t> TCompoundDocument::SaveToMemory() const {
  std::vector<uint8_t> bytes;
  auto output = TOutput::ToMemory(bytes);
  TDocumentWriter(*output).Finish(*root_, nullptr);
  output->Commit();
  return bytes;
}

void TCompoundDocument::SaveToFile(const std::filesystem::path& path) const {
  auto output = TOutput::ToFile(path);
  TDocumentWriter(*output).Finish(*root_, nullptr);
  output->Commit();
}

}  // namespace plicato::cfb
