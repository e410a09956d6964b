// What Start makes of the save-path field before any file is read: the path to write (with the chosen
// output type's extension added when it has none), what keeps it from being written, whether a file is
// there already and which files beside it are named like continuations of an earlier run.
#pragma once

#include <QString>
#include <QStringList>

namespace plicato {

struct TSavePath {
  enum TProblem {
    spNone,
    spUrl,               // a web or file address rather than a path
    spFolder,            // the path names a folder
    spNotAFile,          // something at the path that is neither a file nor a folder (a pipe, a device)
    spMissingFolder,     // its folder does not exist
    spUnwritableFolder,  // its folder cannot be written by this user
  };
  TProblem problem = spNone;
  QString path;               // the path as it will be written
  QString folder;             // the folder the output goes into
  bool exists = false;        // a file is at path already
  QStringList continuations;  // existing files named NAME-N.EXT beside it, in the order of N
};

// The output types the save dialog offers, the legacy one first (extensions without the dot).
inline const QStringList& OutputSuffixes() {
  static const QStringList suffixes{QStringLiteral("xls"), QStringLiteral("xlsx"), QStringLiteral("csv")};
  return suffixes;
}

// Judges the save-path text; suffix is added (with a dot) to a path whose file name does not end in one of
// the output types (any letter case), as the merge adds one.
TSavePath CheckSavePath(const QString& text, const QString& suffix);

}  // namespace plicato
