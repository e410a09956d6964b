// The folder scan: the scanner's matches in search order on the window's thread, a stopped scanner
// silent, and the window's folder button listing a folder (.xlsx files too when asked), a new scan
// retiring the old one.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

#include "TestForm.h"
#include "filescan.h"

using plicato::TFileScan;
using plicato::test::TTestForm;

namespace {

const QString kCorpusMerge = QStringLiteral(PLICATO_CORPUS "/gen/merge");

QStringList CorpusOrder(const QString& folder) {
  const QString m = folder + QLatin1Char('/');
  return {m + ".hidden.xls", m + "a.xls",         m + "e_biff5.xls", m + "UPPER.XLS",
          m + "wide.xls",    m + "old.xls/d.xls", m + "sub/b.xls",   m + "sub/deeper/c.xls"};
}

QStringList MakeFiles(const QTemporaryDir& dir, int count) {
  QStringList paths;
  for (int i = 0; i < count; ++i) {
    const QString path = dir.filePath(QStringLiteral("f%1.xls").arg(i, 5, 10, QLatin1Char('0')));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write("x");
    paths.append(path);
  }
  return paths;
}

}  // namespace

class FileScanTest : public QObject {
  Q_OBJECT

 private slots:
  void scannerReportsMatchesInSearchOrderOnItsThread();
  void stoppedScannerReportsNothingMore();
  void destroyingABusyScannerEndsItsSearch();
  void folderButtonListsTheFolderInSearchOrder();
  void newScanRetiresTheOldOne();
  void scanOfAnEmptyFolderEmptiesTheListAndCounts();
};

void FileScanTest::scannerReportsMatchesInSearchOrderOnItsThread() {
  TFileScan scanner;
  scanner.Paths << kCorpusMerge + QLatin1Char('/');  // a trailing separator is not doubled
  scanner.Filters << QStringLiteral("*.xls");
  QStringList found, ready;
  bool wrongThread = false;
  int readyCalls = 0;
  scanner.OnFileFound = [&](TFileScan* sender, const QString& fileName) {
    wrongThread |= QThread::currentThread() != thread() || sender != &scanner;
    found.append(fileName);
  };
  scanner.OnReady = [&](TFileScan*, const QStringList& results) {
    ++readyCalls;
    ready = results;
  };
  scanner.Start();
  QVERIFY(scanner.Busy());
  scanner.Start();  // busy: does nothing
  QVERIFY(QTest::qWaitFor([&] { return readyCalls > 0; }, 30000));
  QVERIFY(!scanner.Busy());
  QVERIFY(!wrongThread);
  QCOMPARE(found, CorpusOrder(kCorpusMerge));
  QCOMPARE(ready, found);
  QTest::qWait(20);
  QCOMPARE(readyCalls, 1);
}

void FileScanTest::stoppedScannerReportsNothingMore() {
  QTemporaryDir dir;
  MakeFiles(dir, 300);
  TFileScan scanner;
  scanner.Paths << dir.path();
  scanner.Filters << QStringLiteral("*.xls");
  int found = 0;
  bool ready = false;
  scanner.OnFileFound = [&](TFileScan* sender, const QString&) {
    ++found;
    sender->Stop();
  };
  scanner.OnReady = [&](TFileScan*, const QStringList&) { ready = true; };
  scanner.Start();
  QVERIFY(QTest::qWaitFor([&] { return found > 0; }, 30000));
  QTest::qWait(100);
  QCOMPARE(found, 1);
  QVERIFY(!ready);
  QVERIFY(!scanner.Busy());
}

void FileScanTest::destroyingABusyScannerEndsItsSearch() {
  QTemporaryDir dir;
  MakeFiles(dir, 300);
  int found = 0;
  {
    auto scanner = std::make_unique<TFileScan>();
    scanner->Paths << dir.path();
    scanner->Filters << QStringLiteral("*.xls");
    scanner->OnFileFound = [&](TFileScan*, const QString&) { ++found; };
    scanner->Start();
  }
  // Whatever the search had posted is gone with the scanner.
  QTest::qWait(50);
  QCOMPARE(found, 0);
}

