// Merges through the window: the output, the status texts and the progress bar, Stop, closing during a
// merge, a failing file, skipped files and passwords, and what the window allows and refuses while a
// merge runs.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "TestForm.h"
#include "aboutbox.h"
#include "workbook/XLSWorkbook.h"

using plicato::test::TMergeGate;
using plicato::test::TTestForm;

namespace {

const QString kCorpus = QStringLiteral(PLICATO_CORPUS);
const QString kCorpusMerge = kCorpus + QStringLiteral("/gen/merge");

using Rows = std::vector<QStringList>;

QStringList CorpusOrder() {
  const QString m = kCorpusMerge + QLatin1Char('/');
  return {m + ".hidden.xls", m + "a.xls",         m + "e_biff5.xls", m + "UPPER.XLS",
          m + "wide.xls",    m + "old.xls/d.xls", m + "sub/b.xls",   m + "sub/deeper/c.xls"};
}
// Rows each file of CorpusOrder() contributes.
const int kRowsOfFile[] = {3, 12, 9, 5, 4, 6, 20, 15};

int RowsOfFirstFiles(int files) {
  int rows = 0;
  for (int i = 0; i < files; ++i) rows += kRowsOfFile[i];
  return rows;
}

Rows Expected(const char* name) {
  QFile file(kCorpus + QStringLiteral("/gen/expected/") + QString::fromLatin1(name));
  if (!file.open(QIODevice::ReadOnly)) return {};
  Rows rows;
  for (const QJsonValue& row : QJsonDocument::fromJson(file.readAll()).array()) {
    QStringList cells;
    for (const QJsonValue& cell : row.toArray()) cells << cell.toString();
    rows.push_back(cells);
  }
  return rows;
}

// The first worksheet of an output file, read back with the engine: every row that has a cell in
// column 0 or 1, `columns` cells each.
Rows ReadOutput(const QString& path, int columns) {
  plicato::TXLSWorkbook workbook;
  workbook.Filename = path.toStdU16String();
  workbook.Read();
  plicato::TSheet& sheet = workbook.Sheets()[0];
  Rows rows;
  for (int row = 0; row <= 65535; ++row) {
    if (!sheet.FindCell(0, row) && !sheet.FindCell(1, row)) break;
    QStringList cells;
    for (int column = 0; column < columns; ++column)
      cells << QString::fromStdU16String(sheet.GetStringText(column, row));
    rows.push_back(cells);
  }
  return rows;
}

// Compares the first `count` rows of the output with the expected ones; "" when they agree.
QString CompareRows(const Rows& actual, const Rows& expected, size_t count) {
  if (expected.size() < count) return QStringLiteral("expected data missing");
  if (actual.size() < count)
    return QStringLiteral("output has %1 rows, wanted at least %2").arg(actual.size()).arg(count);
  for (size_t r = 0; r < count; ++r) {
    if (actual[r] != expected[r]) {
      for (qsizetype c = 0; c < std::max(actual[r].size(), expected[r].size()); ++c) {
        if (actual[r].value(c) != expected[r].value(c))
          return QStringLiteral("row %1 column %2: \"%3\" instead of \"%4\"")
              .arg(r)
              .arg(c)
              .arg(actual[r].value(c), expected[r].value(c));
      }
    }
  }
  return QString();
}

// A window with the corpus folder listed (by the folder button) and a save path in a scratch folder.
struct Fixture {
  QTemporaryDir dir;
  std::unique_ptr<TTestForm> form = std::make_unique<TTestForm>();
  QString out = dir.filePath(QStringLiteral("out.xls"));

