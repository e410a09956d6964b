#include "savepath.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <map>

#include <unistd.h>

namespace plicato {

TSavePath CheckSavePath(const QString& text, const QString& suffix) {
  TSavePath result;
  result.path = text;
  // A scheme such as file:// or https:// (what a drop of a file gives some fields) is not a path.
  static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
  if (scheme.match(result.path).hasMatch()) {
    result.problem = TSavePath::spUrl;
    return result;
  }
  const QFileInfo typed(result.path);
  if (typed.isDir() || result.path.endsWith(QLatin1Char('/')) || result.path.endsWith(QDir::separator())) {
    result.folder = typed.absoluteFilePath();
    result.problem = typed.isDir() ? TSavePath::spFolder : TSavePath::spMissingFolder;
    return result;
  }
  // As the merge names its output: only .xls, .xlsx and .csv count as the type, so a dotted name such as
  // sales.2024 is written as sales.2024.xls, and that is the file to ask about and look beside.
  if (!OutputSuffixes().contains(typed.suffix().toLower())) result.path += QLatin1Char('.') + suffix;
  const QFileInfo info(result.path);
  result.folder = QDir::toNativeSeparators(info.absolutePath());
  if (!QFileInfo(info.absolutePath()).isDir()) {
    result.problem = TSavePath::spMissingFolder;
    return result;
  }
  // access() rather than the permission bits: it knows read-only mounts and access lists.
  if (::access(QFile::encodeName(info.absolutePath()).constData(), W_OK | X_OK) != 0) {
    result.problem = TSavePath::spUnwritableFolder;
    return result;
  }
  result.exists = info.exists() || info.isSymLink();
  if (result.exists && !info.isFile()) {
    result.problem = info.isDir() ? TSavePath::spFolder : TSavePath::spNotAFile;
    return result;
  }
  // Continuations are NAME-1.EXT, NAME-2.EXT, ... beside the save path; a run writes as many as it needs.
  const QRegularExpression continuation(QStringLiteral("^%1-([0-9]{1,9})\\.%2$")
                                            .arg(QRegularExpression::escape(info.completeBaseName()),
                                                 QRegularExpression::escape(info.suffix())));
  std::map<int, QString> found;
  for (const QString& name : QDir(info.absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
    const QRegularExpressionMatch match = continuation.match(name);
    if (match.hasMatch() && match.captured(1).toInt() > 0)
      found.emplace(match.captured(1).toInt(), QDir(info.path()).filePath(name));
  }
  for (const auto& [number, name] : found) result.continuations << QDir::toNativeSeparators(name);
  return result;
}

}  // namespace plicato
