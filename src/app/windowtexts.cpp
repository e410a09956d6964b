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

QString ReasonOf(TErrorKind kind, const TSheetChoice& sheet) {
  switch (kind) {
    case ekEncrypted:
    case ekWrongPassword:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件有密码保护，密码不对或没有提供"));
    case ekInputUnreadable:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "无法打开文件（不存在或没有读取权限）"));
    case ekNotAWorkbook:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "不是可以读取的Excel工作簿"));
    case ekSheetMissing:
      if (sheet.kind == TSheetChoice::scName)
        return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件中没有名为“%1”的工作表"))
            .arg(QString::fromStdU16String(sheet.name));
      if (sheet.kind == TSheetChoice::scIndex)
        return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件中没有第%1个工作表"))
            .arg(sheet.index + 1);
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件中没有要合并的工作表"));
    case ekOutOfMemory:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "内存不足"));
    default:
      return WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "文件已损坏或格式不受支持"));
  }
}

namespace {

// A count of rows, in the window's language ("5行", "1 row").
QString RowsText(int64_t n) {
  return QCoreApplication::translate(kContext, QT_TRANSLATE_N_NOOP("plicato::TForm1", "%n行"), nullptr,
                                     static_cast<int>(n));
}

// Classic mode's stop at a row without text, with the rows with values left below it.
QString StoppedAtText(const TNoteFacts& f) {
  const int left = static_cast<int>(f.left);
  QString text;
  if (f.rows == 0) {
    text = f.leftAtLeast
               ? QCoreApplication::translate(
                     kContext,
                     QT_TRANSLATE_N_NOOP(
                         "plicato::TForm1",
                         "没有合并任何行：第%1行没有文字，合并在此停止；其后至少有%n行有数据未合并%2。"),
                     nullptr, left)
               : QCoreApplication::translate(
                     kContext,
                     QT_TRANSLATE_N_NOOP(
                         "plicato::TForm1",
                         "没有合并任何行：第%1行没有文字，合并在此停止；其后有%n行有数据未合并。"),
                     nullptr, left);
    text = text.arg(f.row);
  } else {
    text = f.leftAtLeast
               ? QCoreApplication::translate(
                     kContext,
                     QT_TRANSLATE_N_NOOP(
                         "plicato::TForm1",
                         "第%1行没有文字，已合并其上的%2后在此停止；从该行起至少有%n行有数据未合并%3。"),
                     nullptr, left)
               : QCoreApplication::translate(
                     kContext,
                     QT_TRANSLATE_N_NOOP(
                         "plicato::TForm1",
                         "第%1行没有文字，已合并其上的%2后在此停止；从该行起有%n行有数据未合并。"),
                     nullptr, left);
    text = text.arg(f.row).arg(RowsText(f.rows));
  }
  if (!f.leftAtLeast) return text;
  const QString tail = f.unreadable.empty()
                           ? WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "（统计被停止）"))
                           : WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "（其余部分无法读取：%1）"))
                                 .arg(QString::fromStdString(f.unreadable));
  return text.arg(tail);
}

}  // namespace

