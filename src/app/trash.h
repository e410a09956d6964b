// The desktop's trash, so that a file the window deletes can be taken back: on Linux the freedesktop.org
// trash (the user's own under the data folder, or one at the top of another file system).
#pragma once

#include <QString>

namespace plicato {

// Whether the file can go to a trash (so deleting it can be undone).
bool TrashAvailableFor(const QString& path);

// Moves the file to its trash. False when it could not, the file then kept where it was: reason is the
// system's words, or empty when no trash would take the file.
bool MoveFileToTrash(const QString& path, QString& reason);

}  // namespace plicato
