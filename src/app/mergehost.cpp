#include "mergehost.h"

#include <QFile>

#include <utility>

#include "windowtexts.h"

namespace plicato {

TWindowMergeHost::TWindowMergeHost(TDeliver deliver, TAsk ask)
    : deliver_(std::move(deliver)), ask_(std::move(ask)) {}

void TWindowMergeHost::SetSavePathText(const QString& path) {
  std::string encoded = QFile::encodeName(path).toStdString();
  std::lock_guard<std::mutex> lock(mutex_);
  savePath_ = std::move(encoded);
}

std::filesystem::path TWindowMergeHost::SavePathAtSplit() {
  std::lock_guard<std::mutex> lock(mutex_);
  return savePath_;
}

void TWindowMergeHost::AnswerPassword(uint64_t question, std::optional<std::u16string> password) {
  std::lock_guard<std::mutex> lock(questionMutex_);
  if (question != question_) return;
  answer_ = std::move(password);
  answered_ = question;
  questionAnswered_.notify_all();
}

void TWindowMergeHost::CancelQuestions() {
  std::lock_guard<std::mutex> lock(questionMutex_);
  questionsCancelled_ = true;
  questionAnswered_.notify_all();
}

void TWindowMergeHost::AllowQuestions() {
  std::lock_guard<std::mutex> lock(questionMutex_);
  questionsCancelled_ = false;
}

std::optional<std::u16string> TWindowMergeHost::AskPassword(const std::filesystem::path& file) {
  std::unique_lock<std::mutex> lock(questionMutex_);
  if (questionsCancelled_) return std::nullopt;
  const uint64_t question = ++question_;
  answer_.reset();
  lock.unlock();
  ask_(question, FromPath(file));
  lock.lock();
  questionAnswered_.wait(lock, [&] { return questionsCancelled_ || answered_ == question; });
  if (answered_ != question) return std::nullopt;
  // Handed over, not kept: the password lives no longer than the engine needs it.
  return std::exchange(answer_, std::nullopt);
}

void TWindowMergeHost::FileBegun(int32_t index, int32_t total, const std::filesystem::path& file) {
  TStatus status;
  status.event = TEvent::FileNumber;
  status.filesDone = index + 1;
  status.filesTotal = total;
  deliver_(status);
  status.event = TEvent::CurrentFile;
  status.file = FromPath(file);
  if (FileBeginHook) FileBeginHook(status.file);
  deliver_(status);
}

void TWindowMergeHost::FileMerged(int32_t found, int32_t merged) {
  TStatus status;
  status.event = TEvent::Counts;
  status.found = found;
  status.merged = merged;
  deliver_(status);
}

void TWindowMergeHost::RunEnded(const TMergeReport& report) {
  TStatus status;
  status.event = TEvent::RunEnded;
  status.stopped = report.stopped;
  deliver_(status);
}

void TWindowMergeHost::RunFailed(const TRunFailure& failure) {
  TStatus status;
  status.event = TEvent::RunFailed;
  status.file = FromPath(BlamedInput(failure));
  status.output = FromPath(BlamedOutput(failure));
  status.failure = std::make_shared<const TRunFailure>(failure);
  deliver_(status);
}

void TWindowMergeHost::SetProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) {
  TStatus status;
  status.event = TEvent::Bar;
  status.filesDone = filesDone;
  status.filesTotal = filesTotal;
  status.rowsOfFile = rowsOfFile;
  deliver_(status);
}

}  // namespace plicato
