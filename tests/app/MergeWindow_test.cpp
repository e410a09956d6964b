// Merges through the window: the output, the status texts and the progress bar, Stop, closing during a
// merge, a failing file, skipped files and passwords, and what the window allows and refuses while a
// merge runs.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
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
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "TestForm.h"
#include "aboutbox.h"
#include "workbook/XLSWorkbook.h"
#include "xls/XLSWorkbookIO.h"

using plicato::test::TMergeGate;
using plicato::test::TTestForm;

namespace {

const QString kCorpus = QStringLiteral(PLICATO_CORPUS);
const QString kCorpusMerge = kCorpus + QStringLiteral("/gen/merge");

using Rows = std::vector<QStringList>;

// A file passed over, with the reader's words; a remark on a merged file.
plicato::TFileNote Skipped(const char* file, const char* words, plicato::TErrorKind kind) {
  plicato::TFileNote note;
  note.file = file;
  note.kind = kind;
  note.failure.kind = kind;
  note.failure.words = words;
  return note;
}
plicato::TFileNote Noted(const char* file, const plicato::TNoteFacts& facts) {
  plicato::TFileNote note;
  note.file = file;
  note.facts = facts;
  return note;
}

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
  ReadWorkbook(workbook);
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
  void unreadableFolderRefusesTheStartOrIsListedAtTheEnd();
  void savePathIsJudgedBeforeAnyFileIsRead();
  void resultNamesWhatTheRunWrote();
  void wrongPasswordsAndSkippingThemAll();
  void optionsAndKeysStartTheRun();
  void windowAndCommandLineWriteTheSameOutput();
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
  // The end of the run is shown as its result, not as a box of failure.
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }));
  QCOMPARE(f.form->Messages.size(), size_t{1});
  QVERIFY(f.form->Messages[0].report);

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
  f.form->RunMerge = [&](plicato::TMergeHost& host, const plicato::TMergeOptions&) {
    host.SetProgress(1, 3, 0);
    host.SetProgress(1, 3, 5000);
    held.release();
    go.acquire();
    host.RunEnded({});
    return plicato::TMergeReport{};
  };
  f.form->Answers.push_back(0);  // overwrite the first run's output
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
  QVERIFY(std::all_of(f.form->Messages.begin(), f.form->Messages.end(),
                      [](const TTestForm::Message& message) { return message.report; }));
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
  f.form->RunMerge = [&](plicato::TMergeHost& host, const plicato::TMergeOptions& options) {
    skipAsked = options.skipUnreadable;
    first = host.AskPassword("/data/secret.xls");
    second = host.AskPassword("/data/locked.xls");
    plicato::TMergeReport report;
    report.skipped = {Skipped("/data/locked.xls", "Invalid password", plicato::ekWrongPassword),
                      Skipped("/data/broken.xls", "Bad record\rin file", plicato::ekDamaged)};
    plicato::TNoteFacts wide;
    wide.kind = plicato::TNoteFacts::nkColumnsLeftOut;
    wide.column = 255;
    wide.lastColumn = 300;
    plicato::TNoteFacts stopped;
    stopped.kind = plicato::TNoteFacts::nkStoppedAt;
    stopped.sheet = u"一月";
    stopped.row = 13;
    stopped.rows = 12;
    stopped.left = 4;
    report.notes = {Noted("/data/wide.xlsx", wide), Noted("/data/jan.xls", stopped)};
    host.RunEnded(report);
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
  QCOMPARE(report.caption, QStringLiteral("合并完成"));
  // Skipped files with their reason in the window's words, the technical text in the details.
  for (const char* part :
       {"/data/locked.xls：文件有密码保护", "/data/broken.xls：文件已损坏",
        "/data/wide.xlsx：第255列（IU列）之后的列未合并；该表的数据一直到KN列。",
        "/data/"
        "jan.xls：工作表“一月”：第13行没有文字，已合并其上的12行后在此停止；从该行起有4行有数据未合并。"})
    QVERIFY2(report.text.contains(QString::fromUtf8(part)), qPrintable(report.text));
  for (const char* part : {"/data/locked.xls：文件有密码保护，密码不对或没有提供\n  “Invalid password",
                           "/data/broken.xls：文件已损坏或格式不受支持\n  “Bad record in file"})
    QVERIFY2(report.details.contains(QString::fromUtf8(part)), qPrintable(report.details));
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
  const QStringList details = box.details.split(QLatin1Char('\n'));
  QVERIFY2(details.size() >= 3 && details[0] == QStringLiteral("文件：") + bad &&
               details[1] == QStringLiteral("原因：不是可以读取的Excel工作簿") &&
               details[2].startsWith(
                   QStringLiteral("程序的原文：“Thread ThreadComponent2 raised exception class ")) &&
               box.details.endsWith(QStringLiteral("”")) && !box.details.contains(QLatin1Char('\r')),
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
  f.form->Answers.push_back(0);  // the output of the run before is overwritten
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

// A folder the scan cannot read (here: past the system's path length limit, which binds root too) leaves
// its files out of the list: the merge starts only when unreadable inputs may be skipped, and then the
// folder is in the end-of-run list.
void MergeWindowTest::unreadableFolderRefusesTheStartOrIsListedAtTheEnd() {
  Fixture f;
  const QString top = f.dir.filePath(QStringLiteral("scan"));
  QVERIFY(QDir().mkpath(top));
  plicato::TXLSWorkbook workbook;
  workbook.Sheets()[0].PutText(0, 0, u"a");
  workbook.Filename = (top + QStringLiteral("/a.xls")).toStdU16String();
  WriteWorkbook(workbook);
  const std::string chain =
      QStringList(22, QString(200, QLatin1Char('n'))).join(QLatin1Char('/')).toStdString();
  QVERIFY(std::system(("cd '" + top.toStdString() + "' && mkdir -p " + chain).c_str()) == 0);
  f.form->FolderAnswers.push_back(top);
  f.form->Control<QPushButton>("Button1")->click();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->ScanBusy(); }, 30000));
  f.form->Control<QLineEdit>("Edit2")->setText(f.out);
  f.Start();
  QCOMPARE(f.form->Messages.size(), size_t{1});
  QVERIFY2(f.form->Messages[0].text.contains(QStringLiteral("无法读取文件夹")),
           qPrintable(f.form->Messages[0].text));
  QCOMPARE(f.form->Caption(), QStringLiteral("开始"));
  QVERIFY(!QFile::exists(f.out));

  f.form->Control<QCheckBox>("CheckBox3")->setChecked(true);
  f.Start();
  QVERIFY(f.WaitIdle());
  QCOMPARE(f.form->Messages.size(), size_t{2});
  QVERIFY(f.form->Messages[1].report);
  QVERIFY2(f.form->Messages[1].text.contains(QStringLiteral("以下1个文件夹无法读取")),
           qPrintable(f.form->Messages[1].text));
  QVERIFY(QFile::exists(f.out));
  QVERIFY(std::system(("rm -rf '" + top.toStdString() + "'").c_str()) == 0);
}

