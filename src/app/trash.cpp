#include "trash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plicato {

namespace {

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
QString UserTrash() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash");
}

// The nearest folder of path that exists, so that a data folder not made yet is placed on its file system.
QString Existing(QString path) {
  while (!path.isEmpty() && !QFileInfo(path).isDir()) {
    const QString up = QFileInfo(path).path();
    if (up == path) break;
    path = up;
  }
  return path;
}

bool OnUserTrashVolume(const QStorageInfo& file) {
  return file.rootPath() == QStorageInfo(Existing(UserTrash())).rootPath();
}

// Makes the user's trash with its two folders private to the user. Qt 6.4 does not make a missing data
// folder itself and then moves the file into "files" and "info" beside the working folder instead.
bool MakeUserTrash(QString& reason) {
  const QString trash = UserTrash();
  if (!QDir().mkpath(QFileInfo(trash).path())) {
    reason = qt_error_string(errno);
    return false;
  }
  for (const QString& folder : {trash, trash + QStringLiteral("/files"), trash + QStringLiteral("/info")}) {
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
      reason = qt_error_string(errno);
      return false;
    }
  }
  return true;
}

// Whether folder is a trash's "files" folder: the user's, or one at the top of a file system
// (".Trash/UID" or ".Trash-UID").
bool IsTrashFiles(const QString& folder) {
  const QFileInfo files(folder);
  if (files.fileName() != QLatin1String("files")) return false;
  const QString trash = QFileInfo(files.path()).canonicalFilePath();
  if (trash.isEmpty()) return false;
  if (trash == QFileInfo(UserTrash()).canonicalFilePath()) return true;
  const QString uid = QString::number(::getuid());
  const QFileInfo info(trash);
  return info.fileName() == QStringLiteral(".Trash-") + uid ||
         (info.fileName() == uid && QFileInfo(info.path()).fileName() == QLatin1String(".Trash"));
}
#endif

}  // namespace

bool TrashAvailableFor(const QString& path) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
  // As the desktop's trash works: the user's trash for files on the file system of the user's data
  // folder, else a trash folder at the top of the file's own file system, which the user may create.
  const QStorageInfo file(QFileInfo(path).absolutePath());
  if (!file.isValid()) return false;
  if (OnUserTrashVolume(file)) return true;
  const QString top = file.rootPath();
  const QString own = top + QStringLiteral("/.Trash-") + QString::number(::getuid());
  return QFileInfo(own).isDir()
             ? ::access(QFile::encodeName(own).constData(), W_OK) == 0
             : ::access(QFile::encodeName(top).constData(), W_OK) == 0 && !file.isReadOnly();
#else
  Q_UNUSED(path);
  return true;
#endif
}

bool MoveFileToTrash(const QString& path, QString& reason) {
  reason.clear();
  QFile file(path);
  if (!file.exists()) {
    reason = qt_error_string(ENOENT);
    return false;
  }
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
  const QStorageInfo volume(QFileInfo(path).absolutePath());
  if (volume.isValid() && OnUserTrashVolume(volume) && !MakeUserTrash(reason)) return false;
#endif
  if (!file.moveToTrash()) {
    reason = file.errorString();
    return false;
  }
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
  // moveToTrash leaves the file's new place in fileName(); anywhere but a trash, it goes back.
  const QFileInfo moved(file.fileName());
  if (!IsTrashFiles(moved.path())) {
    const QString stray = moved.path();
    const QString info =
        QFileInfo(stray).path() + QStringLiteral("/info/") + moved.fileName() + QStringLiteral(".trashinfo");
    if (QFile::rename(moved.filePath(), path)) {
      QFile::remove(info);
      QDir().rmdir(stray);
      QDir().rmdir(QFileInfo(info).path());
    }
    return false;
  }
#endif
  return true;
}

}  // namespace plicato
