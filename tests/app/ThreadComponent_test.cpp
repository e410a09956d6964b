// The background job: one run per Execute on a worker, failures reported on the window's thread with
// the component's name, retired runs told to stop and their late results dropped, destruction waiting
// for a running handler.
#include <QApplication>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "biff/Errors.h"
#include "threadcomponent.h"

using plicato::TThreadComponent;

class ThreadComponentTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName(QStringLiteral("Plicato")); }
  void executeRunsTheHandlerOnAWorker();
  void failureIsReportedOnTheWindowThreadNamingTheComponent();
  void onExceptionReplacesTheReport();
  void retiredRunIsToldToStopAndItsResultsAreDropped();
  void destructionWaitsForARunningHandler();
};

void ThreadComponentTest::executeRunsTheHandlerOnAWorker() {
  TThreadComponent job(QStringLiteral("ThreadComponent1"));
  QSignalSpy finished(&job, &TThreadComponent::Finished);
  std::atomic<QThread*> ranOn{nullptr};
  std::atomic<uint64_t> generationInside{0};
  std::atomic<TThreadComponent*> sender{nullptr};
  job.OnExecute = [&](TThreadComponent* s) {
    ranOn = QThread::currentThread();
    generationInside = TThreadComponent::CurrentRunGeneration();
    sender = s;
  };
  QCOMPARE(job.Generation(), uint64_t{0});
  job.Execute();
  QVERIFY(finished.wait(10000));
  QVERIFY(ranOn.load() != nullptr);
  QVERIFY(ranOn.load() != QThread::currentThread());
  QCOMPARE(generationInside.load(), job.Generation());
  QCOMPARE(finished.at(0).at(0).value<quint64>(), job.Generation());
  QCOMPARE(sender.load(), &job);
  QVERIFY(!job.Running());
  QCOMPARE(TThreadComponent::CurrentRunGeneration(), uint64_t{0});

  // Every Execute is a new run.
  job.Execute();
  QVERIFY(finished.wait(10000));
  QCOMPARE(finished.size(), 2);
  QCOMPARE(job.Generation(), uint64_t{2});
}

void ThreadComponentTest::failureIsReportedOnTheWindowThreadNamingTheComponent() {
  TThreadComponent job(QStringLiteral("ThreadComponent2"));
  struct Report {
    QString caption, text;
    QThread* thread;
  };
  std::vector<Report> reports;
  job.OnReport = [&](const QString& caption, const QString& text) {
    reports.push_back({caption, text, QThread::currentThread()});
  };
  QSignalSpy finished(&job, &TThreadComponent::Finished);

  job.OnExecute = [](TThreadComponent*) {
    throw plicato::EXLSError("Error on reading record # 3, 0809 Offs: 00000200");
  };
  job.Execute();
  QVERIFY(finished.wait(10000));
  QCOMPARE(reports.size(), size_t{1});  // the report came before the end
  QCOMPARE(reports[0].caption, QStringLiteral("Plicato"));
  QCOMPARE(reports[0].text,
           QStringLiteral("Thread ThreadComponent2 raised exception class EXLSError with message "
                          "\"Error on reading record # 3, 0809 Offs: 00000200\"."));
  QCOMPARE(reports[0].thread, QThread::currentThread());

  job.OnExecute = [](TThreadComponent*) { throw std::runtime_error("%1 %2 stay as written"); };
  job.Execute();
  QVERIFY(finished.wait(10000));
  QCOMPARE(reports.size(), size_t{2});
  QCOMPARE(reports[1].text,
           QStringLiteral("Thread ThreadComponent2 raised exception class Exception with message "
                          "\"%1 %2 stay as written\"."));
}

void ThreadComponentTest::onExceptionReplacesTheReport() {
  TThreadComponent job(QStringLiteral("Job"));
  int reports = 0;
  QString className, message;
  job.OnReport = [&](const QString&, const QString&) { ++reports; };
  job.OnException = [&](const QString& c, const QString& m, plicato::TErrorKind) {
    className = c;
    message = m;
  };
  job.OnExecute = [](TThreadComponent*) { throw plicato::EFileError("cannot open"); };
  QSignalSpy finished(&job, &TThreadComponent::Finished);
  job.Execute();
  QVERIFY(finished.wait(10000));
  QCOMPARE(reports, 0);
  QCOMPARE(className, QStringLiteral("EFileError"));
  QCOMPARE(message, QStringLiteral("cannot open"));
}

void ThreadComponentTest::retiredRunIsToldToStopAndItsResultsAreDropped() {
  TThreadComponent job(QStringLiteral("Job"));
  std::vector<QString> reports;
  job.OnReport = [&](const QString&, const QString& text) { reports.push_back(text); };
  QSignalSpy finished(&job, &TThreadComponent::Finished);

  QSemaphore started, release;
  std::atomic<bool> sawRetired{false};
  job.OnExecute = [&](TThreadComponent*) {
    started.release();
    release.acquire();
    sawRetired = TThreadComponent::CurrentRunRetired();
    throw plicato::EXLSError("late failure of the first run");
  };
  job.Execute();
  const uint64_t first = job.Generation();
  QVERIFY(started.tryAcquire(1, 10000));
  QVERIFY(job.Running());

  job.OnExecute = [](TThreadComponent*) {};
  job.Execute();
  const uint64_t second = job.Generation();
  QVERIFY(second != first);
  QVERIFY(!job.IsCurrent(first));
  QVERIFY(finished.wait(10000));
  QCOMPARE(finished.at(0).at(0).value<quint64>(), second);

  release.release();
  // The first run ends now; its failure and its end are dropped.
  QVERIFY(QTest::qWaitFor([&] { return sawRetired.load(); }, 10000));
  QTest::qWait(100);
  QCOMPARE(finished.size(), 1);
  QVERIFY(reports.empty());
}

void ThreadComponentTest::destructionWaitsForARunningHandler() {
  QSemaphore started;
  std::atomic<bool> handlerReturned{false};
  auto go = std::make_shared<std::atomic<bool>>(false);
  bool begun = false;
  {
    TThreadComponent job(QStringLiteral("Job"));
    job.OnExecute = [&](TThreadComponent*) {
      started.release();
      while (!go->load()) QThread::msleep(1);
      handlerReturned = true;
    };
    job.Execute();
    begun = started.tryAcquire(1, 10000);
    // Lets the handler go a little later, while the component is being destroyed.
    std::thread releaser([go] {
      QThread::msleep(20);
      go->store(true);
    });
    releaser.detach();
  }
  QVERIFY(begun);
  QVERIFY(handlerReturned.load());
}

QTEST_MAIN(ThreadComponentTest)
#include "ThreadComponent_test.moc"
