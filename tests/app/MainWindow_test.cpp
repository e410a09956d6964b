// The main window without a merge: its controls, the list commands and their preconditions, the
// dialogs, the links, dropping files and the tune box.
#include <QAction>
#include <QAudioDevice>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMediaDevices>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "TestForm.h"
#include "aboutbox.h"
#include "tune.h"

using plicato::TForm2;
using plicato::test::TTestForm;

namespace {

const QString kCorpusMerge = QStringLiteral(PLICATO_CORPUS "/gen/merge");

QString MakeFile(const QTemporaryDir& dir, const QString& name) {
  const QString path = dir.filePath(name);
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write("x");
  return path;
}

uint32_t Le(const QByteArray& bytes, qsizetype at, int size) {
  uint32_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void windowHasTheControlsInOrder();
  void startNeedsFolderSavePathAndList();
  void listCommandsWhenIdle();
  void deleteFileRemovesTheFileOrReportsFailure();
  void dialogsAreConfigured();
  void saveDialogAddsTheExtension();
  void linksAndDoubleClickOpenWithTheDesktop();
  void aboutBoxShowsTheMakerAndCloses();
  void droppedFilesAndFoldersAreAdded();
  void tuneIsAWaveImageAndTheBoxNeverComplains();
};

void MainWindowTest::windowHasTheControlsInOrder() {
  TTestForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));

  QCOMPARE(form.windowTitle(), QStringLiteral("Plicato V1.0"));
  QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
  QCOMPARE(form.minimumSize(), form.maximumSize());

  struct Expected {
    const char* name;
    QString text;
  };
  const Expected labels[] = {{"Label1", QStringLiteral("待处理XLS目录")},
                             {"Label2", QStringLiteral("合并后保存路径")},
                             {"Label6", QStringLiteral("当前读取的文件")},
                             {"Label3", QStringLiteral("状态：")},
                             {"Label4", QString()},
                             {"Label5", QString()},
                             {"Label7", QStringLiteral("文件列表")},
                             {"Label8", QStringLiteral("Tarnwick       https://www.tarnwick.example/")}};
  for (const Expected& e : labels) {
    auto* label = form.Control<QLabel>(e.name);
    QVERIFY2(label, e.name);
    QCOMPARE(label->text(), e.text);
  }
  const Expected buttons[] = {{"Button1", QStringLiteral("浏览")},
                              {"Button2", QStringLiteral("浏览")},
                              {"Button5", QStringLiteral("关于")},
                              {"Button3", QStringLiteral("开始")},
                              {"Button4", QStringLiteral("退出")}};
  for (const Expected& e : buttons) {
    auto* button = form.Control<QPushButton>(e.name);
    QVERIFY2(button, e.name);
    QCOMPARE(button->text(), e.text);
  }
  const Expected boxes[] = {{"CheckBox1", QStringLiteral("首列标记单文件行数")},
                            {"CheckBox2", QStringLiteral("背景音乐")},
                            {"CheckBox3", QStringLiteral("跳过无法读取的文件")},
                            {"CheckBox4", QStringLiteral("包含XLSX文件")}};
  for (const Expected& e : boxes) {
    auto* box = form.Control<QCheckBox>(e.name);
    QVERIFY2(box, e.name);
    QCOMPARE(box->text(), e.text);
    QVERIFY(!box->isChecked());
  }
  auto* bar = form.Control<QProgressBar>("ProgressBar1");
  QVERIFY(bar);
  QCOMPARE(bar->value(), bar->minimum());  // empty when idle
  for (const char* edit : {"Edit1", "Edit2", "Edit3"}) {
    QVERIFY2(form.Control<QLineEdit>(edit), edit);
    QVERIFY(form.Control<QLineEdit>(edit)->text().isEmpty());
  }

  // The status lines are red, the link line blue with a hand cursor.
  const QColor red(Qt::red), blue(Qt::blue);
  QCOMPARE(form.Control<QLabel>("Label4")->palette().color(QPalette::WindowText), red);
  QCOMPARE(form.Control<QLabel>("Label5")->palette().color(QPalette::WindowText), red);
  QCOMPARE(form.Control<QLabel>("Label8")->palette().color(QPalette::WindowText), blue);
  QCOMPARE(form.Control<QLabel>("Label8")->cursor().shape(), Qt::PointingHandCursor);

  // Top to bottom as listed; the three buttons right of the list, About on top, Exit at the bottom.
  auto y = [&](const char* name) { return form.Control<QWidget>(name)->geometry().top(); };
  const char* column[] = {"Edit1",  "Edit2",        "Edit3",  "CheckBox1", "CheckBox3", "Label4",
                          "Label5", "ProgressBar1", "Label7", "ListBox1",  "Label8"};
  for (size_t i = 1; i < std::size(column); ++i) QVERIFY2(y(column[i - 1]) < y(column[i]), column[i]);
  QCOMPARE(y("CheckBox1"), y("CheckBox2"));
  QCOMPARE(y("CheckBox3"), y("CheckBox4"));
  QVERIFY(y("Button5") < y("Button3"));
  QVERIFY(y("Button3") < y("Button4"));
  auto* list = form.Control<QListWidget>("ListBox1");
  QVERIFY(form.Control<QWidget>("Button3")->geometry().left() > list->geometry().right());
  QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
  QVERIFY(!list->isSortingEnabled());

  auto* menu = form.findChild<QMenu*>(QStringLiteral("PopupMenu1"));
  QVERIFY(menu);
  QStringList names, captions;
  for (QAction* action : menu->actions()) {
    names << action->objectName();
    captions << action->text();
  }
  QCOMPARE(names, (QStringList{"N1", "N4", "N5", "N6", "N2", "N3"}));
  QCOMPARE(captions,
           (QStringList{QStringLiteral("移出列表"), QStringLiteral("增加文件"), QStringLiteral("向上移动"),
                        QStringLiteral("向下移动"), QStringLiteral("清空列表"), QStringLiteral("删除文件")}));
  QCOMPARE(form.ThreadComponent1()->objectName(), QStringLiteral("ThreadComponent1"));
  QCOMPARE(form.ThreadComponent2()->objectName(), QStringLiteral("ThreadComponent2"));

  // The status lines getting text does not resize the window or move its controls.
  const QSize size = form.size();
  const int listTop = y("ListBox1");
  form.OpenAnswers.push_back(QStringLiteral("/data/a.xls"));
  form.Command("N4")->trigger();
  form.Control<QLabel>("Label4")->setText(QStringLiteral("正在停止…"));
  QVERIFY(!form.Control<QLabel>("Label5")->text().isEmpty());
  QTest::qWait(50);
  QCOMPARE(form.size(), size);
  QCOMPARE(y("ListBox1"), listTop);
}

