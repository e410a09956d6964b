// A hash trie: a 256-way tree of nodes whose slots hold short chains of items, keyed by a 32-bit hash.
// The shared string table is built on it. A node at level L picks its slot from hash bits 8L..8L+7, so
// a chain that grows past eight items is split into a child node that looks at the next eight bits.
//
// Items are owned by the trie once added: removing or clearing destroys them through DestroyItem. The
// traversal order (slot 0..255, chains head first, child nodes in place of their slot) is part of the
// file format's behaviour: the string table numbers its strings in this order when it writes them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace plicato {

// --- nodes and links ------------------------------------------------------------------------------

template <class T>
class THashTrie;

// One link of a slot's chain.
template <class T>
struct TLinkedItem {
  T* Item = nullptr;
  TLinkedItem* Next = nullptr;
};

// A node of the trie. A slot is empty (both null), holds a child node, or holds a chain; never both.
template <class T>
struct TTreeItem {
  struct TSlot {
    TTreeItem* Child = nullptr;
    TLinkedItem<T>* Chain = nullptr;
  };

  TTreeItem(THashTrie<T>* trie, int32_t level) : Trie(trie), Level(level) {}

  THashTrie<T>* Trie;
  int32_t Level;
  int32_t FilledCount = 0;  // slots that are not empty
  std::array<TSlot, 256> Slots{};
};

inline constexpr int kTrieChainLimit = 8;
// A node at this level or deeper has had all 32 hash bits used by its ancestors: its items share the
// whole hash, so splitting cannot separate them and its chains simply grow.
inline constexpr int32_t kTrieNoSplitLevel = 4;

// --- the trie -------------------------------------------------------------------------------------

// Derived classes supply the three item operations and must call TrieClear() in their own destructor
// (the base destructor cannot reach DestroyItem any more; it frees only nodes and links).
template <class T>
class THashTrie {
 public:
  using TNode = TTreeItem<T>;
  using TLink = TLinkedItem<T>;

  THashTrie() = default;
  THashTrie(const THashTrie&) = delete;
  THashTrie& operator=(const THashTrie&) = delete;
  virtual ~THashTrie() { FreeNodes(root_); }  // the links go with their blocks

  virtual uint32_t HashOf(const T* item) const = 0;
  virtual void DestroyItem(T* item) = 0;
  virtual bool SameItem(const T* a, const T* b) const = 0;

  // Adds the item under its full hash. Returns false, without taking the item, when an equal item is
  // already there; otherwise the trie owns the item.
  bool TrieAdd(T* item, uint32_t hash) {
    if (!root_) root_ = new TNode(this, 0);
    return AddTo(root_, item, hash);
  }
  bool TrieAdd(T* item) { return TrieAdd(item, HashOf(item)); }

  // The item equal to the given one, or null.
  T* TrieFind(const T* item, uint32_t hash) const {
    return TrieFindIf(hash, [this, item](const T* candidate) { return SameItem(candidate, item); });
  }
  // The first item of the hash's chain for which same(item) holds, or null: for callers that look for
  // an item they have not built (the string table looks up a bare text).
  template <class Same>
  T* TrieFindIf(uint32_t hash, Same&& same) const {
    const TNode* node = root_;
    while (node) {
      const auto& slot = node->Slots[hash & 0xFF];
      if (slot.Child) {
        node = slot.Child;
        hash = std::rotr(hash, 8);
        continue;
      }
      for (const TLink* link = slot.Chain; link; link = link->Next)
        if (same(static_cast<const T*>(link->Item))) return link->Item;
      return nullptr;
    }
    return nullptr;
  }
  T* TrieFind(const T* item) const { return TrieFind(item, HashOf(item)); }

  // Unlinks and destroys the trie's item that is this item (or equal to it); frees child nodes left
  // empty. Returns false when nothing matched.
  bool TrieRemove(const T* item) {
    if (!root_) return false;
    return RemoveFrom(root_, item, HashOf(item));
  }

  // Calls visit(T*) for every item in trie order.
  template <class F>
  void TrieTraverse(F&& visit) const {
    if (root_) Visit(root_, visit);
  }

  size_t TrieCount() const {
    size_t n = 0;
    TrieTraverse([&n](T*) { ++n; });
    return n;
  }

  // Destroys every item and frees every child node; the root stays, empty.
  void TrieClear() {
    if (!root_) return;
    ClearNode(root_);
  }

  const TNode* Root() const { return root_; }

 protected:
  TNode* root_ = nullptr;

 private:
  bool AddTo(TNode* node, T* item, uint32_t hash) {
    auto& slot = node->Slots[hash & 0xFF];
    if (slot.Child) return AddTo(slot.Child, item, std::rotr(hash, 8));
    if (!slot.Chain) {
      slot.Chain = NewLink(item, nullptr);
      ++node->FilledCount;
      return true;
    }
    int links = 0;
    for (const TLink* link = slot.Chain; link; link = link->Next, ++links)
      if (SameItem(link->Item, item)) return false;
    if (links < kTrieChainLimit || node->Level >= kTrieNoSplitLevel) {
      slot.Chain = NewLink(item, slot.Chain);
      return true;
    }
    // Split: the chain's items move, head first, into a child that looks at the next eight bits.
    std::unique_ptr<TNode, StructureDeleter> child(new TNode(this, node->Level + 1), StructureDeleter{this});
    const int shift = 8 * (node->Level + 1);
    for (const TLink* link = slot.Chain; link; link = link->Next)
      AddTo(child.get(), link->Item, std::rotr(HashOf(link->Item), shift));
    AddTo(child.get(), item, std::rotr(hash, 8));
    FreeChain(slot.Chain);
    slot.Chain = nullptr;
    slot.Child = child.release();
    return true;
  }

