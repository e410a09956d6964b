// A background job placed on the window: each Execute runs the job's handler once on a fresh worker
// thread, so the window stays live while the job works.
//
// A worker never touches a widget. What a run has to tell the window (its failure report, its end) is
// posted to the window's thread as a queued call and, like everything a job posts, carries the run's
// generation: a run that has been retired by a later Execute or by the component's destruction is told
// to stop and whatever it still posts is dropped. Nothing is ever forcibly terminated; the destructor
// waits for every worker that is still running, so a handler may rely on the objects that outlive the
// component.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "biff/Errors.h"

namespace plicato {

class TThreadComponent;

// One run of a job's handler. Owned by its component.
class TEventThread : public QThread {
  Q_OBJECT

 public:
  using TWork = std::function<void(TThreadComponent* sender)>;

  TEventThread(TThreadComponent* owner, TWork work, uint64_t generation);

  uint64_t Generation() const { return generation_; }
  // Asks the run to stop; the run's late results are dropped by the component.
  void Retire() { retired_.store(true); }
  bool Retired() const { return retired_.load(); }
  // True once the handler has returned (the thread itself may still be winding down).
  bool Done() const { return done_.load(); }

 protected:
  void run() override;

 private:
  TThreadComponent* owner_;
  TWork work_;
  const uint64_t generation_;
  std::atomic<bool> retired_{false};
  std::atomic<bool> done_{false};
};

class TThreadComponent : public QObject {
  Q_OBJECT

 public:
  using TExecuteEvent = std::function<void(TThreadComponent* sender)>;
  // Called on the window's thread with the failure's class name, message and kind (ekOther for a failure
  // that is not one of the engine's).
  using TExceptionEvent =
      std::function<void(const QString& className, const QString& message, TErrorKind kind)>;
  // Shows the failure report; the default is a stop-icon message box in front of everything.
  using TReportEvent = std::function<void(const QString& caption, const QString& text)>;

  // name is the component's name, used in the failure report.
  explicit TThreadComponent(const QString& name, QObject* parent = nullptr);
  // Retires every run and waits for those still under way.
  ~TThreadComponent() override;

  TThreadComponent(const TThreadComponent&) = delete;
  TThreadComponent& operator=(const TThreadComponent&) = delete;

  QThread::Priority Priority = QThread::NormalPriority;
  TExecuteEvent OnExecute;
  TExceptionEvent OnException;
  TReportEvent OnReport;

  // Starts a new run of OnExecute and retires the run before it, if any. Returns at once.
  void Execute();
  // True while the current run's handler has not returned.
  bool Running() const;

  // The generation of the current run (0 before the first Execute). Window thread only.
  uint64_t Generation() const { return generation_.load(); }
  // True when results made by the run of this generation are still wanted.
  bool IsCurrent(uint64_t generation) const;

  // Called on a worker: the generation of the run executing on this thread, 0 outside a run.
  static uint64_t CurrentRunGeneration();
  // Called on a worker: true when the run executing on this thread has been retired.
  static bool CurrentRunRetired();

  // The text of the failure report for a failure of this component.
  QString FailureText(const QString& className, const QString& message) const;

 signals:
  // A current run has ended; queued after everything the run posted.
  void Finished(quint64 generation);

 private:
  friend class TEventThread;
  void ReportFailure(uint64_t generation, const QString& className, const QString& message, TErrorKind kind);
  void DropFinishedWorkers();

  std::vector<std::unique_ptr<TEventThread>> workers_;  // the current one last
  std::atomic<uint64_t> generation_{0};
};

}  // namespace plicato
