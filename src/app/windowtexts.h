// The texts the main window's files share: the window's own texts in the window's language, the reasons
// shown for a file that could not be read, and the shapes a text takes in a box.
#pragma once

#include <QFontMetrics>
#include <QString>

#include <filesystem>

#include "biff/Errors.h"
#include "merge/MergeEngine.h"

namespace plicato {

// Texts of the window as written, in its source language; WindowText gives them in the window's language.
extern const char* const kStopped;
extern const char* const kStopping;
extern const char* const kNotice;

// Pixels of text in a box before a long word is broken.
constexpr int kBoxTextWidth = 440;

// A text of the window in the window's language.
QString WindowText(const char* source);

// Why a file could not be read, in one short line of the window's language, from the failure's kind; a
// missing sheet is named as the run asked for it.
QString ReasonOf(TErrorKind kind, const TSheetChoice& sheet = {});

// A remark on a merged file (rows left behind, columns left out): the engine's facts in the window's
// language.
QString RemarkOf(const TFileNote& note);

// The engine's messages break lines with carriage returns; a box breaks them at '\n'.
QString BoxLines(QString text);

// A path as the file system's bytes, in the window's text.
QString FromPath(const std::filesystem::path& path);

// Breaks the words of text (runs without a space or a CJK character, where Qt's own wrapping has no
// place to break) that are wider than width pixels, so that a long file name makes a box taller rather
// than wider than the screen.
QString Wrapped(const QString& text, const QFontMetrics& metrics, int width);

}  // namespace plicato
