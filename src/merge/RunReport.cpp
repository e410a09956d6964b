#include "merge/RunReport.h"

namespace plicato {

namespace {

namespace fs = std::filesystem;

TNoteFacts Facts(TNoteFacts::TKind kind, int64_t rows = 0) {
  TNoteFacts facts;
  facts.kind = kind;
  facts.rows = rows;
  return facts;
}

}  // namespace

void TRunReport::Note(TNoteFacts facts) {
  facts.sheet = sheet_;
  TFileNote note;
  note.facts = std::move(facts);
  fileNotes_.push_back(std::move(note));
}

void TRunReport::NoteFormatsLeftOut() {
  formatsNoted_ = true;
  Note(Facts(TNoteFacts::nkFormatsLeftOut));
}

void TRunReport::NoteSheetMissing(const std::string& why) {
  TNoteFacts facts = Facts(TNoteFacts::nkSheetMissing);
  facts.unreadable = why;
  Note(std::move(facts));
}

void TRunReport::NoteCutAtSplit(int64_t taken) {
  Note(Facts(TNoteFacts::nkCutAtSplit, taken));
}

void TRunReport::NoteNoValues() {
  Note(Facts(TNoteFacts::nkNoValues));
}

void TRunReport::NoteNoDataRows(int64_t header) {
  Note(Facts(TNoteFacts::nkNoDataRows, header));
}

void TRunReport::NoteRemark(const TInRemark& remark) {
  const bool undecodable = remark.kind == TInRemark::rkUndecodable;
  TNoteFacts facts = Facts(undecodable ? TNoteFacts::nkUndecodable : TNoteFacts::nkUnclosedQuote);
  facts.row = remark.line;
  Note(std::move(facts));
}

// Classic mode: the rows with values the sheet holds from the row that ended its rows on (endRow,
// one-based), said when there are any, and a sheet that gave no rows said in any case.
void TRunReport::NoteRowsLeft(int64_t taken, uint32_t endRow, const TRowsLeft& count) {
  TNoteFacts facts = Facts(TNoteFacts::nkStoppedAt, taken);
  facts.row = endRow;
  facts.left = count.left;
  facts.leftAtLeast = count.unreadable || count.stopped;
  if (count.unreadable) facts.unreadable = count.why;
  if (taken == 0 && count.left == 0 && !facts.leftAtLeast) {
    NoteNoValues();
  } else if (taken == 0 || count.left > 0) {
    Note(std::move(facts));
  }
}

void TRunReport::NoteOneSheet() {
  Note(Facts(TNoteFacts::nkOneSheet));
}

void TRunReport::NoteNoWorksheet() {
  Note(Facts(TNoteFacts::nkNoWorksheet));
}

void TRunReport::NoteSheetsLeft() {
  Note(Facts(TNoteFacts::nkSheetsLeft));
}

void TRunReport::NoteColumnsLeftOut(uint32_t fit, uint32_t limit, uint32_t lastColumn, uint32_t outputColumns,
                                    uint32_t reserved) {
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsLeftOut);
  facts.column = fit;
  facts.lastColumn = lastColumn;
  if (fit < limit) {
    facts.outputColumns = outputColumns;
    facts.reserved = reserved;
  }
  Note(std::move(facts));
}

void TRunReport::NoteColumnsMatched(const std::vector<std::u16string>& lacking,
                                    const std::vector<std::u16string>& brought) {
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsMatched);
  facts.lacking = lacking;
  facts.brought = brought;
  Note(std::move(facts));
}

void TRunReport::NoteMatchedByPosition() {
  Note(Facts(TNoteFacts::nkMatchedByPosition));
}

void TRunReport::NoteUnionLeftOut(const std::vector<std::u16string>& names, uint32_t outputColumns,
                                  uint32_t reserved) {
  TNoteFacts facts = Facts(TNoteFacts::nkUnionLeftOut);
  facts.lacking = names;
  facts.outputColumns = outputColumns;
  facts.reserved = reserved;
  Note(std::move(facts));
}

void TRunReport::NoteColumnsNotMatched(const std::vector<uint32_t>& columns) {
  TNoteFacts facts = Facts(TNoteFacts::nkColumnsNotMatched);
  facts.columns = columns;
  Note(std::move(facts));
}

void TRunReport::NoteColumnsDiffer() {
  Note(Facts(TNoteFacts::nkColumnsDiffer));
}

void TRunReport::FlushNotes(TMergeHost& host, const fs::path& path) {
  for (TFileNote& note : fileNotes_) {
    note.file = path;
    host.AddNote(note);
    report_.notes.push_back(std::move(note));
  }
  fileNotes_.clear();
}

void TRunReport::Skip(const fs::path& path, TFileFailure failure) {
  TFileNote note;
  note.file = path;
  note.kind = failure.kind;
  note.failure = std::move(failure);
  report_.skipped.push_back(std::move(note));
}

void TRunReport::List(TRunFailure& failure, const std::vector<fs::path>& written, std::vector<fs::path> older) const {
  failure.written = written;
  failure.older = std::move(older);
  failure.skipped = report_.skipped;
  failure.notes = report_.notes;
  failure.listed = true;
}

}  // namespace plicato