void MainWindowTest::startNeedsFolderSavePathAndList() {
  QTemporaryDir dir;
  const QString out = dir.filePath(QStringLiteral("out.xls"));
  TTestForm form;
  auto* start = form.Control<QPushButton>("Button3");
  auto* folder = form.Control<QLineEdit>("Edit1");
  auto* save = form.Control<QLineEdit>("Edit2");

  // A list filled by "增加文件" but no folder.
  form.OpenAnswers.push_back(kCorpusMerge + QStringLiteral("/a.xls"));
  form.Command("N4")->trigger();
  save->setText(out);
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));

  // No save path.
  folder->setText(kCorpusMerge);
  save->clear();
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));

  // No list.
  save->setText(out);
  form.Command("N2")->trigger();
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));

  QTest::qWait(50);
  QCOMPARE(form.ThreadComponent2()->Generation(), uint64_t{0});  // no merge job was started
  QVERIFY(form.Messages.empty());
  QVERIFY(!QFile::exists(out));
  QVERIFY(form.Control<QLabel>("Label4")->text().isEmpty());
}

void MainWindowTest::listCommandsWhenIdle() {
  TTestForm form;
  auto* count = form.Control<QLabel>("Label5");
  auto* list = form.Control<QListWidget>("ListBox1");
  const QString a = QStringLiteral("/data/a.xls"), b = QStringLiteral("/data/b.xls"),
                c = QStringLiteral("/data/c.xls");

  // Adding: nothing when the dialog is cancelled; the same file may be listed twice.
  form.Command("N4")->trigger();
  QCOMPARE(list->count(), 0);
  QVERIFY(count->text().isEmpty());
  for (const QString& file : {a, b, c, c}) {
    form.OpenAnswers.push_back(file);
    form.Command("N4")->trigger();
  }
  QCOMPARE(form.Entries(), (QStringList{a, b, c, c}));
  QCOMPARE(count->text(), QStringLiteral("共有4个XLS文件 已合并0个"));

  // Commands that need a selection do nothing without one.
  list->clearSelection();
  for (const char* command : {"N1", "N5", "N6", "N3"}) form.Command(command)->trigger();
  QCOMPARE(form.Entries(), (QStringList{a, b, c, c}));

  form.Select(3);
  form.Command("N1")->trigger();
  QCOMPARE(form.Entries(), (QStringList{a, b, c}));
  QCOMPARE(count->text(), QStringLiteral("共有3个XLS文件 已合并0个"));
  QVERIFY(list->selectedItems().isEmpty());

  // Moves: not past the ends, no selection afterwards, the count line untouched.
  count->setText(QStringLiteral("unchanged"));
  form.Select(0);
  form.Command("N5")->trigger();
  QCOMPARE(form.Entries(), (QStringList{a, b, c}));
  form.Select(2);
  form.Command("N6")->trigger();
  QCOMPARE(form.Entries(), (QStringList{a, b, c}));
  form.Select(1);
  form.Command("N5")->trigger();
  QCOMPARE(form.Entries(), (QStringList{b, a, c}));
  QVERIFY(list->selectedItems().isEmpty());
  form.Select(1);
  form.Command("N6")->trigger();
  QCOMPARE(form.Entries(), (QStringList{b, c, a}));
  QVERIFY(list->selectedItems().isEmpty());
  QCOMPARE(count->text(), QStringLiteral("unchanged"));

  form.Command("N2")->trigger();
  QCOMPARE(list->count(), 0);
  QCOMPARE(count->text(), QStringLiteral("共有0个XLS文件 已合并0个"));
  QVERIFY(form.Messages.empty());
}