// Long on purpose: one case per kind of remark, so the switch is the list of what a run can remark.
QString RemarkOf(const TFileNote& note) {
  const TNoteFacts& f = note.facts;
  auto column = [](uint32_t number) { return QString::fromStdString(ColumnName(number)); };
  auto names = [](const std::vector<std::u16string>& list) {
    QStringList quoted;
    for (const std::u16string& name : list) quoted << QString::fromStdU16String(name);
    return quoted.join(WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "、")));
  };
  QString text;
  switch (f.kind) {
    case TNoteFacts::nkNone:
      break;
    case TNoteFacts::nkNoValues:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "没有合并任何行：工作表中没有数据。"));
      break;
    case TNoteFacts::nkNoWorksheet:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "没有合并任何行：工作簿中没有工作表。"));
      break;
    case TNoteFacts::nkNoDataRows:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "表头%1之下没有数据行。")).arg(RowsText(f.rows));
      break;
    case TNoteFacts::nkStoppedAt:
      text = StoppedAtText(f);
      break;
    case TNoteFacts::nkCutAtSplit:
      text = WindowText(
                 QT_TRANSLATE_NOOP("plicato::TForm1", "合并在输出文件分割处停止：本表已合并%1，其余未合并。"))
                 .arg(RowsText(f.rows));
      break;
    case TNoteFacts::nkSheetsLeft:
      text = WindowText(
          QT_TRANSLATE_NOOP("plicato::TForm1", "合并在此工作表之前停止：它和其后的工作表未合并。"));
      break;
    case TNoteFacts::nkSheetMissing:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "找不到该工作表，已跳过（%1）。"))
                 .arg(QString::fromStdString(f.unreadable));
      break;
    case TNoteFacts::nkColumnsLeftOut:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "第%1列（%2列）之后的列未合并"))
                 .arg(f.column)
                 .arg(column(f.column));
      if (f.outputColumns > 0)
        text += WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "：输出文件共%1列，前%2列用于来源列和标记列"))
                    .arg(f.outputColumns)
                    .arg(f.reserved);
      text += WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "；该表的数据一直到%1列。"))
                  .arg(column(f.lastColumn));
      break;
    case TNoteFacts::nkUndecodable:
      text = WindowText(
                 QT_TRANSLATE_NOOP("plicato::TForm1", "从第%1行起有无法按其编码解码的字节，已读作U+FFFD。"))
                 .arg(f.row);
      break;
    case TNoteFacts::nkUnclosedQuote:
      text = WindowText(
                 QT_TRANSLATE_NOOP("plicato::TForm1", "第%1行的引号没有闭合：文件的其余部分已读作该字段。"))
                 .arg(f.row);
      break;
    case TNoteFacts::nkOneSheet:
      text = WindowText(
          QT_TRANSLATE_NOOP("plicato::TForm1", "CSV文件只有一个工作表：已合并该表，而非所选的工作表。"));
      break;
    case TNoteFacts::nkFormatsLeftOut:
      text = WindowText(
          QT_TRANSLATE_NOOP("plicato::TForm1", "输出文件容纳不下更多的数字格式：部分数字以常规格式显示。"));
      break;
    case TNoteFacts::nkColumnsMatched: {
      QStringList parts;
      if (!f.lacking.empty())
        parts << WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "缺少列：%1")).arg(names(f.lacking));
      if (!f.brought.empty())
        parts << WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "新增列：%1")).arg(names(f.brought));
      text = parts.join(WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "；"))) +
             WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "。"));
      break;
    }
    case TNoteFacts::nkMatchedByPosition:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "表头全部为空：各列按位置对齐。"));
      break;
    case TNoteFacts::nkUnionLeftOut:
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "列“%1”未合并：输出文件共%2列"))
                 .arg(names(f.lacking))
                 .arg(f.outputColumns);
      if (f.reserved > 0)
        text += WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "，前%1列用于来源列和标记列")).arg(f.reserved);
      text += WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "。"));
      break;
    case TNoteFacts::nkColumnsNotMatched: {
      QStringList columns;
      for (uint32_t c : f.columns) columns << column(c + 1);
      text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "%1列的数据未合并：输出文件中没有对应的列。"))
                 .arg(columns.join(WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "、"))));
      break;
    }
    case TNoteFacts::nkColumnsDiffer:
      text = WindowText(QT_TRANSLATE_NOOP(
          "plicato::TForm1", "最后一行表头与第一个文件的不同：各列按位置合并；勾选“按列名对齐”可按列名对齐各列。"));
      break;
  }
  if (!f.sheet.empty())
    text = WindowText(QT_TRANSLATE_NOOP("plicato::TForm1", "工作表“%1”："))
               .arg(QString::fromStdU16String(f.sheet)) +
           text;
  return text;
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