  bool ListCorpus() {
    form->FolderAnswers.push_back(kCorpusMerge);
    form->Control<QPushButton>("Button1")->click();
    if (!QTest::qWaitFor([&] { return !form->ScanBusy(); }, 30000)) return false;
    form->Control<QLineEdit>("Edit2")->setText(out);
    return form->Entries() == CorpusOrder();
  }
  void Start() { form->Control<QPushButton>("Button3")->click(); }
  bool WaitIdle() {
    return QTest::qWaitFor([&] { return form->Caption() == QStringLiteral("开始"); }, 120000);
  }
  QString Progress() { return form->Control<QLabel>("Label4")->text(); }
  QString CurrentFile() { return form->Control<QLineEdit>("Edit3")->text(); }
};

// The classic merge's end-of-run report names the corpus files that stop at a row without text while rows
// below it hold values: information, never a failure box.
bool OnlyRowsLeftBehind(const std::vector<TTestForm::Message>& messages) {
  return std::all_of(messages.begin(), messages.end(), [](const TTestForm::Message& m) {
    return m.report && m.text.contains(QStringLiteral("which has no text"));
  });
}

}  // namespace

class MergeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setApplicationName(QStringLiteral("Plicato")); }
  void mergeOfTheCorpusGivesTheExpectedOutputAndStatus();
  void progressReachesTheEndOfAThreeFileMerge();
  void stopFinishesTheCurrentFileAndWritesTheOutput();
  void closingDuringAMergeWaitsForTheOutput();
  void destroyingTheWindowDuringAMergeKeepsTheRows();
  void skippedFilesPasswordsAndFailureBoxes();
  void listCommandsAndDropsAreRefusedDuringAMerge();
  void folderChosenOrDroppedDuringAMergeIsRefused();
  void aboutBoxOpensDuringAMerge();
  void savePathThatIsAListedFileIsRefused();
};

void MergeWindowTest::mergeOfTheCorpusGivesTheExpectedOutputAndStatus() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  std::vector<std::pair<QString, QString>> shown;
  connect(f.form.get(), &plicato::TForm1::StatusShown, this,
          [&](const QString& control, const QString& text) { shown.emplace_back(control, text); });

  f.Start();
  QCOMPARE(f.form->Caption(), QStringLiteral("停止"));
  QVERIFY(f.WaitIdle());
  QVERIFY(OnlyRowsLeftBehind(f.form->Messages));

  std::vector<std::pair<QString, QString>> wanted;
  const QStringList files = CorpusOrder();
  for (int i = 0; i < files.size(); ++i) {
    wanted.emplace_back(QStringLiteral("Label4"), QStringLiteral("正在合并第%1个XLS文件").arg(i + 1));
    wanted.emplace_back(QStringLiteral("Edit3"), files[i]);
    wanted.emplace_back(QStringLiteral("Label5"), QStringLiteral("共有8个XLS文件 已合并%1个").arg(i + 1));
  }
  wanted.emplace_back(QStringLiteral("Label4"), QStringLiteral("已停止"));
  wanted.emplace_back(QStringLiteral("Button3"), QStringLiteral("开始"));
  wanted.emplace_back(QStringLiteral("Edit3"), QString());
  QCOMPARE(shown, wanted);
  QCOMPARE(f.Progress(), QStringLiteral("已停止"));
  QVERIFY(f.CurrentFile().isEmpty());

  const Rows expected = Expected("merge.json");
  const QString diff = CompareRows(ReadOutput(f.out, 255), expected, expected.size());
  QVERIFY2(diff.isEmpty(), qPrintable(diff));

  // Again with the marking option, to another file: the counts go on from the earlier run.
  f.form->Control<QCheckBox>("CheckBox1")->setChecked(true);
  const QString marked = f.dir.filePath(QStringLiteral("marked.xls"));
  f.form->Control<QLineEdit>("Edit2")->setText(marked);
  f.Start();
  QVERIFY(f.WaitIdle());
  QCOMPARE(f.form->Control<QLabel>("Label5")->text(), QStringLiteral("共有8个XLS文件 已合并16个"));
  const Rows expectedMarked = Expected("merge-mark.json");
  const QString markedDiff = CompareRows(ReadOutput(marked, 256), expectedMarked, expectedMarked.size());
  QVERIFY2(markedDiff.isEmpty(), qPrintable(markedDiff));
}

