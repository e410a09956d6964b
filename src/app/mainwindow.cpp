// The main window's creation and end, and its buttons, check boxes and link: Start/Stop with the checks
// made before a run begins.

#include "mainwindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include <filesystem>
#include <memory>
#include <utility>

#include "aboutbox.h"
#include "filescan.h"
#include "merge/MergeEngine.h"
#include "queuedcall.h"
#include "savepath.h"
#include "selectdirdialog.h"
#include "threadcomponent.h"
#include "tune.h"
#include "windowtexts.h"

namespace plicato {

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint),
      host_([this](const TWindowMergeHost::TStatus& status) { Deliver(status); },
            [this](uint64_t question, const QString& file) {
              const uint64_t generation = TThreadComponent::CurrentRunGeneration();
              PostQueued(this, [this, generation, question, file] {
                if (threadComponent2_ && threadComponent2_->IsCurrent(generation)) {
                  PasswordAsked(question, file);
                } else {
                  host_.AnswerPassword(question, std::nullopt);
                }
              });
            }) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Plicato V1.0"));
  CreateControls();

  threadComponent1_ = std::make_unique<TThreadComponent>(QStringLiteral("ThreadComponent1"));
  threadComponent1_->OnExecute = [this](TThreadComponent* sender) { ThreadComponent1Execute(sender); };
  threadComponent1_->OnReport = [this](const QString& caption, const QString& text) {
    JobFailed(threadComponent1_.get(), caption, text);
  };
  threadComponent2_ = std::make_unique<TThreadComponent>(QStringLiteral("ThreadComponent2"));
  threadComponent2_->OnException = [this](const QString& className, const QString& message, TErrorKind kind) {
    MergeFailed(className, message, kind);
  };
  connect(threadComponent2_.get(), &TThreadComponent::Finished, this, &TForm1::MergeFinished);

  selectDirDlg1_ = new TSelectDirDialog(this);
  FormCreate();
  // The About box is made right after the window and kept for the program's life.
  form2_ = new TForm2(this);
  form2_->OpenLink = [this](const QUrl& url) { OpenWithDesktop(url); };
}

TForm1::~TForm1() {
  // The running merge finishes its current file and writes its output before the window goes.
  host_.StopRequested.store(1);
  host_.CancelQuestions();  // a merge waiting for a password gives the file up
  threadComponent2_.reset();
  threadComponent1_.reset();
  RetireScanners();
}

void TForm1::FormCreate() {
  scanner_ = std::make_unique<TFileScan>();
  tune_ = new TTune(this);
  connect(tune_, &TTune::Unplayable, this, [this] { ShowHint(tr("背景音乐无法播放")); });
}

bool TForm1::ScanBusy() const {
  if (scanPending_ || (scanner_ && scanner_->Busy())) return true;
  for (const auto& scanner : dropScanners_) {
    if (scanner->Busy()) return true;
  }
  return false;
}

void TForm1::Button1Click() {
  // Refused before the chooser, like the list commands: a scan would replace the list being merged.
  if (MergeRunning()) return Refuse();
  QString folder;
  if (!ChooseFolder(folder)) return;
  ChooseFolderAndScan(folder);
}

void TForm1::ChooseFolderAndScan(const QString& folder) {
  if (MergeRunning()) return Refuse();
  host_.FoundCount.store(0);
  Edit1->setText(QDir::toNativeSeparators(folder));
  scanPending_ = true;
  threadComponent1_->Execute();
}

void TForm1::Button2Click() {
  QString fileName;
  if (!ChooseSaveFile(fileName)) return;
  Edit2->setText(fileName);
  // The type chosen is the one a path typed later without an extension gets.
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  if (OutputSuffixes().contains(suffix)) saveSuffix_ = suffix;
}

void TForm1::ShowHint(const QString& text) {
  Label4->setText(text);
  hintShown_ = true;
}

void TForm1::ClearHint() {
  if (hintShown_ && !MergeRunning()) Label4->clear();
  hintShown_ = false;
}

void TForm1::ShowStartProblem(const QString& text) {
  ShowMessage(WindowText(kNotice), text + QLatin1Char('\n') + tr("没有合并任何文件。"), QMessageBox::Warning,
              true);
}

