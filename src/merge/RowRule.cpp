#include "merge/RowRule.h"

#include <algorithm>

#include "biff/CodePage.h"
#include "workbook/NumberText.h"

namespace plicato {

bool TRowRule::Next(TInputBook& book, TSheetState& state) {
  if (classic_) {
    if (state.ended) return false;
    if (!book.NextRow(row_)) {
      state.ended = true;
      return false;
    }
    lastRead_ = row_.index + 1;
    // Only a text cell keeps its row: a formula's cached text is a formula's result.
    const bool text = row_.index == state.next &&
                      std::any_of(row_.cells.begin(), row_.cells.end(), [](const TInCell& cell) {
                        return cell.kind == ikText && !cell.formula && !cell.text.empty();
                      });
    if (!text) {
      state.ended = true;
      state.endHoldsValue = row_.lastColumnOut != 0 ||
                            std::any_of(row_.cells.begin(), row_.cells.end(), [](const TInCell& cell) {
                              return cell.kind != ikBlank && !(cell.kind == ikText && cell.text.empty());
                            });
      return false;
    }
    ++state.next;
    TakeClassic();
    return true;
  }
  while (book.NextRow(row_)) {
    lastRead_ = row_.index + 1;
    if (TakeValues(book.Date1904())) return true;
  }
  return false;
}

// The classic row: every cell up to the last number or text as text (a number as its rounded value,
// anything else but a text empty); the output pads the rest of the row with empty texts.
void TRowRule::TakeClassic() {
  taken_.clear();
  uint32_t width = 0;
  uint32_t out = row_.lastColumnOut;
  for (const TInCell& cell : row_.cells) {
    if (cell.formula || !(cell.kind == ikNumber || (cell.kind == ikText && !cell.text.empty()))) continue;
    if (cell.column < fit_) {
      width = cell.column + 1u;
    } else {
      out = std::max<uint32_t>(out, cell.column + 1u);
    }
  }
  if (out > 0) lastColumnOut_ = std::max(lastColumnOut_, out);
  auto cell = row_.cells.begin();
  for (uint32_t column = 0; column < width; ++column) {
    while (cell != row_.cells.end() && cell->column < column) ++cell;
    std::u16string_view text;
    TTextKey key;
    if (cell != row_.cells.end() && cell->column == column && !cell->formula) {
      if (cell->kind == ikNumber) {
        texts_[column] = FromUtf8(RoundedNumberText(cell->number));
        text = texts_[column];
      } else if (cell->kind == ikText) {
        text = cell->text;
        key = cell->textKey;
      }
    }
    taken_.push_back(TextCell(static_cast<uint16_t>(column), text));
    taken_.back().textKey = key;
  }
}

// The value row: each cell that holds a value with its type; false for a row without one.
bool TRowRule::TakeValues(bool date1904) {
  taken_.clear();
  bool value = row_.lastColumnOut != 0;
  uint32_t out = row_.lastColumnOut;
  for (const TInCell& in : row_.cells) {
    const bool holdsValue = in.kind == ikText    ? !in.text.empty()
                            : in.kind == ikError ? in.error != ceNone || !in.text.empty()
                                                 : in.kind != ikBlank;
    if (!holdsValue) continue;
    value = true;
    if (in.column >= fit_) {
      out = std::max<uint32_t>(out, in.column + 1u);
      continue;
    }
    // Built in place: a cell built aside and copied in stalled on every copy.
    TOutCell& cell = taken_.emplace_back();
    cell.column = in.column;
    switch (in.kind) {
      case ikNumber:
        cell.kind = okNumber;
        cell.number = in.number;
        cell.format = in.format;
        // Dates are written in the 1900 date system.
        if (date1904 && !in.format.empty() && IsDateFormat(in.format)) cell.number += kDays1900To1904;
        break;
      case ikText:
        cell.text = in.text;
        cell.textKey = in.textKey;
        break;
      case ikBoolean:
        cell.kind = okBoolean;
        cell.boolean = in.boolean;
        break;
      case ikError:
        if (in.error != ceNone) {
          cell.kind = okError;
          cell.error = in.error;
        } else {
          cell.text = in.text;  // an error value no .xls file knows: as its text
        }
        break;
      case ikBlank:
        break;
    }
  }
  if (value && out > 0) lastColumnOut_ = std::max(lastColumnOut_, out);
  return value;
}

int64_t TRowRule::CountDataRows(TInputBook& book, int headerRows) {
  TSheetState state;
  const uint32_t lastColumnOut = lastColumnOut_;
  while (Next(book, state)) ++state.taken;
  lastColumnOut_ = lastColumnOut;
  return std::max<int64_t>(0, state.taken - headerRows);
}

TRowsLeft TRowRule::CountRowsLeft(TInputBook& book, const TSheetState& state, const std::atomic<int32_t>& stop) {
  TRowsLeft count;
  count.left = state.endHoldsValue ? 1 : 0;
  try {
    uint32_t index = 0;
    bool value = false;
    while (book.SkipRow(index, value)) {
      count.left += value ? 1 : 0;
      if (stop.load() == 1) {
        count.stopped = true;
        break;
      }
    }
  } catch (const std::exception& e) {
    count.unreadable = true;
    count.why = e.what();
  }
  return count;
}

}  // namespace plicato
