// The main window's dialogs, message boxes and calls on the desktop (open a file or an address, move a
// file to the trash): each behind one virtual function, so that tests can answer them.

#include "mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "aboutbox.h"
#include "filescan.h"
#include "savepath.h"
#include "selectdirdialog.h"
#include "trash.h"
#include "windowtexts.h"

namespace plicato {

namespace {

const char kFilter[] = "*.xls";

// Widens the columns of the toolkit's own file dialog (name, size, type, date) so that each can be read:
// its defaults cut long names and a date in the locale's long form.
void FitColumns(QFileDialog& dialog) {
  dialog.resize(std::max(dialog.width(), 860), std::max(dialog.height(), 520));
  auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
  if (!view) return;
  const QFontMetrics metrics(view->font());
  const QLocale locale;
  const QString widest[] = {
      QString(40, QLatin1Char('M')).left(28), locale.formattedDataSize(999'999'999),
      QString(24, QLatin1Char('M')).left(16),
      locale.toString(QDateTime(QDate(2026, 12, 31), QTime(23, 59)), QLocale::ShortFormat)};
  for (int column = 0; column < 4; ++column)
    view->header()->resizeSection(column,
                                  metrics.horizontalAdvance(widest[column]) + 3 * metrics.averageCharWidth());
}

}  // namespace

void TForm1::ShowBox(QDialog& box, bool owned) {
  // A box owned by the window is centred on it by Qt; one owned by no window is put there too.
  if (!owned && isVisible()) {
    box.adjustSize();
    box.move(frameGeometry().center() - QPoint(box.width() / 2, box.height() / 2));
  }
  box.exec();
}

void TForm1::ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned,
                         const QString& details) {
  QMessageBox box(icon, caption, Wrapped(text, fontMetrics(), kBoxTextWidth), QMessageBox::Ok,
                  owned ? this : nullptr);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);  // paths and addresses can be copied
  if (!details.isEmpty()) box.setDetailedText(details);
  ShowBox(box, owned);
}

int TForm1::Ask(const QString& caption, const QString& text, const QStringList& buttons) {
  QMessageBox box(QMessageBox::Question, caption, Wrapped(text, fontMetrics(), kBoxTextWidth),
                  QMessageBox::NoButton, this);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);
  QList<QAbstractButton*> added;
  for (const QString& button : buttons)
    added << box.addButton(
        button, added.size() + 1 == buttons.size() ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
  if (!added.isEmpty()) {
    box.setDefaultButton(static_cast<QPushButton*>(added.back()));
    box.setEscapeButton(added.back());
  }
  ShowBox(box, true);
  return static_cast<int>(added.indexOf(box.clickedButton()));
}

std::unique_ptr<QDialog> TForm1::CreateResultDialog(const QString& caption, const QString& text,
                                                    const QString& details, const QString& folder) {
  auto box = std::make_unique<QDialog>(this);
  box->setObjectName(QStringLiteral("ResultDialog"));
  box->setWindowTitle(caption);
  auto* list = new QPlainTextEdit(text, box.get());
  list->setObjectName(QStringLiteral("ResultText"));
  list->setReadOnly(true);
  list->setMinimumSize(540, 280);
  auto* more = new QPlainTextEdit(details, box.get());
  more->setObjectName(QStringLiteral("ResultDetails"));
  more->setReadOnly(true);
  more->setLineWrapMode(QPlainTextEdit::NoWrap);
  more->hide();
  auto* buttons = new QDialogButtonBox(box.get());
  if (!details.isEmpty()) {
    QPushButton* detailsButton = buttons->addButton(tr("详细信息"), QDialogButtonBox::HelpRole);
    detailsButton->setObjectName(QStringLiteral("DetailsButton"));
    detailsButton->setCheckable(true);
    connect(detailsButton, &QPushButton::toggled, more, &QWidget::setVisible);
  }
  QPushButton* open = buttons->addButton(tr("打开文件夹"), QDialogButtonBox::ActionRole);
  open->setObjectName(QStringLiteral("OpenFolderButton"));
  open->setEnabled(!folder.isEmpty());
  connect(open, &QPushButton::clicked, this,
          [this, folder] { OpenWithDesktop(QUrl::fromLocalFile(QDir::fromNativeSeparators(folder))); });
  QPushButton* ok = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("OkButton"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, box.get(), &QDialog::accept);
  auto* layout = new QVBoxLayout(box.get());
  layout->addWidget(list, 2);
  layout->addWidget(more, 1);
  layout->addWidget(buttons);
  return box;
}

