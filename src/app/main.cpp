// plicato: the desktop window over the merge engine.
//
//   plicato                      shows the window
//   plicato PATH                 shows the window with the folder PATH, or the folder of the workbook
//                                PATH (the desktop's "Open with"), chosen and searched
//   plicato --screenshot FILE    shows the window, saves a picture of it to FILE (PNG) and quits
//   plicato --screenshot FILE --merge FOLDER OUT.xls
//                                lists FOLDER, merges it into OUT.xls and takes the picture as the merge
//                                begins the middle file of the list, then stops and quits
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "biff/OutputFile.h"
#include "language.h"
#include "mainwindow.h"

namespace {

// A workbook opened from the desktop: its folder is the one to merge, and it is listed too.
void OpenFromDesktop(plicato::TForm1& form, const QString& openPath) {
  const QFileInfo path(openPath);
  auto* includeXlsx = form.findChild<QCheckBox*>(QStringLiteral("CheckBox4"));
  if (includeXlsx && !path.isDir() &&
      QStringList{QStringLiteral("xlsx"), QStringLiteral("xlsm")}.contains(path.suffix().toLower()))
    includeXlsx->setChecked(true);
  auto* includeCsv = form.findChild<QCheckBox*>(QStringLiteral("CheckBox7"));
  if (includeCsv && !path.isDir() &&
      QStringList{QStringLiteral("csv"), QStringLiteral("tsv")}.contains(path.suffix().toLower()))
    includeCsv->setChecked(true);
  form.ChooseFolderAndScan(path.isDir() ? path.absoluteFilePath() : path.absolutePath());
}

// Saves a picture of the window to `screenshot` and ends: once the window is painted, or with
// `mergeFolder` given, in the middle of merging it to `mergeOutput`.
int RunForScreenshot(plicato::TForm1& form, const QString& screenshot, const QString& mergeFolder,
                     const QString& mergeOutput) {
  int status = 0;
  auto take = [&] {
    if (!form.grab().save(screenshot, "PNG")) {
      std::fprintf(stderr, "plicato: cannot save the screenshot to %s\n",
                   screenshot.toLocal8Bit().constData());
      status = 1;
    }
  };
  if (mergeFolder.isEmpty()) {
    // Taken once the window has been laid out and painted.
    QTimer::singleShot(300, &form, [&] {
      take();
      QApplication::exit(status);
    });
  } else {
    // Mid-merge, at a point fixed by the list: the picture is taken on the window's thread the moment
    // the middle file shows as the current one, so every status before it is on screen and none after.
    auto* list = form.findChild<QListWidget*>(QStringLiteral("ListBox1"));
    QString middle;
    QObject::connect(&form, &plicato::TForm1::StatusShown, &form,
                     [&](const QString& control, const QString& text) {
                       if (control != QLatin1String("Edit3") || text.isEmpty() || text != middle) return;
                       middle.clear();
                       take();
                       form.close();  // stops after this file; the window closes once the output is written
                     });
    // A merge that never reaches the middle file (a failure box waits for a click) ends the program.
    QTimer::singleShot(60000, &form, [&] {
      std::fprintf(stderr, "plicato: the merge of %s did not reach its middle file\n",
                   mergeFolder.toLocal8Bit().constData());
      std::_Exit(1);
    });
    form.ChooseFolderAndScan(mergeFolder);
    auto* waitForScan = new QTimer(&form);
    QObject::connect(waitForScan, &QTimer::timeout, &form, [&, waitForScan] {
      if (form.ScanBusy()) return;
      waitForScan->stop();
      if (list->count() < 2) {
        std::fprintf(stderr, "plicato: %s holds fewer than two files to merge\n",
                     mergeFolder.toLocal8Bit().constData());
        status = 1;
        QApplication::exit(status);
        return;
      }
      middle = list->item(list->count() / 2)->text();
      form.findChild<QLineEdit*>(QStringLiteral("Edit2"))->setText(mergeOutput);
      form.findChild<QPushButton*>(QStringLiteral("Button3"))->click();
    });
    waitForScan->start(50);
  }
  const int result = QApplication::exec();
  return status != 0 ? status : result;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // A window ended by a signal or a crash leaves no half-written output beside its target.
  plicato::cfb::RemoveTemporaryFilesOnSignals();
  QApplication::setApplicationName(QStringLiteral("Plicato"));
  plicato::InstallTranslations(plicato::WindowLanguage());
  QApplication::setApplicationVersion(QStringLiteral(PLICATO_VERSION));
  // The desktop entry and icon the package installs: the desktop matches the window to them.
  QGuiApplication::setDesktopFileName(QStringLiteral("example.tarnwick.plicato"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("plicato")));

  QString screenshot, mergeFolder, mergeOutput, openPath;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      screenshot = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--merge") == 0 && i + 2 < argc) {
      mergeFolder = QString::fromLocal8Bit(argv[++i]);
      mergeOutput = QString::fromLocal8Bit(argv[++i]);
    } else if (argv[i][0] != '-' && openPath.isEmpty()) {
      openPath = QString::fromLocal8Bit(argv[i]);
    }
  }

  plicato::TForm1 form;
  // A screenshot shows the window as it starts on any machine, without this user's last session.
  if (screenshot.isEmpty()) form.RestoreSettings();
  form.show();
  if (!openPath.isEmpty()) OpenFromDesktop(form, openPath);
  if (screenshot.isEmpty()) return QApplication::exec();
  return RunForScreenshot(form, screenshot, mergeFolder, mergeOutput);
}
