#include "threadcomponent.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>
#include <new>
#include <typeinfo>

#include "biff/Errors.h"
#include "queuedcall.h"

namespace plicato {

namespace {

// The run executing on the current thread, so that code deep inside a handler (the merge engine's host)
// can tag what it posts without being handed the run.
thread_local TEventThread* tCurrentRun = nullptr;

void ShowStopBox(const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.show();
  box.raise();
  box.activateWindow();
  box.exec();
}

}  // namespace

TEventThread::TEventThread(TThreadComponent* owner, TWork work, uint64_t generation)
    : owner_(owner), work_(std::move(work)), generation_(generation) {}

void TEventThread::run() {
  tCurrentRun = this;
  if (!retired_.load() && work_) {
    QString className;
    QString message;
    TErrorKind kind = ekOther;
    bool failed = true;
    try {
      work_(owner_);
      failed = false;
    } catch (const EPlicatoError& e) {
      className = QString::fromLatin1(e.ClassName());
      message = QString::fromStdString(e.what());
      kind = e.Kind();
    } catch (const std::bad_alloc& e) {
      className = QStringLiteral("EOutOfMemory");
      message = QString::fromStdString(e.what());
    } catch (const std::exception& e) {
      className = QStringLiteral("Exception");
      message = QString::fromStdString(e.what());
    } catch (...) {
      className = QStringLiteral("Exception");
      message = QStringLiteral("Unknown failure");
    }
    if (failed) {
      // Posted, not waited for: the window's thread may itself be waiting for this worker to end.
      TThreadComponent* owner = owner_;
      const uint64_t generation = generation_;
      PostQueued(owner, [owner, generation, className, message, kind] {
        owner->ReportFailure(generation, className, message, kind);
      });
    }
  }
  tCurrentRun = nullptr;
  done_.store(true);
}

TThreadComponent::TThreadComponent(const QString& name, QObject* parent) : QObject(parent) {
  setObjectName(name);
}

TThreadComponent::~TThreadComponent() {
  generation_.fetch_add(1);  // nothing posted by any run is wanted any more
  for (auto& worker : workers_) worker->Retire();
  for (auto& worker : workers_) worker->wait();
}

void TThreadComponent::Execute() {
  DropFinishedWorkers();
  const uint64_t generation = generation_.load() + 1;
  auto worker = std::make_unique<TEventThread>(this, OnExecute, generation);
  // QThread::finished is emitted on the worker after everything the run posted, so this queued call
  // reaches the window's thread last.
  connect(worker.get(), &QThread::finished, this, [this, generation] {
    if (IsCurrent(generation)) emit Finished(generation);
  });
  if (!workers_.empty()) workers_.back()->Retire();
  generation_.store(generation);
  TEventThread* started = worker.get();
  workers_.push_back(std::move(worker));
  started->start(Priority);
}

bool TThreadComponent::Running() const {
  return !workers_.empty() && !workers_.back()->Retired() && !workers_.back()->Done() &&
         workers_.back()->Generation() == generation_.load();
}

bool TThreadComponent::IsCurrent(uint64_t generation) const {
  if (generation == 0 || generation != generation_.load()) return false;
  return !workers_.empty() && workers_.back()->Generation() == generation && !workers_.back()->Retired();
}

uint64_t TThreadComponent::CurrentRunGeneration() {
  return tCurrentRun ? tCurrentRun->Generation() : 0;
}

bool TThreadComponent::CurrentRunRetired() {
  return tCurrentRun && tCurrentRun->Retired();
}

QString TThreadComponent::FailureText(const QString& className, const QString& message) const {
  return QStringLiteral("Thread %1 raised exception class %2 with message \"%3\".")
      .arg(objectName(), className, message);
}

void TThreadComponent::ReportFailure(uint64_t generation, const QString& className, const QString& message,
                                     TErrorKind kind) {
  if (!IsCurrent(generation)) return;
  if (OnException) {
    OnException(className, message, kind);
    return;
  }
  const QString caption = QApplication::applicationName();
  const QString text = FailureText(className, message);
  if (OnReport) {
    OnReport(caption, text);
  } else {
    ShowStopBox(caption, text);
  }
}

void TThreadComponent::DropFinishedWorkers() {
  // Only retired workers whose threads have ended may go; the current one stays until it is replaced.
  for (size_t i = 0; i + 1 < workers_.size();) {
    if (workers_[i]->Retired() && workers_[i]->isFinished()) {
      workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

}  // namespace plicato
