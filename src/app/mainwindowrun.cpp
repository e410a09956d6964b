// The main window's side of a merge run: the jobs' handlers, and the run's events brought to the
// window's thread and shown in the status lines, the current-file field, the progress bar and Start/Stop.

#include "mainwindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <limits>

#include "queuedcall.h"
#include "threadcomponent.h"
#include "windowtexts.h"

namespace plicato {

namespace {

// Steps of the progress bar per file: a file's rows move the bar within its step.
constexpr int kFileSteps = 1000;

}  // namespace

void TForm1::ThreadComponent1Execute(TThreadComponent* /*sender*/) {
  host_.FoundCount.store(0);
  host_.MergedCount.store(0);
  StartScan();
}

void TForm1::ThreadComponent2Execute(TThreadComponent* /*sender*/,
                                     const std::function<TMergeReport(TMergeHost&, TMergeOptions)>& merge,
                                     const TMergeOptions& options) {
  TMergeReport report = merge(host_, options);
  // The report follows the run's last status to the window's thread, as a value.
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  PostQueued(this, [this, generation, report = std::move(report)] {
    if (threadComponent2_ && threadComponent2_->IsCurrent(generation)) ShowRunReport(report);
  });
}

void TForm1::JobFailed(TThreadComponent* /*component*/, const QString& caption, const QString& text) {
  ShowMessage(caption, BoxLines(text), QMessageBox::Critical, true);
}

void TForm1::PasswordAsked(uint64_t question, const QString& file) {
  // After "全部跳过" no later file is asked for.
  if (skipAllPasswords_) return host_.AnswerPassword(question, std::nullopt);
  // Asked again for the file just answered: the password given was wrong.
  const bool retry = file == lastPasswordFile_;
  lastPasswordFile_.clear();
  QString password;
  switch (EnterPassword(file, retry, runOptions_.skipUnreadable, password)) {
    case paPassword:
      lastPasswordFile_ = file;
      host_.AnswerPassword(question, password.toStdU16String());
      password.fill(QChar(0));
      return;
    case paSkipAll:
      skipAllPasswords_ = true;
      [[fallthrough]];
    case paSkip:
      host_.AnswerPassword(question, std::nullopt);
      return;
  }
}

void TForm1::MergeFinished() {
  if (!closePending_) return;
  closePending_ = false;
  close();
}

void TForm1::ShowStopping() {
  stopping_ = true;
  Label4->setText(WindowText(kStopping));
}

void TForm1::ResetProgressBar() {
  ProgressBar1->setRange(0, 1);
  ProgressBar1->setValue(0);
  ProgressBar1->setFormat(QString());
}

void TForm1::ShowProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) {
  if (filesTotal <= 0) return;
  filesDone = std::clamp(filesDone, 0, filesTotal);
  // The rows of a file whose length is unknown move the bar towards the file's end without reaching it.
  const int64_t rows = std::max<int64_t>(rowsOfFile, 0);
  const int within = filesDone < filesTotal ? static_cast<int>(rows * (kFileSteps - 1) / (rows + 20000)) : 0;
  const int maximum = filesTotal > std::numeric_limits<int>::max() / kFileSteps
                          ? std::numeric_limits<int>::max()
                          : filesTotal * kFileSteps;
  const int value = static_cast<int>(std::min<int64_t>(int64_t{filesDone} * kFileSteps + within, maximum));
  ProgressBar1->setRange(0, maximum);
  // Within a run the bar never goes back: the window's own count of begun files and the engine's
  // reports may arrive in either order.
  if (value >= ProgressBar1->value() || value == 0) ProgressBar1->setValue(value);
  QString format = tr("%1/%2个文件").arg(filesDone).arg(filesTotal);
  if (rows > 0 && filesDone < filesTotal) format += tr("，当前文件已复制%1行").arg(rows);
  ProgressBar1->setFormat(format);
}

void TForm1::Deliver(const TWindowMergeHost::TStatus& status) {
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  PostQueued(this, [this, generation, status] { ApplyStatus(generation, status); });
}

void TForm1::ApplyStatus(uint64_t generation, const TWindowMergeHost::TStatus& status) {
  if (!threadComponent2_ || !threadComponent2_->IsCurrent(generation)) return;
  using TEvent = TWindowMergeHost::TEvent;
  switch (status.event) {
    case TEvent::FileNumber: {
      // Once a stop is asked, the line says so until the run has ended.
      if (stopping_) return;
      const QString text = tr("正在合并第%1个XLS文件").arg(status.filesDone);
      Label4->setText(text);
      emit StatusShown(Label4->objectName(), text);
      return;
    }
    case TEvent::CurrentFile:
      runFile_ = status.file;
      Edit3->setText(status.file);
      // A file begun means the ones before it are done, whether or not the engine says so itself.
      ShowProgress(filesBegun_++, filesListed_, 0);
      emit StatusShown(Edit3->objectName(), status.file);
      return;
    case TEvent::Counts: {
      const QString text = tr("共有%1个XLS文件 已合并%2个").arg(status.found).arg(status.merged);
      Label5->setText(text);
      emit StatusShown(Label5->objectName(), text);
      return;
    }
    case TEvent::Bar:
      ShowProgress(status.filesDone, status.filesTotal, status.rowsOfFile);
      return;
    case TEvent::RunEnded:
      Label4->setText(WindowText(kStopped));
      emit StatusShown(Label4->objectName(), Label4->text());
      mergeRunning_ = false;
      Button3->setText(WindowText(kStart));
      // A run that was not stopped went through the whole list.
      if (!stopping_) ShowProgress(filesListed_, filesListed_, 0);
      stopping_ = false;
      emit StatusShown(Button3->objectName(), Button3->text());
      Edit3->clear();
      emit StatusShown(Edit3->objectName(), QString());
      return;
    case TEvent::RunFailed:
      // Its failure report follows.
      failedInput_ = status.file;
      failedOutput_ = status.output;
      failure_ = status.failure;
      return;
  }
}

}  // namespace plicato
