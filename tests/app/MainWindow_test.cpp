// The main window without a merge: its controls, the list commands and their preconditions, the
// dialogs, the links, dropping files and the tune box.
#include <QAction>
#include <QAudioDevice>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMediaDevices>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cerrno>

#include "TestForm.h"
#include "aboutbox.h"
#include "language.h"
#include "selectdirdialog.h"
#include "tune.h"
#include "windowtexts.h"

using plicato::TForm2;
using plicato::TSheetChoice;
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
  void windowResizesAndShowsWholeEntries();
  void folderFieldAndXlsxBoxRescan();
  void csvBoxRescans();
  void settingsAreKeptBetweenSessions();
  void chineseAndEnglishWindows();
  void everyTextInTheWindowsLanguageAndOfNow();
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
                             {"Label9", QStringLiteral("表头行数")},
                             {"Label10", QStringLiteral("工作表")},
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
  const Expected boxes[] = {
      {"CheckBox1", QStringLiteral("首列标记单文件行数")}, {"CheckBox2", QStringLiteral("背景音乐")},
      {"CheckBox3", QStringLiteral("跳过无法读取的文件")}, {"CheckBox4", QStringLiteral("包含XLSX文件")},
      {"CheckBox5", QStringLiteral("保留数值类型")},       {"CheckBox6", QStringLiteral("添加来源列")},
      {"CheckBox7", QStringLiteral("包含CSV文件")},        {"CheckBox8", QStringLiteral("按列名对齐")}};
  for (const Expected& e : boxes) {
    auto* box = form.Control<QCheckBox>(e.name);
    QVERIFY2(box, e.name);
    QCOMPARE(box->text(), e.text);
    QVERIFY(!box->isChecked());
  }
  // Columns are matched by the last header row: the box waits for one.
  auto* match = form.Control<QCheckBox>("CheckBox8");
  QVERIFY(!match->isEnabled());
  form.findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->setValue(1);
  QVERIFY(match->isEnabled());
  form.findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->setValue(0);
  QVERIFY(!match->isEnabled());
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

  // The header rows from 0 to 10 and the sheet offered as the first or all, or typed.
  auto* header = form.findChild<QSpinBox*>(QStringLiteral("SpinEdit1"));
  QVERIFY(header && header->minimum() == 0 && header->maximum() == 10 && header->value() == 0);
  auto* sheet = form.findChild<QComboBox*>(QStringLiteral("ComboBox1"));
  QVERIFY(sheet && sheet->isEditable());
  QCOMPARE(sheet->currentText(), QStringLiteral("第一个"));
  QCOMPARE(sheet->itemText(1), QStringLiteral("全部"));
  QVERIFY(y("CheckBox3") < y("CheckBox5") && y("CheckBox5") < y("ComboBox1") && y("ComboBox1") < y("Label4"));
}

void MainWindowTest::windowResizesAndShowsWholeEntries() {
  TTestForm form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  // Resizable: the list takes the room; what the window needs fits a 1366x768 screen at 125% with
  // room for a title bar and a panel.
  QVERIFY(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  QVERIFY(form.minimumSize() != form.maximumSize());
  const QSize least = form.minimumSizeHint() * 1.25;
  QVERIFY2(least.width() <= 1366 && least.height() <= 768 - 100,
           qPrintable(QStringLiteral("%1x%2").arg(least.width()).arg(least.height())));
  auto* list = form.Control<QListWidget>("ListBox1");
  const QSize listBefore = list->size();
  form.resize(form.width() + 200, form.height() + 200);
  QVERIFY(QTest::qWaitFor([&] { return list->height() >= listBefore.height() + 150; }));
  QVERIFY(list->width() >= listBefore.width() + 150);
  QVERIFY(form.Control<QLineEdit>("Edit3")->isReadOnly());

  // Long entries are shortened in the middle, the whole path in the tooltip.
  const QString longPath =
      QStringLiteral("/data/") + QString(200, QLatin1Char('d')) + QStringLiteral("/report-01.xls");
  form.OpenAnswers.push_back(longPath);
  form.Command("N4")->trigger();
  QCOMPARE(list->textElideMode(), Qt::ElideMiddle);
  QCOMPARE(list->item(0)->toolTip(), longPath);

  // A file dropped anywhere on the window joins the list; dropped on the save field it gives its path.
  QTemporaryDir dir;
  const QString dropped = MakeFile(dir, QStringLiteral("dropped.xls"));
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(dropped)});
  for (QWidget* target : {static_cast<QWidget*>(form.Control<QLabel>("Label7")),
                          static_cast<QWidget*>(form.Control<QLineEdit>("Edit2"))}) {
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QWidget* receiver = target == form.Control<QLineEdit>("Edit2") ? target : static_cast<QWidget*>(&form);
    QCoreApplication::sendEvent(receiver, &enter);
    QVERIFY(enter.isAccepted());
    QCoreApplication::sendEvent(receiver, &drop);
  }
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 2; }));
  QCOMPARE(form.Entries().last(), dropped);
  QCOMPARE(form.Control<QLineEdit>("Edit2")->text(), dropped);
}

