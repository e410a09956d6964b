#include "language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>
#include <vector>

namespace plicato {

QString WindowLanguage(const QString& override, const QLocale& locale) {
  const QString chosen = override.trimmed().toLower();
  if (chosen == QLatin1String("zh") || chosen == QLatin1String("en")) return chosen;
  const QLocale::Language language = locale.language();
  return language == QLocale::Chinese || language == QLocale::C || language == QLocale::AnyLanguage
             ? QStringLiteral("zh")
             : QStringLiteral("en");
}

QString WindowLanguage() {
  return WindowLanguage(qEnvironmentVariable("PLICATO_LANG"), QLocale::system());
}

namespace {
bool gEnglish = false;
}  // namespace

bool WindowInEnglish() {
  return gEnglish;
}

bool InstallTranslations(const QString& language) {
  gEnglish = language == QLatin1String("en");
  static std::vector<std::unique_ptr<QTranslator>> installed;
  for (const auto& translator : installed) QCoreApplication::removeTranslator(translator.get());
  installed.clear();
  bool complete = true;
  auto load = [&](const QString& name, const QString& folder) {
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(name, folder) && QCoreApplication::installTranslator(translator.get())) {
      installed.push_back(std::move(translator));
    } else {
      complete = false;
    }
  };
  // The window's own texts in English; in Chinese, the folder chooser's (its source texts are the
  // toolkit's English ones) and Qt's dialogs and buttons.
  // Qt's own texts that follow the locale rather than the translations (the file dialog's type names,
  // dates and sizes) speak the window's language too.
  QLocale::setDefault(language.isEmpty() ? QLocale::system()
                      : gEnglish         ? QLocale(QLocale::English, QLocale::UnitedStates)
                                         : QLocale(QLocale::Chinese, QLocale::China));
  if (language.isEmpty()) return true;
  if (language == QLatin1String("en")) {
    load(QStringLiteral("plicato_en"), QStringLiteral(":/i18n"));
  } else {
    load(QStringLiteral("plicato_zh_CN"), QStringLiteral(":/i18n"));
    load(QStringLiteral("qt_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  }
  return complete;
}

}  // namespace plicato
