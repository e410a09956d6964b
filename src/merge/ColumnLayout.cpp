#include "merge/ColumnLayout.h"

#include <algorithm>

#include "biff/CodePage.h"
#include "merge/RowRule.h"

namespace plicato {

namespace {

// The classic merge's columns of a sheet: 255 text cells a row in an .xls output, as it has always been.
constexpr uint32_t kClassicColumns = 255;

}  // namespace

void TColumnLayout::Set(const TSettings& settings) {
  maxColumns_ = OutputColumnsOf(settings.format);
  sourceColumn_ = settings.sourceColumn;
  headerRows_ = settings.headerRows;
  sourceCaption_ = settings.sourceCaption;
  sourceIndex_ = 0;
  markIndex_ = settings.sourceColumn ? 1 : 0;
  shift_ = static_cast<uint16_t>((settings.sourceColumn ? 1 : 0) + (settings.mark ? 1 : 0));
  // The classic merge reads 255 columns where it pads its rows to them; a larger output takes every
  // column it can hold.
  limit_ = settings.classic && maxColumns_ <= 256 ? kClassicColumns : maxColumns_;
  fit_ = std::min<uint32_t>(limit_, maxColumns_ - shift_);
  classic_ = settings.classic;
  matching_ = false;
  padTo_ = settings.classic ? static_cast<uint16_t>(std::min<uint32_t>(kClassicColumns + shift_, 0xFFFF)) : 0;
}

std::span<const TOutCell> TColumnLayout::Assemble(std::span<const TOutCell> data, int headerIndex, bool header,
                                                  int64_t mark) {
  // A sheet whose columns stand where the output has them (the common case: files alike) gives its rows
  // as they are: they hold no cell past the map, ascending, and a classic row already ends at its last text.
  if (matching_ && !header && !(identity_ && (data.empty() || data.back().column < map_.size()))) {
    PlaceMatched(data);
    data = matched_;
  }
  if (shift_ == 0) return data;  // no source and no mark: the data cells as they are
  cells_.clear();
  if (sourceColumn_) {
    if (!header) {
      cells_.push_back(TextCell(sourceIndex_, sheetSource_));
    } else if (headerIndex == 0) {
      cells_.push_back(TextCell(sourceIndex_, sourceCaption_));
    }
  }
  if (mark >= 0) {
    markText_ = FromUtf8(std::to_string(mark));
    cells_.push_back(TextCell(markIndex_, markText_));
  }
  for (const TOutCell& cell : data) cells_.push_back(Place(cell));
  return cells_;
}

void TColumnLayout::PlaceMatched(std::span<const TOutCell> data) {
  if (match_ && !data.empty() && data.back().column >= map_.size()) TakeMap(match_->Widen(file_, data.back().column));
  byColumn_.resize(width_);
  filled_.assign(width_, false);
  for (const TOutCell& cell : data) {
    const uint32_t column = cell.column < map_.size() ? map_[cell.column] : kLeftOut;
    if (column == kLeftOut) {
      // Only a cell that holds something is lost: the classic row's empty texts are its padding.
      if (!(cell.kind == okText && cell.text.empty())) {
        if (leftOut_.size() <= cell.column) leftOut_.resize(cell.column + 1u, false);
        leftOut_[cell.column] = true;
      }
      continue;
    }
    byColumn_[column] = cell;
    byColumn_[column].column = static_cast<uint16_t>(column);
    filled_[column] = true;
  }
  matched_.clear();
  for (size_t column = 0; column < width_; ++column) {
    if (filled_[column]) {
      matched_.push_back(byColumn_[column]);
    } else if (classic_) {
      matched_.push_back(TextCell(static_cast<uint16_t>(column), {}));
    }
  }
  if (classic_) {
    // The classic row ends at its last text, as by position: the output pads the rest.
    while (!matched_.empty() && matched_.back().text.empty()) matched_.pop_back();
  }
}

void TColumnLayout::SetColumnNames(const std::vector<std::u16string>& names) {
  matching_ = true;
  names_ = names;
  namesRow_.clear();
  // A classic row carries a text in every column, an empty name too.
  for (size_t column = 0; column < names_.size(); ++column)
    if (classic_ || !names_[column].empty()) namesRow_.push_back(TextCell(static_cast<uint16_t>(column), names_[column]));
}

void TColumnLayout::SetMap(TColumnMatch* match, size_t file) {
  match_ = match;
  file_ = file;
  leftOut_.clear();  // of a sheet that failed before its remark
  TakeMap(match ? match->Map(file) : std::vector<uint32_t>());
}

void TColumnLayout::TakeMap(const std::vector<uint32_t>& map) {
  map_ = map;
  width_ = names_.size();
  for (uint32_t& column : map_) {
    if (column == kLeftOut) continue;
    if (column >= names_.size() && match_->Named(column)) {
      column = kLeftOut;
    } else {
      width_ = std::max<size_t>(width_, column + 1u);
    }
  }
  identity_ = true;
  for (size_t i = 0; i < map_.size() && identity_; ++i) identity_ = map_[i] == i;
}

std::vector<uint32_t> TColumnLayout::TakeColumnsLeftOut() {
  std::vector<uint32_t> columns;
  for (uint32_t column = 0; column < leftOut_.size(); ++column)
    if (leftOut_[column]) columns.push_back(column);
  leftOut_.clear();
  return columns;
}

const TOutCell& TColumnLayout::MarkCell(int64_t rows) {
  markText_ = FromUtf8(std::to_string(rows));
  markCell_ = TextCell(markIndex_, markText_);
  return markCell_;
}

void TColumnLayout::StoreHeader(std::span<const TOutCell> cells) {
  headerState_ = hsCollecting;
  headers_.emplace_back().Assign(cells);
}

void TColumnLayout::THeaderRow::Assign(std::span<const TOutCell> from) {
  cells.assign(from.begin(), from.end());
  texts.resize(cells.size());
  formats.resize(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    texts[i].assign(cells[i].text);
    formats[i].assign(cells[i].format);
    cells[i].text = texts[i];
    cells[i].format = formats[i];
  }
}

}  // namespace plicato