void MainWindowTest::startNeedsFolderSavePathAndList() {
  QTemporaryDir dir;
  const QString out = dir.filePath(QStringLiteral("out.xls"));
  TTestForm form;
  auto* start = form.Control<QPushButton>("Button3");
  auto* folder = form.Control<QLineEdit>("Edit1");
  auto* save = form.Control<QLineEdit>("Edit2");

  // A list filled by "增加文件" but no folder.
  // Each time the status line says what is missing; no box is shown.
  auto* status = form.Control<QLabel>("Label4");
  form.OpenAnswers.push_back(kCorpusMerge + QStringLiteral("/a.xls"));
  form.Command("N4")->trigger();
  save->setText(out);
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));
  QCOMPARE(status->text(), QStringLiteral("请先选择待处理XLS目录"));

  // No save path.
  folder->setText(kCorpusMerge);
  save->clear();
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));
  QCOMPARE(status->text(), QStringLiteral("请先选择合并后保存路径"));

  // No list.
  save->setText(out);
  form.Command("N2")->trigger();
  start->click();
  QCOMPARE(form.Caption(), QStringLiteral("开始"));
  QCOMPARE(status->text(), QStringLiteral("文件列表为空，没有要合并的文件"));

  QTest::qWait(50);
  QCOMPARE(form.ThreadComponent2()->Generation(), uint64_t{0});  // no merge job was started
  QVERIFY(form.Messages.empty());
  QVERIFY(!QFile::exists(out));
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
  // A fresh account: no data folder yet, the program started in another folder.
  QTemporaryDir home;
  QTemporaryDir started;
  qputenv("HOME", QFile::encodeName(home.path()));
  qunsetenv("XDG_DATA_HOME");
  const QString before = QDir::currentPath();
  QDir::setCurrent(started.path());
  const QString trash = home.filePath(QStringLiteral(".local/share/Trash"));
  TTestForm form;
  for (const QString& file : {missing, doomed, dir.path()}) {
    form.OpenAnswers.push_back(file);
    form.Command("N3")->trigger();  // nothing selected: nothing asked
    form.Command("N4")->trigger();
  }
  QVERIFY(form.Questions.empty());

  // Asked first, naming the file; cancelled, nothing happens; confirmed, the file goes to the trash.
  form.Select(1);
  form.Command("N3")->trigger();
  QCOMPARE(form.Questions.size(), size_t{1});
  QVERIFY2(form.Questions[0].text.startsWith(QStringLiteral("确定要删除文件“%1”吗？").arg(doomed)) &&
               form.Questions[0].text.contains(QStringLiteral("回收站")),
           qPrintable(form.Questions[0].text));
  QVERIFY(QFile::exists(doomed));
  form.Answers.push_back(0);
  form.Select(1);
  form.Command("N3")->trigger();
  QVERIFY(!QFile::exists(doomed));
  QVERIFY(QFile::exists(trash + QStringLiteral("/files/doomed.xls")));
  QVERIFY(QFile::exists(trash + QStringLiteral("/info/doomed.xls.trashinfo")));
  QVERIFY(!(QFile::permissions(trash) & 0x0077));  // the trash is the user's alone
  QCOMPARE(QDir(started.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
  QDir::setCurrent(before);
  QCOMPARE(form.Entries(), (QStringList{missing, dir.path()}));
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有2个XLS文件 已合并0个"));
  QVERIFY(form.Messages.empty());

  // A file that cannot be deleted (gone already, or a folder) is reported and stays listed, unasked.
  for (int row : {0, 1}) {
    form.Messages.clear();
    form.Select(row);
    form.Command("N3")->trigger();
    QCOMPARE(form.Messages.size(), size_t{1});
    QCOMPARE(form.Messages[0].caption, QStringLiteral("错误"));
    QVERIFY2(
        form.Messages[0].text.startsWith(QStringLiteral("删除失败：") + form.Entries()[row] +
                                         QLatin1Char('\n')) &&
            form.Messages[0].text.contains(row == 0 ? qt_error_string(ENOENT) : QStringLiteral("文件夹")),
        qPrintable(form.Messages[0].text));
    QCOMPARE(form.Messages[0].icon, QMessageBox::Critical);
    QCOMPARE(form.Entries(), (QStringList{missing, dir.path()}));
  }
  QCOMPARE(form.Questions.size(), size_t{2});
  QVERIFY(QFileInfo(dir.path()).isDir());

  // Where there is no trash, the question says the deletion is for good.
  const QString last = MakeFile(dir, QStringLiteral("last.xls"));
  form.OpenAnswers.push_back(last);
  form.Command("N4")->trigger();
  form.NoTrash = true;
  form.Answers.push_back(0);
  form.Select(2);
  form.Command("N3")->trigger();
  QVERIFY2(form.Questions.back().text.contains(QStringLiteral("永久删除")),
           qPrintable(form.Questions.back().text));
  QVERIFY(!QFile::exists(last) && !QFile::exists(trash + QStringLiteral("/files/last.xls")));
  QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("共有2个XLS文件 已合并0个"));

  // The Delete key takes the selected entry off the list, never off the disk.
  form.show();
  auto* list = form.Control<QListWidget>("ListBox1");
  list->setFocus();
  form.Select(0);
  QTest::keyClick(list, Qt::Key_Delete);
  QCOMPARE(form.Entries(), QStringList{dir.path()});
  QVERIFY(QFileInfo(dir.path()).isDir());
}