void MergeWindowTest::progressReachesTheEndOfAThreeFileMerge() {
  Fixture f;
  for (const char* name : {"a.xls", "UPPER.XLS", "sub/b.xls"}) {
    f.form->OpenAnswers.push_back(kCorpusMerge + QLatin1Char('/') + QLatin1String(name));
    f.form->Command("N4")->trigger();
  }
  f.form->Control<QLineEdit>("Edit1")->setText(kCorpusMerge);
  f.form->Control<QLineEdit>("Edit2")->setText(f.out);
  auto* bar = f.form->Control<QProgressBar>("ProgressBar1");
  std::vector<int> values;
  connect(bar, &QProgressBar::valueChanged, this, [&](int value) { values.push_back(value); });
  f.Start();
  QVERIFY(f.WaitIdle());
  QVERIFY(bar->maximum() > 0);
  QCOMPARE(bar->value(), bar->maximum());
  QVERIFY(std::is_sorted(values.begin(), values.end()));
  // Each file moved it: the first and second files done, then full.
  QVERIFY(std::set<int>(values.begin(), values.end()).size() >= 3);
  QVERIFY(bar->text().startsWith(QStringLiteral("3/3")));

  // The engine's reports of rows within a file move the bar within that file's share.
  QSemaphore held, go;
  f.form->RunMerge = [&](plicato::TMergeHost& host) {
    host.SetProgress(1, 3, 0);
    host.SetProgress(1, 3, 5000);
    held.release();
    go.acquire();
    host.SetProgressText("已停止");
    host.SetButtonCaption("开始");
    return plicato::TMergeReport{};
  };
  f.Start();
  QVERIFY(
      QTest::qWaitFor([&] { return held.available() > 0 && bar->text().contains(QStringLiteral("5000")); }));
  QVERIFY(bar->value() > bar->maximum() / 3 && bar->value() < 2 * bar->maximum() / 3);
  go.release();
  QVERIFY(f.WaitIdle());
}

void MergeWindowTest::stopFinishesTheCurrentFileAndWritesTheOutput() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  TMergeGate gate(*f.form, 3);
  f.Start();
  QVERIFY(gate.WaitArrived());
  // Pressing Stop twice keeps the request; the caption stays until the merge has written its output.
  f.Start();
  f.Start();
  QCOMPARE(f.form->Host().StopRequested.load(), 1);
  QCOMPARE(f.form->Caption(), QStringLiteral("停止"));
  QCOMPARE(f.Progress(), QStringLiteral("正在停止…"));
  QTest::qWait(20);  // statuses posted before the stop do not replace it
  QCOMPARE(f.Progress(), QStringLiteral("正在停止…"));
  gate.Release();
  QVERIFY(f.WaitIdle());

  QCOMPARE(f.form->Host().MergedCount.load(), 3);
  QCOMPARE(f.Progress(), QStringLiteral("已停止"));
  QVERIFY(f.CurrentFile().isEmpty());
  const Rows output = ReadOutput(f.out, 255);
  const int rows = RowsOfFirstFiles(3);
  const QString diff = CompareRows(output, Expected("merge.json"), rows);
  QVERIFY2(diff.isEmpty(), qPrintable(diff));
  QVERIFY(output.size() <= size_t(rows) + 1);  // at most the third file's ending row after them
  QVERIFY(OnlyRowsLeftBehind(f.form->Messages));
}