void TForm1::ShowReport(const QString& caption, const QString& text, const QString& details,
                        const QString& folder) {
  CreateResultDialog(caption, text, details, folder)->exec();
}

std::unique_ptr<QDialog> TForm1::CreatePasswordDialog(const QString& file, bool retry, bool skipAll) {
  auto dialog = std::make_unique<QDialog>(this);
  dialog->setObjectName(QStringLiteral("PasswordDialog"));
  dialog->setWindowTitle(QApplication::applicationName());
  auto* label = new QLabel(dialog.get());
  label->setObjectName(QStringLiteral("PasswordLabel"));
  label->setText(Wrapped((retry ? tr("密码错误，请重新输入：") : tr("请输入密码：")) + QLatin1Char('\n') +
                             QFileInfo(file).fileName(),
                         label->fontMetrics(), kBoxTextWidth - 80));
  label->setToolTip(QDir::toNativeSeparators(file));
  auto* edit = new QLineEdit(dialog.get());
  edit->setObjectName(QStringLiteral("PasswordEdit"));
  edit->setEchoMode(QLineEdit::Password);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog.get());
  connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
  if (skipAll) {
    QPushButton* all = buttons->addButton(tr("全部跳过"), QDialogButtonBox::ActionRole);
    all->setObjectName(QStringLiteral("SkipAllButton"));
    QDialog* owner = dialog.get();
    connect(all, &QPushButton::clicked, owner, [owner] { owner->done(paSkipAll); });
  }
  auto* layout = new QVBoxLayout(dialog.get());
  layout->addWidget(label);
  layout->addWidget(edit);
  layout->addWidget(buttons);
  return dialog;
}

TForm1::TPasswordAnswer TForm1::EnterPassword(const QString& file, bool retry, bool skipAll,
                                              QString& password) {
  auto dialog = CreatePasswordDialog(file, retry, skipAll);
  const int result = dialog->exec();
  if (result == paSkipAll) return paSkipAll;
  if (result != QDialog::Accepted) return paSkip;
  password = dialog->findChild<QLineEdit*>(QStringLiteral("PasswordEdit"))->text();
  return paPassword;
}

bool TForm1::ChooseFolder(QString& folder) {
  if (QFileInfo(Edit1->text()).isDir()) selectDirDlg1_->SetDirectory(Edit1->text());
  if (selectDirDlg1_->exec() != QDialog::Accepted) return false;
  folder = selectDirDlg1_->Directory();
  return true;
}

std::unique_ptr<QFileDialog> TForm1::CreateSaveDialog() {
  auto dialog = std::make_unique<QFileDialog>(this, tr("请选择保存路径"));
  dialog->setObjectName(QStringLiteral("SaveDialog1"));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  // Each type by its name in the window's language, as the office programs name them.
  const QStringList names = {tr("Excel 97-2003 工作簿"), tr("Excel 工作簿"), QStringLiteral("CSV UTF-8")};
  QStringList filters;
  for (qsizetype i = 0; i < OutputSuffixes().size(); ++i)
    filters << names.value(i, OutputSuffixes()[i]) + QStringLiteral(" (*.") + OutputSuffixes()[i] +
                   QLatin1Char(')');
  dialog->setNameFilters(filters);
  // The type shown is the one of the path in the field, else the one chosen last.
  const QFileInfo current(Edit2->text());
  const QString typed = current.suffix().toLower();
  const QString suffix = OutputSuffixes().contains(typed) ? typed : saveSuffix_;
  dialog->selectNameFilter(filters.value(OutputSuffixes().indexOf(suffix)));
  dialog->setDefaultSuffix(suffix);  // added when the typed name has no extension
  QFileDialog* owner = dialog.get();
  connect(owner, &QFileDialog::filterSelected, owner, [owner, filters](const QString& filter) {
    const qsizetype index = filters.indexOf(filter);
    if (index >= 0) owner->setDefaultSuffix(OutputSuffixes()[index]);
  });
  FitColumns(*dialog);
  if (!Edit2->text().isEmpty() && QFileInfo(current.absolutePath()).isDir()) {
    dialog->setDirectory(current.absolutePath());
    if (!current.fileName().isEmpty()) dialog->selectFile(current.fileName());
  }
  dialog->setOption(QFileDialog::DontConfirmOverwrite, true);  // Start asks, knowing the continuations
  return dialog;
}

