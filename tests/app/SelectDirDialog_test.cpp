// The folder chooser: its labelled parts, where it opens, creating a typed folder, the volumes, and the
// window's folder button going through it.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "TestForm.h"
#include "mainwindow.h"
#include "selectdirdialog.h"

using plicato::TForm1;
using plicato::TSelectDirDialog;

namespace {

QStringList LabelTexts(QWidget& widget) {
  QStringList texts;
  for (auto* label : widget.findChildren<QLabel*>()) texts << label->text();
  return texts;
}

QStringList ItemPaths(QListWidget* list) {
  QStringList paths;
  for (int i = 0; i < list->count(); ++i) paths << list->item(i)->data(Qt::UserRole).toString();
  return paths;
}

}  // namespace

class SelectDirDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void hasTheLabelledParts();
  void opensAtTheCurrentFolderThenAtTheLastChosen();
  void typedFolderIsCreatedWithItsParents();
  void folderThatCannotBeCreatedIsReported();
  void listsAncestorsSubFoldersFilesAndVolumes();
  void folderButtonScansTheChosenFolder();
};

void SelectDirDialogTest::hasTheLabelledParts() {
  TSelectDirDialog dialog;
  QCOMPARE(dialog.windowTitle(), QStringLiteral("Select Directory"));
  QCOMPARE(dialog.objectName(), QStringLiteral("SelectDirDlg1"));
  const QStringList labels = LabelTexts(dialog);
  for (const char* text : {"Directory &Name:", "&Directories:", "&Files: (*.*)", "D&rives:"})
    QVERIFY2(labels.contains(QString::fromLatin1(text)), text);
  QStringList buttons;
  for (auto* button : dialog.findChildren<QPushButton*>()) buttons << button->text();
  buttons.sort();
  QCOMPARE(buttons, (QStringList{"Cancel", "Ne&twork...", "OK"}));  // no help button
  QVERIFY(!dialog.findChild<QPushButton*>(QStringLiteral("NetworkButton"))->isEnabled());
  QVERIFY(dialog.findChild<QLabel*>()->buddy() != nullptr);
}

void SelectDirDialogTest::opensAtTheCurrentFolderThenAtTheLastChosen() {
  QTemporaryDir first, second;
  TSelectDirDialog dialog;
  auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("DirectoryName"));
  QCOMPARE(dialog.Directory(), QDir::currentPath());
  dialog.show();
  QCOMPARE(dialog.ShownDirectory(), QDir::currentPath());
  QCOMPARE(name->text(), QDir::toNativeSeparators(QDir::currentPath()));

  dialog.ChangeDirectory(first.path());
  dialog.findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
  QCOMPARE(dialog.result(), int(QDialog::Accepted));
  QVERIFY(!dialog.isVisible());
  QCOMPARE(dialog.Directory(), first.path());

  // Opens where it was left; looking elsewhere and cancelling keeps the last choice.
  dialog.show();
  QCOMPARE(dialog.ShownDirectory(), first.path());
  dialog.ChangeDirectory(second.path());
  dialog.findChild<QPushButton*>(QStringLiteral("CancelButton"))->click();
  QCOMPARE(dialog.result(), int(QDialog::Rejected));
  QCOMPARE(dialog.Directory(), first.path());
  dialog.show();
  QCOMPARE(dialog.ShownDirectory(), first.path());
  dialog.reject();

  // A chosen folder removed since opens at its nearest existing parent.
  QDir(first.path()).mkdir(QStringLiteral("gone"));
  dialog.SetDirectory(first.filePath(QStringLiteral("gone")));
  QDir(first.path()).rmdir(QStringLiteral("gone"));
  dialog.show();
  QCOMPARE(dialog.ShownDirectory(), first.path());
  dialog.reject();
}

void SelectDirDialogTest::typedFolderIsCreatedWithItsParents() {
  QTemporaryDir dir;
  TSelectDirDialog dialog;
  int messages = 0;
  dialog.ShowMessage = [&](const QString&, const QString&) { ++messages; };
  auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("DirectoryName"));
  dialog.show();

  const QString deep = dir.filePath(QStringLiteral("new/deeper/deepest"));
  name->setText(deep);
  dialog.findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
  QVERIFY(QFileInfo(deep).isDir());
  QCOMPARE(dialog.result(), int(QDialog::Accepted));
  QCOMPARE(dialog.Directory(), deep);

  // A relative name is taken inside the folder shown.
  dialog.show();
  name->setText(QStringLiteral("beside/it"));
  dialog.findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
  QCOMPARE(dialog.Directory(), deep + QStringLiteral("/beside/it"));
  QVERIFY(QFileInfo(dialog.Directory()).isDir());
  QCOMPARE(messages, 0);
}

