// Reading a compound document: the header, FAT, DIFAT and directory when a document is opened, each
// stream's sectors (or mini sectors) when the stream is first used, every sector number, chain, size
// and directory index checked against the file.
// Long on purpose: one reader class, whose every step (FAT, directory, streams, mini stream) claims its
// sectors in one owner map, so that a loop or a chain crossing another is caught wherever it starts.
#include "biff/CompoundFile.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <utility>

#include "biff/CodePage.h"
#include "biff/Coding.h"
#include "biff/CompoundFileFormat.h"
#include "biff/CompoundFileInternal.h"

namespace plicato::cfb {

using namespace format;

namespace {

[[noreturn]] void Damaged(const std::string& what) {
  throw EStorageError("Damaged compound document: " + what, ekDamaged);
}

// Where a document's bytes come from: a file read at offsets, or memory.
class TSource {
 public:
  virtual ~TSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to n bytes at offset; fewer only past the end.
  virtual size_t ReadAt(uint64_t offset, uint8_t* out, size_t n) const = 0;
  // The n bytes at offset where they already are in memory, or null (then ReadAt copies them).
  virtual const uint8_t* View(uint64_t /*offset*/, size_t /*n*/) const { return nullptr; }
};

class TMemorySource final : public TSource {
 public:
  explicit TMemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t n) const override {
    if (offset >= bytes_.size()) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - offset));
    std::memcpy(out, bytes_.data() + offset, n);
    return n;
  }
  const uint8_t* View(uint64_t offset, size_t n) const override {
    return offset <= bytes_.size() && n <= bytes_.size() - offset ? bytes_.data() + offset : nullptr;
  }

 private:
  std::span<const uint8_t> bytes_;
};

class TFileSource final : public TSource {
 public:
  explicit TFileSource(std::shared_ptr<const TInputFile> file) : file_(std::move(file)) {}
  uint64_t Size() const override { return file_->Size(); }
  size_t ReadAt(uint64_t offset, uint8_t* out, size_t n) const override {
    return file_->ReadAt(offset, out, n);
  }

 private:
  std::shared_ptr<const TInputFile> file_;
};

// Reads a document's header, FAT and directory on opening, and each stream's sectors when the stream is
// loaded. Every sector may belong to one chain only: the owners recorded so far catch a loop (a sector
// met again by its own chain) and a sector shared by two chains, every chain walk ends within the number
// of sectors, and the bytes loaded can never exceed what the file holds. Only what is read is kept, so
// the memory used follows the bytes used, not the size the file claims.
class TReader final : public TStreamLoader, public std::enable_shared_from_this<TReader> {
 public:
  explicit TReader(std::unique_ptr<TSource> source) : source_(std::move(source)) {}

  std::unique_ptr<TStorage> Read() {
    ReadHeader();
    ReadFat();
    ReadDirectory();
    return ReadTree();
  }

  void Load(uint32_t entry, std::vector<uint8_t>& data) override {
    // A stream found damaged stays damaged: asked again, it fails with the same message.
    if (auto failed = failed_.find(entry); failed != failed_.end()) throw failed->second;
    try {
      ReadStream(entry, data);
    } catch (const EStorageError& e) {
      data = std::vector<uint8_t>();
      failed_.emplace(entry, e);
      throw;
    }
  }

 private:
  // Owners of sectors; a stream's owner is kOwnerStreams + its directory index.
  enum : uint32_t {
    kOwnerNone = 0,
    kOwnerDifat,
    kOwnerFat,
    kOwnerDirectory,
    kOwnerMiniFat,
    kOwnerMiniStream,
    kOwnerStreams
  };