std::unique_ptr<QFileDialog> TForm1::CreateOpenDialog() {
  auto dialog = std::make_unique<QFileDialog>(this);
  dialog->setObjectName(QStringLiteral("OpenDialog1"));
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);  // the file and its folder must exist
  // A file chosen by name is read by its content, so every kind is offered; the legacy one first.
  const QString both = ScanFilters(true, true).join(QLatin1Char(' '));
  dialog->setNameFilters({QString::fromLatin1(kFilter), both});
  if (CheckBox4->isChecked() || CheckBox7->isChecked()) dialog->selectNameFilter(both);
  dialog->setDefaultSuffix(QStringLiteral("xls"));
  dialog->setSizeGripEnabled(true);
  FitColumns(*dialog);
  // Where a file was last added from, else the folder being merged.
  const QString folder = QFileInfo(openFolder_).isDir() ? openFolder_ : Edit1->text();
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) dialog->setDirectory(folder);
  return dialog;
}

bool TForm1::ChooseSaveFile(QString& fileName) {
  auto dialog = CreateSaveDialog();
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return false;
  fileName = QDir::toNativeSeparators(dialog->selectedFiles().first());
  return true;
}

bool TForm1::ChooseOpenFile(QString& fileName) {
  auto dialog = CreateOpenDialog();
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return false;
  fileName = QDir::toNativeSeparators(dialog->selectedFiles().first());
  return true;
}

void TForm1::OpenUrl(const QUrl& url, std::function<void(bool opened)> done) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
  // The desktop's own call counts as done once xdg-open has started, whether or not anything opened;
  // xdg-open's exit status says whether an opener was found and succeeded. An opener still running
  // after a few seconds has started a program that stays (a browser of its own): that counts as opened.
  auto* opener = new QProcess;
  auto answered = std::make_shared<bool>(false);
  auto answer = [answered, done](bool opened) {
    if (*answered) return;
    *answered = true;
    done(opened);
  };
  connect(opener, &QProcess::finished, this, [answer](int code, QProcess::ExitStatus status) {
    answer(status == QProcess::NormalExit && code == 0);
  });
  connect(opener, &QProcess::errorOccurred, this, [answer](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) answer(false);
  });
  connect(opener, &QProcess::finished, opener, &QObject::deleteLater);
  connect(opener, &QProcess::errorOccurred, opener, [opener](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) opener->deleteLater();
  });
  QTimer::singleShot(5000, this, [answer] { answer(true); });
  opener->setStandardOutputFile(QProcess::nullDevice());
  opener->setStandardErrorFile(QProcess::nullDevice());
  opener->start(QStringLiteral("xdg-open"),
                {url.isLocalFile() ? url.toLocalFile() : url.toString(QUrl::FullyEncoded)});
#else
  done(QDesktopServices::openUrl(url));
#endif
}

void TForm1::OpenWithDesktop(const QUrl& url) {
  QPointer<TForm1> window(this);
  OpenUrl(url, [window, url](bool opened) {
    if (opened || !window) return;
    // No browser or launcher: the address is shown so that the user can copy it.
    const QString where = url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString();
    window->ShowMessage(WindowText(kNotice), tr("无法打开，请复制后自行打开：\n") + where,
                        QMessageBox::Information, true);
  });
}

bool TForm1::MoveToTrash(const QString& path, QString& reason) {
  return MoveFileToTrash(path, reason);
}

bool TForm1::TrashAvailable(const QString& path) {
  return TrashAvailableFor(path);
}

bool TForm1::DeleteFile(const QString& path, bool trash, QString& reason) {
  if (trash) {
    if (MoveToTrash(path, reason)) return true;
    if (reason.isEmpty()) reason = tr("回收站没有接收它，文件留在原处");
    return false;
  }
  QFile file(path);
  if (file.remove()) return true;
  reason = file.errorString();
  return false;
}

void TForm1::ShowAbout() {
  form2_->exec();
}

void TForm1::Refuse() {
  ShowMessage(WindowText(kNotice), tr("请先停止！"), QMessageBox::NoIcon, false);
}

}  // namespace plicato
