// TCellStorage: the cells of one worksheet, addressed by cell key = (row << 8) | column.
//
// A four-level table: 256 entries (row div 256) -> blocks of 256 rows -> row blocks of 16 column groups
// -> blocks of 16 cells. Cells are held by value in the last level, so a full 65,536 x 256 sheet costs 16
// bytes per cell plus one pointer per 16 cells. Blocks come from an arena and are only returned by
// ClearAll, which also keeps every block address (and so every TCell*) stable until then.
//
// Each row block also keeps a bit per column telling which cells are stored. Iterating, bounds and
// emptiness read the bits instead of the cells, so a walk over a full sheet touches a cell only to hand
// it out. The bits must always agree with the cells: a stored cell is emptied only through this class.
//
// The merge and the reader store in ascending key order: the last cell block and row block used are
// remembered, so that storing next to the previous cell does not walk the table from its root.
//
// Ascending keys are row-major order; the iteration walks them in that order.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#include "workbook/Cell.h"

namespace plicato {

class TCellFormats;

constexpr uint32_t kMaxCellKey = 0xFFFFFF;
inline uint32_t CellKey(uint32_t column, uint32_t row) {
  return (row << 8) | (column & 0xFF);
}
inline uint32_t KeyColumn(uint32_t key) {
  return key & 0xFF;
}
inline uint32_t KeyRow(uint32_t key) {
  return key >> 8;
}

// A stored cell found by a lookup or an iteration, with its key.
struct TCellRef {
  uint32_t key = 0;
  TCell* cell = nullptr;
  explicit operator bool() const { return cell != nullptr; }
};

struct TCellBounds {
  int32_t firstColumn = 0, lastColumn = 0, firstRow = 0, lastRow = 0;
};

class TCellStorage {
 public:
  explicit TCellStorage(TCellFormats* formats);
  ~TCellStorage();
  TCellStorage(const TCellStorage&) = delete;
  TCellStorage& operator=(const TCellStorage&) = delete;

  // The stored cell, or null (keys above 0xFFFFFF are never found).
  TCell* LookupKey(uint32_t key) {
    if ((key >> 4) == lastGroup_) {
      TCell* slot = &lastCells_->cells[key & 0xF];
      return slot->Empty() ? nullptr : slot;
    }
    return LookupSlow(key);
  }
  // Stores the cell. A cell already at the key is destroyed and the new one takes over its format
  // (the new cell's own format is released).
  TCell* InsertAtKey(uint32_t key, TCell cell) {
    if ((key >> 4) == lastGroup_) {
      TCell* slot = &lastCells_->cells[key & 0xF];
      // The common case: an empty slot, and a plain cell of the format stored last.
      if (slot->Empty() && cell.format == notedFormat_ && IsPlainKind(cell.kind)) {
        lastRow_->used[(key >> 6) & 3] |= uint64_t{1} << (key & 63);
        ++count_;
        *slot = cell;
        return slot;
      }
    }
    return Store(key, cell, true);
  }
  // Stores the cell, destroying any cell at the key without passing on its format.
  TCell* ReplaceAtKey(uint32_t key, TCell cell);
  // As InsertAtKey for count cells equal to cell at key and the count - 1 keys after it, all in the
  // row of key (count reaches at most its last column). The caller has counted a format use and a
  // string reference for each of them.
  void InsertRun(uint32_t key, uint32_t count, TCell cell);
  void DeleteAtKey(uint32_t key);
  // Removes the cell without destroying it; the caller owns the returned value.
  TCell DetachAtKey(uint32_t key);
  void ClearAll();

  // The cells of one row in columns 0 to columns - 1: cells[c] is the cell in column c or null, for c
  // below the returned count, which is one more than the last of those columns holding a cell (0 when
  // none does). Entries from the count on are left as they were.
  uint32_t RowCells(uint32_t row, TCell** cells, uint32_t columns);

