// The language the window speaks, and the translations that make it: the window's texts are written in
// Chinese; an English translation serves every other language. Qt's own translations make the standard
// dialogs and buttons match.
#pragma once

#include <QLocale>
#include <QString>

namespace plicato {

// "zh" or "en": the override when it is one of them (PLICATO_LANG), else Chinese for a Chinese locale
// and for one that names no language (C, POSIX), English for any other.
QString WindowLanguage(const QString& override, const QLocale& locale);
// The same from PLICATO_LANG and the system's locale.
QString WindowLanguage();

// Installs the translations of language ("zh" or "en") on the application, replacing those of an earlier
// call (none for an empty language: the source texts). False when one that should exist could not be loaded
// (the window then shows its Chinese texts or Qt's English ones there).
// The default locale becomes the language's, so that Qt's dialogs give dates, sizes and type names in it.
bool InstallTranslations(const QString& language);
// Whether the English translation is installed: the window then shows the engine's own English words
// where it has them, rather than wording their facts itself.
bool WindowInEnglish();

}  // namespace plicato
