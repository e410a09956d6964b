#include "workbook/HashTrie.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace plicato {
namespace {

// An item whose hash is chosen by the test, so that slots, chains and splits can be placed exactly.
struct TItem {
  uint32_t hash;
  int id;
};

class TTestTrie : public THashTrie<TItem> {
 public:
  ~TTestTrie() override { TrieClear(); }
  uint32_t HashOf(const TItem* item) const override { return item->hash; }
  void DestroyItem(TItem* item) override {
    destroyed.push_back(item->id);
    delete item;
  }
  bool SameItem(const TItem* a, const TItem* b) const override { return a->id == b->id; }

  TItem* Add(uint32_t hash, int id) {
    auto* item = new TItem{hash, id};
    if (!TrieAdd(item)) {
      delete item;
      return nullptr;
    }
    return item;
  }
  bool Has(uint32_t hash, int id) const {
    TItem probe{hash, id};
    return TrieFind(&probe) != nullptr;
  }
  std::vector<int> Order() const {
    std::vector<int> ids;
    TrieTraverse([&](TItem* item) { ids.push_back(item->id); });
    return ids;
  }

  std::vector<int> destroyed;
};

TEST(HashTrie, SlotsAreVisitedInOrderAndChainsHeadFirst) {
  TTestTrie trie;
  EXPECT_EQ(trie.Root(), nullptr);
  EXPECT_EQ(trie.TrieCount(), 0u);
  trie.Add(0xAAAA00FF, 1);
  trie.Add(0x00000010, 2);
  trie.Add(0xBBBB0010, 3);  // same root slot as 2: prepended to its chain
  trie.Add(0x12345601, 4);
  ASSERT_NE(trie.Root(), nullptr);
  EXPECT_EQ(trie.Root()->Level, 0);
  EXPECT_EQ(trie.Root()->FilledCount, 3);
  EXPECT_EQ(trie.Order(), (std::vector<int>{4, 3, 2, 1}));
  EXPECT_EQ(trie.TrieCount(), 4u);
  EXPECT_TRUE(trie.Has(0xBBBB0010, 3));
  EXPECT_FALSE(trie.Has(0xBBBB0011, 3));  // another slot
  EXPECT_FALSE(trie.Has(0xBBBB0010, 9));  // same slot, no equal item

  // An equal item is not added and not taken.
  EXPECT_EQ(trie.Add(0xBBBB0010, 2), nullptr);
  EXPECT_EQ(trie.TrieCount(), 4u);
}

TEST(HashTrie, NinthItemInASlotSplitsItIntoAChildOnTheNextByte) {
  TTestTrie trie;
  // Items 1..8 share root slot 0x07; their second bytes are 3,1,3,2,1,3,2,1.
  const uint8_t second[] = {3, 1, 3, 2, 1, 3, 2, 1};
  for (int i = 0; i < 8; ++i) trie.Add(0xF0000007u | (uint32_t{second[i]} << 8), i + 1);
  EXPECT_EQ(trie.Order(), (std::vector<int>{8, 7, 6, 5, 4, 3, 2, 1}));
  ASSERT_EQ(trie.Root()->Slots[7].Child, nullptr);

  trie.Add(0x00000207u, 9);
  const auto* child = trie.Root()->Slots[7].Child;
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(trie.Root()->Slots[7].Chain, nullptr);
  EXPECT_EQ(child->Level, 1);
  EXPECT_EQ(child->FilledCount, 3);
  EXPECT_EQ(trie.Root()->FilledCount, 1);
  // The old chain (head first: 8,7,...,1) is re-added link by link, each prepended to its new chain;
  // the new item comes last.
  EXPECT_EQ(trie.Order(), (std::vector<int>{2, 5, 8, 9, 4, 7, 1, 3, 6}));
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(trie.Has(0xF0000007u | (uint32_t{second[i]} << 8), i + 1));
  EXPECT_TRUE(trie.Has(0x00000207u, 9));
  EXPECT_TRUE(trie.destroyed.empty());  // splitting moves items, it frees none
}

TEST(HashTrie, SplitsCascadeWhileTheNextByteIsShared) {
  TTestTrie trie;
  // Nine items sharing the low 16 bits: the level-1 child fills up as it is built and splits again.
  for (int i = 0; i < 9; ++i) trie.Add(0x00001234u | (uint32_t(i % 3) << 16), i);
  const auto* level1 = trie.Root()->Slots[0x34].Child;
  ASSERT_NE(level1, nullptr);
  const auto* level2 = level1->Slots[0x12].Child;
  ASSERT_NE(level2, nullptr);
  EXPECT_EQ(level2->Level, 2);
  EXPECT_EQ(level2->FilledCount, 3);
  EXPECT_EQ(trie.TrieCount(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(trie.Has(0x00001234u | (uint32_t(i % 3) << 16), i));
}

TEST(HashTrie, ItemsSharingTheWholeHashChainPastEightAtLevelFour) {
  TTestTrie trie;
  const uint32_t hash = 0xDEADBEEF;
  for (int i = 0; i < 40; ++i) ASSERT_NE(trie.Add(hash, i), nullptr);
  EXPECT_EQ(trie.TrieCount(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(trie.Has(hash, i));
  EXPECT_EQ(trie.Add(hash, 17), nullptr);

  // Root -> levels 1..4, each with one filled slot; level 4 holds all items in one chain.
  const TTreeItem<TItem>* node = trie.Root();
  uint32_t h = hash;
  for (int level = 1; level <= 4; ++level) {
    node = node->Slots[h & 0xFF].Child;
    h = (h >> 8) | (h << 24);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Level, level);
    EXPECT_EQ(node->FilledCount, 1);
  }
  const auto& slot = node->Slots[h & 0xFF];
  EXPECT_EQ(slot.Child, nullptr);
  int links = 0;
  for (auto* link = slot.Chain; link; link = link->Next) ++links;
  EXPECT_EQ(links, 40);

  // Removing everything frees the whole path again.
  for (int i = 0; i < 40; ++i) {
    TItem probe{hash, i};
    EXPECT_TRUE(trie.TrieRemove(&probe));
  }
  EXPECT_EQ(trie.Root()->FilledCount, 0);
  EXPECT_EQ(trie.Root()->Slots[hash & 0xFF].Child, nullptr);
  EXPECT_EQ(trie.destroyed.size(), 40u);
}

TEST(HashTrie, RemoveDestroysTheItemAndFreesEmptiedNodes) {
  TTestTrie trie;
  for (int i = 0; i < 9; ++i) trie.Add(0x00000007u | (uint32_t(i) << 8), i);
  trie.Add(0x00000008u, 100);
  ASSERT_NE(trie.Root()->Slots[7].Child, nullptr);
  EXPECT_EQ(trie.Root()->FilledCount, 2);

  TItem absent{0x00000507u, 55};
  EXPECT_FALSE(trie.TrieRemove(&absent));
  TItem emptySlot{0x00000009u, 1};
  EXPECT_FALSE(trie.TrieRemove(&emptySlot));
  EXPECT_TRUE(trie.destroyed.empty());

  for (int i = 0; i < 8; ++i) {
    TItem probe{0x00000007u | (uint32_t(i) << 8), i};
    EXPECT_TRUE(trie.TrieRemove(&probe));
  }
  ASSERT_NE(trie.Root()->Slots[7].Child, nullptr);
  EXPECT_EQ(trie.Root()->Slots[7].Child->FilledCount, 1);
  TItem last{0x00000807u, 8};
  EXPECT_TRUE(trie.TrieRemove(&last));
  EXPECT_EQ(trie.Root()->Slots[7].Child, nullptr);
  EXPECT_EQ(trie.Root()->FilledCount, 1);
  EXPECT_EQ(trie.destroyed, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(trie.Order(), (std::vector<int>{100}));

  // Removing from the middle of a chain keeps the rest linked.
  trie.Add(0x00000108u, 101);
  trie.Add(0x00000208u, 102);
  TItem middle{0x00000108u, 101};
  EXPECT_TRUE(trie.TrieRemove(&middle));
  EXPECT_EQ(trie.Order(), (std::vector<int>{102, 100}));
  EXPECT_EQ(trie.Root()->FilledCount, 1);
}

TEST(HashTrie, ClearDestroysEveryItemOnceAndKeepsAnEmptyRoot) {
  TTestTrie trie;
  for (int i = 0; i < 300; ++i) trie.Add(static_cast<uint32_t>(i * 2654435761u) & 0x0000FF0Fu, i);
  EXPECT_EQ(trie.TrieCount(), 300u);
  trie.TrieClear();
  EXPECT_EQ(trie.destroyed.size(), 300u);
  std::vector<int> seen(300, 0);
  for (int id : trie.destroyed) ++seen[id];
  for (int n : seen) EXPECT_EQ(n, 1);
  ASSERT_NE(trie.Root(), nullptr);
  EXPECT_EQ(trie.Root()->FilledCount, 0);
  for (const auto& slot : trie.Root()->Slots) {
    EXPECT_EQ(slot.Child, nullptr);
    EXPECT_EQ(slot.Chain, nullptr);
  }
  EXPECT_EQ(trie.TrieCount(), 0u);
  trie.Add(5, 1);
  EXPECT_EQ(trie.Order(), (std::vector<int>{1}));
}

}  // namespace
}  // namespace plicato
