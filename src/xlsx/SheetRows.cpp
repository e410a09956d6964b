// A worksheet's rows as TSheetRows gives them: rows stored compactly, and a row number written twice
// joined into one row. The parse is TSheetPart's (SheetPart.cpp); the pieces TRowPieces' (RowPieces.cpp).
#include "xlsx/SheetRows.h"

#include <algorithm>

#include "xlsx/RowPieces.h"

namespace plicato::xlsx {

void TRowStore::Deliver(size_t r, TXlsxRow& row) const {
  row.index = rows[r].index;
  row.cells.clear();
  for (size_t i = Begin(r); i < rows[r].end; ++i) {
    row.cells.push_back(cells[i].cell);
    if (cells[i].owned)
      row.cells.back().text = std::u16string_view(texts).substr(cells[i].offset, cells[i].length);
  }
}

void TRowStore::Take(const TRowStore& from, size_t r) {
  const bool repeated = !rows.empty() && rows.back().index == from.rows[r].index;
  const size_t begin = repeated ? Begin(rows.size() - 1) : cells.size();
  for (size_t i = from.Begin(r); i < from.rows[r].end; ++i) {
    TStoredCell cell = from.cells[i];
    if (cell.owned) {
      cell.offset = texts.size();
      texts.append(from.texts, from.cells[i].offset, cell.length);
    }
    cells.push_back(cell);
  }
  if (repeated) {
    SortCells(cells, begin);
    rows.back().end = cells.size();
  } else {
    rows.push_back({from.rows[r].index, cells.size()});
  }
}

void SortCells(std::vector<TStoredCell>& cells, size_t begin) {
  std::stable_sort(cells.begin() + static_cast<ptrdiff_t>(begin), cells.end(),
                   [](const TStoredCell& a, const TStoredCell& b) { return a.cell.column < b.cell.column; });
  size_t out = begin;
  for (size_t i = begin; i < cells.size(); ++i) {
    if (out > begin && cells[out - 1].cell.column == cells[i].cell.column) --out;
    cells[out++] = cells[i];
  }
  cells.resize(out);
}

TSheetRows::TSheetRows(std::unique_ptr<TPartReader> source, const TSheetContext& context)
    : pieces_(std::make_unique<TRowPieces>(std::move(source), context)) {}

TSheetRows::~TSheetRows() = default;

bool TSheetRows::Next(TXlsxRow& row) {
  if (failure_ && !hasAhead_) std::rethrow_exception(failure_);
  const TRowStore* store = nullptr;
  size_t r = 0;
  if (!hasAhead_ && !failure_) {
    if (!pieces_->Next(store, r)) return false;
    stores_[ahead_].Clear();
    stores_[ahead_].Take(*store, r);
    hasAhead_ = true;
  }
  // The row read ahead is given once a row of another number follows it, or the sheet ends or fails.
  while (!failure_) {
    try {
      if (!pieces_->Next(store, r)) break;
    } catch (...) {
      failure_ = std::current_exception();
      break;
    }
    if (store->rows[r].index == stores_[ahead_].rows.back().index) {
      stores_[ahead_].Take(*store, r);
      continue;
    }
    const size_t given = ahead_;
    ahead_ ^= 1;
    stores_[ahead_].Clear();
    stores_[ahead_].Take(*store, r);
    stores_[given].Deliver(0, row);
    return true;
  }
  hasAhead_ = false;
  stores_[ahead_].Deliver(0, row);
  return true;
}

}  // namespace plicato::xlsx