void MainWindowTest::deleteFileRemovesTheFileOrReportsFailure() {
  QTemporaryDir dir;
  const QString doomed = MakeFile(dir, QStringLiteral("doomed.xls"));
  const QString missing = dir.filePath(QStringLiteral("missing.xls"));
  TTestForm form;
  for (const QString& file : {missing, doomed, dir.path()}) {
    form.OpenAnswers.push_back(file);
    form.Command("N4")->trigger();
  }

  form.Select(1);
  form.Command("N3")->trigger();
  QVERIFY(!QFile::exists(doomed));
  QCOMPARE(form.Entries(), (QStringList{missing, dir.path()}));
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有2个XLS文件 已合并0个"));
  QVERIFY(form.Messages.empty());

  // A file that cannot be deleted (gone already, or a folder) is reported and stays listed.
  for (int row : {0, 1}) {
    form.Messages.clear();
    form.Select(row);
    form.Command("N3")->trigger();
    QCOMPARE(form.Messages.size(), size_t{1});
    QCOMPARE(form.Messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(form.Messages[0].text, QStringLiteral("删除失败！,可能文件被调用中"));
    QCOMPARE(form.Messages[0].icon, QMessageBox::Critical);
    QCOMPARE(form.Entries(), (QStringList{missing, dir.path()}));
  }
  QVERIFY(QFileInfo(dir.path()).isDir());
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有2个XLS文件 已合并0个"));
}

void MainWindowTest::dialogsAreConfigured() {
  TTestForm form;
  auto save = form.CreateSaveDialog();
  QCOMPARE(save->windowTitle(), QStringLiteral("请选择保存路径"));
  QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
  QCOMPARE(save->nameFilters(), QStringList{QStringLiteral("*.xls")});
  QCOMPARE(save->defaultSuffix(), QStringLiteral("xls"));
  QVERIFY(save->testOption(QFileDialog::DontConfirmOverwrite));

  auto open = form.CreateOpenDialog();
  QCOMPARE(open->acceptMode(), QFileDialog::AcceptOpen);
  QCOMPARE(open->fileMode(), QFileDialog::ExistingFile);
  const QString both = QStringLiteral("*.xls *.xlsx *.xlsm");
  QCOMPARE(open->nameFilters(), (QStringList{QStringLiteral("*.xls"), both}));
  QCOMPARE(open->defaultSuffix(), QStringLiteral("xls"));
  QVERIFY(open->isSizeGripEnabled());
  form.Control<QCheckBox>("CheckBox4")->setChecked(true);
  QCOMPARE(form.CreateOpenDialog()->selectedNameFilter(), both);

  auto password = form.CreatePasswordDialog(QStringLiteral("/data/月报/secret.xls"));
  QCOMPARE(password->textEchoMode(), QLineEdit::Password);
  QVERIFY(password->labelText().startsWith(QStringLiteral("请输入密码：")));
  QVERIFY(password->labelText().contains(QStringLiteral("secret.xls")));

  // The save button puts the answer into the save-path field; a cancelled dialog changes nothing.
  auto* edit = form.Control<QLineEdit>("Edit2");
  form.SaveAnswers.push_back(QStringLiteral("/tmp/merged.xls"));
  form.Control<QPushButton>("Button2")->click();
  QCOMPARE(edit->text(), QStringLiteral("/tmp/merged.xls"));
  form.Control<QPushButton>("Button2")->click();
  QCOMPARE(edit->text(), QStringLiteral("/tmp/merged.xls"));

  // The folder button: cancelled changes nothing and starts no scan.
  form.Control<QPushButton>("Button1")->click();
  QVERIFY(form.Control<QLineEdit>("Edit1")->text().isEmpty());
  QCOMPARE(form.ThreadComponent1()->Generation(), uint64_t{0});
}

void MainWindowTest::saveDialogAddsTheExtension() {
  QTemporaryDir dir;
  TTestForm form;
  auto save = form.CreateSaveDialog();
  save->setOption(QFileDialog::DontUseNativeDialog);
  save->setDirectory(dir.path());
  save->selectFile(QStringLiteral("merged"));
  QCOMPARE(save->selectedFiles().value(0), dir.filePath(QStringLiteral("merged.xls")));
  save->selectFile(QStringLiteral("merged.dat"));
  QCOMPARE(save->selectedFiles().value(0), dir.filePath(QStringLiteral("merged.dat")));
}

void MainWindowTest::linksAndDoubleClickOpenWithTheDesktop() {
  TTestForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QTest::mouseClick(form.Control<QLabel>("Label8"), Qt::LeftButton);
  QCOMPARE(form.OpenedUrls.size(), size_t{1});
  QCOMPARE(form.OpenedUrls[0], QUrl(QStringLiteral("https://www.tarnwick.example/")));

  auto* list = form.Control<QListWidget>("ListBox1");
  form.OpenAnswers.push_back(QStringLiteral("/data/some file.xls"));
  form.Command("N4")->trigger();
  // A double-click on empty space opens nothing.
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 5));
  QCOMPARE(form.OpenedUrls.size(), size_t{1});
  const QRect rect = list->visualItemRect(list->item(0));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  QCOMPARE(form.OpenedUrls.size(), size_t{2});
  QCOMPARE(form.OpenedUrls[1], QUrl::fromLocalFile(QStringLiteral("/data/some file.xls")));
  QVERIFY(form.Messages.empty());

  // With no browser or launcher, the address or the path is shown instead.
  form.DesktopOpens = false;
  QTest::mouseClick(form.Control<QLabel>("Label8"), Qt::LeftButton);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  QCOMPARE(form.Messages.size(), size_t{2});
  QVERIFY(form.Messages[0].text.contains(QStringLiteral("https://www.tarnwick.example/")));
  QVERIFY(form.Messages[1].text.contains(QStringLiteral("/data/some file.xls")));
}