void MergeWindowTest::closingDuringAMergeWaitsForTheOutput() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  f.form->show();
  QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
  TMergeGate gate(*f.form, 2);
  f.Start();
  QVERIFY(gate.WaitArrived());

  QVERIFY(!f.form->close());  // not yet: the merge finishes its current file first
  QVERIFY(f.form->isVisible());
  QCOMPARE(f.form->Host().StopRequested.load(), 1);
  QCOMPARE(f.Progress(), QStringLiteral("正在停止…"));
  QVERIFY(!f.form->close());  // asked again while it waits: nothing changes
  QVERIFY(f.form->isVisible());
  gate.Release();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->isVisible(); }, 120000));
  QVERIFY(!f.form->ThreadComponent2()->Running());
  QCOMPARE(f.form->Host().MergedCount.load(), 2);
  const QString diff = CompareRows(ReadOutput(f.out, 255), Expected("merge.json"), RowsOfFirstFiles(2));
  QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void MergeWindowTest::destroyingTheWindowDuringAMergeKeepsTheRows() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  TMergeGate gate(*f.form, 2);
  f.Start();
  QVERIFY(gate.WaitArrived());
  // The held merge is let go only once the window's destruction has asked it to stop.
  plicato::TMergeHost* host = &f.form->Host();
  std::thread releaser([&] {
    while (host->StopRequested.load() == 0) std::this_thread::yield();
    gate.Release();
  });
  f.form.reset();
  releaser.join();
  const QString diff = CompareRows(ReadOutput(f.out, 255), Expected("merge.json"), RowsOfFirstFiles(2));
  QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void MergeWindowTest::skippedFilesPasswordsAndFailureBoxes() {
  Fixture f;
  const QString bad = f.dir.filePath(QStringLiteral("bad.xls"));
  {
    QFile file(bad);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("this is not a workbook at all, just text with an .xls name\n");
  }
  for (const QString& file :
       {kCorpusMerge + QStringLiteral("/a.xls"), bad, kCorpusMerge + QStringLiteral("/UPPER.XLS")}) {
    f.form->OpenAnswers.push_back(file);
    f.form->Command("N4")->trigger();
  }
  f.form->Control<QLineEdit>("Edit1")->setText(kCorpusMerge);
  f.form->Control<QLineEdit>("Edit2")->setText(f.out);
  QStringList shown;
  connect(f.form.get(), &plicato::TForm1::StatusShown, this,
          [&](const QString&, const QString& text) { shown << text; });

  // An engine that meets two encrypted files, skips two unreadable ones and leaves a remark: the skip
  // box reaches it, each password is asked for while it waits, and one report lists the rest.
  auto* skip = f.form->Control<QCheckBox>("CheckBox3");
  skip->setChecked(true);
  bool skipAsked = false;
  std::optional<std::u16string> first, second;
  f.form->RunMerge = [&](plicato::TMergeHost& host) {
    skipAsked = host.SkipUnreadable();
    first = host.AskPassword("/data/secret.xls");
    second = host.AskPassword("/data/locked.xls");
    host.SetProgressText("已停止");
    host.SetButtonCaption("开始");
    host.SetCurrentFile("");
    plicato::TMergeReport report;
    report.skipped = {{"/data/locked.xls", "Invalid password"}, {"/data/broken.xls", "Bad record\rin file"}};
    report.notes = {{"/data/wide.xlsx", "columns past the 255th were not merged"}};
    return report;
  };
  f.form->PasswordAnswers.push_back(QStringLiteral("s3cret"));  // the second question is cancelled
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }, 60000));
  QVERIFY(f.WaitIdle());
  QVERIFY(skipAsked);
  QCOMPARE(f.form->PasswordFiles, (QStringList{"/data/secret.xls", "/data/locked.xls"}));
  QCOMPARE(first, std::optional<std::u16string>(u"s3cret"));
  QVERIFY(!second);
  QCOMPARE(f.form->Messages.size(), size_t{1});
  const TTestForm::Message report = f.form->Messages[0];
  QVERIFY(report.report);
  QCOMPARE(report.caption, QStringLiteral("提示："));
  for (const char* part : {"/data/locked.xls：Invalid password", "/data/broken.xls：Bad record in file",
                           "/data/wide.xlsx：columns past the 255th were not merged"})
    QVERIFY2(report.text.contains(QString::fromUtf8(part)), qPrintable(report.text));
  QVERIFY(!report.text.contains(QStringLiteral("s3cret")));
  QVERIFY(!shown.join(QLatin1Char(' ')).contains(QStringLiteral("s3cret")));

  // The real engine without skipping stops at the bad file: one box says which file and why in the
  // window's words, where the rows before it went and that the rest was not merged; the job's
  // technical report is in the details.
  skip->setChecked(false);
  f.form->RunMerge = plicato::MergeFiles;
  f.form->Messages.clear();
  QString captionDuringBox;
  f.form->OnMessage = [&](const TTestForm::Message&) { captionDuringBox = f.form->Caption(); };
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }, 120000));
  QVERIFY(f.WaitIdle());
  QTest::qWait(100);
  QCOMPARE(f.form->Messages.size(), size_t{1});
  const TTestForm::Message box = f.form->Messages[0];
  QCOMPARE(box.caption, QStringLiteral("Plicato"));
  QCOMPARE(box.icon, QMessageBox::Critical);
  const QStringList lines = box.text.split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 3);
  QVERIFY2(lines[0].contains(bad) && lines[0].contains(QStringLiteral("不是可以读取的Excel工作簿")),
           qPrintable(lines[0]));
  QCOMPARE(lines[1], QStringLiteral("此前合并的行已保存到“%1”。").arg(f.out));
  QCOMPARE(lines[2], QStringLiteral("其余文件没有合并。"));
  QVERIFY2(box.details.startsWith(QStringLiteral("Thread ThreadComponent2 raised exception class ")) &&
               box.details.contains(bad) && !box.details.contains(QLatin1Char('\r')),
           qPrintable(box.details));
  QCOMPARE(captionDuringBox, QStringLiteral("停止"));  // the window goes idle after the box
  QCOMPARE(f.Progress(), QStringLiteral("已停止"));
  QVERIFY(f.CurrentFile().isEmpty());
  const Rows output = ReadOutput(f.out, 255);
  const Rows expected = Expected("merge.json");
  QVERIFY(output.size() >= size_t(kRowsOfFile[1]));
  for (int r = 0; r < kRowsOfFile[1]; ++r) QCOMPARE(output[r], expected[size_t(RowsOfFirstFiles(1) + r)]);

  // The bad file first: nothing was saved this time, and the box says so.
  f.form->Select(1);
  f.form->Command("N5")->trigger();
  f.form->Messages.clear();
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }, 120000));
  QVERIFY(f.WaitIdle());
  QCOMPARE(f.form->Messages[0].text.split(QLatin1Char('\n')).value(1), QStringLiteral("没有保存任何行。"));
}

