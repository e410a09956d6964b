// TCellStorage: the cells of one worksheet, addressed by cell key = (row << 8) | column.
//
// A four-level table: 256 entries (row div 256) -> blocks of 256 rows -> blocks of 16 column groups ->
// blocks of 16 cells. Cells are held by value in the last level, so a full 65,536 x 256 sheet costs 16
// bytes per cell plus one pointer per 16 cells. Blocks come from an arena and are only returned by
// ClearAll, which also keeps every block address (and so every TCell*) stable until then.
//
// Ascending keys are row-major order; the iteration walks them in that order.
#pragma once

#include <array>
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
  TCell* LookupKey(uint32_t key);
  // Stores the cell. A cell already at the key is destroyed and the new one takes over its format
  // (the new cell's own format is released).
  TCell* InsertAtKey(uint32_t key, TCell cell);
  // Stores the cell, destroying any cell at the key without passing on its format.
  TCell* ReplaceAtKey(uint32_t key, TCell cell);
  void DeleteAtKey(uint32_t key);
  // Removes the cell without destroying it; the caller owns the returned value.
  TCell DetachAtKey(uint32_t key);
  void ClearAll();

  // One iteration at a time; inserting or deleting during it affects only slots not yet visited.
  void BeginIteration();
  TCellRef NextCell();
  // The blank in the very next column of the current row, or none (the walk never leaves the row and
  // never joins column 255).
  TCellRef NextAdjacentBlank();

  TCellBounds CalcBounds() const;
  bool IsEmpty() const;
  TCellFormats* Formats() const { return formats_; }

 private:
  struct Level4 {
    TCell cells[16];
  };
  struct Level3 {
    Level4* groups[16];
  };
  struct Level2 {
    Level3* rows[256];
  };

  TCell* Slot(uint32_t key, bool create);
  template <typename T>
  T* NewBlock();
  TCell* Store(uint32_t key, TCell cell, bool keepFormat);

  TCellFormats* formats_;
  struct Level1 {
    Level2* blocks[256];
  };
  // Allocated with the first cell, so that an empty worksheet costs next to nothing.
  Level1* level1_ = nullptr;
  bool anyBlock_ = false;

  // The cell last found or stored.
  uint32_t cacheKey_ = 0;
  TCell* cacheCell_ = nullptr;

  // Iteration cursor: the next slot to look at. The column may reach 256 (past the row's end) until the
  // next NextCell moves on to the following row, so that NextAdjacentBlank never wraps into it.
  uint32_t cursorRow_ = 0;
  uint32_t cursorColumn_ = 0;

  // Arena for blocks: large chunks carved into zeroed blocks, all returned by ClearAll.
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t chunkUsed_ = 0;
  size_t chunkSize_ = 0;
};

}  // namespace plicato
