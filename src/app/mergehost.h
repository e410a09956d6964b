// The window's side of the merge engine: the save path as the window keeps it current (read again at each
// split), and the run's events (a file begun, a file merged,
// the progress, the run's end) handed as values to a delivery function that posts them to the window's
// thread in order; the window makes its texts from them.
//
// The engine runs on the merge job's thread and never reaches a widget. The counters live in the
// TMergeHost base as atomics shared with the window and the scan. A password question is the one call
// that waits for the window: it is posted like a status and the engine's thread sleeps until the window
// answers it or gives up all questions (when it goes away).
#pragma once

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "merge/MergeEngine.h"

namespace plicato {

class TWindowMergeHost : public TMergeHost {
 public:
  enum class TEvent {
    FileNumber,   // a file begins: its one-based number (filesDone) of filesTotal
    CurrentFile,  // ... and then its path (file), once FileBeginHook has returned
    Counts,       // a file merged: found, merged
    Bar,          // how far the run is: filesDone of filesTotal, rowsOfFile
    RunEnded,     // the run has returned its report; stopped: before the list's end
    RunFailed,    // the run fails: file, the input that failed, output, the output that failed, and failure
  };
  struct TStatus {
    TEvent event = TEvent::Bar;
    QString file;
    QString output;
    int32_t filesDone = 0;
    int32_t filesTotal = 0;
    int64_t rowsOfFile = 0;
    int32_t found = 0;
    int32_t merged = 0;
    bool stopped = false;
    std::shared_ptr<const TRunFailure> failure;  // of RunFailed: what ended the run
  };
  // Called on the merge thread; must not block on the window's thread.
  using TDeliver = std::function<void(const TStatus& status)>;
  // Called on the merge thread: post the question (its number and the file) to the window's thread,
  // which answers it with AnswerPassword. Must not block.
  using TAsk = std::function<void(uint64_t question, const QString& file)>;

  TWindowMergeHost(TDeliver deliver, TAsk ask);

  // Window thread: kept current from the save-path field.
  void SetSavePathText(const QString& path);

  // Window thread: answers question number `question`; nothing gives the file up. A late answer to a
  // question no longer asked is ignored.
  void AnswerPassword(uint64_t question, std::optional<std::u16string> password);
  // Window thread: every question asked now or later is answered with nothing at once, until
  // AllowQuestions. Used when the window goes, so that a waiting engine is never left asleep.
  void CancelQuestions();
  void AllowQuestions();

  std::filesystem::path SavePathAtSplit() override;
  std::optional<std::u16string> AskPassword(const std::filesystem::path& file) override;

  void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) override;
  void FileMerged(int32_t found, int32_t merged) override;
  void RunEnded(const TMergeReport& report) override;
  void RunFailed(const TRunFailure& failure) override;
  void SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) override;

  // Called on the merge thread each time a file begins, between its number and its path. A seam for
  // tests (and the screenshot) that need the merge held at a known file; set it before the run starts.
  std::function<void(const QString& path)> FileBeginHook;

 private:
  TDeliver deliver_;
  TAsk ask_;
  std::mutex mutex_;  // guards savePath_
  std::string savePath_;

  std::mutex questionMutex_;  // guards the question state below
  std::condition_variable questionAnswered_;
  uint64_t question_ = 0;  // the number of the latest question
  uint64_t answered_ = 0;  // the number of the latest question answered
  std::optional<std::u16string> answer_;
  bool questionsCancelled_ = false;
};

}  // namespace plicato