void MainWindowTest::dialogsAreConfigured() {
  TTestForm form;
  auto save = form.CreateSaveDialog();
  QCOMPARE(save->windowTitle(), QStringLiteral("请选择保存路径"));
  QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
  QCOMPARE(save->nameFilters(),
           (QStringList{"Excel 97-2003 工作簿 (*.xls)", "Excel 工作簿 (*.xlsx)", "CSV UTF-8 (*.csv)"}));
  QCOMPARE(save->defaultSuffix(), QStringLiteral("xls"));
  QVERIFY(save->testOption(QFileDialog::DontConfirmOverwrite));

  auto open = form.CreateOpenDialog();
  QCOMPARE(open->acceptMode(), QFileDialog::AcceptOpen);
  QCOMPARE(open->fileMode(), QFileDialog::ExistingFile);
  const QString both = QStringLiteral("*.xls *.xlsx *.xlsm *.csv *.tsv");
  QCOMPARE(open->nameFilters(), (QStringList{QStringLiteral("*.xls"), both}));
  QCOMPARE(open->defaultSuffix(), QStringLiteral("xls"));
  QVERIFY(open->isSizeGripEnabled());
  form.Control<QCheckBox>("CheckBox7")->setChecked(true);
  QCOMPARE(form.CreateOpenDialog()->selectedNameFilter(), both);

  auto password = form.CreatePasswordDialog(QStringLiteral("/data/月报/secret.xls"));
  QCOMPARE(password->findChild<QLineEdit*>(QStringLiteral("PasswordEdit"))->echoMode(), QLineEdit::Password);
  const QString label = password->findChild<QLabel*>(QStringLiteral("PasswordLabel"))->text();
  QVERIFY(label.startsWith(QStringLiteral("请输入密码：")));
  QVERIFY(label.contains(QStringLiteral("secret.xls")));

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
  // The type chosen gives its extension.
  save->selectNameFilter(save->nameFilters()[1]);
  emit save->filterSelected(save->nameFilters()[1]);
  save->selectFile(QStringLiteral("merged"));
  QCOMPARE(save->selectedFiles().value(0), dir.filePath(QStringLiteral("merged.xlsx")));
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

  // The window's own opener counts a link as opened only when xdg-open succeeds: one that finds no
  // browser (exit status 3), or none at all, gives the copy box.
  QTemporaryDir bin;
  const QByteArray path = qgetenv("PATH");
  form.RealDesktop = true;
  for (const char* exit : std::initializer_list<const char*>{"0", "3", nullptr}) {
    if (exit) {
      QFile opener(bin.filePath(QStringLiteral("xdg-open")));
      QVERIFY(opener.open(QIODevice::WriteOnly | QIODevice::Truncate));
      opener.write(QByteArray("#!/bin/sh\nexit ") + exit + "\n");
      opener.close();
      opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    qputenv("PATH", QFile::encodeName(exit ? bin.path() : QStringLiteral("/nonexistent")));
    form.Messages.clear();
    QTest::mouseClick(form.Control<QLabel>("Label8"), Qt::LeftButton);
    const bool boxWanted = !exit || QByteArray(exit) != "0";
    QVERIFY(QTest::qWaitFor([&] { return boxWanted == !form.Messages.empty(); }, 4000));
    if (!boxWanted) QTest::qWait(200);
    QCOMPARE(form.Messages.size(), size_t(boxWanted ? 1 : 0));
  }
  qputenv("PATH", path);
}

void MainWindowTest::folderFieldAndXlsxBoxRescan() {
  TTestForm form;
  form.show();
  auto* folder = form.Control<QLineEdit>("Edit1");
  auto* xlsx = form.Control<QCheckBox>("CheckBox4");
  // Enter in the folder field lists it; ticking the XLSX box lists it again with the .xlsx files.
  folder->setText(kCorpusMerge);
  QTest::keyClick(folder, Qt::Key_Return);
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 8 && !form.ScanBusy(); }, 30000));
  xlsx->click();
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 9 && !form.ScanBusy(); }, 30000));
  QVERIFY(form.Entries().contains(kCorpusMerge + QStringLiteral("/fake.xlsx")));
  xlsx->click();
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 8 && !form.ScanBusy(); }, 30000));

  // During a merge both are refused, and the box keeps its state.
  QSemaphore held, go;
  form.RunMerge = [&](plicato::TMergeHost& host, const plicato::TMergeOptions&) {
    held.release();
    go.acquire();
    host.RunEnded({});
    return plicato::TMergeReport{};
  };
  QTemporaryDir dir;
  form.Control<QLineEdit>("Edit2")->setText(dir.filePath(QStringLiteral("out.xls")));
  form.Control<QPushButton>("Button3")->click();
  QVERIFY(QTest::qWaitFor([&] { return held.available() > 0; }));
  xlsx->click();
  QVERIFY(!xlsx->isChecked());
  QTest::keyClick(folder, Qt::Key_Return);
  QCOMPARE(form.Messages.size(), size_t{2});
  for (const auto& message : form.Messages) QCOMPARE(message.text, QStringLiteral("请先停止！"));
  go.release();
  QVERIFY(QTest::qWaitFor([&] { return form.Caption() == QStringLiteral("开始"); }));
  QCOMPARE(form.Entries().size(), 8);
}

