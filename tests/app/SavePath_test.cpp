// What Start makes of the save-path field: the extension added, what keeps a path from being written, and
// which files beside it are continuations of an earlier run (the window offers those for the trash, so a
// file that merely looks alike must never be among them).
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "savepath.h"

using plicato::CheckSavePath;
using plicato::TSavePath;

class SavePathTest : public QObject {
  Q_OBJECT

 private slots:
  void ProblemsAndContinuations();
};

void SavePathTest::ProblemsAndContinuations() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QDir d(dir.path());
  QVERIFY(d.mkdir(QStringLiteral("sub")));
  for (const char* name : {"sales.2024.xls", "sales.2024-1.xls", "sales.2024-2.xls", "sales.2024-10.xls",
                           "sales-1.xls", "sales.2024-1.xlsx", "sales.2024-0.xls", "sales.2024-x.xls",
                           "sales.2024.xls-1.xls", "sales_2024-1.xls", "old-sales.2024-1.xls",
                           "sales.2024-3.XLS", "out-1.xlsx", "out-2.XLSX", "sub/out-1.xlsx"}) {
    QFile file(d.filePath(QString::fromUtf8(name)));
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  QCOMPARE(::mkfifo(QFile::encodeName(d.filePath(QStringLiteral("pipe.xls"))).constData(), 0600), 0);
  const QString path = d.filePath(QStringLiteral("sales.2024.xls"));
  const struct {
    QString text, suffix;
    TSavePath::TProblem problem;
    QString written;
    bool exists;
    QStringList continuations;  // file names in the folder
  } cases[] = {
      // A dot inside the name is part of the name: its continuations are sales.2024-N.xls only.
      {path,
       "xls",
       TSavePath::spNone,
       path,
       true,
       {"sales.2024-1.xls", "sales.2024-2.xls", "sales.2024-10.xls"}},
      {d.filePath("sales.2024"), "xls", TSavePath::spNone, path, true,
       {"sales.2024-1.xls", "sales.2024-2.xls", "sales.2024-10.xls"}},
      {d.filePath("sales"), "xls", TSavePath::spNone, d.filePath("sales.xls"), false, {"sales-1.xls"}},
      {d.filePath("out"), "xlsx", TSavePath::spNone, d.filePath("out.xlsx"), false, {"out-1.xlsx"}},
      {d.filePath("sub"), "xls", TSavePath::spFolder, d.filePath("sub"), false, {}},
      {d.filePath("none/out.xls"), "xls", TSavePath::spMissingFolder, d.filePath("none/out.xls"), false, {}},
      {d.filePath("pipe.xls"), "xls", TSavePath::spNotAFile, d.filePath("pipe.xls"), true, {}},
      {"file://" + path, "xls", TSavePath::spUrl, "file://" + path, false, {}},
  };
  for (const auto& c : cases) {
    const TSavePath got = CheckSavePath(c.text, c.suffix);
    QCOMPARE(got.problem, c.problem);
    QCOMPARE(got.path, c.written);
    QCOMPARE(got.exists, c.exists);
    QStringList names;
    for (const QString& continuation : got.continuations) names << QFileInfo(continuation).fileName();
    QCOMPARE(names, c.continuations);
  }
}

QTEST_MAIN(SavePathTest)
#include "SavePath_test.moc"