  void ReadHeader() {
    uint8_t h[kHeaderSize] = {};
    const size_t got = source_->ReadAt(0, h, sizeof h);
    if (!TCompoundDocument::IsCompoundData(std::span<const uint8_t>(h, got))) {
      throw EStorageError("Not a compound document: the signature D0 CF 11 E0 A1 B1 1A E1 is missing",
                          ekNotAWorkbook);
    }
    fileSize_ = source_->Size();
    if (fileSize_ < kHeaderSize) {
      Damaged(FormatMessage("the file has %llu bytes, fewer than its 512-byte header",
                            static_cast<unsigned long long>(fileSize_)));
    }
    // The byte order field is not looked at: every document is little-endian whatever it says, and
    // some writers leave it wrong in files that are otherwise sound (LibreOffice reads them too).
    version_ = DecodeFixed16(h + kOffMajorVersion);
    uint16_t shift = DecodeFixed16(h + kOffSectorShift);
    if (version_ != kMajorVersion3 && version_ != kMajorVersion4) {
      Damaged(FormatMessage("unknown format version %u", version_));
    }
    if (version_ == kMajorVersion3 && fileSize_ > kMaxVersion3FileSize) {
      throw EStorageError(
          FormatMessage(
              "The file has %llu bytes, more than a compound document of version 3 can address (2 GB)",
              static_cast<unsigned long long>(fileSize_)),
          ekDamaged);
    }
    uint16_t expectedShift = version_ == kMajorVersion3 ? kSectorShift3 : kSectorShift4;
    if (shift != expectedShift) {
      Damaged(FormatMessage("sector shift %u in a version %u document (%u expected)", shift, version_,
                            expectedShift));
    }
    uint16_t miniShift = DecodeFixed16(h + kOffMiniSectorShift);
    if (miniShift != kMiniSectorShift) Damaged(FormatMessage("mini sector shift %u instead of 6", miniShift));
    uint32_t cutoff = DecodeFixed32(h + kOffMiniStreamCutoff);
    if (cutoff != kMiniStreamCutoff) Damaged(FormatMessage("mini stream cutoff %u instead of 4096", cutoff));
    std::memcpy(header_, h, sizeof header_);

    shift_ = shift;
    sectorSize_ = uint32_t{1} << shift;
    // The header fills the whole first sector. A last sector cut short is tolerated (some writers drop
    // the unused tail of the file): it reads as padded with zeros, while stream bytes that would lie in
    // the missing part are still reported as damage.
    uint64_t body = fileSize_ > sectorSize_ ? fileSize_ - sectorSize_ : 0;
    sectorCount_ = std::min<uint64_t>((body + sectorSize_ - 1) >> shift_, uint64_t{kMaxRegularSector} + 1);
  }

  std::string Describe(uint32_t owner) const {
    switch (owner) {
      case kOwnerDifat:
        return "the DIFAT";
      case kOwnerFat:
        return "the FAT";
      case kOwnerDirectory:
        return "the directory";
      case kOwnerMiniFat:
        return "the mini FAT";
      case kOwnerMiniStream:
        return "the mini stream";
      default:
        return "stream \"" + ToUtf8(EntryName(owner - kOwnerStreams)) + "\"";
    }
  }

  // Reads the sectorSize_ bytes of a sector (sector < sectorCount_), zeros past the end of the file.
  void ReadSector(uint32_t sector, uint8_t* out) const {
    const size_t got = source_->ReadAt((uint64_t{sector} + 1) * sectorSize_, out, sectorSize_);
    std::memset(out + got, 0, sectorSize_ - got);
  }

  // The owner of a sector. Sectors the FAT describes are kept in a table; the few outside it (a chain's
  // last sector, FAT and DIFAT sectors of a sloppy file) in a map, so that a file claiming far more
  // sectors than it uses costs nothing.
  uint32_t& OwnerOf(uint32_t sector) {
    if (sector < owner_.size()) return owner_[sector];
    return farOwner_[sector];
  }

  void Claim(uint32_t sector, uint32_t owner) {
    if (sector >= sectorCount_) {
      Damaged(FormatMessage("sector %u of %s is past the end of the file (%llu sectors)", sector,
                            Describe(owner).c_str(), static_cast<unsigned long long>(sectorCount_)));
    }
    uint32_t& slot = OwnerOf(sector);
    uint32_t previous = slot;
    if (previous == owner) {
      if (owner == kOwnerFat) Damaged(FormatMessage("FAT sector %u is listed twice", sector));
      const char* chain = owner == kOwnerDifat ? "DIFAT" : "FAT";
      Damaged(FormatMessage("%s chain loops at sector %u in %s", chain, sector, Describe(owner).c_str()));
    }
    if (previous != kOwnerNone) {
      Damaged(FormatMessage("sector %u is used by both %s and %s", sector, Describe(previous).c_str(),
                            Describe(owner).c_str()));
    }
    slot = owner;
  }

