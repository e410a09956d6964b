// The end of a merge run as the user reads it: the result box of a run that returned its report, and the
// message box of one that failed.

#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "merge/MergeEngine.h"
#include "threadcomponent.h"
#include "windowtexts.h"

namespace plicato {

void TForm1::MergeFailed(const QString& className, const QString& message, TErrorKind kind) {
  // The user reads what happened in a few lines; the job's technical report is kept in the details.
  ShowMessage(QApplication::applicationName(), FailureSummary(kind), QMessageBox::Critical, true,
              FailureDetails(kind, threadComponent2_->FailureText(className, message)));
  // The engine has written what it gathered; the window is idle again.
  stopping_ = false;
  Label4->setText(WindowText(kStopped));
  mergeRunning_ = false;
  Button3->setText(WindowText(kStart));
  Edit3->clear();
}

QString TForm1::FailureDetails(TErrorKind kind, const QString& technical) const {
  // The facts in the window's words; the program's own English text, whole, as the last line.
  QStringList lines;
  if (kind == ekOutputUnwritable || kind == ekOutputClash) {
    const QString output = failedOutput_.isEmpty() ? Edit2->text() : failedOutput_;
    lines << tr("输出文件：%1").arg(QDir::toNativeSeparators(output));
  } else {
    const QString file = failedInput_.isEmpty() ? runFile_ : failedInput_;
    if (!file.isEmpty()) lines << tr("文件：%1").arg(QDir::toNativeSeparators(file));
    lines << tr("原因：%1").arg(ReasonOf(kind, runOptions_.sheet));
    if (failure_ && failure_->what == TRunFailure::rfFile) lines << WhereLines(failure_->file);
  }
  lines << tr("程序的原文：") + Quoted(BoxLines(technical));
  return lines.join(QLatin1Char('\n'));
}

QStringList TForm1::WhereLines(const TFileFailure& failure) const {
  // Where the reading was when the file failed, and what became of the rows it had given.
  QStringList lines;
  if (failure.reading) {
    const QString sheet = QString::fromStdU16String(failure.sheet);
    if (failure.afterRow == 0) {
      lines << tr("位置：工作表“%1”的第一行").arg(sheet);
    } else {
      lines << tr("位置：工作表“%1”第%2行之后").arg(sheet).arg(failure.afterRow);
    }
  }
  auto path = [](const std::filesystem::path& file) { return QDir::toNativeSeparators(FromPath(file)); };
  if (!failure.rowsStayIn.empty())
    lines << tr("该文件出错之前的行留在“%1”中（该格式不能删除已写入的行）。").arg(path(failure.rowsStayIn));
  if (!failure.rowsWrittenTo.empty())
    lines << tr("该文件出错之前的行已有一部分写入到“%1”为止的输出文件中。").arg(path(failure.rowsWrittenTo));
  return lines;
}

QString TForm1::Quoted(const QString& text) const {
  return tr("“%1”").arg(text);
}

QString TForm1::FailureSummary(TErrorKind kind) const {
  QStringList lines;
  // What failed is told by the kind, and which file by the engine's report of the failure; the message is
  // kept for the details.
  QString file;  // the input that failed
  if (kind == ekOutputUnwritable) {
    lines << tr("无法写入输出文件“%1”。")
                 .arg(QDir::toNativeSeparators(failedOutput_.isEmpty() ? Edit2->text() : failedOutput_));
  } else if (kind == ekOutOfMemory && !failedOutput_.isEmpty()) {
    lines << tr("内存不足，无法写入输出文件“%1”。").arg(QDir::toNativeSeparators(failedOutput_));
  } else if (kind == ekOutOfMemory) {
    // Not the file's fault: the machine had no more memory to give while it was merged.
    file = failedInput_.isEmpty() ? runFile_ : failedInput_;
    lines << tr("内存不足，无法合并文件“%1”。").arg(QDir::toNativeSeparators(file));
  } else if (kind == ekOutputClash) {
    lines << tr("输出文件是要合并的文件之一，请选择其他保存路径。");
  } else {
    // A failure the engine did not report as a file's is the file being read's.
    file = failedInput_.isEmpty() ? runFile_ : failedInput_;
    const QString reason = ReasonOf(kind, runOptions_.sheet);
    if (file.isEmpty()) {
      lines << tr("合并失败：%1。").arg(reason);
    } else {
      lines << tr("无法合并文件“%1”：%2。").arg(QDir::toNativeSeparators(file), reason);
    }
  }

  // What this run wrote, as the file system has it: the save path and its continuations.
  QStringList written;
  const std::string savePath = QFile::encodeName(Edit2->text()).toStdString();
  for (int32_t split = 0;; ++split) {
    const QString name = split == 0
                             ? Edit2->text()
                             : QFile::decodeName(QByteArray::fromStdString(SplitOutputName(savePath, split)));
    const QFileInfo info(name);
    if (!info.exists()) break;
    if (info.lastModified() >= runStart_) written << QDir::toNativeSeparators(name);
  }
  if (written.isEmpty()) {
    lines << tr("没有保存任何行。");
  } else {
    lines << tr("此前合并的行已保存到“%1”。").arg(written.join(tr("”、“")));
  }
  // Unless the failing file was the list's last.
  if (file.isEmpty() || file != runLastFile_) lines << tr("其余文件没有合并。");
  return lines.join(QLatin1Char('\n'));
}

void TForm1::ShowRunReport(const TMergeReport& report) {
  // A window closing after its run goes without the result: the user has left. (The run's end may reach
  // the window before or after its result.)
  if (closePending_ || closed_) return;
  QStringList lines, details;
  auto path = [](const std::filesystem::path& file) { return QDir::toNativeSeparators(FromPath(file)); };
  lines << (report.stopped ? tr("合并已停止，列表中其余的文件没有合并。") : tr("合并完成。"));
  lines << tr("已合并%1个文件，共写入%2行。").arg(report.filesMerged).arg(report.rowsWritten);
  if (report.outputs.empty()) {
    lines << tr("没有写入任何文件：没有可合并的行。");
  } else {
    lines << tr("输出文件：");
    for (const auto& output : report.outputs) lines << QStringLiteral("  ") + path(output);
  }
  if (!report.skipped.empty()) {
    lines << QString() << tr("以下%1个文件无法读取，已跳过：").arg(report.skipped.size());
    for (const TFileNote& note : report.skipped) {
      const QString reason = ReasonOf(note.kind, runOptions_.sheet);
      lines << QStringLiteral("  ") + path(note.file) + tr("：") + reason;
      QStringList said = WhereLines(note.failure);
      // The reader's own words, where it had any (a missing sheet is said by the reason).
      if (!note.failure.words.empty())
        said << Quoted(BoxLines(QString::fromStdString(note.failure.words)).simplified());
      details << path(note.file) + tr("：") + reason;
      for (const QString& line : said) details << QStringLiteral("  ") + line;
    }
  }
  if (!unreadableFolders_.empty()) {
    lines << QString() << tr("以下%1个文件夹无法读取，其中的文件已跳过：").arg(unreadableFolders_.size());
    for (const TFileNote& note : unreadableFolders_)
      lines << QStringLiteral("  ") + path(note.file) + tr("：") + QString::fromStdString(note.failure.words);
  }
  if (!report.notes.empty()) {
    lines << QString() << tr("合并时的说明：");
    for (const TFileNote& note : report.notes)
      lines << QStringLiteral("  ") + path(note.file) + tr("：") + RemarkOf(note);
  }
  if (!report.olderOutputs.empty()) {
    lines << QString() << tr("以下文件是以前合并留下的，不属于本次结果：");
    for (const auto& older : report.olderOutputs) lines << QStringLiteral("  ") + path(older);
  }
  const QString folder =
      report.outputs.empty()
          ? QString()
          : QDir::toNativeSeparators(QFileInfo(FromPath(report.outputs.front())).absolutePath());
  ShowReport(report.stopped ? tr("合并已停止") : tr("合并完成"), lines.join(QLatin1Char('\n')),
             details.join(QLatin1Char('\n')), folder);
}

}  // namespace plicato
