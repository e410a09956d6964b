// The window's side of the merge engine: what the engine reads (the file list, the save path, the
// options) as values the window keeps current for it, and the run's events (a file begun, a file merged,
// the progress, the run's end) handed as values to a delivery function that posts them to the window's
// thread in order; the window makes its texts from them.
//
// The engine runs on the merge job's thread and never reaches a widget. The counters live in the
// TMergeHost base as atomics shared with the window and the scan. A password question is the one call
// that waits for the window: it is posted like a status and the engine's thread sleeps until the window
// answers it or gives up all questions (when it goes away).
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
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
    RunFailed,    // the run fails: file, the input that failed, and output, the output that failed
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
  };
  // Called on the merge thread; must not block on the window's thread.
  using TDeliver = std::function<void(const TStatus& status)>;
  // Called on the merge thread: post the question (its number and the file) to the window's thread,
  // which answers it with AnswerPassword. Must not block.
  using TAsk = std::function<void(uint64_t question, const QString& file)>;

  TWindowMergeHost(TDeliver deliver, TAsk ask);

  // Window thread: the copy of the list a run will merge, taken when Start is pressed.
  void SetFiles(const QStringList& files);
  // Window thread: kept current from the save-path field and the option check boxes.
  void SetSavePathText(const QString& path);
  void SetMarkRowsValue(bool mark) { markRows_.store(mark); }
  void SetSkipUnreadableValue(bool skip) { skipUnreadable_.store(skip); }
  // Window thread: the options of the next run, taken when Start is pressed.
  void SetOptions(const TMergeOptions& options);
  // Window thread: the folder whose files the next run names relative to it in the source column.
  void SetSourceFolder(const QString& folder);

  // Window thread: answers question number `question`; nothing gives the file up. A late answer to a
  // question no longer asked is ignored.
  void AnswerPassword(uint64_t question, std::optional<std::u16string> password);
  // Window thread: every question asked now or later is answered with nothing at once, until
  // AllowQuestions. Used when the window goes, so that a waiting engine is never left asleep.
  void CancelQuestions();
  void AllowQuestions();

  std::vector<std::filesystem::path> FileList() override;
  std::filesystem::path SavePath() override;
  bool MarkRows() override { return markRows_.load(); }
  bool SkipUnreadable() override { return skipUnreadable_.load(); }
  TMergeOptions Options() override;
  // The source column's name of a listed file: its path relative to the folder field's folder when it
  // lies there (the folder search found it), else the path as listed (a file added or dropped by name).
  std::filesystem::path SourceName(const std::filesystem::path& file) override;
  std::optional<std::u16string> AskPassword(const std::filesystem::path& file) override;

  void FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) override;
  void FileMerged(int32_t found, int32_t merged) override;
  void RunEnded(const TMergeReport& report) override;
  void RunFailed(const std::filesystem::path& input, const std::filesystem::path& output) override;
  void SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) override;

  // Called on the merge thread each time a file begins, between its number and its path. A seam for
  // tests (and the screenshot) that need the merge held at a known file; set it before the run starts.
  std::function<void(const QString& path)> FileBeginHook;

 private:
  TDeliver deliver_;
  TAsk ask_;
  std::mutex mutex_;  // guards files_, savePath_ and options_
  std::vector<std::string> files_;
  std::string savePath_;
  TMergeOptions options_;
  std::filesystem::path sourceFolder_;
  std::atomic<bool> markRows_{false};
  std::atomic<bool> skipUnreadable_{false};

  std::mutex questionMutex_;  // guards the question state below
  std::condition_variable questionAnswered_;
  uint64_t question_ = 0;  // the number of the latest question
  uint64_t answered_ = 0;  // the number of the latest question answered
  std::optional<std::u16string> answer_;
  bool questionsCancelled_ = false;
};

}  // namespace plicato
