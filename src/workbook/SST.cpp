// The shared string table in memory: its entries, the pool they live in and the lookup by text. Reading
// and writing the SST record lies beside it, in SSTRecords.cpp.
#include "workbook/SST.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>  // poisons freed pool entries in sanitizer builds, nothing otherwise
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "biff/Coding.h"
#include "biff/Crc32.h"
#include "biff/Errors.h"
#include "workbook/XLSFonts.h"

namespace plicato {

namespace {

constexpr uint32_t kMaxChars = 0xFFFF;
constexpr uint32_t kNewEntryIndex = 0xFFFF;

template <bool Wide, class Ch>
bool TextEquals(const TSSTEntry* entry, const Ch* text, size_t length) {
  const uint8_t* bytes = entry->TextBytes();
  if constexpr (Wide) {
    for (size_t i = 0; i < length; ++i)
      if (DecodeFixed16(bytes + 2 * i) != static_cast<uint16_t>(text[i])) return false;
  } else {
    for (size_t i = 0; i < length; ++i)
      if (bytes[i] != static_cast<uint8_t>(text[i])) return false;
  }
  return true;
}

// The plain entry (no runs, no extension) with this text, found without building a candidate entry.
template <bool Wide, class Ch>
TSSTEntry* FindPlain(const TSSTHashTrie& trie, const Ch* text, size_t length, uint32_t hash) {
  const uint8_t flags = Wide ? kStrFlag16Bit : 0;
  return trie.TrieFindIf(hash, [text, length, flags](const TSSTEntry* entry) {
    return entry->CharCount == length && entry->Flags == flags && TextEquals<Wide>(entry, text, length);
  });
}

}  // namespace

// --- TSSTEntry ------------------------------------------------------------------------------------

size_t TSSTEntry::BlockSize(uint16_t charCount, uint8_t flags, uint16_t runCount, uint32_t extSize) {
  if (!(flags & kStrFlagRuns)) runCount = 0;
  if (!(flags & kStrFlagExtension)) extSize = 0;
  const size_t textBytes = static_cast<size_t>(charCount) << (flags & kStrFlag16Bit);
  return sizeof(TSSTEntry) + runCount * sizeof(TXFont*) + textBytes + 4 * size_t{runCount} + extSize;
}

TSSTEntry* TSSTEntry::Make(void* block, uint16_t charCount, uint8_t flags, uint16_t runCount,
                           uint32_t extSize) {
  if (!(flags & kStrFlagRuns)) runCount = 0;
  if (!(flags & kStrFlagExtension)) extSize = 0;
  auto* entry = new (block) TSSTEntry;
  entry->Index = kNewEntryIndex;
  entry->RefCount = 0;
  entry->CharCount = charCount;
  entry->Flags = flags;
  entry->runCount_ = runCount;
  entry->extSize_ = extSize;
  std::uninitialized_value_construct_n(entry->MutableFonts(), runCount);
  return entry;
}

uint32_t TSSTEntry::RunFirstChar(size_t run) const {
  return DecodeFixed16(KeyBytes() + TextByteLength() + 4 * run);
}

uint16_t TSSTEntry::RunFontIndex(size_t run) const {
  return DecodeFixed16(KeyBytes() + TextByteLength() + 4 * run + 2);
}

// --- TSST::TEntryPool -----------------------------------------------------------------------------

void* TSST::TEntryPool::Allocate(size_t size) {
  size = (size + kGrain - 1) & ~(kGrain - 1);
  if (size > kMaxPooled) {
    auto* large = static_cast<TLarge*>(::operator new(sizeof(TLarge) + size));
    large->prev = nullptr;
    large->next = large_;
    if (large_) large_->prev = large;
    large_ = large;
    return large + 1;
  }
  void*& head = free_[size / kGrain];
  if (head) {
    void* block = head;
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    std::memcpy(&head, block, sizeof head);
    return block;
  }
  if (left_ < size) {
    // Chunks double up to kMaxChunk; what is left of the last one, too small for this block, stays unused.
    const size_t next = std::min(kMaxChunk, kFirstChunk << std::min<size_t>(chunks_.size(), 8));
    chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(next));
    next_ = chunks_.back().get();
    left_ = next;
  }
  void* block = next_;
  next_ += size;
  left_ -= size;
  return block;
}

void TSST::TEntryPool::Free(void* block, size_t size) {
  size = (size + kGrain - 1) & ~(kGrain - 1);
  if (size > kMaxPooled) {
    auto* large = static_cast<TLarge*>(block) - 1;
    if (large->prev)
      large->prev->next = large->next;
    else
      large_ = large->next;
    if (large->next) large->next->prev = large->prev;
    ::operator delete(large);
    return;
  }
  void*& head = free_[size / kGrain];
  std::memcpy(block, &head, sizeof head);
  head = block;
  // A freed entry stays in this process's pool, where the sanitizer would not see a later use of it.
  ASAN_POISON_MEMORY_REGION(block, size);
}

void TSST::TEntryPool::Release() {
  while (large_) {
    TLarge* next = large_->next;
    ::operator delete(large_);
    large_ = next;
  }
  free_.fill(nullptr);
  chunks_.clear();
  next_ = nullptr;
  left_ = 0;
}

// --- TSST -----------------------------------------------------------------------------------------

TSST::TSST(TXFonts* fonts) : fonts_(fonts) {}

TSST::~TSST() {
  ClearEntries();
}

void TSST::ClearEntries() {
  clearingAll_ = true;
  TrieClear();
  clearingAll_ = false;
  emptyEntry_ = nullptr;
  pool_.Release();
}

TSSTEntry* TSST::AddString(std::u16string_view text) {
  return AddText(text.data(), text.size());
}