void MergeWindowTest::listCommandsAndDropsAreRefusedDuringAMerge() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  auto* list = f.form->Control<QListWidget>("ListBox1");
  TMergeGate gate(*f.form, 1);
  f.Start();
  QVERIFY(gate.WaitArrived());
  const QStringList before = f.form->Entries();

  // Without a selection the selection commands do nothing, before any refusal.
  list->clearSelection();
  for (const char* command : {"N1", "N5", "N6", "N3"}) f.form->Command(command)->trigger();
  QVERIFY(f.form->Messages.empty());

  // With one (the first entry, so even moving it up is refused rather than ignored), every command is
  // refused; so are adding and clearing.
  f.form->Select(0);
  f.form->OpenAnswers.push_back(kCorpusMerge + QStringLiteral("/a.xls"));
  for (const char* command : {"N1", "N4", "N5", "N6", "N2", "N3"}) {
    f.form->Messages.clear();
    f.form->Command(command)->trigger();
    QCOMPARE(f.form->Messages.size(), size_t{1});
    QCOMPARE(f.form->Messages[0].caption, QStringLiteral("提示："));
    QCOMPARE(f.form->Messages[0].text, QStringLiteral("请先停止！"));
    QVERIFY(!f.form->Messages[0].owned);
    QCOMPARE(f.form->Entries(), before);
  }
  QCOMPARE(f.form->OpenAnswers.size(), size_t{1});  // refused before the dialog
  QVERIFY(QFile::exists(before[0]));

  // A drop is refused too.
  f.form->Messages.clear();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(kCorpusMerge + QStringLiteral("/a.xls"))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &drop);
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }, 10000));
  QCOMPARE(f.form->Messages[0].text, QStringLiteral("请先停止！"));
  QCOMPARE(f.form->Entries(), before);

  f.Start();  // Stop
  gate.Release();
  QVERIFY(f.WaitIdle());
  QCOMPARE(f.form->Host().MergedCount.load(), 1);
}

