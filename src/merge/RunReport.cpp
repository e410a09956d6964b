#include "merge/RunReport.h"

#include "biff/CodePage.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

std::string Shown(const fs::path& path) {
  return path.string();
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

// "金额", "备注": names as the remarks quote them.
std::string Names(const std::vector<std::u16string>& names) {
  std::string text;
  for (const std::u16string& name : names) text += (text.empty() ? "\"" : ", \"") + ToUtf8(name) + "\"";
  return text;
}

TNoteFacts Facts(TNoteFacts::TKind kind, int64_t rows = 0) {
  TNoteFacts facts;
  facts.kind = kind;
  facts.rows = rows;
  return facts;
}

}  // namespace

void TRunReport::Note(const std::string& text, TNoteFacts facts) {
  facts.sheet = sheet_;
  TFileNote note;
  note.text = sheet_.empty() ? text : "Sheet \"" + ToUtf8(sheet_) + "\": " + text;
  note.facts = std::move(facts);
  fileNotes_.push_back(std::move(note));
}

void TRunReport::NoteFormatsLeftOut() {
  formatsNoted_ = true;
  Note("Numbers of some formats show as General: the output holds no more number formats.",
       Facts(TNoteFacts::nkFormatsLeftOut));
}

void TRunReport::NoteSheetMissing(const std::string& why) {
  TNoteFacts facts = Facts(TNoteFacts::nkSheetMissing);
  facts.unreadable = why;
  Note("Passed over: the sheet could not be found (" + why + ").", facts);
}

void TRunReport::NoteCutAtSplit(int64_t taken) {
  Note("Stopped at a split after " + Rows(taken) + " of the sheet: the rest of it was not merged.",
       Facts(TNoteFacts::nkCutAtSplit, taken));
}

void TRunReport::NoteNoValues() {
  Note("Gave no rows: the sheet holds no values.", Facts(TNoteFacts::nkNoValues));
}

void TRunReport::NoteNoDataRows(int64_t header) {
  Note("Gave no rows below its " + Rows(header) + " of header.", Facts(TNoteFacts::nkNoDataRows, header));
}

void TRunReport::NoteRemark(const TInRemark& remark) {
  const bool undecodable = remark.kind == TInRemark::rkUndecodable;
  TNoteFacts facts = Facts(undecodable ? TNoteFacts::nkUndecodable : TNoteFacts::nkUnclosedQuote);
  facts.row = remark.line;
  const std::string line = "line " + std::to_string(remark.line);
  Note(undecodable
           ? "Bytes the encoding cannot decode, first on " + line + ", were read as U+FFFD."
           : "The quote opened on " + line + " is never closed: the rest of the file was read as its field.",
       facts);
}

// Classic mode: the rows with values the sheet holds from the row that ended its rows on (endRow,
// one-based), said when there are any, and a sheet that gave no rows said in any case.
void TRunReport::NoteRowsLeft(int64_t taken, uint32_t endRow, const TRowsLeft& count) {
  const int64_t left = count.left;
  std::string incomplete;
  TNoteFacts facts = Facts(TNoteFacts::nkStoppedAt, taken);
  facts.row = endRow;
  if (count.unreadable) {
    incomplete = " (the rest of the sheet could not be read: " + count.why + ")";
    facts.leftAtLeast = true;
    facts.unreadable = count.why;
  } else if (count.stopped) {
    incomplete = " (the count was stopped)";
    facts.leftAtLeast = true;
  }
  const std::string counted = (incomplete.empty() ? "" : "at least ") + Rows(left) + " with values";
  const std::string were = left == 1 && incomplete.empty() ? " was" : " were";
  const std::string where = "row " + std::to_string(endRow) + ", which has no text";
  facts.left = left;
  if (taken == 0 && left == 0 && incomplete.empty()) {
    NoteNoValues();
  } else if (taken == 0) {
    Note("Gave no rows: stopped at " + where + "; " + counted + were + " not merged" + incomplete + ".", facts);
  } else if (left > 0) {
    Note("Stopped at " + where + ", after " + Rows(taken) + ": " + counted + " from there on" + were +
             " not merged" + incomplete + ".",
         facts);
  }
}

void TRunReport::NoteOneSheet() {
  Note("A CSV file has one sheet: it was merged in place of the sheet asked for.", Facts(TNoteFacts::nkOneSheet));
}

void TRunReport::NoteNoWorksheet() {
  Note("Gave no rows: the workbook has no worksheet.", Facts(TNoteFacts::nkNoWorksheet));
}

void TRunReport::NoteSheetsLeft() {
  Note("Stopped before this sheet: it and the sheets after it were not merged.", Facts(TNoteFacts::nkSheetsLeft));
}

void TRunReport::NoteColumnsLeftOut(uint32_t fit, uint32_t limit, uint32_t lastColumn, uint32_t outputColumns,
                                    uint32_t reserved) {
  std::string text = "Columns after the " + Ordinal(fit) + " (" + ColumnName(fit) + ") were not merged";
  if (fit < limit)
    text += ": the output has " + std::to_string(outputColumns) + " columns, the first " +
            std::to_string(reserved) + " for the source and mark";
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsLeftOut);
  facts.column = fit;
  facts.lastColumn = lastColumn;
  if (fit < limit) {
    facts.outputColumns = outputColumns;
    facts.reserved = reserved;
  }
  Note(text + "; the sheet has values up to column " + ColumnName(lastColumn) + ".", facts);
}

void TRunReport::NoteColumnsMatched(const std::vector<std::u16string>& lacking,
                                    const std::vector<std::u16string>& brought) {
  std::string text;
  if (!lacking.empty()) text = "Lacks columns " + Names(lacking);
  if (!brought.empty()) text += (text.empty() ? "Brings new columns " : "; brings new columns ") + Names(brought);
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsMatched);
  facts.lacking = lacking;
  facts.brought = brought;
  Note(text + ".", facts);
}