void SelectDirDialogTest::folderThatCannotBeCreatedIsReported() {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("plain.txt"));
  QFile(file).open(QIODevice::WriteOnly);
  TSelectDirDialog dialog;
  const QString before = dialog.Directory();
  QStringList messages;
  dialog.ShowMessage = [&](const QString&, const QString& text) { messages << text; };
  dialog.show();
  for (const QString& bad : {file, file + QStringLiteral("/sub")}) {
    dialog.findChild<QLineEdit*>(QStringLiteral("DirectoryName"))->setText(bad);
    dialog.findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
    QVERIFY(dialog.isVisible());  // still open for another try
  }
  QCOMPARE(messages.size(), 2);
  QVERIFY(messages[1].contains(file + QStringLiteral("/sub")));
  QCOMPARE(dialog.Directory(), before);
  dialog.reject();
}

void SelectDirDialogTest::listsAncestorsSubFoldersFilesAndVolumes() {
  QTemporaryDir dir;
  QDir(dir.path()).mkpath(QStringLiteral("Beta"));
  QDir(dir.path()).mkpath(QStringLiteral("alpha"));
  QFile(dir.filePath(QStringLiteral("one.xls"))).open(QIODevice::WriteOnly);
  QFile(dir.filePath(QStringLiteral(".two"))).open(QIODevice::WriteOnly);
  TSelectDirDialog dialog;
  dialog.SetDirectory(dir.path());
  dialog.show();

  auto* folders = dialog.findChild<QListWidget*>(QStringLiteral("Directories"));
  const QStringList paths = ItemPaths(folders);
  QCOMPARE(paths.first(), QStringLiteral("/"));
  QVERIFY(paths.indexOf(dir.path()) > 0);
  QCOMPARE(paths.mid(paths.indexOf(dir.path()) + 1),
           (QStringList{dir.filePath(QStringLiteral("alpha")), dir.filePath(QStringLiteral("Beta"))}));
  QCOMPARE(folders->currentItem()->data(Qt::UserRole).toString(), dir.path());

  auto* files = dialog.findChild<QListWidget*>(QStringLiteral("Files"));
  QStringList names;
  for (int i = 0; i < files->count(); ++i) names << files->item(i)->text();
  QCOMPARE(names, (QStringList{".two", "one.xls"}));

  // Opening a sub-folder shows it.
  emit folders->itemActivated(folders->item(folders->count() - 1));
  QCOMPARE(dialog.ShownDirectory(), dir.filePath(QStringLiteral("Beta")));

  // The volumes are the mounted ones; choosing one shows its root.
  auto* drives = dialog.findChild<QComboBox*>(QStringLiteral("Drives"));
  int ready = 0;
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
    ready += volume.isValid() && volume.isReady();
  QCOMPARE(drives->count(), ready);
  const int root = drives->findData(QStringLiteral("/"));
  QVERIFY(root >= 0);
  emit drives->activated(root);
  QCOMPARE(dialog.ShownDirectory(), QStringLiteral("/"));
  dialog.reject();
}

void SelectDirDialogTest::folderButtonScansTheChosenFolder() {
  QTemporaryDir dir;
  QFile(dir.filePath(QStringLiteral("x.xls"))).open(QIODevice::WriteOnly);
  TForm1 form;
  form.show();
  TSelectDirDialog* chooser = form.SelectDirDlg1();
  bool shown = false;
  QTimer::singleShot(0, &form, [&] {
    shown = QTest::qWaitFor([&] { return chooser->isVisible(); });
    chooser->findChild<QLineEdit*>(QStringLiteral("DirectoryName"))->setText(dir.path());
    chooser->findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
    if (chooser->isVisible()) chooser->reject();
  });
  form.findChild<QPushButton*>(QStringLiteral("Button1"), Qt::FindDirectChildrenOnly)->click();
  QVERIFY(shown);
  QCOMPARE(form.findChild<QLineEdit*>(QStringLiteral("Edit1"), Qt::FindDirectChildrenOnly)->text(),
           dir.path());
  auto* list = form.findChild<QListWidget*>(QStringLiteral("ListBox1"), Qt::FindDirectChildrenOnly);
  QVERIFY(QTest::qWaitFor([&] { return !form.ScanBusy(); }, 30000));
  QCOMPARE(list->count(), 1);
  QCOMPARE(list->item(0)->text(), dir.filePath(QStringLiteral("x.xls")));
}

QTEST_MAIN(SelectDirDialogTest)
#include "SelectDirDialog_test.moc"
