// What the merge tests share: a host that records what the engine reports, and inputs made in memory.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CodePage.h"
#include "cli/Wording.h"
#include "merge/MergeEngine.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"
#include "xlsx/XlsxBuild.h"

namespace plicato {

// Records what the engine reports, in order; and holds the run's options, field by field, for MergeFiles
// below.
class TRecordingHost : public TMergeHost {
 public:
  std::vector<std::string> files;
  std::string savePath;
  bool mark = false;
  TMergeOptions options;  // the rest of the run's options
  std::vector<std::string> events;
  // Asked before each file begins (after its progress text): lets a test press Stop mid-run.
  std::function<void(const std::string&)> onFileBegins;
  bool skip = false;
  std::vector<std::u16string> passwords;
  std::vector<std::optional<std::u16string>> answers;  // given in turn when asked; then nothing
  std::vector<std::string> asked;
  std::vector<std::array<int64_t, 3>> progress;
  std::vector<std::string> notes;                  // "file name: text" (in English), as the notes were made
  std::vector<std::array<std::string, 2>> failed;  // the input and the output each failed run blamed
  std::function<std::filesystem::path(const std::filesystem::path&)> sourceName;
  std::string savePathAtSplit;  // what SavePathAtSplit gives; empty: the run's own

  // The options of a run: options with the fields above.
  TMergeOptions RunOptions() const {
    TMergeOptions run = options;
    run.files.assign(files.begin(), files.end());
    run.savePath = savePath;
    run.markRows = mark;
    run.skipUnreadable = skip;
    run.passwords = passwords;
    if (sourceName)
      for (const std::filesystem::path& file : run.files) run.sourceNames.push_back(sourceName(file));
    return run;
  }

  // The events with their values: a file's one-based number and path, the counts, the end.
  void FileBegun(int32_t index, int32_t, const std::filesystem::path& file) override {
    events.push_back("begun:" + std::to_string(index + 1));
    events.push_back("file:" + file.string());
    if (onFileBegins) onFileBegins(file.string());
  }
  void FileMerged(int32_t found, int32_t merged) override {
    events.push_back("count:" + std::to_string(found) + "/" + std::to_string(merged));
  }
  void RunEnded(const TMergeReport& report) override {
    events.push_back(report.stopped ? "ended:stopped" : "ended");
  }
  std::filesystem::path SavePathAtSplit() override { return savePathAtSplit; }
  std::optional<std::u16string> AskPassword(const std::filesystem::path& file) override {
    asked.push_back(file.filename().string());
    return asked.size() <= answers.size() ? answers[asked.size() - 1] : std::nullopt;
  }
  void SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) override {
    progress.push_back({filesDone, filesTotal, rowsOfFile});
  }
  void RunFailed(const TRunFailure& failure) override {
    failed.push_back({BlamedInput(failure).string(), BlamedOutput(failure).string()});
  }
  void AddNote(const TFileNote& note) override {
    notes.push_back(note.file.filename().string() + ": " + NoteWords(note.facts));
  }
};

// What the command line says of a failure, and of a note (a remark, or a file passed over).
inline std::string Said(const EMergeError& e) {
  return RunFailureWords(e.Facts());
}
inline std::string Said(const TFileNote& note) {
  return note.facts.kind != TNoteFacts::nkNone ? NoteWords(note.facts) : FileFailureWords(note.failure);
}

// A run of the host's options.
inline TMergeReport MergeFiles(TRecordingHost& host) {
  return MergeFiles(host, host.RunOptions());
}

using Row = std::vector<std::u16string>;

// An input workbook: its first worksheet's cells put by the given function.
inline void WriteInput(const std::filesystem::path& path, const std::function<void(TSheet&)>& fill) {
  TXLSWorkbook wb;
  fill(wb.Sheets()[0]);
  wb.Filename = FileNameFromPath(path);
  WriteWorkbook(wb);
}

inline void WriteTextRows(const std::filesystem::path& path, int rows, const std::string& prefix,
                          int width = 3) {
  WriteInput(path, [&](TSheet& s) {
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < width; ++c)
        s.PutText(c, r, FromUtf8(prefix + std::to_string(r) + "." + std::to_string(c)));
  });
}

// An .xlsx workbook at path: the sheet XML's rows, and shared string items when there are any.
inline void WriteXlsx(const std::filesystem::path& path, const std::string& rows,
                      const std::string& strings = "") {
  test::WriteFileBytes(
      path, test::BuildZip(test::WorkbookParts(test::SheetXml(rows),
                                               strings.empty() ? "" : test::SharedStringsXml(strings))));
}

// rows rows of an inline text "L<n>" and the number n + 0.5, from row first (one-based) on.
inline std::string XlsxTextRows(int rows, int first = 1) {
  std::string xml;
  for (int r = first; r < first + rows; ++r) {
    const std::string n = std::to_string(r);
    xml += "<row r=\"" + n + "\"><c r=\"A" + n + "\" t=\"inlineStr\"><is><t>L" + n + "</t></is></c><c r=\"B" +
           n + "\"><v>" + n + ".5</v></c></row>";
  }
  return xml;
}

// An output's cells as our reader sees them.
struct TOutput {
  explicit TOutput(const std::filesystem::path& path) {
    wb.Filename = FileNameFromPath(path);
    ReadWorkbook(wb);
  }
  TSheet& Sheet() { return wb.Sheets()[0]; }
  int LastRow() { return Sheet().Cells().IsEmpty() ? -1 : Sheet().Cells().CalcBounds().lastRow; }
  std::u16string Text(int column, int row) { return Sheet().GetStringText(column, row); }
  TXLSWorkbook wb;
};

}  // namespace plicato
