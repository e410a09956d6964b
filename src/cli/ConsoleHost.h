// The merge as the command line shows it on stderr, in English: the progress line, the remarks on files as
// they end, and the summary of the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>

#include "merge/MergeEngine.h"

namespace plicato {

// The command line's view of the window-level state, in English. On a terminal, the progress is one line
// redrawn in place (file n of N, rows so far, time taken, the file's name); otherwise (a log, a pipe) and
// when quiet, there is none.
class TConsoleHost : public TMergeHost {
 public:
  explicit TConsoleHost(bool quiet);

  // A remark on a file comes as the file ends, so that a log shows it beside the time it was made.
  void AddNote(const TFileNote& note) override;
  void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) override {
    file_ = file.string();
    done_ = index;
    total_ = total;
    rows_ = 0;
    if (terminal_ && !file_.empty()) Draw();
  }
  void FileMerged(int32_t, int32_t) override {}
  void RunEnded(const TMergeReport&) override { EndLine(); }
  void SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) override {
    done_ = filesDone;
    total_ = filesTotal;
    rows_ = rowsOfFile;
    // A few redraws a second are enough to read; more would cost the terminal more than the merge.
    if (terminal_ && !file_.empty() &&
        std::chrono::steady_clock::now() - drawnAt_ >= std::chrono::milliseconds(100))
      Draw();
  }

  // Ends the line drawn in place, so that what is written next starts on a line of its own.
  void EndLine() {
    if (drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }

  // Seconds since the host was made, as the summary gives them.
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  // "file 3 of 12, 1234 rows, 0:04  NAME" (the rows taken from that file so far), the name cut from the left
  // to the terminal's width so that the line never wraps.
  void Draw();

  // The end of text in at most room characters (UTF-8 sequences counted as one and kept whole).
  static std::string Tail(const std::string& text, size_t room);

  bool quiet_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point drawnAt_;
  bool drawn_ = false;
  std::string file_;
  int32_t done_ = 0;
  int32_t total_ = 0;
  int64_t rows_ = 0;  // of the current file, as the engine last told them
};

// The last line of a run: the files merged (and skipped), the rows written and where, the continuation
// files beside them that this run did not write, and the time taken.
std::string Summary(const TMergeReport& report, int32_t found, size_t skipped, double seconds);

}  // namespace plicato
