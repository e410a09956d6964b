// The command line's English for each fact the merge reports: remarks, files passed over, failures.
#include <gtest/gtest.h>

#include "cli/Wording.h"

namespace plicato {

namespace {

TNoteFacts Note(TNoteFacts::TKind kind, int64_t rows = 0, uint32_t row = 0, int64_t left = 0) {
  TNoteFacts f;
  f.kind = kind;
  f.rows = rows;
  f.row = row;
  f.left = left;
  return f;
}

}  // namespace

TEST(Wording, EachFactInTheCommandLinesEnglish) {
  TNoteFacts atLeast = Note(TNoteFacts::nkStoppedAt, 0, 4, 1),
             unreadable = Note(TNoteFacts::nkStoppedAt, 3, 4, 2);
  atLeast.leftAtLeast = unreadable.leftAtLeast = true;
  unreadable.unreadable = "Bad record";
  TNoteFacts columns = Note(TNoteFacts::nkColumnsLeftOut), sheet = Note(TNoteFacts::nkNoValues);
  columns.column = 254, columns.lastColumn = 255, columns.outputColumns = 256, columns.reserved = 2;
  sheet.sheet = u"一月";
  TNoteFacts matched = Note(TNoteFacts::nkColumnsMatched), unmatched = Note(TNoteFacts::nkColumnsNotMatched);
  matched.lacking = {u"备注"}, matched.brought = {u"折扣", u"客户"};
  unmatched.columns = {0, 26};
  const std::pair<TNoteFacts, const char*> notes[] = {
      {Note(TNoteFacts::nkNoWorksheet), "Gave no rows: the workbook has no worksheet."},
      {matched, "Lacks columns \"备注\"; brings new columns \"折扣\", \"客户\"."},
      {unmatched, "Values in columns A, AA were not merged: the output has no column for them."},
      {Note(TNoteFacts::nkNoDataRows, 1), "Gave no rows below its 1 row of header."},
      {Note(TNoteFacts::nkStoppedAt, 1, 2, 1),
       "Stopped at row 2, which has no text, after 1 row: 1 row with values from there on was not merged."},
      {atLeast,
       "Gave no rows: stopped at row 4, which has no text; at least 1 row with values were not merged "
       "(the count was stopped)."},
      {unreadable,
       "Stopped at row 4, which has no text, after 3 rows: at least 2 rows with values from there on "
       "were not merged (the rest of the sheet could not be read: Bad record)."},
      {Note(TNoteFacts::nkCutAtSplit, 65536),
       "Stopped at a split after 65536 rows of the sheet: the rest of it was not merged."},
      {Note(TNoteFacts::nkSheetsLeft),
       "Stopped before this sheet: it and the sheets after it were not merged."},
      {columns,
       "Columns after the 254th (IT) were not merged: the output has 256 columns, the first 2 for the "
       "source and mark; the sheet has values up to column IU."},
      {Note(TNoteFacts::nkUndecodable, 0, 7),
       "Bytes the encoding cannot decode, first on line 7, were read as U+FFFD."},
      {Note(TNoteFacts::nkUnclosedQuote, 0, 2),
       "The quote opened on line 2 is never closed: the rest of the file was read as its field."},
      {Note(TNoteFacts::nkOneSheet),
       "A CSV file has one sheet: it was merged in place of the sheet asked for."},
      {sheet, "Sheet \"一月\": Gave no rows: the sheet holds no values."},
  };
  for (const auto& [facts, words] : notes) EXPECT_EQ(NoteWords(facts), words);

  // A failing file after a note and a file passed over; its rows partly written, partly kept.
  TRunFailure file = TRunFailure::Of(TRunFailure::rfFile, "b.xls");
  file.file.sheetProblem = TFileFailure::spNoSheetNumber;
  file.file.sheets = 1, file.file.index = 2;
  file.file.rowsStayIn = "o-1.csv";
  file.file.rowsWrittenTo = "o.csv";
  file.rest = TRunFailure::rsRowsBefore;
  file.written = {"o.csv", "o-1.csv"};
  file.older = {"o-2.csv"};
  file.listed = true;
  file.skipped.resize(1);
  file.skipped[0].file = "a.xls";
  file.skipped[0].failure.sheetProblem = TFileFailure::spNamedNotWorksheet;
  file.skipped[0].failure.sheetName = u"Chart";
  file.notes.resize(1);
  file.notes[0].file = "c.xls";
  file.notes[0].facts = Note(TNoteFacts::nkNoValues);
  TRunFailure clash = TRunFailure::Of(TRunFailure::rfClash, "in.xls", "out.xls");
  clash.beforeAnyInput = true;
  TRunFailure rest = TRunFailure::Of(TRunFailure::rfOutOfMemoryMerging, "big.xls");
  rest.rest = TRunFailure::rsRestFailed;
  rest.restWhat = TRunFailure::rfUnwritable;
  rest.restOutput = "o.xls";
  rest.restWords = "Disk full";
  TRunFailure options = TRunFailure::Of(TRunFailure::rfOptions);
  options.options = TOptionsProblem::sheetNumber;
  const std::pair<TRunFailure, const char*> failures[] = {
      {file,
       "File \"b.xls\" could not be merged:\rThe workbook has 1 sheet: there is no sheet 3 (sheets are "
       "counted "
       "from 1).\rIts rows before the failure stay in \"o-1.csv\", which cannot drop rows.\rIts rows before "
       "the failure up to \"o.csv\" had already been written.\rThe rows merged before it were written to "
       "\"o-1.csv\".\rThis run wrote \"o.csv\", \"o-1.csv\".\rOlder outputs, not from this run: \"o-2.csv\"."
       "\rPassed over: \"a.xls\": The sheet \"Chart\" is not a worksheet.\r\"c.xls\": Gave no rows: the "
       "sheet holds no values."},
      {clash,
       "The output \"out.xls\" is the listed file \"in.xls\":\rchoose another save path. Nothing was "
       "written."},
      {rest,
       "Not enough memory to merge \"big.xls\".\rThe output \"o.xls\" could not be written:\rDisk full"},
      {TRunFailure::Of(TRunFailure::rfOutOfMemoryWriting, {}, "o.xls"),
       "Not enough memory to write \"o.xls\"."},
      {TRunFailure::Of(TRunFailure::rfOutOfMemory), "Not enough memory to merge the files."},
      {options, "Sheet numbers count from 1.\rNothing was written."},
  };
  for (const auto& [facts, words] : failures) EXPECT_EQ(RunFailureWords(facts), words);
}

}  // namespace plicato