bool TForm1::PrepareSavePath() {
  const TSavePath save = CheckSavePath(Edit2->text(), saveSuffix_);
  const QString shown = QDir::toNativeSeparators(save.path);
  switch (save.problem) {
    case TSavePath::spNone:
      break;
    case TSavePath::spUrl:
      ShowStartProblem(tr("保存路径“%1”是一个网址，不是文件路径。请输入或选择一个文件路径。").arg(shown));
      return false;
    case TSavePath::spFolder:
      ShowStartProblem(tr("保存路径“%1”是一个文件夹。请在后面加上文件名，例如“合并结果.xls”。").arg(shown));
      return false;
    case TSavePath::spNotAFile:
      ShowStartProblem(tr("保存路径“%1”不是普通文件，无法写入。").arg(shown));
      return false;
    case TSavePath::spMissingFolder:
      ShowStartProblem(tr("保存路径的文件夹“%1”不存在。").arg(save.folder));
      return false;
    case TSavePath::spUnwritableFolder:
      ShowStartProblem(tr("没有在文件夹“%1”中写入文件的权限。").arg(save.folder));
      return false;
  }
  // The path as it will be written, with the extension it was given.
  if (save.path != Edit2->text()) Edit2->setText(shown);
  host_.SetSavePathText(save.path);
  return true;
}

void TForm1::Button3Click() {
  if (!MergeRunning()) {
    host_.StopRequested.store(0);
    // Nothing is shown in a box, but the status line says what is missing.
    if (Edit1->text().isEmpty()) return ShowHint(tr("请先选择待处理XLS目录"));
    if (Edit2->text().isEmpty()) return ShowHint(tr("请先选择合并后保存路径"));
    if (ListBox1->count() == 0) return ShowHint(tr("文件列表为空，没有要合并的文件"));
    if (!SheetChoice()) {
      return ShowStartProblem(
          tr("工作表编号从1开始：“%1”不是工作表编号。").arg(ComboBox1->currentText().trimmed()));
    }
    if (!PrepareSavePath()) return;
    // The run merges this copy; the visible list may change meanwhile.
    TMergeOptions options = MergeOptions();
    options.savePath = host_.SavePathAtSplit();
    runLastFile_ = ListBox1->item(ListBox1->count() - 1)->text();
    // The engine refuses a run that would write over one of its inputs; said here in the window's words.
    if (auto clash = FindOutputClash(options.savePath, options.files)) {
      ShowMessage(WindowText(kNotice),
                  tr("保存路径“%1”就是列表中的文件“%2”，合并会覆盖它。\n请另选保存路径，未写入任何文件。")
                      .arg(QFile::decodeName(QByteArray::fromStdString(clash->output.native())),
                           QFile::decodeName(QByteArray::fromStdString(clash->input.native()))),
                  QMessageBox::Warning, false);
      return;
    }
    // Files a scan could not see would be missing without a word: passed over only when the user allows.
    if (!unreadableFolders_.empty() && !CheckBox3->isChecked()) {
      ShowMessage(
          WindowText(kNotice),
          tr("无法读取文件夹“%1”（%2），其中的文件不在列表中。\n勾选“跳过无法读取的文件”可合并其余文件，"
             "未写入任何文件。")
              .arg(QDir::toNativeSeparators(FromPath(unreadableFolders_.front().file)),
                   QString::fromStdString(unreadableFolders_.front().failure.words)),
          QMessageBox::Warning, false);
      return;
    }
    runOptions_ = options;
    if (!ConfirmOverwrite()) return;
    if (settingsKept_) SaveSettings();
    host_.AllowQuestions();
    stopping_ = false;
    lastPasswordFile_.clear();
    skipAllPasswords_ = false;
    filesBegun_ = 0;
    filesListed_ = static_cast<int32_t>(ListBox1->count());
    runFile_.clear();
    failedInput_.clear();
    failedOutput_.clear();
    failure_.reset();
    // A little before now: the file system stamps a written output with a coarser clock.
    runStart_ = QDateTime::currentDateTime().addMSecs(-50);
    Label4->clear();
    ShowProgress(0, filesListed_, 0);
    // The run takes its own copy of the merge to perform, so the seam may change after it has begun.
    threadComponent2_->OnExecute = [this, merge = RunMerge,
                                    options = std::move(options)](TThreadComponent* sender) {
      ThreadComponent2Execute(sender, merge, options);
    };
    threadComponent2_->Execute();
    mergeRunning_ = true;
    Button3->setText(WindowText(kStop));
  } else {
    host_.StopRequested.store(1);
    ShowStopping();
  }
}