// Ticking the CSV box lists the folder again with its .csv and .tsv files, among the others by name.
void MainWindowTest::csvBoxRescans() {
  QTemporaryDir dir;
  for (const char* name : {"a.xls", "b.CSV", "c.tsv", "d.txt"})
    QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
  TTestForm form;
  form.show();
  form.ChooseFolderAndScan(dir.path());
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 1 && !form.ScanBusy(); }, 30000));
  form.Control<QCheckBox>("CheckBox7")->click();
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 3 && !form.ScanBusy(); }, 30000));
  QCOMPARE(form.Entries().last(), dir.filePath(QStringLiteral("c.tsv")));
}

void MainWindowTest::settingsAreKeptBetweenSessions() {
  QTemporaryDir dir;
  const QString out = dir.filePath(QStringLiteral("merged.csv"));
  QRect placed;
  {
    TTestForm form;
    form.RestoreSettings();  // nothing yet
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.Control<QLineEdit>("Edit1")->setText(kCorpusMerge);
    form.Control<QLineEdit>("Edit2")->setText(out);
    form.findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->setValue(3);
    for (const char* box : {"CheckBox1", "CheckBox3", "CheckBox5", "CheckBox7", "CheckBox8"})
      form.Control<QCheckBox>(box)->setChecked(true);
    form.findChild<QComboBox*>(QStringLiteral("ComboBox1"))->setEditText(QStringLiteral("汇总"));
    form.OpenAnswers.push_back(kCorpusMerge + QStringLiteral("/sub/b.xls"));
    form.Command("N4")->trigger();
    form.resize(form.width() + 40, form.height() + 30);
    placed = form.geometry();
    QVERIFY(form.close());
  }
  // The next session starts where this one ended: fields, options, the folder listed again, the size,
  // and the dialogs opening where the user last was.
  TTestForm form;
  form.RestoreSettings();
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QCOMPARE(form.Control<QLineEdit>("Edit1")->text(), kCorpusMerge);
  QCOMPARE(form.Control<QLineEdit>("Edit2")->text(), out);
  for (const char* box : {"CheckBox1", "CheckBox3", "CheckBox5", "CheckBox7", "CheckBox8"})
    QVERIFY2(form.Control<QCheckBox>(box)->isChecked(), box);
  QVERIFY(form.Control<QCheckBox>("CheckBox8")->isEnabled());
  for (const char* box : {"CheckBox2", "CheckBox4", "CheckBox6"})
    QVERIFY2(!form.Control<QCheckBox>(box)->isChecked(), box);
  QCOMPARE(form.findChild<QSpinBox*>(QStringLiteral("SpinEdit1"))->value(), 3);
  QCOMPARE(form.findChild<QComboBox*>(QStringLiteral("ComboBox1"))->currentText(), QStringLiteral("汇总"));
  QCOMPARE(form.size(), placed.size());
  QVERIFY(QTest::qWaitFor([&] { return form.Entries().size() == 8 && !form.ScanBusy(); }, 30000));
  QCOMPARE(form.CreateSaveDialog()->directory().absolutePath(), dir.path());
  QCOMPARE(form.CreateSaveDialog()->selectedNameFilter(), QStringLiteral("CSV UTF-8 (*.csv)"));
  QCOMPARE(form.CreateOpenDialog()->directory().absolutePath(),
           QDir::cleanPath(kCorpusMerge + QStringLiteral("/sub")));
}