// Checks the shown About box and clicks its links; leaves it open.
void CheckAboutBox(TForm2* about, bool& checked) {
  QVERIFY(QTest::qWaitFor([&] { return about->isVisible(); }));
  QVERIFY(about->isModal());
  QCOMPARE(about->windowTitle(), QStringLiteral("关于"));
  QVERIFY(!(about->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
  auto* name = about->findChild<QLabel*>(QStringLiteral("Label1"));
  auto* address = about->findChild<QLabel*>(QStringLiteral("Label2"));
  auto* contact = about->findChild<QLabel*>(QStringLiteral("Label3"));
  QVERIFY(name && address && contact);
  QCOMPARE(name->text(), QStringLiteral("Tarnwick软件"));
  QVERIFY(name->font().bold());
  QCOMPARE(name->palette().color(QPalette::WindowText), QColor(Qt::blue));
  QCOMPARE(name->cursor().shape(), Qt::PointingHandCursor);
  QCOMPARE(address->text(), QStringLiteral("https://www.tarnwick.example/"));
  QCOMPARE(address->cursor().shape(), Qt::PointingHandCursor);
  QCOMPARE(contact->text(), QStringLiteral("各种程序定制 sales@tarnwick.example"));
  auto* version = about->findChild<QLabel*>(QStringLiteral("Label4"));
  QVERIFY(version && version->text() == QStringLiteral("Plicato " PLICATO_VERSION));
  QTest::mouseClick(name, Qt::LeftButton);
  QTest::mouseClick(address, Qt::LeftButton);
  QTest::mouseClick(contact, Qt::LeftButton);
  checked = true;
}

void MainWindowTest::aboutBoxShowsTheMakerAndCloses() {
  TTestForm form;
  form.show();
  TForm2* about = form.Form2();
  QVERIFY(about);
  bool checked = false;
  QString okText;
  bool closedByOk = false;
  QTimer::singleShot(0, &form, [&] {
    CheckAboutBox(about, checked);
    auto* ok = about->findChild<QPushButton*>(QStringLiteral("Button1"));
    if (ok) {
      okText = ok->text();
      ok->click();
      closedByOk = !about->isVisible();
    }
    if (about->isVisible()) about->reject();
  });
  form.Control<QPushButton>("Button5")->click();  // modal: returns when the box is closed
  QVERIFY(checked);
  QCOMPARE(okText, QStringLiteral("确定"));
  QVERIFY(closedByOk);
  QCOMPARE(form.OpenedUrls.size(), size_t{2});
  for (const QUrl& url : form.OpenedUrls)
    QCOMPARE(url, QUrl(QStringLiteral("https://www.tarnwick.example/")));
}

void MainWindowTest::droppedFilesAndFoldersAreAdded() {
  QTemporaryDir dir;
  const QString single = MakeFile(dir, QStringLiteral("single.XLS"));
  const QString text = MakeFile(dir, QStringLiteral("notes.txt"));
  TTestForm form;
  form.show();
  auto dropOn = [](TTestForm& target, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    QWidget* viewport = target.Control<QListWidget>("ListBox1")->viewport();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    return enter.isAccepted();
  };
  QVERIFY(dropOn(form, {single, text, kCorpusMerge}));

  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 9 && !form.ScanBusy(); }, 30000));
  const QString m = kCorpusMerge + QLatin1Char('/');
  const QStringList corpus{m + ".hidden.xls", m + "a.xls",         m + "e_biff5.xls", m + "UPPER.XLS",
                           m + "wide.xls",    m + "old.xls/d.xls", m + "sub/b.xls",   m + "sub/deeper/c.xls"};
  QCOMPARE(form.Entries(), QStringList{single} + corpus);
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有9个XLS文件 已合并0个"));
  // The empty folder field took the folder of the first dropped file, so Start can go.
  QCOMPARE(form.Control<QLineEdit>("Edit1")->text(), dir.path());
  QVERIFY(form.Messages.empty());

  // A dropped .xlsx file is taken; with the XLSX box ticked a dropped folder lists both kinds and fills
  // the folder field; a filled field is kept.
  TTestForm both;
  both.show();
  both.Control<QCheckBox>("CheckBox4")->setChecked(true);
  const QString book = MakeFile(dir, QStringLiteral("book.xlsx"));
  dropOn(both, {kCorpusMerge, book});
  QVERIFY(QTest::qWaitFor([&] { return both.Entries().size() == 10 && !both.ScanBusy(); }, 30000));
  // Both kinds in one search, in the command line's name order.
  QStringList mixed = corpus;
  mixed.insert(3, m + "fake.xlsx");
  QCOMPARE(both.Entries(), QStringList{book} + mixed);
  QCOMPARE(both.Control<QLineEdit>("Edit1")->text(), kCorpusMerge);
  dropOn(both, {single});
  QVERIFY(QTest::qWaitFor([&] { return both.Entries().size() == 11; }, 10000));
  QCOMPARE(both.Control<QLineEdit>("Edit1")->text(), kCorpusMerge);
}

