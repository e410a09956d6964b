#include "windowtexts.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

namespace plicato {

namespace {

const char kContext[] = "plicato::TForm1";

}  // namespace

const char* const kStopped = QT_TRANSLATE_NOOP("plicato::TForm1", "已停止");
const char* const kStopping = QT_TRANSLATE_NOOP("plicato::TForm1", "正在停止…");
const char* const kNotice = QT_TRANSLATE_NOOP("plicato::TForm1", "提示：");

QString WindowText(const char* source) {
  return QCoreApplication::translate(kContext, source);
}

QString ReasonOf(TErrorKind kind) {
  switch (kind) {
    case ekEncrypted:
    case ekWrongPassword:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件有密码保护，密码不对或没有提供"));
    case ekInputUnreadable:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "无法打开文件（不存在或没有读取权限）"));
    case ekNotAWorkbook:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "不是可以读取的Excel工作簿"));
    case ekSheetMissing:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件中没有要合并的工作表"));
    default:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件已损坏或格式不受支持"));
  }
}

QString BoxLines(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
      .replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

QString FromPath(const std::filesystem::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

QString Wrapped(const QString& text, const QFontMetrics& metrics, int width) {
  static const QRegularExpression word(QStringLiteral("[^\\s\\x{2e80}-\\x{9fff}\\x{ff00}-\\x{ffef}]+"));
  QString result;
  qsizetype done = 0;
  for (auto match = word.globalMatch(text); match.hasNext();) {
    const QRegularExpressionMatch next = match.next();
    QString rest = next.captured();
    result += text.mid(done, next.capturedStart() - done);
    done = next.capturedEnd();
    while (metrics.horizontalAdvance(rest) > width) {
      qsizetype fit = 1;
      while (fit < rest.size() && metrics.horizontalAdvance(rest.left(fit + 1)) <= width) ++fit;
      result += rest.left(fit) + QLatin1Char('\n');
      rest = rest.mid(fit);
    }
    result += rest;
  }
  return result + text.mid(done);
}

}  // namespace plicato
