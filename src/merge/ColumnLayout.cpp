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
  padTo_ = settings.classic ? static_cast<uint16_t>(std::min<uint32_t>(kClassicColumns + shift_, 0xFFFF)) : 0;
}

std::span<const TOutCell> TColumnLayout::Assemble(std::span<const TOutCell> data, int headerIndex, bool header,
                                                  int64_t mark) {
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
