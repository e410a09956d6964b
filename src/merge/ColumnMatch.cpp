#include "merge/ColumnMatch.h"

#include <algorithm>

namespace plicato {

namespace {

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x00A0 || c == 0x3000;
}

}  // namespace

std::u16string TColumnMatch::Fold(const std::u16string& name) {
  size_t begin = 0, end = name.size();
  while (begin < end && IsSpace(name[begin])) ++begin;
  while (end > begin && IsSpace(name[end - 1])) --end;
  std::u16string folded(name, begin, end - begin);
  for (char16_t& c : folded) {
    if (c >= 0xFF01 && c <= 0xFF5E) c = static_cast<char16_t>(c - 0xFEE0);
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return folded;
}

uint32_t TColumnMatch::Kept() const {
  return static_cast<uint32_t>(std::min<size_t>(columns_.size(), capacity_));
}

size_t TColumnMatch::AddFile(const std::vector<std::u16string>& names) {
  TFile file;
  file.map.reserve(names.size());
  std::vector<std::u16string> keys;
  keys.reserve(names.size());
  for (const std::u16string& name : names) keys.push_back(Fold(name));
  file.unnamed = std::all_of(keys.begin(), keys.end(), [](const std::u16string& key) { return key.empty(); });
  if (file.unnamed) {
    // Nothing to match by: the file keeps its positions. Columns it adds past the union are unnamed ones,
    // which later empty-header columns may take.
    for (uint32_t i = 0; i < names.size(); ++i) {
      if (i == columns_.size()) {
        columns_.emplace_back();
        named_.push_back(false);
        byName_[std::u16string()].columns.push_back(i);
      }
      file.map.push_back(Output(i));
    }
    files_.push_back(std::move(file));
    return files_.size() - 1;
  }
  const size_t stamp = files_.size() + 1;  // marks the names this file has counted
  for (size_t i = 0; i < names.size(); ++i) {
    TName& same = byName_[keys[i]];
    if (same.file != stamp) same = {std::move(same.columns), stamp, 0};
    const uint32_t occurrence = same.seen++;
    if (occurrence == same.columns.size()) {
      const auto column = static_cast<uint32_t>(columns_.size());
      same.columns.push_back(column);
      if (!files_.empty() && column < capacity_ && !keys[i].empty()) file.brought.push_back(column);
      columns_.push_back(names[i]);
      named_.push_back(!keys[i].empty());
    }
    file.map.push_back(Output(same.columns[occurrence]));
    if (keys[i].empty()) ++file.emptyHeaders;
  }
  files_.push_back(std::move(file));
  return files_.size() - 1;
}

uint32_t TColumnMatch::AddUnnamed() {
  const auto column = static_cast<uint32_t>(columns_.size());
  columns_.emplace_back();
  named_.push_back(false);
  byName_[std::u16string()].columns.push_back(column);
  return column;
}

const std::vector<uint32_t>& TColumnMatch::Widen(size_t file, uint32_t column) {
  TFile& of = files_.at(file);
  const std::vector<uint32_t>& empty = byName_[std::u16string()].columns;
  while (of.map.size() <= column) {
    const auto i = static_cast<uint32_t>(of.map.size());
    if (of.unnamed) {
      // By position: the union is widened up to the column.
      while (columns_.size() <= i) AddUnnamed();
      of.map.push_back(Output(i));
      continue;
    }
    const uint32_t nth = of.emptyHeaders++;
    of.map.push_back(Output(nth < empty.size() ? empty[nth] : AddUnnamed()));
  }
  return of.map;
}

TColumnFacts TColumnMatch::Facts(size_t file) const {
  const TFile& of = files_.at(file);
  TColumnFacts facts;
  facts.unnamed = of.unnamed;
  if (of.unnamed) return facts;
  facts.brought = of.brought;
  std::vector<bool> has(Kept(), false);
  for (uint32_t column : of.map)
    if (column != kLeftOut) has[column] = true;
  for (uint32_t column = 0; column < has.size(); ++column)
    if (!has[column] && named_[column]) facts.lacking.push_back(column);
  return facts;
}

}  // namespace plicato