// A merge that records that it ran and what it was given, and ends as the engine does.
struct TFakeRun {
  int runs = 0;
  std::filesystem::path savePath;
  plicato::TMergeOptions options;
  plicato::TMergeReport report;
  std::function<void(plicato::TMergeHost&)> during;
  void Install(TTestForm& form) {
    form.RunMerge = [this](plicato::TMergeHost& host, const plicato::TMergeOptions& given) {
      ++runs;
      savePath = given.savePath;
      options = given;
      if (during) during(host);
      host.RunEnded(report);
      return report;
    };
  }
};

void MergeWindowTest::savePathIsJudgedBeforeAnyFileIsRead() {
  Fixture f;
  TFakeRun run;
  run.Install(*f.form);
  f.form->OpenAnswers.push_back(kCorpusMerge + QStringLiteral("/a.xls"));
  f.form->Command("N4")->trigger();
  f.form->Control<QLineEdit>("Edit1")->setText(kCorpusMerge);
  auto* save = f.form->Control<QLineEdit>("Edit2");
  const QString folder = f.dir.path();

  // Paths that cannot be written: a box names the problem, nothing is merged.
  const struct {
    QString path;
    const char* says;
  } refused[] = {{folder, "是一个文件夹"},
                 {folder + QStringLiteral("/missing/out.xls"), "不存在"},
                 {QUrl::fromLocalFile(folder + QStringLiteral("/out.xls")).toString(), "是一个网址"}};
  for (const auto& c : refused) {
    f.form->Messages.clear();
    save->setText(c.path);
    f.Start();
    QCOMPARE(f.form->Messages.size(), size_t{1});
    QVERIFY2(f.form->Messages[0].text.contains(QString::fromUtf8(c.says)),
             qPrintable(f.form->Messages[0].text));
    QCOMPARE(f.form->Caption(), QStringLiteral("开始"));
  }
  QCOMPARE(run.runs, 0);

  // No extension: the type chosen last in the save dialog (.xls at first) is added, and shown.
  f.form->Messages.clear();
  save->setText(folder + QStringLiteral("/merged"));
  f.Start();
  QVERIFY(f.WaitIdle());
  QCOMPARE(QString::fromStdString(run.savePath.native()), folder + QStringLiteral("/merged.xls"));
  QCOMPARE(save->text(), folder + QStringLiteral("/merged.xls"));
  f.form->SaveAnswers.push_back(folder + QStringLiteral("/typed.csv"));
  f.form->Control<QPushButton>("Button2")->click();
  save->setText(folder + QStringLiteral("/merged"));
  f.Start();
  QVERIFY(f.WaitIdle());
  QCOMPARE(save->text(), folder + QStringLiteral("/merged.csv"));
  QVERIFY(f.form->Questions.empty());

  // An existing output is asked about; cancelling merges nothing. Continuations of an earlier run are
  // named in the same question and may go to the trash.
  auto touch = [&](const QString& name) {
    QFile file(folder + QLatin1Char('/') + name);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
  };
  QVERIFY(touch("out.xls") && touch("out-2.xls") && touch("out-10.xls") && touch("out-x.xls"));
  QVERIFY(QDir(folder).mkdir(QStringLiteral("data")));
  qputenv("XDG_DATA_HOME", QFile::encodeName(folder + QStringLiteral("/data")));
  save->setText(folder + QStringLiteral("/out.xls"));
  const int before = run.runs;
  f.Start();  // no answer: the question is closed
  QCOMPARE(f.form->Questions.size(), size_t{1});
  const QString question = f.form->Questions[0].text;
  QVERIFY2(question.startsWith(QStringLiteral("文件已存在，要覆盖吗？")), qPrintable(question));
  QVERIFY(question.indexOf(QStringLiteral("out-2.xls")) < question.indexOf(QStringLiteral("out-10.xls")));
  QVERIFY(!question.contains(QStringLiteral("out-x.xls")));
  QCOMPARE(f.form->Questions[0].buttons.size(), 3);
  QCOMPARE(run.runs, before);
  f.form->Answers.push_back(0);  // to the trash, then merge
  f.Start();
  QVERIFY(f.WaitIdle());
  QCOMPARE(run.runs, before + 1);
  QVERIFY(!QFile::exists(folder + QStringLiteral("/out-2.xls")) &&
          !QFile::exists(folder + QStringLiteral("/out-10.xls")));
  QVERIFY(QFile::exists(folder + QStringLiteral("/data/Trash/files/out-10.xls")));
  QVERIFY(QFile::exists(folder + QStringLiteral("/out-x.xls")));
}