void MergeWindowTest::folderChosenOrDroppedDuringAMergeIsRefused() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  QTemporaryDir other;
  TMergeGate gate(*f.form, 1);
  f.Start();
  QVERIFY(gate.WaitArrived());
  const QStringList before = f.form->Entries();

  // The folder button is refused before its chooser; a dropped folder is refused too.
  f.form->FolderAnswers.push_back(other.path());
  f.form->Control<QPushButton>("Button1")->click();
  QCOMPARE(f.form->FolderAnswers.size(), size_t{1});
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(other.path())});
  auto* viewport = f.form->Control<QListWidget>("ListBox1")->viewport();
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &drop);
  QVERIFY(QTest::qWaitFor([&] { return f.form->Messages.size() == 2; }, 10000));
  for (const TTestForm::Message& message : f.form->Messages) {
    QCOMPARE(message.caption, QStringLiteral("提示："));
    QCOMPARE(message.text, QStringLiteral("请先停止！"));
  }
  QVERIFY(!f.form->ScanBusy());
  QCOMPARE(f.form->Entries(), before);
  QCOMPARE(f.form->Control<QLineEdit>("Edit1")->text(), kCorpusMerge);

  gate.Release();
  QVERIFY(f.WaitIdle());
  QCOMPARE(f.form->Host().MergedCount.load(), 8);
  QCOMPARE(f.form->Control<QLabel>("Label5")->text(), QStringLiteral("共有8个XLS文件 已合并8个"));
}

void MergeWindowTest::aboutBoxOpensDuringAMerge() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  f.form->show();
  TMergeGate gate(*f.form, 1);
  f.Start();
  QVERIFY(gate.WaitArrived());

  bool shownDuringMerge = false;
  bool mergeEndedMeanwhile = false;
  plicato::TForm2* about = f.form->Form2();
  QTimer::singleShot(0, f.form.get(), [&] {
    shownDuringMerge =
        QTest::qWaitFor([&] { return about->isVisible(); }) && f.form->Caption() == QStringLiteral("停止");
    gate.Release();
    mergeEndedMeanwhile = f.WaitIdle();
    about->accept();
  });
  f.form->Control<QPushButton>("Button5")->click();  // modal
  QVERIFY(shownDuringMerge);
  QVERIFY(mergeEndedMeanwhile);
  QCOMPARE(f.form->Host().MergedCount.load(), 8);
  QCOMPARE(f.Progress(), QStringLiteral("已停止"));
}

void MergeWindowTest::savePathThatIsAListedFileIsRefused() {
  Fixture f;
  const QString listed = f.dir.filePath(QStringLiteral("listed.xls"));
  QVERIFY(QFile::copy(kCorpusMerge + QStringLiteral("/a.xls"), listed));
  const QByteArray before = [&] {
    QFile file(listed);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }();
  f.form->OpenAnswers.push_back(listed);
  f.form->Command("N4")->trigger();
  f.form->Control<QLineEdit>("Edit1")->setText(kCorpusMerge);
  f.form->Control<QLineEdit>("Edit2")->setText(listed);
  f.Start();
  QCOMPARE(f.form->Messages.size(), size_t{1});
  QCOMPARE(f.form->Messages[0].caption, QStringLiteral("提示："));
  QVERIFY2(f.form->Messages[0].text.contains(listed) &&
               f.form->Messages[0].text.contains(QStringLiteral("另选保存路径")),
           qPrintable(f.form->Messages[0].text));
  QCOMPARE(f.form->Caption(), QStringLiteral("开始"));
  QFile file(listed);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.readAll(), before);
}

QTEST_MAIN(MergeWindowTest)
#include "MergeWindow_test.moc"
