// The run's report: the remarks on each file as it is merged (kept aside until the file is through, so
// that a file that fails takes its remarks with it), the files passed over, and the report MergeFiles
// returns. The other parts of the run decide what happened and hand the facts here; remarks are facts
// (TNoteFacts), and the hosts word them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>


#include "merge/MergeEngine.h"
#include "merge/RowSource.h"

namespace plicato {

class TMergeHost;

// The reader's words for a password that does not open a file, and for a file that needs one.
inline constexpr char kInvalidPassword[] = "Invalid password";
inline constexpr char kPasswordRequired[] = "File is encrypted. Password required.";

// What the count of a classic sheet's rows left behind found: the rows with values from the row that
// ended its rows on; a count stopped by a stop request or by damage is a lower bound.
struct TRowsLeft {
  int64_t left = 0;
  bool stopped = false;     // the count was stopped
  bool unreadable = false;  // the rest of the sheet could not be read: why
  std::string why;
};

class TRunReport {
 public:
  // The sheet the remarks made from now on are about, where every sheet of a file is merged; else empty.
  void SetSheet(std::u16string label) { sheet_ = std::move(label); }

  // Remarks on the file being merged.
  void NoteFormatsLeftOut();  // once a run
  bool FormatsNoted() const { return formatsNoted_; }
  void NoteSheetMissing(const std::string& why);
  void NoteCutAtSplit(int64_t taken);
  void NoteNoValues();
  void NoteNoDataRows(int64_t header);
  void NoteRemark(const TInRemark& remark);
  void NoteRowsLeft(int64_t taken, uint32_t endRow, const TRowsLeft& count);
  void NoteOneSheet();
  void NoteNoWorksheet();
  void NoteSheetsLeft();
  // Columns from fit on were not merged; the sheet has values up to lastColumn. When fit is short of the
  // columns read (limit), the output's columns, reserved of them for the source and mark, are why.
  void NoteColumnsLeftOut(uint32_t fit, uint32_t limit, uint32_t lastColumn, uint32_t outputColumns,
                          uint32_t reserved);
  // Matching columns by header: what the sheet lacks and brings (names), that it was laid out by position,
  // the union's columns past the output's width (once a run), the sheet's columns left out; without it,
  // that the sheet's last header row differs from the first file's.
  void NoteColumnsMatched(const std::vector<std::u16string>& lacking, const std::vector<std::u16string>& brought);
  void NoteMatchedByPosition();
  void NoteUnionLeftOut(const std::vector<std::u16string>& names, uint32_t outputColumns, uint32_t reserved);
  void NoteColumnsNotMatched(const std::vector<uint32_t>& columns);
  void NoteColumnsDiffer();

  // The file's remarks, made as it ends: in the report, and to the host as they are made.
  void FlushNotes(TMergeHost& host, const std::filesystem::path& path);
  // A file that failed: its remarks go with it.
  void DropFileNotes() { fileNotes_.clear(); }
  void Skip(const std::filesystem::path& path, TFileFailure failure);

  TMergeReport& Value() { return report_; }
  const TMergeReport& Value() const { return report_; }

  // The failure that ends the run given what the run wrote, the continuation files beside them that are
  // older, the files passed over and the remarks so far.
  void List(TRunFailure& failure, const std::vector<std::filesystem::path>& written,
            std::vector<std::filesystem::path> older) const;

 private:
  void Note(TNoteFacts facts);

  TMergeReport report_;
  std::vector<TFileNote> fileNotes_;  // the current file's remarks (without the file)
  std::u16string sheet_;
  bool formatsNoted_ = false;  // the output's lack of room for number formats was said, once a run
};

}  // namespace plicato
