#include "workbook/CellStorage.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "workbook/CellFormats.h"

namespace plicato {

namespace {
// Arena chunks start small, so that a sheet of a few cells costs a few kilobytes, and double up to 1 MB
// (4,096 cell blocks), so that a full sheet costs few allocations.
constexpr size_t kFirstChunkSize = 4 << 10;
constexpr size_t kMaxChunkSize = 1 << 20;
}  // namespace

TCellStorage::TCellStorage(TCellFormats* formats) : formats_(formats) {}

TCellStorage::~TCellStorage() {
  ClearAll();
}

template <typename T>
T* TCellStorage::NewBlock() {
  static_assert(alignof(T) <= alignof(std::max_align_t));
  constexpr size_t size = (sizeof(T) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  if (chunks_.empty() || chunkUsed_ + size > chunkSize_) {
    size_t next = chunks_.empty() ? kFirstChunkSize : std::min(chunkSize_ * 2, kMaxChunkSize);
    chunkSize_ = std::max(size, next);
    chunks_.push_back(std::make_unique<uint8_t[]>(chunkSize_));  // value-initialised: zeroed
    chunkUsed_ = 0;
  }
  void* p = chunks_.back().get() + chunkUsed_;
  chunkUsed_ += size;
  anyBlock_ = true;
  // Zeroed memory is a valid empty block: null pointers, and cells of kind ckNone.
  return static_cast<T*>(p);
}

TCell* TCellStorage::Slot(uint32_t key, bool create) {
  if (key > kMaxCellKey) return nullptr;
  if (!level1_) {
    if (!create) return nullptr;
    level1_ = NewBlock<Level1>();
  }
  Level2*& l2 = level1_->blocks[key >> 16];
  if (!l2) {
    if (!create) return nullptr;
    l2 = NewBlock<Level2>();
  }
  Level3*& l3 = l2->rows[(key >> 8) & 0xFF];
  if (!l3) {
    if (!create) return nullptr;
    l3 = NewBlock<Level3>();
  }
  Level4*& l4 = l3->groups[(key >> 4) & 0xF];
  if (!l4) {
    if (!create) return nullptr;
    l4 = NewBlock<Level4>();
  }
  return &l4->cells[key & 0xF];
}

TCell* TCellStorage::LookupKey(uint32_t key) {
  if (cacheCell_ && cacheKey_ == key) return cacheCell_;
  TCell* slot = Slot(key, false);
  if (!slot || slot->Empty()) return nullptr;
  cacheKey_ = key;
  cacheCell_ = slot;
  return slot;
}

TCell* TCellStorage::Store(uint32_t key, TCell cell, bool keepFormat) {
  TCell* slot = Slot(key, true);
  if (!slot) {
    DestroyCell(cell, *formats_);
    return nullptr;
  }
  if (!slot->Empty()) {
    if (keepFormat) {
      // The new cell takes over the old cell's format together with its counted use; the use of the
      // format the new cell was made with goes.
      uint32_t own = cell.format;
      cell.format = slot->format;
      formats_->ReleaseFormat(formats_->ByHandle(own));
      if (IsFormulaKind(slot->kind)) delete slot->formula;
    } else {
      DestroyCell(*slot, *formats_);
    }
  }
  *slot = cell;
  cacheKey_ = key;
  cacheCell_ = slot;
  return slot;
}

TCell* TCellStorage::InsertAtKey(uint32_t key, TCell cell) {
  return Store(key, cell, true);
}

TCell* TCellStorage::ReplaceAtKey(uint32_t key, TCell cell) {
  return Store(key, cell, false);
}

void TCellStorage::DeleteAtKey(uint32_t key) {
  TCell* slot = Slot(key, false);
  if (!slot || slot->Empty()) return;
  if (cacheCell_ == slot) cacheCell_ = nullptr;
  DestroyCell(*slot, *formats_);
}

TCell TCellStorage::DetachAtKey(uint32_t key) {
  TCell* slot = Slot(key, false);
  if (!slot || slot->Empty()) return TCell();
  if (cacheCell_ == slot) cacheCell_ = nullptr;
  TCell cell = *slot;
  *slot = TCell();
  return cell;
}

void TCellStorage::ClearAll() {
  if (level1_)
    for (Level2*& l2 : level1_->blocks) {
      if (!l2) continue;
      for (Level3* l3 : l2->rows) {
        if (!l3) continue;
        for (Level4* l4 : l3->groups) {
          if (!l4) continue;
          for (TCell& cell : l4->cells)
            if (!cell.Empty()) DestroyCell(cell, *formats_);
        }
      }
      l2 = nullptr;
    }
  level1_ = nullptr;  // it lived in the arena
  chunks_.clear();
  chunkUsed_ = chunkSize_ = 0;
  anyBlock_ = false;
  cacheCell_ = nullptr;
  cursorRow_ = cursorColumn_ = 0;
}

void TCellStorage::BeginIteration() {
  cursorRow_ = cursorColumn_ = 0;
}

TCellRef TCellStorage::NextCell() {
  uint32_t row = cursorRow_;
  uint32_t column = cursorColumn_;
  while (row <= 0xFFFF) {
    if (column > 0xFF) {
      ++row;
      column = 0;
      continue;
    }
    Level2* l2 = level1_ ? level1_->blocks[row >> 8] : nullptr;
    if (!l2) {
      row = ((row >> 8) + 1) << 8;
      column = 0;
      continue;
    }
    Level3* l3 = l2->rows[row & 0xFF];
    if (!l3) {
      ++row;
      column = 0;
      continue;
    }
    Level4* l4 = l3->groups[column >> 4];
    if (!l4) {
      column = ((column >> 4) + 1) << 4;
      continue;
    }
    TCell& cell = l4->cells[column & 0xF];
    if (!cell.Empty()) {
      cursorRow_ = row;
      cursorColumn_ = column + 1;
      return TCellRef{CellKey(column, row), &cell};
    }
    ++column;
  }
  cursorRow_ = 0x10000;
  cursorColumn_ = 0;
  return TCellRef{};
}

TCellRef TCellStorage::NextAdjacentBlank() {
  uint32_t row = cursorRow_;
  uint32_t column = cursorColumn_;
  if (row > 0xFFFF || column >= 0xFF) return TCellRef{};
  Level2* l2 = level1_ ? level1_->blocks[row >> 8] : nullptr;
  if (!l2) return TCellRef{};
  Level3* l3 = l2->rows[row & 0xFF];
  if (!l3) return TCellRef{};
  Level4* l4 = l3->groups[column >> 4];
  if (!l4) return TCellRef{};
  TCell& cell = l4->cells[column & 0xF];
  if (cell.kind != ckBlank) return TCellRef{};
  cursorColumn_ = column + 1;
  return TCellRef{CellKey(column, row), &cell};
}

bool TCellStorage::IsEmpty() const {
  if (!level1_) return true;
  for (Level2* l2 : level1_->blocks) {
    if (!l2) continue;
    for (Level3* l3 : l2->rows) {
      if (!l3) continue;
      for (Level4* l4 : l3->groups) {
        if (!l4) continue;
        for (const TCell& cell : l4->cells)
          if (!cell.Empty()) return false;
      }
    }
  }
  return true;
}

TCellBounds TCellStorage::CalcBounds() const {
  TCellBounds b;
  if (!anyBlock_) return b;  // nothing was ever stored: 0, 0, 0, 0
  b.firstColumn = 255;
  b.lastColumn = 0;
  b.firstRow = 65535;
  b.lastRow = 0;
  for (uint32_t i1 = 0; i1 < 256; ++i1) {
    Level2* l2 = level1_->blocks[i1];
    if (!l2) continue;
    for (uint32_t i2 = 0; i2 < 256; ++i2) {
      Level3* l3 = l2->rows[i2];
      if (!l3) continue;
      int32_t row = static_cast<int32_t>((i1 << 8) | i2);
      for (uint32_t i3 = 0; i3 < 16; ++i3) {
        Level4* l4 = l3->groups[i3];
        if (!l4) continue;
        for (uint32_t i4 = 0; i4 < 16; ++i4) {
          if (l4->cells[i4].Empty()) continue;
          int32_t column = static_cast<int32_t>(i3 * 16 + i4);
          if (column < b.firstColumn) b.firstColumn = column;
          if (column > b.lastColumn) b.lastColumn = column;
          if (row < b.firstRow) b.firstRow = row;
          if (row > b.lastRow) b.lastRow = row;
        }
      }
    }
  }
  return b;
}

}  // namespace plicato
