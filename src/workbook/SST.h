// The shared string table of a workbook: each distinct cell text once, as a reference-counted entry that
// string cells point to. It reads the BIFF8 SST record with its CONTINUE records into entries and writes
// SST, CONTINUE and EXTSST records back; an entry's number in the written SST is given out during the
// write, in trie order, so adding never renumbers anything.
//
// The merge adds millions of (mostly repeated) texts to one table: a repeat costs one CRC pass over the
// text and a walk to its chain, with no allocation; only a new text allocates its entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Errors.h"
#include "workbook/HashTrie.h"

namespace plicato {

class TXFont;
class TXFonts;
class TXLSStream;
class TSSTOutput;

// Bits of the BIFF8 string option byte.
inline constexpr uint8_t kStrFlag16Bit = 0x01;
inline constexpr uint8_t kStrFlagExtension = 0x04;  // phonetic (extension) data follows the runs
inline constexpr uint8_t kStrFlagRuns = 0x08;       // formatting runs follow the text
inline constexpr uint8_t kStrFlagsKnown = kStrFlag16Bit | kStrFlagExtension | kStrFlagRuns;

// A string entry: one memory block holding this header, then the run fonts, then the key - the text
// (one byte per character, or UTF-16LE), the runs as they are written (16-bit first character, 16-bit
// font index at the time the entry was made) and the extension data. The key never changes while the
// entry lives, so neither does its hash; the run fonts are references into the workbook's font list
// and give the font index current at write time.
struct alignas(8) TSSTEntry {
  uint32_t Index;    // number in the SST last written or read; 0xFFFF when added since
  int32_t RefCount;  // references held by cells
  uint16_t CharCount;
  uint8_t Flags;  // string option byte: kStrFlag16Bit | kStrFlagExtension | kStrFlagRuns

  bool Is16Bit() const { return (Flags & kStrFlag16Bit) != 0; }
  bool HasRuns() const { return (Flags & kStrFlagRuns) != 0; }
  bool HasExtension() const { return (Flags & kStrFlagExtension) != 0; }
  uint16_t RunCount() const { return runCount_; }
  uint32_t ExtensionSize() const { return extSize_; }

  size_t TextByteLength() const { return static_cast<size_t>(CharCount) << (Flags & kStrFlag16Bit); }
  const uint8_t* TextBytes() const { return KeyBytes(); }

  uint32_t RunFirstChar(size_t run) const;
  uint16_t RunFontIndex(size_t run) const;  // the font index recorded when the entry was made
  TXFont* RunFont(size_t run) const { return Fonts()[run]; }  // null when the table has no font list

  const uint8_t* ExtensionData() const { return KeyBytes() + TextByteLength() + 4 * size_t{runCount_}; }

  const uint8_t* KeyBytes() const {
    return reinterpret_cast<const uint8_t*>(this) + sizeof(TSSTEntry) + runCount_ * sizeof(TXFont*);
  }
  size_t KeyLength() const { return TextByteLength() + 4 * size_t{runCount_} + extSize_; }

 private:
  friend class TSST;
  friend class TSSTHashTrie;

  // Bytes of the block of an entry of this shape (runs and extension data counted only when the flags
  // have them).
  static size_t BlockSize(uint16_t charCount, uint8_t flags, uint16_t runCount, uint32_t extSize);
  size_t BlockSize() const { return BlockSize(CharCount, Flags, runCount_, extSize_); }
  // Makes an entry of this shape in a block of BlockSize bytes; Index 0xFFFF, RefCount 0, fonts null,
  // key bytes unset.
  static TSSTEntry* Make(void* block, uint16_t charCount, uint8_t flags, uint16_t runCount, uint32_t extSize);

  TXFont* const* Fonts() const {
    return reinterpret_cast<TXFont* const*>(reinterpret_cast<const uint8_t*>(this) + sizeof(TSSTEntry));
  }
  TXFont** MutableFonts() {
    return reinterpret_cast<TXFont**>(reinterpret_cast<uint8_t*>(this) + sizeof(TSSTEntry));
  }
  uint8_t* MutableKey() { return const_cast<uint8_t*>(KeyBytes()); }

  uint16_t runCount_;
  uint32_t extSize_;
};

// One EXTSST bucket: where the bucket's first string header stands in the stream, and its offset from
// the start (header included) of the record it stands in.
struct TExtSSTItem {
  uint32_t StreamPos;
  uint16_t Offset;
};

// The EXTSST bucket list collected while the SST is written.
class TExtSST {
 public:
  uint32_t StringsPerBucket = 8;
  std::vector<TExtSSTItem> Items;