// A remark: the classic merge stopped at row 3 after 1 row, with 2 rows left below.
static plicato::TFileNote StoppedAt() {
  plicato::TFileNote note;
  note.facts.kind = plicato::TNoteFacts::nkStoppedAt;
  note.facts.row = 3;
  note.facts.rows = 1;
  note.facts.left = 2;
  return note;
}

void MainWindowTest::chineseAndEnglishWindows() {
  using plicato::WindowLanguage;
  // PLICATO_LANG first; Chinese for Chinese locales and for locales that name no language.
  const struct {
    const char* override;
    const char* locale;
    const char* language;
  } choices[] = {{"", "zh_CN", "zh"}, {"", "zh_TW", "zh"},   {"", "C", "zh"},       {"", "en_US", "en"},
                 {"", "de_DE", "en"}, {"en", "zh_CN", "en"}, {"zh", "en_US", "zh"}, {"fr", "C", "zh"}};
  for (const auto& c : choices)
    QCOMPARE(WindowLanguage(QString::fromLatin1(c.override), QLocale(QString::fromLatin1(c.locale))),
             QString::fromLatin1(c.language));

  // In English every text of the window is English; in Chinese the window's texts are as written and
  // Qt's own buttons and the folder chooser are Chinese.
  QVERIFY(plicato::InstallTranslations(QStringLiteral("en")));
  {
    TTestForm form;
    QCOMPARE(form.Control<QPushButton>("Button3")->text(), QStringLiteral("Start"));
    QCOMPARE(form.Control<QCheckBox>("CheckBox5")->text(), QStringLiteral("Keep value types"));
    QCOMPARE(form.Command("N3")->text(), QStringLiteral("Delete file"));
    QVERIFY(!form.MergeOptions().sourceCaption.empty() && form.MergeOptions().sourceCaption != u"来源文件");
    form.Command("N2")->trigger();
    QCOMPARE(form.Control<QLabel>("Label5")->text(), QStringLiteral("0 files found, 0 merged"));
    // The engine's remarks, counted in English.
    QCOMPARE(
        plicato::RemarkOf(StoppedAt()),
        QStringLiteral("Stopped at row 3, which has no text, after 1 row: 2 rows with values from there on "
                       "were not merged."));
    // Every text of the window has its English.
    for (QWidget* widget : form.findChildren<QWidget*>()) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
      static const QRegularExpression chinese(QStringLiteral("[\\x{4e00}-\\x{9fff}]"));
      QVERIFY2(!chinese.match(text).hasMatch(), qPrintable(text));
    }
  }
  QVERIFY(plicato::InstallTranslations(QStringLiteral("zh")));
  {
    TTestForm form;
    QCOMPARE(form.Control<QPushButton>("Button3")->text(), QStringLiteral("开始"));
    QCOMPARE(plicato::RemarkOf(StoppedAt()),
             QStringLiteral("第3行没有文字，已合并其上的1行后在此停止；从该行起有2行有数据未合并。"));
    QMessageBox box(QMessageBox::Information, QString(), QString(), QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    QCOMPARE(form.SelectDirDlg1()->windowTitle(), QStringLiteral("选择文件夹"));
  }
  QVERIFY(plicato::InstallTranslations(QString()));
}