  bool RemoveFrom(TNode* node, const T* item, uint32_t hash) {
    auto& slot = node->Slots[hash & 0xFF];
    if (slot.Child) {
      if (!RemoveFrom(slot.Child, item, std::rotr(hash, 8))) return false;
      if (slot.Child->FilledCount == 0) {
        delete slot.Child;
        slot.Child = nullptr;
        --node->FilledCount;
      }
      return true;
    }
    TLink* match = nullptr;
    for (TLink* link = slot.Chain; link; link = link->Next)
      if (link->Item == item) {
        match = link;
        break;
      }
    if (!match)
      for (TLink* link = slot.Chain; link; link = link->Next)
        if (SameItem(link->Item, item)) {
          match = link;
          break;
        }
    if (!match) return false;
    TLink** at = &slot.Chain;
    while (*at != match) at = &(*at)->Next;
    *at = match->Next;
    if (!slot.Chain) --node->FilledCount;
    T* owned = match->Item;
    FreeLink(match);
    DestroyItem(owned);
    return true;
  }

  template <class F>
  static void Visit(const TNode* node, F& visit) {
    for (const auto& slot : node->Slots) {
      if (slot.Child)
        Visit(slot.Child, visit);
      else
        for (const TLink* link = slot.Chain; link; link = link->Next) visit(link->Item);
    }
  }

  void ClearNode(TNode* node) {
    for (auto& slot : node->Slots) {
      if (slot.Child) {
        ClearNode(slot.Child);
        delete slot.Child;
        slot.Child = nullptr;
      }
      // The links are not put back on the free list one by one: their blocks go below.
      for (const TLink* link = slot.Chain; link; link = link->Next) DestroyItem(link->Item);
      slot.Chain = nullptr;
    }
    node->FilledCount = 0;
    // Every link is free again: the blocks go back, and a cleared trie holds no memory for links.
    if (node == root_) {
      freeLinks_ = nullptr;
      linkBlocks_.clear();
    }
  }

  // Links come from blocks owned by the trie and go back to a free list: a table of a hundred thousand
  // strings costs a few dozen allocations for its links instead of one each, and none to free them.
  TLink* NewLink(T* item, TLink* next) {
    if (!freeLinks_) AddLinkBlock();
    TLink* link = freeLinks_;
    freeLinks_ = link->Next;
    link->Item = item;
    link->Next = next;
    return link;
  }
  void FreeLink(TLink* link) {
    link->Item = nullptr;
    link->Next = freeLinks_;
    freeLinks_ = link;
  }
  void AddLinkBlock() {
    const size_t count = std::min<size_t>(size_t{64} << std::min<size_t>(linkBlocks_.size(), 6), 4096);
    linkBlocks_.push_back(std::make_unique<TLink[]>(count));
    TLink* block = linkBlocks_.back().get();
    for (size_t i = 0; i < count; ++i) block[i].Next = i + 1 < count ? &block[i + 1] : freeLinks_;
    freeLinks_ = block;
  }

  void FreeChain(TLink* link) {
    while (link) {
      TLink* next = link->Next;
      FreeLink(link);
      link = next;
    }
  }

  // Frees nodes and links below and including node, leaving the items alone.
  void FreeStructure(TNode* node) {
    if (!node) return;
    for (auto& slot : node->Slots) {
      FreeStructure(slot.Child);
      FreeChain(slot.Chain);
    }
    delete node;
  }
  // Frees nodes only, for the destructor (the links go with their blocks).
  static void FreeNodes(TNode* node) {
    if (!node) return;
    for (auto& slot : node->Slots) FreeNodes(slot.Child);
    delete node;
  }
  struct StructureDeleter {
    THashTrie* trie;
    void operator()(TNode* node) const { trie->FreeStructure(node); }
  };

  TLink* freeLinks_ = nullptr;
  std::vector<std::unique_ptr<TLink[]>> linkBlocks_;
};

// --- the string-entry trie ------------------------------------------------------------------------

struct TSSTEntry;

// A trie of shared string entries. The hash is the running CRC-32 (Crc32Bytes) over an entry's key bytes
// (text, then formatting runs, then extension data, as laid out by the derived table); two entries are the
// same string when flags, character count and key agree. The entries' blocks belong to the derived table,
// which destroys them and clears the trie itself.
class TSSTHashTrie : public THashTrie<TSSTEntry> {
 public:
  uint32_t HashOf(const TSSTEntry* entry) const override;
  bool SameItem(const TSSTEntry* a, const TSSTEntry* b) const override;

  virtual size_t KeyLength(const TSSTEntry* entry) const = 0;
  virtual const uint8_t* KeyBytes(const TSSTEntry* entry) const = 0;
};

}  // namespace plicato
