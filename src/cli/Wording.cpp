#include "cli/Wording.h"

#include "biff/CodePage.h"
#include "merge/MergeEngine.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) {
  return "\"" + path.string() + "\"";
}

std::string Quoted(const std::u16string& name) {
  return "\"" + ToUtf8(name) + "\"";
}

// 1st, 2nd, 3rd, 4th, ..., 11th, 12th, 13th, ..., 21st.
std::string Ordinal(uint32_t n) {
  const uint32_t tens = n % 100, ones = n % 10;
  const char* suffix = "th";
  if (tens < 11 || tens > 13) suffix = ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th";
  return std::to_string(n) + suffix;
}

std::string Rows(int64_t n) {
  return std::to_string(n) + (n == 1 ? " row" : " rows");
}

std::string StoppedAtWords(const TNoteFacts& f) {
  std::string incomplete;
  if (!f.unreadable.empty()) {
    incomplete = " (the rest of the sheet could not be read: " + f.unreadable + ")";
  } else if (f.leftAtLeast) {
    incomplete = " (the count was stopped)";
  }
  const std::string counted = (f.leftAtLeast ? "at least " : "") + Rows(f.left) + " with values";
  const std::string were = f.left == 1 && !f.leftAtLeast ? " was" : " were";
  const std::string where = "row " + std::to_string(f.row) + ", which has no text";
  if (f.rows == 0)
    return "Gave no rows: stopped at " + where + "; " + counted + were + " not merged" + incomplete + ".";
  return "Stopped at " + where + ", after " + Rows(f.rows) + ": " + counted + " from there on" + were +
         " not merged" + incomplete + ".";
}

std::string ColumnsLeftOutWords(const TNoteFacts& f) {
  std::string text =
      "Columns after the " + Ordinal(f.column) + " (" + ColumnName(f.column) + ") were not merged";
  if (f.outputColumns > 0)
    text += ": the output has " + std::to_string(f.outputColumns) + " columns, the first " +
            std::to_string(f.reserved) + " for the source and mark";
  return text + "; the sheet has values up to column " + ColumnName(f.lastColumn) + ".";
}

std::string SheetProblemWords(const TFileFailure& f) {
  switch (f.sheetProblem) {
    case TFileFailure::spNone:
      break;
    case TFileFailure::spNoWorksheet:
      return "The workbook has no worksheet.";
    case TFileFailure::spNoSheetNumber:
      return "The workbook has " + std::to_string(f.sheets) + (f.sheets == 1 ? " sheet" : " sheets") +
             ": there is no sheet " + std::to_string(f.index + 1) + " (sheets are counted from 1).";
    case TFileFailure::spNotWorksheet:
      return "Sheet " + std::to_string(f.index + 1) + " (" + Quoted(f.sheetName) + ") is not a worksheet.";
    case TFileFailure::spNamedNotWorksheet:
      return "The sheet " + Quoted(f.sheetName) + " is not a worksheet.";
    case TFileFailure::spNoSheetNamed:
      return "The workbook has no sheet named " + Quoted(f.sheetName) + ".";
  }
  return f.words;
}

std::string OptionsWords(TOptionsProblem problem) {
  switch (problem) {
    case TOptionsProblem::none:
      break;
    case TOptionsProblem::noFiles:
      return "There are no files to merge.";
    case TOptionsProblem::headerRows:
      return "There can be 0 to " + std::to_string(kMaxHeaderRows) + " header rows.";
    case TOptionsProblem::sheetNumber:
      return "Sheet numbers count from 1.";
    case TOptionsProblem::sourceNames:
      return "The source names do not match the files to merge.";
    case TOptionsProblem::delimiter:
      return "The CSV separator cannot be a quote or a line break.";
    case TOptionsProblem::matchColumns:
      return "Matching columns by header needs at least 1 header row.";
  }
  return {};
}

// An output's failure: one that could not be written, had no memory to be written, or would replace a
// listed file.
std::string OutputWords(TRunFailure::TWhat what, const fs::path& output, const fs::path& input,
                        const std::string& words, bool nothingWritten) {
  switch (what) {
    case TRunFailure::rfClash:
      return "The output " + Quoted(output) + " is the listed file " + Quoted(input) +
             ":\rchoose another save path." + (nothingWritten ? " Nothing was written." : "");
    case TRunFailure::rfUnwritable:
      return "The output " + Quoted(output) + " could not be written:\r" + words;
    case TRunFailure::rfOutOfMemoryWriting:
      return "Not enough memory to write " + Quoted(output) + ".";
    default:
      return words;
  }
}

// "金额", "备注": names as the remarks quote them.
std::string Names(const std::vector<std::u16string>& names) {
  std::string text;
  for (const std::u16string& name : names) text += (text.empty() ? "" : ", ") + Quoted(name);
  return text;
}

std::string List(const std::vector<fs::path>& names) {
  std::string text;
  for (const fs::path& name : names) text += (text.empty() ? "" : ", ") + Quoted(name);
  return text;
}

}  // namespace