void TRunReport::NoteMatchedByPosition() {
  Note("Its header cells are all empty: its columns were matched by position.", Facts(TNoteFacts::nkMatchedByPosition));
}

void TRunReport::NoteUnionLeftOut(const std::vector<std::u16string>& names, uint32_t outputColumns,
                                  uint32_t reserved) {
  TNoteFacts facts = Facts(TNoteFacts::nkUnionLeftOut);
  facts.lacking = names;
  facts.outputColumns = outputColumns;
  facts.reserved = reserved;
  std::string text = "Columns " + Names(names) + " were not merged: the output has " + std::to_string(outputColumns) +
                     " columns";
  if (reserved > 0) text += ", the first " + std::to_string(reserved) + " for the source and mark";
  Note(text + ".", facts);
}

void TRunReport::NoteColumnsNotMatched(const std::vector<uint32_t>& columns) {
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsNotMatched);
  facts.columns = columns;
  std::string text;
  for (uint32_t column : columns) text += (text.empty() ? "" : ", ") + ColumnName(column + 1);
  Note("Values in column" + std::string(columns.size() == 1 ? " " : "s ") + text +
           " were not merged: the output has no column for them.",
       facts);
}

void TRunReport::NoteColumnsDiffer() {
  Note("Its last header row differs from the first file's: its columns were stacked by position; "
       "matching columns by header (--match-columns) lines them up by name.",
       Facts(TNoteFacts::nkColumnsDiffer));
}

void TRunReport::FlushNotes(TMergeHost& host, const fs::path& path) {
  for (TFileNote& note : fileNotes_) {
    host.AddNote(path, note.text);
    note.file = path;
    report_.notes.push_back(std::move(note));
  }
  fileNotes_.clear();
}

void TRunReport::Skip(const fs::path& path, const std::string& reason, TErrorKind kind) {
  report_.skipped.push_back({path, reason, kind});
}

std::string TRunReport::ReportText() const {
  std::string text;
  for (const TFileNote& note : report_.skipped)
    text += "\rPassed over: \"" + Shown(note.file) + "\": " + note.text;
  for (const TFileNote& note : report_.notes) text += "\r\"" + Shown(note.file) + "\": " + note.text;
  return text;
}

std::string TRunReport::OutputsText(const std::vector<fs::path>& written, const std::vector<fs::path>& older) {
  auto list = [](const std::vector<fs::path>& names) {
    std::string text;
    for (const fs::path& name : names) text += (text.empty() ? "\"" : ", \"") + Shown(name) + "\"";
    return text;
  };
  std::string text;
  if (!written.empty()) text += "\rThis run wrote " + list(written) + ".";
  if (!older.empty()) text += "\rOlder outputs, not from this run: " + list(older) + ".";
  return text;
}

std::string TRunReport::ClashText(const fs::path& output, const fs::path& input, bool nothingWritten) {
  return "The output \"" + Shown(output) + "\" is the listed file \"" + Shown(input) +
         "\":\rchoose another save path." + (nothingWritten ? " Nothing was written." : "");
}

std::string TRunReport::UnwritableText(const fs::path& output, const std::string& why) {
  return "The output \"" + Shown(output) + "\" could not be written:\r" + why;
}

std::string TRunReport::OutOfMemoryWritingText(const fs::path& output) {
  return "Not enough memory to write \"" + Shown(output) + "\".";
}

std::string TRunReport::OutOfMemoryMergingText(const fs::path& input, const std::vector<fs::path>& written) {
  return "Not enough memory to merge \"" + Shown(input) + "\".\r" + NothingWrittenText(written);
}

std::string TRunReport::OutOfMemoryText() {
  return "Not enough memory to merge the files.";
}

std::string TRunReport::NoWorksheetText() {
  return "The workbook has no worksheet.";
}

std::string TRunReport::NoSheetNumberText(size_t sheets, size_t index) {
  return "The workbook has " + std::to_string(sheets) + (sheets == 1 ? " sheet" : " sheets") +
         ": there is no sheet " + std::to_string(index + 1) + " (sheets are counted from 1).";
}

std::string TRunReport::NotWorksheetText(size_t index, const std::u16string& name) {
  return "Sheet " + std::to_string(index + 1) + " (\"" + ToUtf8(name) + "\") is not a worksheet.";
}

std::string TRunReport::NamedNotWorksheetText(const std::u16string& name) {
  return "The sheet \"" + ToUtf8(name) + "\" is not a worksheet.";
}

std::string TRunReport::NoSheetNamedText(const std::u16string& name) {
  return "The workbook has no sheet named \"" + ToUtf8(name) + "\".";
}

std::string TRunReport::RowsStayText(const fs::path& output) {
  return "Its rows before the failure stay in \"" + Shown(output) + "\", which cannot drop rows.";
}

std::string TRunReport::RowsWrittenText(const fs::path& output) {
  return "Its rows before the failure up to \"" + Shown(output) + "\" had already been written.";
}

std::string TRunReport::FileFailedText(const fs::path& input, const std::string& reason) {
  return "File \"" + Shown(input) + "\" could not be merged:\r" + reason;
}

std::string TRunReport::RowsBeforeWrittenText(const fs::path& output) {
  return "The rows merged before it were written to \"" + Shown(output) + "\".";
}

std::string TRunReport::NothingWrittenText(const std::vector<fs::path>& written) {
  return written.empty() ? "Nothing was written." : "Nothing was written after \"" + Shown(written.back()) + "\".";
}

}  // namespace plicato