  void Clear() { Items.clear(); }
  // The EXTSST record: strings per bucket, then each bucket's position, offset and a reserved 0.
  void Write(TXLSStream& stream) const;
};

class TSST : public TSSTHashTrie {
 public:
  // fonts: the workbook's font list, needed for formatting runs; may be null for a table that only
  // reads plain strings (such a table cannot write an SST).
  explicit TSST(TXFonts* fonts);
  ~TSST() override;

  // Adds one reference to the entry of this text, making an entry when the text is new: 8-bit when every
  // character is 0xFF or below, else 16-bit. The total reference count rises by one. Texts longer than
  // 65,535 characters are refused (EXLSError). The caller holds the reference it gets.
  TSSTEntry* AddString(std::u16string_view text);
  // The same for a text whose bytes are the characters 0-255 (Latin-1), e.g. formatted digits.
  TSSTEntry* AddLatin1String(std::string_view text);
  // count references (at least one) to the entry of the empty text at once, as count AddString calls
  // with the empty text would add them.
  TSSTEntry* AddEmptyStrings(int32_t count);

  // The entry's text (runs and extension data are not part of it).
  std::u16string EntryText(const TSSTEntry* entry) const;
  static void AppendEntryText(const TSSTEntry* entry, std::u16string& out);
  static bool EntryIsEmpty(const TSSTEntry* entry) { return entry->CharCount == 0; }

  // One more reference to an entry of this table (a cell given an entry it already has).
  void AddReference(TSSTEntry* entry) {
    ++entry->RefCount;
    ++totalRefCount_;
  }
  // One reference less, the entry staying in the table even at count 0 (a cell replaced during a read,
  // whose entry the file index may name again).
  void DropReference(TSSTEntry* entry) {
    --entry->RefCount;
    --totalRefCount_;
  }
  // Drops one reference. When none is left, the fonts of its runs that were added after the workbook's
  // initial fonts lose a use (and go when unused), the entry is freed and true is returned.
  bool ReleaseEntry(TSSTEntry* entry);

  // The entry that SST index i of the file being read refers to (EListError outside the list).
  TSSTEntry* EntryAtFileIndex(uint32_t index) const;
  // The same entry, with one reference counted for the cell that will hold it. The counts are gathered
  // per file index and given to the entries by ClearFileIndex: a large file's cells name their strings
  // in no particular order, and touching each entry as its cells are read would cost a cache miss per
  // cell.
  TSSTEntry* ReferenceAtFileIndex(uint32_t index) {
    if (index >= fileIndex_.size()) throw EListError(index);
    TFileString& string = fileIndex_[index];
    ++string.references;
    return string.entry;
  }
  size_t FileIndexCount() const { return fileIndex_.size(); }
  // A hint: ReferenceAtFileIndex(index) will be asked soon, so its place in the list is fetched into the
  // cache now.
  void PrefetchFileIndex(uint32_t index) const {
    if (index < fileIndex_.size()) __builtin_prefetch(&fileIndex_[index], 1);
  }
  // The number of strings the SST being read declares; more than FileIndexCount() when the file holds
  // fewer strings than it says.
  uint32_t DeclaredCount() const { return declaredCount_; }
  // Ends a read: the references gathered by ReferenceAtFileIndex reach their entries.
  void ClearFileIndex();

  // Reads the SST whose header has just been read (dataLength = its body length) and the CONTINUE
  // records after it. Entries read start with reference count 0; the references of the cells read reach
  // them, and the total, in ClearFileIndex.
  void ReadSST(TXLSStream& stream, uint32_t dataLength);
  // Writes SST, its CONTINUE records and EXTSST; every entry's Index becomes its number in this SST.
  void WriteSST(TXLSStream& stream);
  // Has WriteSST write the entries in this order instead of the trie's, so that their numbers are known
  // before the write: order must hold every entry of the table once, and outlive the write. Null for
  // the trie's order.
  void SetWriteOrder(const std::vector<TSSTEntry*>* order) { writeOrder_ = order; }

  void Clear();
  void DestroyItem(TSSTEntry* entry) override;  // also forgets the empty text's entry when it goes