// As a user of each desktop meets the window: Qt's dialogs in the window's language and locale, the
// window's own texts with none of the other language, and a status line that speaks of the last action.
void MainWindowTest::everyTextInTheWindowsLanguageAndOfNow() {
  static const QRegularExpression chinese(QStringLiteral("[\\x{4e00}-\\x{9fff}]"));
  const struct {
    const char* override;
    const char* locale;
    QLocale::Language language;
    const char* xlsFilter;
    const char* caption;
    const char* noSheet;
  } desktops[] = {
      {"", "C", QLocale::Chinese, "Excel 97-2003 工作簿 (*.xls)", "来源文件",
       "文件中没有名为“sales”的工作表"},
      {"", "zh_CN", QLocale::Chinese, "Excel 97-2003 工作簿 (*.xls)", "来源文件",
       "文件中没有名为“sales”的工作表"},
      {"", "de_DE", QLocale::English, "Excel 97-2003 Workbook (*.xls)", "Source",
       "The file has no sheet named \"sales\""},
      {"en", "zh_CN", QLocale::English, "Excel 97-2003 Workbook (*.xls)", "Source",
       "The file has no sheet named \"sales\""},
  };
  QTemporaryDir dir;
  for (const auto& d : desktops) {
    const QString language =
        plicato::WindowLanguage(QString::fromLatin1(d.override), QLocale(QString::fromLatin1(d.locale)));
    QVERIFY(plicato::InstallTranslations(language));
    TTestForm form;
    auto save = form.CreateSaveDialog();
    QCOMPARE(save->locale().language(), d.language);
    QCOMPARE(save->nameFilters().value(0), QString::fromUtf8(d.xlsFilter));
    auto* view = save->findChild<QTreeView*>(QStringLiteral("treeView"));
    QVERIFY(view &&
            view->header()->sectionSize(3) >= view->fontMetrics().horizontalAdvance(QLocale().toString(
                                                  QDateTime::currentDateTime(), QLocale::ShortFormat)));
    QCOMPARE(QString::fromStdU16String(form.MergeOptions().sourceCaption), QString::fromUtf8(d.caption));
    TSheetChoice sales;
    sales.kind = TSheetChoice::scName;
    sales.name = u"sales";
    QCOMPARE(plicato::ReasonOf(plicato::ekSheetMissing, sales), QString::fromUtf8(d.noSheet));

    // A file gone before it is deleted: the box names it, in the window's language only.
    const QString gone = dir.filePath(QStringLiteral("gone.xls"));
    form.OpenAnswers.push_back(gone);
    form.Command("N4")->trigger();
    form.Select(0);
    form.Command("N3")->trigger();
    QCOMPARE(form.Messages.size(), size_t{1});
    QVERIFY2(form.Messages[0].text.contains(gone) &&
                 chinese.match(form.Messages[0].text).hasMatch() == (d.language == QLocale::Chinese),
             qPrintable(form.Messages[0].text));

    // A hint stays only until the next action.
    auto* status = form.Control<QLabel>("Label4");
    form.Control<QLineEdit>("Edit1")->setText(dir.path());
    form.Control<QPushButton>("Button3")->click();
    QVERIFY(!status->text().isEmpty());
    QCOMPARE(chinese.match(status->text()).hasMatch(), d.language == QLocale::Chinese);
    form.Command("N1")->trigger();
    QVERIFY2(status->text().isEmpty(), qPrintable(status->text()));
  }
  QVERIFY(plicato::InstallTranslations(QString()));
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
  auto* licence = about->findChild<QLabel*>(QStringLiteral("Label5"));
  QVERIFY(licence && licence->text().contains(QStringLiteral("MIT")));
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
    // Without a device the status line says why there is no music, until the next action.
    auto* status = form.Control<QLabel>("Label4");
    if (noDevice) QVERIFY(!form.Tune()->Playing() && status->text().contains(QStringLiteral("背景音乐")));
    music->click();
    QVERIFY(!music->isChecked() && status->text().isEmpty());
    QVERIFY(!form.Tune()->Playing());
  }
  music->click();  // left playing when the window goes
  QTest::qWait(20);
  QVERIFY(form.Messages.empty());
}

QTEST_MAIN(MainWindowTest)
#include "MainWindow_test.moc"