  uint32_t Next(uint32_t sector, uint32_t owner) const {
    if (sector >= fat_.size()) {
      Damaged(FormatMessage("sector %u of %s has no FAT entry", sector, Describe(owner).c_str()));
    }
    return fat_[sector];
  }

  void ReadFat() {
    const uint8_t* h = header_;
    const uint32_t declared = DecodeFixed32(h + kOffFatSectorCount);
    // A count the file cannot hold is trusted only as far as the FAT sectors listed exist (xlrd reads
    // such files so): the list then ends at its first entry, in the header or in a DIFAT sector, that
    // is no sector of the file.
    const bool overstated = declared > sectorCount_;
    const uint32_t fatSectors = overstated ? static_cast<uint32_t>(sectorCount_) : declared;
    std::vector<uint32_t> fatSectorList;
    bool listEnded = false;
    auto addFatSector = [&](uint32_t sector) {
      if (overstated && sector >= sectorCount_) {
        listEnded = true;
        return;
      }
      Claim(sector, kOwnerFat);
      fatSectorList.push_back(sector);
    };
    for (uint32_t i = 0; i < std::min(fatSectors, kHeaderDifatEntries) && !listEnded; ++i) {
      addFatSector(DecodeFixed32(h + kOffHeaderDifat + 4 * i));
    }
    // The rest of the list is in the DIFAT sectors: each holds sectorSize/4 - 1 FAT sector numbers and
    // the number of the next DIFAT sector. The DIFAT count in the header is not trusted (sloppy writers);
    // the chain is followed for as long as FAT sectors are missing.
    const uint32_t perDifat = sectorSize_ / 4 - 1;
    std::vector<uint8_t> data(sectorSize_);
    uint32_t difat = DecodeFixed32(h + kOffFirstDifatSector);
    while (fatSectorList.size() < fatSectors && !listEnded) {
      if (overstated && difat >= sectorCount_) break;
      if (difat > kMaxRegularSector) {
        Damaged(
            FormatMessage("the DIFAT ends after %zu of %u FAT sectors", fatSectorList.size(), fatSectors));
      }
      Claim(difat, kOwnerDifat);
      ReadSector(difat, data.data());
      for (uint32_t i = 0; i < perDifat && fatSectorList.size() < fatSectors && !listEnded; ++i) {
        addFatSector(DecodeFixed32(data.data() + 4 * i));
      }
      difat = DecodeFixed32(data.data() + 4 * perDifat);
    }
    if (overstated && fatSectorList.empty()) {
      Damaged(FormatMessage("the header declares %u FAT sectors, but the file holds %llu sectors", declared,
                            static_cast<unsigned long long>(sectorCount_)));
    }
    // Entries past the last sector of the file describe nothing: neither kept nor read.
    const uint32_t perFat = sectorSize_ / 4;
    fat_.resize(std::min<uint64_t>(uint64_t{fatSectorList.size()} * perFat, sectorCount_));
    for (size_t i = 0; i < fat_.size(); i += perFat) {
      ReadSector(fatSectorList[i / perFat], data.data());
      for (size_t j = 0; j < perFat && i + j < fat_.size(); ++j)
        fat_[i + j] = DecodeFixed32(data.data() + 4 * j);
    }
    owner_.assign(fat_.size(), kOwnerNone);
    for (auto it = farOwner_.begin(); it != farOwner_.end();) {
      if (it->first < owner_.size()) {
        owner_[it->first] = it->second;
        it = farOwner_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Follows a chain of unknown length (directory, mini FAT) to its end.
  std::vector<uint32_t> FollowToEnd(uint32_t start, uint32_t owner) {
    std::vector<uint32_t> chain;
    for (uint32_t sector = start; sector != kEndOfChain;) {
      if (sector > kMaxRegularSector) {
        Damaged(FormatMessage("the FAT chain of %s holds the marker %.8X instead of a sector number",
                              Describe(owner).c_str(), sector));
      }
      Claim(sector, owner);
      chain.push_back(sector);
      sector = Next(sector, owner);
    }
    return chain;
  }

  // Follows the first `count` sectors of a chain (a stream's): a chain longer than its stream needs is
  // tolerated, its tail is not read.
  std::vector<uint32_t> FollowCount(uint32_t start, uint64_t count, uint32_t owner) {
    std::vector<uint32_t> chain;
    chain.reserve(count);  // the caller has checked count against the number of sectors
    uint32_t sector = start;
    for (uint64_t i = 0; i < count; ++i) {
      if (sector == kEndOfChain) {
        Damaged(FormatMessage("%s is larger than its sector chain of %llu sectors", Describe(owner).c_str(),
                              static_cast<unsigned long long>(i)));
      }
      if (sector > kMaxRegularSector) {
        Damaged(FormatMessage("the FAT chain of %s holds the marker %.8X instead of a sector number",
                              Describe(owner).c_str(), sector));
      }
      Claim(sector, owner);
      chain.push_back(sector);
      if (i + 1 < count) sector = Next(sector, owner);
    }
    return chain;
  }

  // Appends size bytes held in the chain's sectors to out, consecutive sectors in one piece; bytes in a
  // missing part of a short last sector are damage, not zeros. Bytes already in memory are appended
  // from where they are; others are read into the room made for them.
  void CopyChain(const std::vector<uint32_t>& chain, uint64_t size, std::vector<uint8_t>& out,
                 uint32_t owner) const {
    uint64_t done = 0;
    for (size_t i = 0; i < chain.size() && done < size;) {
      size_t run = 1;
      while (i + run < chain.size() && chain[i + run] == chain[i] + run && run < 2048) ++run;
      const uint64_t n = std::min<uint64_t>(uint64_t{run} * sectorSize_, size - done);
      const uint64_t offset = (uint64_t{chain[i]} + 1) * sectorSize_;
      const uint8_t* view = offset + n <= fileSize_ ? source_->View(offset, n) : nullptr;
      if (view) {
        out.insert(out.end(), view, view + n);
      } else {
        out.resize(done + n);
        if (offset + n > fileSize_ || source_->ReadAt(offset, out.data() + done, n) != n) {
          Damaged(FormatMessage("%s runs past the end of the file", Describe(owner).c_str()));
        }
      }
      done += n;
      i += run;
    }
  }

  void ReadDirectory() {
    uint32_t first = DecodeFixed32(header_ + kOffFirstDirectorySector);
    if (first == kEndOfChain) Damaged("the directory is empty");
    std::vector<uint32_t> chain = FollowToEnd(first, kOwnerDirectory);
    uint64_t count = uint64_t{chain.size()} * (sectorSize_ / kDirEntrySize);
    // Owners of streams are numbered after the fixed owners, so the index must leave room for them.
    if (count > kNoStream - kOwnerStreams) Damaged("the directory is too large");
    directory_.resize(chain.size() * sectorSize_);
    for (size_t i = 0; i < chain.size(); ++i) ReadSector(chain[i], directory_.data() + i * sectorSize_);
    entryCount_ = static_cast<uint32_t>(count);
    visited_.assign(entryCount_, false);
  }

  const uint8_t* Entry(uint32_t index) const { return directory_.data() + uint64_t{index} * kDirEntrySize; }

  std::u16string EntryName(uint32_t index) const {
    const uint8_t* e = Entry(index);
    uint16_t bytes = std::min<uint16_t>(DecodeFixed16(e + kDirOffNameLength), kDirNameBytes);
    std::u16string name;
    for (size_t i = 0; 2 * i + 1 < bytes; ++i) {
      char16_t c = DecodeFixed16(e + kDirOffName + 2 * i);
      if (c == 0) break;
      name += c;
    }
    return name;
  }

  uint64_t EntrySize(uint32_t index) const {
    uint64_t size = DecodeFixed64(Entry(index) + kDirOffStreamSize);
    // Version 3 writers may leave garbage in the high half, which the format says to ignore.
    return version_ == kMajorVersion3 ? (size & 0xFFFFFFFFu) : size;
  }

  // Marks a linked entry visited: every entry is reached at most once, which ends any loop in the tree.
  uint32_t Link(uint32_t from, size_t field) {
    uint32_t to = DecodeFixed32(Entry(from) + field);
    if (to == kNoStream) return to;
    if (to >= entryCount_) {
      Damaged(FormatMessage("directory entry %u points to entry %u, past the %u entries of the directory",
                            from, to, entryCount_));
    }
    if (visited_[to]) {
      Damaged(FormatMessage("directory entry %u is reached twice (the directory tree loops)", to));
    }
    visited_[to] = true;
    return to;
  }

  void ReadAttributes(uint32_t index, TElement& element) const {
    const uint8_t* e = Entry(index);
    std::memcpy(element.clsid.data(), e + kDirOffClsid, element.clsid.size());
    element.stateBits = DecodeFixed32(e + kDirOffStateBits);
    element.createdTime = DecodeFixed64(e + kDirOffCreatedTime);
    element.modifiedTime = DecodeFixed64(e + kDirOffModifiedTime);
  }

  std::u16string CheckedName(uint32_t index) const {
    uint16_t bytes = DecodeFixed16(Entry(index) + kDirOffNameLength);
    if (bytes > kDirNameBytes) {
      Damaged(FormatMessage("directory entry %u has a name of %u bytes (at most 64)", index, bytes));
    }
    std::u16string name = EntryName(index);
    if (name.size() > kMaxNameLength) {
      Damaged(FormatMessage("directory entry %u has a name of more than 31 characters", index));
    }
    return name;
  }

  std::unique_ptr<TStorage> ReadTree() {
    if (entryCount_ == 0 || Entry(0)[kDirOffType] != kTypeRoot) {
      Damaged("the first directory entry is not the root storage");
    }
    visited_[0] = true;
    auto root = std::make_unique<TStorage>(CheckedName(0));
    ReadAttributes(0, *root);

    struct Pending {
      uint32_t entry;  // the storage's directory entry
      TStorage* storage;
      uint32_t depth;
    };
    std::vector<Pending> pending{{0, root.get(), 1}};
    std::vector<uint32_t> path;
    while (!pending.empty()) {
      Pending job = pending.back();
      pending.pop_back();
      if (job.depth > kMaxStorageDepth) {
        Damaged(FormatMessage("storages are nested more than %u deep", kMaxStorageDepth));
      }
      // In-order walk of the storage's sibling tree, so that elements come in the directory's order.
      uint32_t current = Link(job.entry, kDirOffChild);
      path.clear();
      while (current != kNoStream || !path.empty()) {
        while (current != kNoStream) {
          path.push_back(current);
          current = IsElement(current) ? Link(current, kDirOffLeft) : kNoStream;
        }
        uint32_t index = path.back();
        path.pop_back();
        if (!IsElement(index)) continue;
        if (TStorage* storage = AddElement(index, *job.storage))
          pending.push_back({index, storage, job.depth + 1});
        current = Link(index, kDirOffRight);
      }
    }
    return root;
  }

  // Unused entries (type 0) and kinds this container does not keep are passed over, links and all.
  bool IsElement(uint32_t index) const {
    uint8_t type = Entry(index)[kDirOffType];
    if (type == kTypeRoot) Damaged(FormatMessage("directory entry %u is a second root entry", index));
    return type == kTypeStorage || type == kTypeStream;
  }

  TStorage* AddElement(uint32_t index, TStorage& parent) {
    auto& elements = TStorageAccess::Elements(parent);
    if (Entry(index)[kDirOffType] == kTypeStorage) {
      auto storage = std::make_unique<TStorage>(CheckedName(index));
      ReadAttributes(index, *storage);
      TStorage* result = storage.get();
      elements.push_back(std::move(storage));
      return result;
    }
    auto stream = std::make_unique<TStreamElement>(CheckedName(index), shared_from_this(), index);
    ReadAttributes(index, *stream);
    elements.push_back(std::move(stream));
    return nullptr;
  }

  void CountLoaded(uint64_t size) {
    // Sectors are never shared, so this holds by construction; kept as a last guard on memory use.
    loaded_ += size;
    if (loaded_ > fileSize_ + sectorSize_) Damaged("the streams hold more bytes than the file");
  }

  void ReadStream(uint32_t index, std::vector<uint8_t>& data) {
    uint64_t size = EntrySize(index);
    if (size == 0) return;  // the start sector of an empty stream means nothing
    uint32_t owner = kOwnerStreams + index;
    uint32_t start = DecodeFixed32(Entry(index) + kDirOffStartSector);
    if (size < kMiniStreamCutoff) {
      ReadMiniStream(start, size, owner, data);
      return;
    }
    if (size > (sectorCount_ << shift_)) {
      Damaged(FormatMessage("%s declares %llu bytes, more than the file holds", Describe(owner).c_str(),
                            static_cast<unsigned long long>(size)));
    }
    std::vector<uint32_t> chain = FollowCount(start, (size + sectorSize_ - 1) >> shift_, owner);
    CountLoaded(size);
    data.clear();
    data.reserve(size);
    CopyChain(chain, size, data, owner);
  }

  // The mini stream (the root entry's stream) and the mini FAT are located when the first small stream
  // needs them, so that a document without small streams does not depend on them. The mini stream's
  // bytes are read sector by sector as small streams ask for them.
  void LoadMiniStream() {
    if (miniLoaded_) {
      if (miniFailure_) throw *miniFailure_;
      return;
    }
    miniLoaded_ = true;
    try {
      uint32_t first = DecodeFixed32(header_ + kOffFirstMiniFatSector);
      std::vector<uint32_t> miniFatChain;
      if (first != kEndOfChain) miniFatChain = FollowToEnd(first, kOwnerMiniFat);

      uint64_t size = EntrySize(0);
      if (size > (sectorCount_ << shift_)) {
        Damaged(FormatMessage("the mini stream declares %llu bytes, more than the file holds",
                              static_cast<unsigned long long>(size)));
      }
      uint32_t start = DecodeFixed32(Entry(0) + kDirOffStartSector);
      miniChain_ = FollowCount(start, (size + sectorSize_ - 1) >> shift_, kOwnerMiniStream);
      miniStreamSize_ = size;
      uint64_t miniSectors = (size + kMiniSectorSize - 1) / kMiniSectorSize;

      const uint32_t perSector = sectorSize_ / 4;
      miniFat_.resize(std::min<uint64_t>(uint64_t{miniFatChain.size()} * perSector, miniSectors));
      std::vector<uint8_t> data(sectorSize_);
      for (size_t i = 0; i < miniFat_.size(); i += perSector) {
        ReadSector(miniFatChain[i / perSector], data.data());
        for (size_t j = 0; j < perSector && i + j < miniFat_.size(); ++j)
          miniFat_[i + j] = DecodeFixed32(data.data() + 4 * j);
      }
      miniSectorCount_ = miniSectors;
    } catch (const EStorageError& e) {
      miniFailure_ = e;
      throw;
    }
  }

  // Reads the first `wanted` bytes of mini sector `sector` through the mini stream's chain; the rest of
  // its 64 bytes, and anything past the mini stream's end, read as zeros. Only the bytes a stream needs
  // are asked of the file: a file cut inside the padding of its last mini sector (a short last sector)
  // loses nothing, while a stream byte past the end is still damage.
  void ReadMiniSector(uint32_t sector, uint8_t* out, size_t wanted, uint32_t owner) const {
    const uint64_t at = uint64_t{sector} * kMiniSectorSize;
    const uint32_t big = miniChain_[at >> shift_];
    const uint64_t offset = (uint64_t{big} + 1) * sectorSize_ + (at & (sectorSize_ - 1));
    const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, miniStreamSize_ - at));
    if (offset + n > fileSize_ || source_->ReadAt(offset, out, n) != n) {
      Damaged(FormatMessage("%s runs past the end of the file", Describe(owner).c_str()));
    }
    std::memset(out + n, 0, kMiniSectorSize - n);
  }

  void ReadMiniStream(uint32_t start, uint64_t size, uint32_t owner, std::vector<uint8_t>& data) {
    LoadMiniStream();
    uint64_t count = (size + kMiniSectorSize - 1) / kMiniSectorSize;
    data.resize(size);
    uint8_t piece[kMiniSectorSize];
    uint32_t sector = start;
    for (uint64_t i = 0; i < count; ++i) {
      if (sector == kEndOfChain) {
        Damaged(FormatMessage("%s is larger than its mini sector chain of %llu sectors",
                              Describe(owner).c_str(), static_cast<unsigned long long>(i)));
      }
      if (sector >= miniSectorCount_) {
        Damaged(FormatMessage("mini sector %.8X of %s is past the end of the mini stream", sector,
                              Describe(owner).c_str()));
      }
      uint32_t& slot = miniOwner_[sector];
      if (slot == owner) {
        Damaged(
            FormatMessage("mini FAT chain loops at mini sector %u in %s", sector, Describe(owner).c_str()));
      }
      if (slot != kOwnerNone) {
        Damaged(FormatMessage("mini sector %u is used by both %s and %s", sector, Describe(slot).c_str(),
                              Describe(owner).c_str()));
      }
      slot = owner;
      const uint64_t done = i * kMiniSectorSize;
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kMiniSectorSize, size - done));
      ReadMiniSector(sector, piece, wanted, owner);
      std::memcpy(data.data() + done, piece, wanted);
      if (i + 1 < count) {
        if (sector >= miniFat_.size()) {
          Damaged(
              FormatMessage("mini sector %u of %s has no mini FAT entry", sector, Describe(owner).c_str()));
        }
        sector = miniFat_[sector];
      }
    }
    CountLoaded(size);
  }

  std::unique_ptr<TSource> source_;
  uint64_t fileSize_ = 0;
  uint8_t header_[kHeaderSize] = {};
  uint16_t version_ = 0;
  uint32_t shift_ = 0;
  uint32_t sectorSize_ = 0;
  uint64_t sectorCount_ = 0;
  std::vector<uint32_t> owner_;  // per sector the FAT describes
  std::unordered_map<uint32_t, uint32_t> farOwner_;
  std::vector<uint32_t> fat_;
  std::vector<uint8_t> directory_;  // the directory's entries
  uint32_t entryCount_ = 0;
  std::vector<bool> visited_;  // per directory entry
  bool miniLoaded_ = false;
  std::optional<EStorageError> miniFailure_;
  std::vector<uint32_t> miniChain_;  // the mini stream's sectors
  uint64_t miniStreamSize_ = 0;
  uint64_t miniSectorCount_ = 0;
  std::vector<uint32_t> miniFat_;
  std::unordered_map<uint32_t, uint32_t> miniOwner_;  // per mini sector used
  uint64_t loaded_ = 0;
  std::unordered_map<uint32_t, EStorageError> failed_;  // damaged streams, by directory entry
};