  // One iteration at a time; inserting or deleting during it affects only slots not yet visited.
  void BeginIteration();
  TCellRef NextCell() {
    // Within the row being walked: the next stored column from its bits.
    if (walkRow_ && cursorColumn_ < 256) {
      const uint32_t column = cursorColumn_;
      uint32_t word = column >> 6;
      uint64_t bits = walkRow_->used[word] & (~uint64_t{0} << (column & 63));
      while (bits == 0 && ++word < 4) bits = walkRow_->used[word];
      if (bits != 0) {
        const uint32_t found = (word << 6) | static_cast<uint32_t>(std::countr_zero(bits));
        cursorColumn_ = found + 1;
        return TCellRef{CellKey(found, cursorRow_), &walkRow_->groups[found >> 4]->cells[found & 0xF]};
      }
    }
    return NextCellInLaterRow();
  }
  // The blank in the very next column of the current row, or none (the walk never leaves the row and
  // never joins column 255).
  TCellRef NextAdjacentBlank();

  TCellBounds CalcBounds() const;
  bool IsEmpty() const { return count_ == 0; }
  TCellFormats* Formats() const { return formats_; }

  // For a holder that changes the format of a stored cell in place: the storage must know every format
  // its cells may name (see ClearAll).
  void NoteFormat(uint32_t handle) {
    if (handle != notedFormat_) NoteFormatSlow(handle);
  }

 private:
  struct Level4 {
    TCell cells[16];
  };
  struct Level3 {
    Level4* groups[16];
    uint64_t used[4];      // bit c: a cell is stored in column c
    uint64_t formulas[4];  // bit c: the cell in column c owns formula data
  };
  struct Level2 {
    Level3* rows[256];
  };
  struct Level1 {
    Level2* blocks[256];
  };

  // The row block of a row, made when asked to create (null for a row past the grid).
  Level3* Row(uint32_t row, bool create);
  // The slot of a key, and its row block; the blocks are made when asked to create. Remembers the
  // blocks found.
  TCell* Slot(uint32_t key, bool create, Level3*& row);
  TCell* LookupSlow(uint32_t key);
  template <typename T>
  T* NewBlock();
  TCell* Store(uint32_t key, TCell cell, bool keepFormat);
  // Puts the cell into a slot holding one, as Store does.
  void Overwrite(TCell* slot, TCell cell, bool keepFormat);
  // A stored cell that owns nothing but its format use: no formula data, and not the empty cell.
  static bool IsPlainKind(TCellKind kind) { return static_cast<uint8_t>(kind - 1) < ckNumberFormula - 1; }
  // Brings the row's bits and the count in line with the cell now in the slot of column.
  void Sync(Level3* row, uint32_t column, const TCell& cell);
  void NoteFormatSlow(uint32_t handle);
  // Whether no stored cell can hold a counted format use.
  bool FormatsUncounted() const;
  // Destroying cells: only the formula data, or everything a cell owns.
  void FreeFormulaData();
  void DestroyAllCells();
  TCellRef NextCellInLaterRow();

  TCellFormats* formats_;
  // The table's root, and the arena with what the storage knows of its formats: made with the first
  // cell, so that an empty worksheet costs no more than this object.
  Level1* level1_ = nullptr;
  struct TChunk {
    uint8_t* data;
    size_t size;
  };
  struct TArena {
    ~TArena();
    // Large chunks of zeroed memory carved into blocks, all returned by ClearAll.
    std::vector<TChunk> chunks;
    size_t used = 0;  // of the last chunk
    // Every format handle a cell has held since the last ClearAll (a bit per handle): when none of them
    // is a counted format, ClearAll gives back no format use and only frees the formula data it finds
    // from the row blocks' bits.
    std::vector<uint64_t> formatsSeen;
  };
  std::unique_ptr<TArena> arena_;
  static void ReleaseChunk(const TChunk& chunk);

  // The cell block last found or made (the cells of the keys with key >> 4 == lastGroup_), always in
  // the row block last found or made (row lastRowIndex_).
  Level4* lastCells_ = nullptr;
  Level3* lastRow_ = nullptr;
  uint32_t lastGroup_ = UINT32_MAX;
  uint32_t lastRowIndex_ = UINT32_MAX;

  uint32_t count_ = 0;                 // stored cells
  uint32_t formulas_ = 0;              // stored cells owning formula data
  uint32_t notedFormat_ = UINT32_MAX;  // the format handle noted last

  // Iteration cursor: the next slot to look at, and the row block of its row (null until the walk has
  // found a row). The column may reach 256 (past the row's end) until the next NextCell moves on to the
  // following row, so that NextAdjacentBlank never wraps into it.
  uint32_t cursorRow_ = 0;
  uint32_t cursorColumn_ = 0;
  Level3* walkRow_ = nullptr;
};

}  // namespace plicato