TSSTEntry* TSST::AddLatin1String(std::string_view text) {
  return AddText(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TSSTEntry* TSST::AddEmptyStrings(int32_t count) {
  TSSTEntry* entry = AddText(static_cast<const char16_t*>(nullptr), 0);
  if (count > 1) {
    entry->RefCount += count - 1;
    totalRefCount_ += count - 1;
  }
  return entry;
}

void TSST::DestroyItem(TSSTEntry* entry) {
  if (entry == emptyEntry_) emptyEntry_ = nullptr;
  if (!clearingAll_) FreeEntry(entry);
}

template <class Ch>
TSSTEntry* TSST::AddText(const Ch* text, size_t length) {
  if (length == 0 && emptyEntry_) {
    ++emptyEntry_->RefCount;
    ++totalRefCount_;
    return emptyEntry_;
  }
  if (length > kMaxChars)
    throw EXLSError(FormatMessage("String too long: %zu characters (at most 65535 fit in a cell)", length));

  // One pass hashes the 8-bit form; only a text with a character above 0xFF is hashed again, wide.
  uint32_t hash = kCrc32Seed;
  bool wide = false;
  for (size_t i = 0; i < length; ++i) {
    const uint32_t c = static_cast<uint32_t>(text[i]);
    if (sizeof(Ch) > 1 && c > 0xFF) {
      wide = true;
      break;
    }
    hash = Crc32Byte(hash, static_cast<uint8_t>(c));
  }
  if (wide) {
    hash = kCrc32Seed;
    for (size_t i = 0; i < length; ++i) {
      const uint32_t c = static_cast<uint32_t>(text[i]);
      hash = Crc32Byte(Crc32Byte(hash, static_cast<uint8_t>(c)), static_cast<uint8_t>(c >> 8));
    }
  }

  TSSTEntry* found =
      wide ? FindPlain<true>(*this, text, length, hash) : FindPlain<false>(*this, text, length, hash);
  if (found) {
    ++found->RefCount;
    ++totalRefCount_;
    if (length == 0) emptyEntry_ = found;
    return found;
  }

  TEntryPtr entry = NewEntry(static_cast<uint16_t>(length), wide ? kStrFlag16Bit : 0, 0, 0);
  entry->RefCount = 1;
  uint8_t* bytes = entry->MutableKey();
  if (wide) {
    for (size_t i = 0; i < length; ++i) EncodeFixed16(bytes + 2 * i, static_cast<uint16_t>(text[i]));
  } else {
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(text[i]);
  }
  TrieAdd(entry.get(), hash);  // cannot meet an equal entry: the lookup above found none
  ++totalRefCount_;
  if (length == 0) emptyEntry_ = entry.get();
  return entry.release();
}

TSSTEntry* TSST::AddEntry(TEntryPtr entry) {
  // One walk for a new entry: the add itself refuses an equal one, which is then looked up.
  const uint32_t hash = HashOf(entry.get());
  if (TrieAdd(entry.get(), hash)) return entry.release();
  // A string the file's table holds twice: its cells' references are counted on the entry found, like
  // those of the first copy. The uses its runs took of their fonts are given back (the entry found
  // names the same fonts, so none is freed here).
  if (entry->RunCount() > 0 && fonts_) ReleaseRunFonts(entry.get());
  return TrieFind(entry.get(), hash);  // the new block goes with `entry`
}

std::u16string TSST::EntryText(const TSSTEntry* entry) const {
  std::u16string text;
  AppendEntryText(entry, text);
  return text;
}

void TSST::AppendEntryText(const TSSTEntry* entry, std::u16string& out) {
  const size_t count = entry->CharCount;
  if (count == 0) return;
  const size_t start = out.size();
  out.resize(start + count);
  char16_t* dest = out.data() + start;
  const uint8_t* bytes = entry->TextBytes();
  if (entry->Is16Bit()) {
    for (size_t i = 0; i < count; ++i) dest[i] = static_cast<char16_t>(DecodeFixed16(bytes + 2 * i));
  } else {
    for (size_t i = 0; i < count; ++i) dest[i] = static_cast<char16_t>(bytes[i]);
  }
}

bool TSST::ReleaseEntry(TSSTEntry* entry) {
  --totalRefCount_;
  if (--entry->RefCount >= 1) return false;
  if (entry->RunCount() > 0 && fonts_) ReleaseRunFonts(entry);
  TrieRemove(entry);
  return true;
}

void TSST::ReleaseRunFonts(TSSTEntry* entry) {
  // A font deleted here is freed; later runs naming it must not touch it again.
  std::unordered_set<const TXFont*> deleted;
  for (size_t i = 0; i < entry->RunCount(); ++i) {
    TXFont* font = entry->RunFont(i);
    if (!font || (!deleted.empty() && deleted.count(font))) continue;
    if (font->Index < fonts_->InitialCount()) continue;
    if (--font->UseCount < 1) {
      deleted.insert(font);
      fonts_->DeleteFont(font->Index);
    }
  }
}

TSSTEntry* TSST::EntryAtFileIndex(uint32_t index) const {
  if (index >= fileIndex_.size()) throw EListError(index);
  return fileIndex_[index].entry;
}

void TSST::ClearFileIndex() {
  for (const TFileString& string : fileIndex_) {
    string.entry->RefCount += string.references;
    totalRefCount_ += string.references;
  }
  fileIndex_.clear();
  declaredCount_ = 0;
}

void TSST::Clear() {
  totalRefCount_ = 0;
  fileIndex_.clear();
  declaredCount_ = 0;
  ClearEntries();
  extSST_.Clear();
}

}  // namespace plicato