void MainWindowTest::tuneIsAWaveImageAndTheBoxNeverComplains() {
  TTestForm form;
  const QByteArray& wave = form.Tune()->WaveImage();
  QVERIFY(plicato::TTune::IsWaveImage(wave));
  QCOMPARE(wave.mid(12, 4), QByteArray("fmt "));
  QCOMPARE(Le(wave, 20, 2), 1u);  // PCM
  QCOMPARE(Le(wave, 22, 2), 1u);  // mono
  const uint32_t bytesPerSecond = Le(wave, 28, 4);
  QVERIFY(bytesPerSecond > 0);
  const qsizetype data = wave.indexOf("data");
  QVERIFY(data > 0);
  const double seconds = static_cast<double>(Le(wave, data + 4, 4)) / bytesPerSecond;
  QVERIFY2(seconds >= 20 && seconds <= 40, qPrintable(QString::number(seconds)));
  // Not silence: the samples move.
  const QByteArray samples = wave.mid(data + 8, 11025 * 2);
  QVERIFY(*std::max_element(samples.begin(), samples.end()) !=
          *std::min_element(samples.begin(), samples.end()));

  // Ticking plays, clearing stops, ticking again restarts; without a sound device all of it is silent.
  auto* music = form.Control<QCheckBox>("CheckBox2");
  const bool noDevice = QMediaDevices::audioOutputs().isEmpty();
  for (int i = 0; i < 2; ++i) {
    music->click();
    QVERIFY(music->isChecked());
    if (noDevice) QVERIFY(!form.Tune()->Playing());
    music->click();
    QVERIFY(!music->isChecked());
    QVERIFY(!form.Tune()->Playing());
  }
  music->click();  // left playing when the window goes
  QTest::qWait(20);
  QVERIFY(form.Messages.empty());
}

QTEST_MAIN(MainWindowTest)
#include "MainWindow_test.moc"