std::unique_ptr<TStorage> ReadDocument(std::unique_ptr<TSource> source, TCompoundDocument::TLoading loading) {
  auto reader = std::make_shared<TReader>(std::move(source));
  std::unique_ptr<TStorage> root = reader->Read();
  reader.reset();  // the streams hold it while they are unread
  if (loading == TCompoundDocument::TLoading::Everything) {
    std::vector<const TStorage*> pending{root.get()};
    while (!pending.empty()) {
      const TStorage* storage = pending.back();
      pending.pop_back();
      for (const auto& element : storage->Elements()) {
        if (element->IsStream())
          static_cast<const TStreamElement&>(*element).Data();
        else
          pending.push_back(static_cast<const TStorage*>(element.get()));
      }
    }
  }
  return root;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Opening

TCompoundDocument TCompoundDocument::OpenFile(const std::filesystem::path& path, TLoading loading) {
  return OpenFile(std::make_shared<const TInputFile>(path), loading);
}

TCompoundDocument TCompoundDocument::OpenFile(std::shared_ptr<const TInputFile> file, TLoading loading) {
  TCompoundDocument document;
  document.root_ = ReadDocument(std::make_unique<TFileSource>(std::move(file)), loading);
  return document;
}

TCompoundDocument TCompoundDocument::OpenMemory(std::span<const uint8_t> bytes, TLoading loading) {
  TCompoundDocument document;
  document.root_ = ReadDocument(std::make_unique<TMemorySource>(bytes), loading);
  return document;
}
}  // namespace plicato::cfb