  // The references held by cells, all entries together: the total the written SST declares.
  int32_t TotalRefCount() const { return totalRefCount_; }
  TXFonts* Fonts() const { return fonts_; }

  // Largest body of one record; the workbook sets it with its file version.
  uint32_t MaxRecordData = kMaxRecordDataBiff8;

 protected:
  size_t KeyLength(const TSSTEntry* entry) const override { return entry->KeyLength(); }
  const uint8_t* KeyBytes(const TSSTEntry* entry) const override { return entry->KeyBytes(); }

 private:
  // The blocks of the table's entries. A table read from a file makes one entry per string, and a
  // workbook dropped frees them all: from the heap one by one, that was a tenth of a large read. Blocks
  // are carved from chunks the pool owns; a freed block waits on the list of its size for the next
  // entry of that size, and clearing the table gives the chunks back at once, touching no entry. A
  // large block (a long text) is allocated on its own, behind a link that keeps it on the pool's list.
  class TEntryPool {
   public:
    TEntryPool() = default;
    TEntryPool(const TEntryPool&) = delete;
    TEntryPool& operator=(const TEntryPool&) = delete;
    ~TEntryPool() { Release(); }

    void* Allocate(size_t size);
    void Free(void* block, size_t size);
    // Frees every block, those in use too.
    void Release();

   private:
    static constexpr size_t kGrain = 8;
    static constexpr size_t kMaxPooled = 512;  // larger blocks are allocated one by one
    static constexpr size_t kFirstChunk = 4 << 10;
    static constexpr size_t kMaxChunk = 1 << 20;
    struct TLarge {
      TLarge* prev;
      TLarge* next;
    };
    static_assert(sizeof(TLarge) % alignof(TSSTEntry) == 0);

    std::array<void*, kMaxPooled / kGrain + 1>
        free_{};  // by size / kGrain; the next block is in the first bytes
    std::vector<std::unique_ptr<uint8_t[]>> chunks_;
    uint8_t* next_ = nullptr;  // unused room of the last chunk
    size_t left_ = 0;
    TLarge* large_ = nullptr;
  };

  struct TEntryDeleter {
    TSST* table;
    void operator()(TSSTEntry* entry) const { table->FreeEntry(entry); }
  };
  using TEntryPtr = std::unique_ptr<TSSTEntry, TEntryDeleter>;

  TEntryPtr NewEntry(uint16_t charCount, uint8_t flags, uint16_t runCount, uint32_t extSize) {
    const size_t size = TSSTEntry::BlockSize(charCount, flags, runCount, extSize);
    return TEntryPtr(TSSTEntry::Make(pool_.Allocate(size), charCount, flags, runCount, extSize),
                     TEntryDeleter{this});
  }
  void FreeEntry(TSSTEntry* entry) { pool_.Free(entry, entry->BlockSize()); }
  // Destroys every entry at once (the trie cleared, then the pool).
  void ClearEntries();

  template <class Ch>
  TSSTEntry* AddText(const Ch* text, size_t length);
  // The entry equal to this one (which is then freed) with one more reference, or this one, added.
  TSSTEntry* AddEntry(TEntryPtr entry);
  // Adds the entry read as string index of the file's SST and makes that index name it (or the equal
  // entry already there).
  void AddFileString(TEntryPtr entry, uint32_t index);
  void ReleaseRunFonts(TSSTEntry* entry);

  // Writes one entry as string number index of the SST.
  void WriteEntry(TSSTOutput& out, TSSTEntry* entry, uint32_t index);

  TXFonts* fonts_;
  // Per file index: the entry (not owned) and the references counted for it, not yet on the entry. Side
  // by side, so that a cell naming a string touches one place in the list.
  struct TFileString {
    TSSTEntry* entry;
    int32_t references;
  };
  std::vector<TFileString> fileIndex_;
  uint32_t declaredCount_ = 0;
  TExtSST extSST_;
  int32_t totalRefCount_ = 0;
  const std::vector<TSSTEntry*>* writeOrder_ = nullptr;
  // The plain 8-bit entry of the empty text while the trie holds it, else null. Most cells of a merge
  // output hold the empty text: adding it needs neither a hash nor a walk of the trie. The entry stays
  // in the trie like any other, so the written table is the same.
  TSSTEntry* emptyEntry_ = nullptr;
  TEntryPool pool_;
  bool clearingAll_ = false;  // the entries the trie lets go are freed with the pool
};

}  // namespace plicato