void FileScanTest::folderButtonListsTheFolderInSearchOrder() {
  TTestForm form;
  form.Host().MergedCount = 3;
  form.FolderAnswers.push_back(kCorpusMerge);
  form.Control<QPushButton>("Button1")->click();
  QCOMPARE(form.Control<QLineEdit>("Edit1")->text(), kCorpusMerge);
  QVERIFY(form.ScanBusy());
  QVERIFY(QTest::qWaitFor([&] { return !form.ScanBusy(); }, 30000));
  QCOMPARE(form.Entries(), CorpusOrder(kCorpusMerge));
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有8个XLS文件 已合并0个"));
  QCOMPARE(form.Host().FoundCount.load(), 8);
  QVERIFY(form.Messages.empty());

  // With the XLSX box ticked the same choice lists the .xlsx file too, in name order among the others.
  form.Control<QCheckBox>("CheckBox4")->setChecked(true);
  form.FolderAnswers.push_back(kCorpusMerge);
  form.Control<QPushButton>("Button1")->click();
  QVERIFY(QTest::qWaitFor([&] { return !form.ScanBusy(); }, 30000));
  QStringList mixed = CorpusOrder(kCorpusMerge);
  mixed.insert(3, kCorpusMerge + QStringLiteral("/fake.xlsx"));
  QCOMPARE(form.Entries(), mixed);
}

void FileScanTest::newScanRetiresTheOldOne() {
  // A tree big enough that its search is still under way when its first match is listed.
  QTemporaryDir big, small;
  for (int i = 0; i < 300; ++i) {
    const QString sub = big.filePath(QStringLiteral("d%1").arg(i, 3, 10, QLatin1Char('0')));
    QDir().mkpath(sub);
    for (int j = 0; j < 20; ++j) QFile(sub + QStringLiteral("/f%1.xls").arg(j)).open(QIODevice::WriteOnly);
  }
  const QStringList wanted = MakeFiles(small, 2);
  TTestForm form;

  // Two choices in quick succession: only the second folder is listed.
  form.FolderAnswers = {big.path(), small.path()};
  form.Control<QPushButton>("Button1")->click();
  form.Control<QPushButton>("Button1")->click();
  QVERIFY(QTest::qWaitFor([&] { return !form.ScanBusy(); }, 30000));
  QCOMPARE(form.Entries(), wanted);

  // A choice as soon as the first scan lists its first match: whatever it still has to list is dropped.
  form.FolderAnswers = {big.path(), small.path()};
  auto* model = form.Control<QListWidget>("ListBox1")->model();
  bool chosenAgain = false;
  QMetaObject::Connection onFirst = connect(model, &QAbstractItemModel::rowsInserted, this, [&] {
    if (chosenAgain) return;
    chosenAgain = true;
    form.Control<QPushButton>("Button1")->click();
  });
  form.Control<QPushButton>("Button1")->click();
  QVERIFY(QTest::qWaitFor([&] { return chosenAgain && !form.ScanBusy(); }, 30000));
  disconnect(onFirst);
  QTest::qWait(200);
  QCOMPARE(form.Entries(), wanted);
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有2个XLS文件 已合并0个"));
}

void FileScanTest::scanOfAnEmptyFolderEmptiesTheListAndCounts() {
  QTemporaryDir empty;
  TTestForm form;
  form.OpenAnswers.push_back(QStringLiteral("/data/a.xls"));
  form.Command("N4")->trigger();
  form.Host().MergedCount = 4;
  form.FolderAnswers.push_back(empty.path());
  form.Control<QPushButton>("Button1")->click();
  QVERIFY(QTest::qWaitFor([&] { return !form.ScanBusy(); }, 30000));
  QVERIFY(form.Entries().isEmpty());
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有0个XLS文件 已合并0个"));
}

QTEST_MAIN(FileScanTest)
#include "FileScan_test.moc"