void MergeWindowTest::resultNamesWhatTheRunWrote() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  TFakeRun run;
  run.Install(*f.form);
  run.report.outputs = {f.out.toStdString(), f.dir.filePath(QStringLiteral("out-1.xls")).toStdString()};
  run.report.olderOutputs = {f.dir.filePath(QStringLiteral("out-2.xls")).toStdString()};
  run.report.filesMerged = 7;
  run.report.rowsWritten = 70000;
  run.report.skipped = {Skipped("/data/x.xls", "not a compound document", plicato::ekNotAWorkbook)};
  plicato::TNoteFacts stopped;
  stopped.kind = plicato::TNoteFacts::nkStoppedAt;
  stopped.row = 12;
  stopped.rows = 11;
  stopped.left = 30;
  run.report.notes = {Noted("/data/y.xls", stopped)};
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }));
  TTestForm::Message result = f.form->Messages[0];
  QCOMPARE(result.caption, QStringLiteral("合并完成"));
  const QStringList lines = result.text.split(QLatin1Char('\n'));
  QCOMPARE(lines.value(0), QStringLiteral("合并完成。"));
  QCOMPARE(lines.value(1), QStringLiteral("已合并7个文件，共写入70000行。"));
  for (const QString& part :
       {f.out, f.dir.filePath(QStringLiteral("out-1.xls")), f.dir.filePath(QStringLiteral("out-2.xls")),
        QStringLiteral("/data/x.xls：不是可以读取的Excel工作簿"),
        QStringLiteral("/data/y.xls：第12行没有文字")})
    QVERIFY2(result.text.contains(part), qPrintable(result.text));
  QCOMPARE(result.folder, f.dir.path());

  // The box itself: its folder button opens the outputs' folder, OK closes it.
  auto box = f.form->CreateResultDialog(result.caption, result.text, result.details, result.folder);
  box->findChild<QPushButton*>(QStringLiteral("OpenFolderButton"))->click();
  QCOMPARE(f.form->OpenedUrls.back(), QUrl::fromLocalFile(f.dir.path()));
  QVERIFY(box->findChild<QPushButton*>(QStringLiteral("DetailsButton")));
  QCOMPARE(box->findChild<QPushButton*>(QStringLiteral("OkButton"))->text(), QStringLiteral("确定"));

  // A stopped run that wrote nothing says so, and has no folder to open.
  run.report = {};
  run.report.stopped = true;
  f.form->Messages.clear();
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }));
  result = f.form->Messages[0];
  QCOMPARE(result.caption, QStringLiteral("合并已停止"));
  QVERIFY(result.text.contains(QStringLiteral("没有写入任何文件")));
  QVERIFY(result.folder.isEmpty());

  // A file that fails while its sheet is read: the details say where, the reader's words quoted last.
  plicato::TRunFailure failure = plicato::TRunFailure::Of(plicato::TRunFailure::rfFile, "/data/cut.xlsx");
  failure.file.kind = plicato::ekDamaged;
  failure.file.words = "sheet1.xml, line 3: cut short";
  failure.file.reading = true;
  failure.file.sheet = u"一月";
  failure.file.afterRow = 5;
  run.during = [&](plicato::TMergeHost& host) {
    host.RunFailed(failure);
    throw plicato::EMergeError(failure, plicato::ekDamaged);
  };
  f.form->Messages.clear();
  f.Start();
  QVERIFY(QTest::qWaitFor([&] { return !f.form->Messages.empty(); }));
  const QStringList details = f.form->Messages[0].details.split(QLatin1Char('\n'));
  QVERIFY2(details.size() == 4 && details[0] == QStringLiteral("文件：/data/cut.xlsx") &&
               details[2] == QStringLiteral("位置：工作表“一月”第5行之后") &&
               details[3].contains(QStringLiteral("sheet1.xml, line 3: cut short")),
           qPrintable(details.join(QLatin1Char('\n'))));
}

