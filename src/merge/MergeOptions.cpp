#include "merge/MergeOptions.h"

#include <algorithm>

#include "merge/MergeError.h"

namespace plicato {

std::optional<TSheetChoice> ParseSheetChoice(std::u16string_view text) {
  if (text.empty()) return std::nullopt;
  TSheetChoice choice;
  if (text == u"all") {
    choice.kind = TSheetChoice::scAll;
    return choice;
  }
  // Longer runs of digits are names: no workbook holds that many sheets.
  if (text.size() <= 5 &&
      std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
    int32_t number = 0;
    for (char16_t c : text) number = number * 10 + (c - u'0');
    if (number == 0) return std::nullopt;
    choice.kind = TSheetChoice::scIndex;
    choice.index = number - 1;
    return choice;
  }
  choice.kind = TSheetChoice::scName;
  choice.name = text;
  return choice;
}

TOptionsProblem FindOptionsProblem(const TMergeOptions& options) {
  // The settings first: a front end checks them before it has gathered the files.
  if (options.headerRows < 0 || options.headerRows > kMaxHeaderRows) return TOptionsProblem::headerRows;
  if (options.matchColumns && options.headerRows < 1) return TOptionsProblem::matchColumns;
  if (options.sheet.kind == TSheetChoice::scIndex && options.sheet.index < 0)
    return TOptionsProblem::sheetNumber;
  const char16_t d = options.csvDelimiter;
  if (d == u'"' || d == u'\r' || d == u'\n') return TOptionsProblem::delimiter;
  if (options.files.empty()) return TOptionsProblem::noFiles;
  if (!options.sourceNames.empty() && options.sourceNames.size() != options.files.size())
    return TOptionsProblem::sourceNames;
  return TOptionsProblem::none;
}

void CheckMergeOptions(const TMergeOptions& options) {
  const TOptionsProblem problem = FindOptionsProblem(options);
  if (problem == TOptionsProblem::none) return;
  TRunFailure failure;
  failure.what = TRunFailure::rfOptions;
  failure.options = problem;
  throw EMergeError(std::move(failure));
}

}  // namespace plicato