bool TForm1::ConfirmOverwrite() {
  const QString path = FromPath(runOptions_.savePath);
  const TSavePath save = CheckSavePath(path, saveSuffix_);
  if (!save.exists && save.continuations.isEmpty()) return true;
  QStringList lines;
  if (save.exists) lines << tr("文件已存在，要覆盖吗？") << QDir::toNativeSeparators(path);
  const bool trash = !save.continuations.isEmpty() && TrashAvailable(save.continuations.first());
  QStringList buttons;
  if (!save.continuations.isEmpty()) {
    // A run writes only as many continuations as it needs; older ones beyond them would look like part
    // of its result.
    if (!lines.isEmpty()) lines << QString();
    lines << tr("旁边有以前合并留下的续接文件，本次合并不一定会覆盖它们：");
    for (const QString& file : save.continuations) lines << QStringLiteral("  ") + file;
    buttons << (trash ? tr("移到回收站后合并") : tr("永久删除后合并")) << tr("保留它们并合并");
  } else {
    buttons << tr("覆盖");
  }
  buttons << tr("取消");
  const int answer = Ask(WindowText(kNotice), lines.join(QLatin1Char('\n')), buttons);
  if (answer < 0 || answer == buttons.size() - 1) return false;
  if (save.continuations.isEmpty() || answer == 1) return true;
  QStringList failed;
  for (const QString& file : save.continuations) {
    QString reason;
    if (!DeleteFile(file, trash, reason))
      failed << QDir::toNativeSeparators(file) + QStringLiteral(": ") + reason;
  }
  if (failed.isEmpty()) return true;
  ShowStartProblem(tr("以下文件无法移走：\n%1").arg(failed.join(QLatin1Char('\n'))));
  return false;
}

std::optional<TSheetChoice> TForm1::SheetChoice() const {
  const QString sheet = ComboBox1->currentText().trimmed();
  TSheetChoice choice;
  if (sheet.isEmpty() || sheet == tr("第一个") || sheet == QStringLiteral("第一个")) return choice;
  if (sheet == tr("全部") || sheet == QStringLiteral("全部")) {
    choice.kind = TSheetChoice::scAll;
    return choice;
  }
  return ParseSheetChoice(sheet.toStdU16String());
}

TMergeOptions TForm1::MergeOptions() const {
  TMergeOptions options;
  // A file the folder search found is named in the source column relative to the folder field's
  // folder; one added or dropped by name elsewhere, as listed.
  const QString folder =
      Edit1->text().isEmpty() ? QString() : QDir::cleanPath(QFileInfo(Edit1->text()).absoluteFilePath());
  const std::filesystem::path base = QFile::encodeName(folder).toStdString();
  for (const QString& entry : Entries()) {
    std::filesystem::path file = QFile::encodeName(entry).toStdString();
    std::filesystem::path relative = file.lexically_normal().lexically_relative(base);
    const bool inside = !base.empty() && !relative.empty() && *relative.begin() != "..";
    options.sourceNames.push_back(inside ? std::move(relative) : file);
    options.files.push_back(std::move(file));
  }
  options.values = CheckBox5->isChecked();
  options.headerRows = SpinEdit1->value();
  options.matchColumns = options.headerRows >= 1 && CheckBox8->isChecked();
  options.sourceColumn = CheckBox6->isChecked();
  options.sourceCaption = tr("来源文件").toStdU16String();
  options.markRows = CheckBox1->isChecked();
  options.skipUnreadable = CheckBox3->isChecked();
  options.sheet = SheetChoice().value_or(TSheetChoice{});
  return options;
}

void TForm1::Button4Click() {
  close();
}

void TForm1::Button5Click() {
  ShowAbout();
}

void TForm1::CheckBox2Click() {
  if (CheckBox2->isChecked()) {
    if (!tune_->Play()) ShowHint(tr("背景音乐无法播放：没有可用的声音设备"));
  } else {
    tune_->Stop();
  }
}

void TForm1::ScanBoxClick(QCheckBox* box) {
  // The list follows the box: the folder is searched again with or without the files it names.
  if (MergeRunning()) {
    box->setChecked(!box->isChecked());
    return Refuse();
  }
  if (!Edit1->text().isEmpty()) ChooseFolderAndScan(Edit1->text());
}

void TForm1::Edit1Enter() {
  if (MergeRunning()) return Refuse();
  if (!Edit1->text().isEmpty()) ChooseFolderAndScan(Edit1->text());
}

void TForm1::Label8Click() {
  OpenWithDesktop(QUrl(QString::fromLatin1(kMakerWebAddress)));
}

void TForm1::ListBox1DblClick() {
  const int index = SelectedIndex();
  if (index < 0) return;
  OpenWithDesktop(QUrl::fromLocalFile(QDir::fromNativeSeparators(ListBox1->item(index)->text())));
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (threadComponent2_->Running()) {
    // Closing waits for the merge to finish its current file and write its output; the window stays
    // live meanwhile and closes when the merge job ends. A second close while it waits changes nothing.
    host_.StopRequested.store(1);
    closePending_ = true;
    ShowStopping();
    event->ignore();
    return;
  }
  if (settingsKept_) SaveSettings();
  closed_ = true;
  event->accept();
}

}  // namespace plicato