void MergeWindowTest::wrongPasswordsAndSkippingThemAll() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  f.form->Control<QCheckBox>("CheckBox3")->setChecked(true);
  TFakeRun run;
  std::vector<std::optional<std::u16string>> answers;
  run.during = [&](plicato::TMergeHost& host) {
    for (const char* file : {"/d/a.xls", "/d/a.xls", "/d/b.xls", "/d/c.xls", "/d/d.xls"})
      answers.push_back(host.AskPassword(file));
  };
  run.Install(*f.form);
  f.form->PasswordAnswers = {QStringLiteral("wrong"), QStringLiteral("right"),
                             QString::fromLatin1(TTestForm::kSkipAll)};
  f.Start();
  QVERIFY(f.WaitIdle());
  // The same file asked again is a retry; after "全部跳过" no file is asked for.
  QCOMPARE(f.form->PasswordFiles, (QStringList{"/d/a.xls", "/d/a.xls", "/d/b.xls"}));
  QCOMPARE(f.form->PasswordRetries, (std::vector<bool>{false, true, false}));
  QCOMPARE(answers.size(), size_t{5});
  QCOMPARE(answers[1], std::optional<std::u16string>(u"right"));
  QVERIFY(!answers[2] && !answers[3] && !answers[4]);

  // The dialogs themselves: a retry says so; "全部跳过" is offered when skipping is on and ends the dialog
  // with its own answer.
  auto first = f.form->CreatePasswordDialog(QStringLiteral("/d/a.xls"));
  auto again = f.form->CreatePasswordDialog(QStringLiteral("/d/a.xls"), true, true);
  QVERIFY(first->findChild<QLabel*>(QStringLiteral("PasswordLabel"))
              ->text()
              .startsWith(QStringLiteral("请输入密码：")));
  QVERIFY(!first->findChild<QPushButton*>(QStringLiteral("SkipAllButton")));
  QVERIFY(again->findChild<QLabel*>(QStringLiteral("PasswordLabel"))
              ->text()
              .startsWith(QStringLiteral("密码错误，请重新输入：")));
  QTimer::singleShot(0, again.get(),
                     [&] { again->findChild<QPushButton*>(QStringLiteral("SkipAllButton"))->click(); });
  QCOMPARE(again->exec(), int(plicato::TForm1::paSkipAll));
  // A long name wraps instead of widening the dialog.
  auto wide = f.form->CreatePasswordDialog(QStringLiteral("/d/") + QString(300, QLatin1Char('x')) +
                                           QStringLiteral(".xls"));
  QVERIFY(wide->sizeHint().width() < 700);
}