std::string NoteWords(const TNoteFacts& f) {
  std::string text;
  switch (f.kind) {
    case TNoteFacts::nkNone:
      break;
    case TNoteFacts::nkNoValues:
      text = "Gave no rows: the sheet holds no values.";
      break;
    case TNoteFacts::nkNoWorksheet:
      text = "Gave no rows: the workbook has no worksheet.";
      break;
    case TNoteFacts::nkNoDataRows:
      text = "Gave no rows below its " + Rows(f.rows) + " of header.";
      break;
    case TNoteFacts::nkStoppedAt:
      text = StoppedAtWords(f);
      break;
    case TNoteFacts::nkCutAtSplit:
      text = "Stopped at a split after " + Rows(f.rows) + " of the sheet: the rest of it was not merged.";
      break;
    case TNoteFacts::nkSheetsLeft:
      text = "Stopped before this sheet: it and the sheets after it were not merged.";
      break;
    case TNoteFacts::nkSheetMissing:
      text = "Passed over: the sheet could not be found (" + f.unreadable + ").";
      break;
    case TNoteFacts::nkColumnsLeftOut:
      text = ColumnsLeftOutWords(f);
      break;
    case TNoteFacts::nkUndecodable:
      text = "Bytes the encoding cannot decode, first on line " + std::to_string(f.row) +
             ", were read as U+FFFD.";
      break;
    case TNoteFacts::nkUnclosedQuote:
      text = "The quote opened on line " + std::to_string(f.row) +
             " is never closed: the rest of the file was read as its field.";
      break;
    case TNoteFacts::nkOneSheet:
      text = "A CSV file has one sheet: it was merged in place of the sheet asked for.";
      break;
    case TNoteFacts::nkFormatsLeftOut:
      text = "Numbers of some formats show as General: the output holds no more number formats.";
      break;
    case TNoteFacts::nkColumnsMatched:
      if (!f.lacking.empty()) text = "Lacks columns " + Names(f.lacking);
      if (!f.brought.empty()) text += (text.empty() ? "Brings new columns " : "; brings new columns ") + Names(f.brought);
      text += ".";
      break;
    case TNoteFacts::nkMatchedByPosition:
      text = "Its header cells are all empty: its columns were matched by position.";
      break;
    case TNoteFacts::nkUnionLeftOut:
      text = "Columns " + Names(f.lacking) + " were not merged: the output has " + std::to_string(f.outputColumns) +
             " columns";
      if (f.reserved > 0) text += ", the first " + std::to_string(f.reserved) + " for the source and mark";
      text += ".";
      break;
    case TNoteFacts::nkColumnsNotMatched: {
      std::string columns;
      for (uint32_t column : f.columns) columns += (columns.empty() ? "" : ", ") + ColumnName(column + 1);
      text = "Values in column" + std::string(f.columns.size() == 1 ? " " : "s ") + columns +
             " were not merged: the output has no column for them.";
      break;
    }
    case TNoteFacts::nkColumnsDiffer:
      text = "Its last header row differs from the first file's: its columns were stacked by position; "
             "matching columns by header (--match-columns) lines them up by name.";
      break;
  }
  return f.sheet.empty() ? text : "Sheet " + Quoted(f.sheet) + ": " + text;
}

std::string FileFailureWords(const TFileFailure& f) {
  std::string text = SheetProblemWords(f);
  if (!f.rowsStayIn.empty())
    text += "\rIts rows before the failure stay in " + Quoted(f.rowsStayIn) + ", which cannot drop rows.";
  if (!f.rowsWrittenTo.empty())
    text += "\rIts rows before the failure up to " + Quoted(f.rowsWrittenTo) + " had already been written.";
  return text;
}

std::string RunFailureWords(const TRunFailure& f) {
  std::string text;
  switch (f.what) {
    case TRunFailure::rfOther:
      text = f.file.words;
      break;
    case TRunFailure::rfOptions:
      text = OptionsWords(f.options) + "\rNothing was written.";
      break;
    case TRunFailure::rfClash:
    case TRunFailure::rfUnwritable:
    case TRunFailure::rfOutOfMemoryWriting:
      text = OutputWords(f.what, f.output, f.input, f.file.words, f.beforeAnyInput);
      break;
    case TRunFailure::rfOutOfMemoryMerging:
      text = "Not enough memory to merge " + Quoted(f.input) + ".";
      break;
    case TRunFailure::rfOutOfMemory:
      text = "Not enough memory to merge the files.";
      break;
    case TRunFailure::rfFile:
      text = "File " + Quoted(f.input) + " could not be merged:\r" + FileFailureWords(f.file);
      break;
  }
  switch (f.rest) {
    case TRunFailure::rsUnsaid:
      break;
    case TRunFailure::rsNothingWritten:
      text += f.written.empty() ? "\rNothing was written."
                                : "\rNothing was written after " + Quoted(f.written.back()) + ".";
      break;
    case TRunFailure::rsRowsBefore:
      text += "\rThe rows merged before it were written to " + Quoted(f.written.back()) + ".";
      break;
    case TRunFailure::rsRestFailed:
      text += "\r" + OutputWords(f.restWhat, f.restOutput, f.restInput, f.restWords, false);
      break;
  }
  if (!f.listed) return text;
  if (!f.written.empty()) text += "\rThis run wrote " + List(f.written) + ".";
  if (!f.older.empty()) text += "\rOlder outputs, not from this run: " + List(f.older) + ".";
  // Short of memory for the run's own work, the outputs are what is worth the memory left.
  if (f.what == TRunFailure::rfOutOfMemory) return text;
  for (const TFileNote& note : f.skipped)
    text += "\rPassed over: " + Quoted(note.file) + ": " + FileFailureWords(note.failure);
  for (const TFileNote& note : f.notes) text += "\r" + Quoted(note.file) + ": " + NoteWords(note.facts);
  return text;
}

}  // namespace plicato
