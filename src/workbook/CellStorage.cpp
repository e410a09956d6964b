#include "workbook/CellStorage.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "workbook/CellFormats.h"
#include "workbook/LargeChunks.h"

namespace plicato {

namespace {
// Arena chunks start small, so that a sheet of a few cells costs a few kilobytes, and double up to
// 32 MB, so that a full sheet (some 280 MB of blocks) costs a handful of allocations.
constexpr size_t kFirstChunkSize = 4 << 10;
constexpr size_t kMaxChunkSize = 32 << 20;

}  // namespace

TCellStorage::TCellStorage(TCellFormats* formats) : formats_(formats) {}

TCellStorage::~TCellStorage() {
  ClearAll();
}

template <typename T>
T* TCellStorage::NewBlock() {
  static_assert(alignof(T) <= alignof(std::max_align_t));
  constexpr size_t size = (sizeof(T) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
  if (!arena_) arena_ = std::make_unique<TArena>();
  std::vector<TChunk>& chunks = arena_->chunks;
  if (chunks.empty() || arena_->used + size > chunks.back().size) {
    const size_t next = chunks.empty() ? kFirstChunkSize : std::min(chunks.back().size * 2, kMaxChunkSize);
    const size_t chunkSize = std::max(size, next);
    TChunk chunk{AllocateChunk(chunkSize), chunkSize};
    try {
      chunks.push_back(chunk);
    } catch (...) {
      ReleaseChunk(chunk);
      throw;
    }
    arena_->used = 0;
  }
  void* p = chunks.back().data + arena_->used;
  arena_->used += size;
  // Zeroed memory is a valid empty block: null pointers, no bits set, and cells of kind ckNone.
  return static_cast<T*>(p);
}

TCellStorage::TArena::~TArena() {
  for (const TChunk& chunk : chunks) ReleaseChunk(chunk);
}

void TCellStorage::ReleaseChunk(const TChunk& chunk) {
  FreeChunk(chunk.data, chunk.size);
}

TCellStorage::Level3* TCellStorage::Row(uint32_t row, bool create) {
  if (row > 0xFFFF) return nullptr;
  if (row == lastRowIndex_) return lastRow_;
  if (!level1_) {
    if (!create) return nullptr;
    level1_ = NewBlock<Level1>();
  }
  Level2*& l2 = level1_->blocks[row >> 8];
  if (!l2) {
    if (!create) return nullptr;
    l2 = NewBlock<Level2>();
  }
  Level3*& l3 = l2->rows[row & 0xFF];
  if (!l3) {
    if (!create) return nullptr;
    l3 = NewBlock<Level3>();
  }
  lastRowIndex_ = row;
  lastRow_ = l3;
  lastGroup_ = UINT32_MAX;  // the cell block remembered lies in another row
  return l3;
}

TCell* TCellStorage::Slot(uint32_t key, bool create, Level3*& row) {
  if (key > kMaxCellKey) return nullptr;
  Level3* l3 = Row(key >> 8, create);
  if (!l3) return nullptr;
  Level4*& l4 = l3->groups[(key >> 4) & 0xF];
  if (!l4) {
    if (!create) return nullptr;
    l4 = NewBlock<Level4>();
  }
  lastGroup_ = key >> 4;  // Row made l3 the row block remembered
  lastCells_ = l4;
  row = l3;
  return &l4->cells[key & 0xF];
}

TCell* TCellStorage::LookupSlow(uint32_t key) {
  Level3* row;
  TCell* slot = Slot(key, false, row);
  return slot && !slot->Empty() ? slot : nullptr;
}

void TCellStorage::NoteFormatSlow(uint32_t handle) {
  notedFormat_ = handle;
  if (handle == kNoFormatHandle) return;  // names no format: nothing to give back
  if (!arena_) arena_ = std::make_unique<TArena>();
  std::vector<uint64_t>& seen = arena_->formatsSeen;
  const size_t word = handle >> 6;
  if (word >= seen.size()) seen.resize(word + 1);
  seen[word] |= uint64_t{1} << (handle & 63);
}

void TCellStorage::Sync(Level3* row, uint32_t column, const TCell& cell) {
  const uint64_t bit = uint64_t{1} << (column & 63);
  uint64_t& used = row->used[column >> 6];
  const bool was = (used & bit) != 0;
  if (was != !cell.Empty()) {
    used ^= bit;
    if (was)
      --count_;
    else
      ++count_;
  }
  uint64_t& formulas = row->formulas[column >> 6];
  if (((formulas & bit) != 0) != IsFormulaKind(cell.kind)) {
    formulas ^= bit;
    if (IsFormulaKind(cell.kind))
      ++formulas_;
    else
      --formulas_;
  }
}

void TCellStorage::Overwrite(TCell* slot, TCell cell, bool keepFormat) {
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
  NoteFormat(cell.format);
  *slot = cell;
}

TCell* TCellStorage::Store(uint32_t key, TCell cell, bool keepFormat) {
  Level3* row;
  TCell* slot = Slot(key, true, row);
  if (!slot) {
    DestroyCell(cell, *formats_);
    return nullptr;
  }
  if (slot->Empty()) {
    NoteFormat(cell.format);
    *slot = cell;
  } else {
    Overwrite(slot, cell, keepFormat);
  }
  Sync(row, key & 0xFF, cell);  // an empty cell stored over one removes it
  return slot;
}

TCell* TCellStorage::ReplaceAtKey(uint32_t key, TCell cell) {
  return Store(key, cell, false);
}

void TCellStorage::InsertRun(uint32_t key, uint32_t count, TCell cell) {
  const uint32_t first = key & 0xFF;
  if (key > kMaxCellKey || count > 256 - first || !IsPlainKind(cell.kind)) {
    // Outside the contract, or a cell that cannot be shared: one by one, as InsertAtKey would.
    for (uint32_t i = 0; i < count; ++i) InsertAtKey(key + i, cell);
    return;
  }
  if (count == 0) return;
  Level3* row = Row(key >> 8, true);
  NoteFormat(cell.format);
  const uint32_t end = first + count;
  for (uint32_t column = first; column < end;) {
    Level4*& l4 = row->groups[column >> 4];
    const uint32_t groupEnd = std::min(end, (column | 0xF) + 1);
    // The run's columns within this cell block: one 16-bit piece of a word of the row's bits.
    uint64_t& word = row->used[column >> 6];
    const uint32_t shift = column & 0x30;
    const auto pieceMask =
        static_cast<uint32_t>(((uint32_t{1} << (groupEnd - column)) - 1) << (column & 0xF));
    const auto storedMask = static_cast<uint32_t>(word >> shift) & 0xFFFF;
    if (!l4) l4 = NewBlock<Level4>();
    if ((storedMask & pieceMask) == 0) {
      // No cell there yet, the common case: plain stores.
      for (uint32_t c = column; c < groupEnd; ++c) l4->cells[c & 0xF] = cell;
      word |= uint64_t{pieceMask} << shift;
      count_ += groupEnd - column;
      column = groupEnd;
    } else {
      for (; column < groupEnd; ++column) {
        TCell* slot = &l4->cells[column & 0xF];
        if (slot->Empty()) {
          *slot = cell;
          word |= uint64_t{1} << (column & 63);
          ++count_;
        } else {
          Overwrite(slot, cell, true);
          Sync(row, column, cell);
        }
      }
    }
    lastGroup_ = ((key >> 8) << 4) | ((column - 1) >> 4);  // in the row block remembered
    lastCells_ = l4;
  }
}

void TCellStorage::DeleteAtKey(uint32_t key) {
  Level3* row;
  TCell* slot = Slot(key, false, row);
  if (!slot || slot->Empty()) return;
  DestroyCell(*slot, *formats_);
  Sync(row, key & 0xFF, *slot);
}

TCell TCellStorage::DetachAtKey(uint32_t key) {
  Level3* row;
  TCell* slot = Slot(key, false, row);
  if (!slot || slot->Empty()) return TCell();
  TCell cell = *slot;
  *slot = TCell();
  Sync(row, key & 0xFF, *slot);
  return cell;
}

bool TCellStorage::FormatsUncounted() const {
  if (!arena_) return true;
  const std::vector<uint64_t>& seen = arena_->formatsSeen;
  for (size_t word = 0; word < seen.size(); ++word) {
    for (uint64_t bits = seen[word]; bits != 0; bits &= bits - 1) {
      const auto handle = static_cast<uint32_t>(word * 64 + std::countr_zero(bits));
      if (formats_->IsCounted(formats_->ByHandle(handle))) return false;
    }
  }
  return true;
}

void TCellStorage::FreeFormulaData() {
  // A row's bits are a cache miss each, and the rows lie too far apart in the arena for the processor
  // to fetch them ahead by itself: the walk asks for the rows a few places ahead.
  constexpr uint32_t kRowsAhead = 8;
  for (Level2* l2 : level1_->blocks) {
    if (!l2) continue;
    for (uint32_t r = 0; r < 256; ++r) {
      if (r + kRowsAhead < 256 && l2->rows[r + kRowsAhead])
        __builtin_prefetch(l2->rows[r + kRowsAhead]->formulas);
      Level3* l3 = l2->rows[r];
      if (!l3) continue;
      for (uint32_t word = 0; word < 4; ++word) {
        for (uint64_t bits = l3->formulas[word]; bits != 0; bits &= bits - 1) {
          const uint32_t column = (word << 6) | static_cast<uint32_t>(std::countr_zero(bits));
          delete l3->groups[column >> 4]->cells[column & 0xF].formula;
        }
      }
    }
  }
}

void TCellStorage::DestroyAllCells() {
  // Cell by cell in key order. The format uses are given back a run of equal handles at a time: a
  // format whose count reaches 0 goes at the end of its run, and nothing else happens within the run,
  // so the formats end as they would one cell at a time.
  uint32_t runHandle = kNoFormatHandle;
  int32_t runLength = 0;
  auto endRun = [&] {
    if (runLength > 0) formats_->ReleaseFormatUses(formats_->ByHandle(runHandle), runLength);
    runLength = 0;
  };
  for (Level2* l2 : level1_->blocks) {
    if (!l2) continue;
    for (Level3* l3 : l2->rows) {
      if (!l3) continue;
      for (uint32_t word = 0; word < 4; ++word) {
        for (uint64_t bits = l3->used[word]; bits != 0; bits &= bits - 1) {
          const uint32_t column = (word << 6) | static_cast<uint32_t>(std::countr_zero(bits));
          TCell& cell = l3->groups[column >> 4]->cells[column & 0xF];
          if (IsFormulaKind(cell.kind)) delete cell.formula;
          if (cell.format != runHandle || runLength == INT32_MAX) {
            endRun();
            runHandle = cell.format;
          }
          ++runLength;
        }
      }
    }
  }
  endRun();
}

void TCellStorage::ClearAll() {
  if (level1_ && count_ > 0) {
    // A sheet of millions of cells in formats that are not counted (the common case) is freed without
    // reading its cells.
    if (FormatsUncounted()) {
      if (formulas_ > 0) FreeFormulaData();
    } else
      DestroyAllCells();
  }
  level1_ = nullptr;  // it lived in the arena
  arena_.reset();
  count_ = formulas_ = 0;
  lastGroup_ = lastRowIndex_ = UINT32_MAX;
  lastCells_ = nullptr;
  lastRow_ = nullptr;
  notedFormat_ = UINT32_MAX;
  cursorRow_ = cursorColumn_ = 0;
  walkRow_ = nullptr;
}

uint32_t TCellStorage::RowCells(uint32_t row, TCell** cells, uint32_t columns) {
  Level3* l3 = Row(row, false);
  if (!l3) return 0;
  uint32_t width = 0;
  for (uint32_t word = 0; word < 4 && (word << 6) < columns; ++word) {
    for (uint64_t bits = l3->used[word]; bits != 0; bits &= bits - 1) {
      const uint32_t column = (word << 6) | static_cast<uint32_t>(std::countr_zero(bits));
      if (column >= columns) break;
      while (width < column) cells[width++] = nullptr;
      cells[width++] = &l3->groups[column >> 4]->cells[column & 0xF];
    }
  }
  return width;
}

void TCellStorage::BeginIteration() {
  cursorRow_ = cursorColumn_ = 0;
  walkRow_ = nullptr;
}

TCellRef TCellStorage::NextCellInLaterRow() {
  uint32_t row = cursorRow_;
  uint32_t column = cursorColumn_;
  if (walkRow_) {  // its row has been walked to its end
    ++row;
    column = 0;
  }
  walkRow_ = nullptr;
  while (level1_ && row <= 0xFFFF) {
    Level2* l2 = level1_->blocks[row >> 8];
    if (!l2) {
      row = ((row >> 8) + 1) << 8;
      column = 0;
      continue;
    }
    if (Level3* l3 = l2->rows[row & 0xFF]; l3 && column < 256) {
      uint32_t word = column >> 6;
      uint64_t bits = l3->used[word] & (~uint64_t{0} << (column & 63));
      while (bits == 0 && ++word < 4) bits = l3->used[word];
      if (bits != 0) {
        const uint32_t found = (word << 6) | static_cast<uint32_t>(std::countr_zero(bits));
        cursorRow_ = row;
        cursorColumn_ = found + 1;
        walkRow_ = l3;
        return TCellRef{CellKey(found, row), &l3->groups[found >> 4]->cells[found & 0xF]};
      }
    }
    ++row;
    column = 0;
  }
  cursorRow_ = 0x10000;
  cursorColumn_ = 0;
  return TCellRef{};
}

TCellRef TCellStorage::NextAdjacentBlank() {
  const uint32_t row = cursorRow_;
  const uint32_t column = cursorColumn_;
  if (row > 0xFFFF || column >= 0xFF) return TCellRef{};
  Level3* l3 = walkRow_ ? walkRow_ : Row(row, false);
  if (!l3 || !((l3->used[column >> 6] >> (column & 63)) & 1)) return TCellRef{};
  TCell& cell = l3->groups[column >> 4]->cells[column & 0xF];
  if (cell.kind != ckBlank) return TCellRef{};
  cursorColumn_ = column + 1;
  return TCellRef{CellKey(column, row), &cell};
}

TCellBounds TCellStorage::CalcBounds() const {
  TCellBounds b;
  if (!level1_) return b;  // nothing was ever stored: 0, 0, 0, 0
  b.firstColumn = 255;
  b.lastColumn = 0;
  b.firstRow = 65535;
  b.lastRow = 0;
  for (uint32_t i1 = 0; i1 < 256; ++i1) {
    const Level2* l2 = level1_->blocks[i1];
    if (!l2) continue;
    for (uint32_t i2 = 0; i2 < 256; ++i2) {
      const Level3* l3 = l2->rows[i2];
      if (!l3) continue;
      int32_t first = -1, last = -1;
      for (int32_t word = 0; word < 4; ++word) {
        const uint64_t bits = l3->used[word];
        if (bits == 0) continue;
        if (first < 0) first = word * 64 + std::countr_zero(bits);
        last = word * 64 + 63 - std::countl_zero(bits);
      }
      if (first < 0) continue;
      const auto row = static_cast<int32_t>((i1 << 8) | i2);
      b.firstColumn = std::min(b.firstColumn, first);
      b.lastColumn = std::max(b.lastColumn, last);
      b.firstRow = std::min(b.firstRow, row);
      b.lastRow = std::max(b.lastRow, row);
    }
  }
  return b;
}

}  // namespace plicato