void MergeWindowTest::optionsAndKeysStartTheRun() {
  Fixture f;
  QVERIFY(f.ListCorpus());
  f.form->show();
  QVERIFY(QTest::qWaitForWindowExposed(f.form.get()));
  TFakeRun run;
  QSemaphore held, go;
  run.during = [&](plicato::TMergeHost&) {
    held.release();
    go.acquire();
  };
  run.Install(*f.form);
  f.form->Control<QCheckBox>("CheckBox5")->setChecked(true);
  f.form->Control<QCheckBox>("CheckBox6")->setChecked(true);
  f.form->findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->setValue(2);
  f.form->Control<QCheckBox>("CheckBox8")->setChecked(true);
  auto* sheet = f.form->findChild<QComboBox*>(QStringLiteral("ComboBox1"));
  QCOMPARE(sheet->count(), 2);
  QVERIFY(sheet->isEditable());

  // The sheet as offered or typed; each run takes the options once, at its start.
  using plicato::TSheetChoice;
  const struct {
    QString typed;
    TSheetChoice::TKind kind;
    int index;
    const char16_t* name;
  } sheets[] = {{QStringLiteral("第一个"), TSheetChoice::scFirst, 0, u""},
                {QStringLiteral("全部"), TSheetChoice::scAll, 0, u""},
                {QStringLiteral("3"), TSheetChoice::scIndex, 2, u""},
                {QStringLiteral("销售 2026"), TSheetChoice::scName, 0, u"销售 2026"}};
  bool first = true;
  for (const auto& c : sheets) {
    sheet->setEditText(c.typed);
    if (!first) f.form->Answers.push_back(0);  // overwrite the last run's output
    first = false;
    // Ctrl+Enter starts, Esc stops.
    QTest::keyClick(f.form.get(), Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(QTest::qWaitFor([&] { return held.available() > 0; }));
    held.acquire();
    sheet->setEditText(QStringLiteral("changed mid-run"));
    QTest::keyClick(f.form.get(), Qt::Key_Escape);
    QCOMPARE(f.form->Host().StopRequested.load(), 1);
    go.release();
    QVERIFY(f.WaitIdle());
    QVERIFY(run.options.values && run.options.sourceColumn);
    QCOMPARE(run.options.headerRows, 2);
    QVERIFY(run.options.matchColumns);
    QVERIFY(run.options.sourceCaption == u"来源文件");
    QCOMPARE(run.options.sheet.kind, c.kind);
    QCOMPARE(run.options.sheet.index, c.index);
    QVERIFY(run.options.sheet.name == c.name);
  }
  // The source column names a file the folder search found relative to the folder, any other as listed.
  auto source = [&](const plicato::TMergeOptions& options, const QString& file) {
    const auto at = std::find(options.files.begin(), options.files.end(), file.toStdString());
    if (at == options.files.end()) return QString();
    return QString::fromStdString(
        options.SourceName(static_cast<size_t>(at - options.files.begin())).native());
  };
  QCOMPARE(source(run.options, kCorpusMerge + QStringLiteral("/sub/b.xls")), QStringLiteral("sub/b.xls"));
  f.form->Control<QLineEdit>("Edit1")->setText(kCorpusMerge + QStringLiteral("/sub"));
  const plicato::TMergeOptions sub = f.form->MergeOptions();
  QCOMPARE(source(sub, kCorpusMerge + QStringLiteral("/sub/b.xls")), QStringLiteral("b.xls"));
  QCOMPARE(source(sub, kCorpusMerge + QStringLiteral("/a.xls")), kCorpusMerge + QStringLiteral("/a.xls"));

  // Sheet numbers count from 1: 0 is refused with a box, and nothing runs.
  const int runs = run.runs;
  f.form->Messages.clear();
  sheet->setEditText(QStringLiteral("0"));
  f.Start();
  QCOMPARE(run.runs, runs);
  QCOMPARE(f.form->Messages.size(), size_t{1});
  QVERIFY2(f.form->Messages[0].text.contains(QStringLiteral("从1开始")),
           qPrintable(f.form->Messages[0].text));
}

// The window and the command line, given the same options over the same folder, write the same output
// (the source column's caption is each one's own language).
void MergeWindowTest::windowAndCommandLineWriteTheSameOutput() {
  Fixture f;
  f.out = f.dir.filePath(QStringLiteral("window.csv"));
  QVERIFY(f.ListCorpus());
  for (const char* box : {"CheckBox1", "CheckBox5", "CheckBox6", "CheckBox8"})
    f.form->Control<QCheckBox>(box)->setChecked(true);
  f.form->findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->setValue(1);
  f.form->findChild<QComboBox*>(QStringLiteral("ComboBox1"))->setEditText(QStringLiteral("1"));
  f.Start();
  QVERIFY(f.WaitIdle());
  const QString cli = f.dir.filePath(QStringLiteral("cli.csv"));
  QProcess process;
  process.start(QStringLiteral(PLICATO_CLI),
                {QStringLiteral("merge"), QStringLiteral("--mark-rows"), QStringLiteral("--values"),
                 QStringLiteral("--source"), QStringLiteral("--header-rows"), QStringLiteral("1"),
                 QStringLiteral("--match-columns"), QStringLiteral("--sheet"), QStringLiteral("1"),
                 QStringLiteral("-q"), QStringLiteral("-o"),
                 cli, kCorpusMerge});
  QVERIFY(process.waitForFinished(120000));
  QCOMPARE(process.exitCode(), 0);
  QFile window(f.out), line(cli);
  QVERIFY(window.open(QIODevice::ReadOnly) && line.open(QIODevice::ReadOnly));
  QByteArray written = window.readAll();
  QVERIFY(written.contains(QStringLiteral("来源文件").toUtf8()));
  written.replace(QStringLiteral("来源文件").toUtf8(), "Source");
  QCOMPARE(written, line.readAll());
}

QTEST_MAIN(MergeWindowTest)
#include "MergeWindow_test.moc"
