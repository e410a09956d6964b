#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaObject>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "aboutbox.h"
#include "filescan.h"
#include "merge/FileSearch.h"
#include "merge/MergeEngine.h"
#include "selectdirdialog.h"
#include "threadcomponent.h"
#include "tune.h"

namespace plicato {

namespace {

const char kFilter[] = "*.xls";
const char kStopped[] = "已停止";
const char kStopping[] = "正在停止…";
const char kNotice[] = "提示：";
// Steps of the progress bar per file: a file's rows move the bar within its step.
constexpr int kFileSteps = 1000;

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// The name patterns of a folder scan: the legacy workbooks, and the Office Open XML ones when asked for.
QStringList ScanFilters(bool includeXlsx) {
  QStringList filters;
  for (const std::string& pattern : WorkbookPatterns(includeXlsx)) filters << QString::fromStdString(pattern);
  return filters;
}

// The engine's messages break lines with carriage returns; a box breaks them at '\n'.
QString BoxLines(QString text) {
  return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
      .replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

QString FromPath(const std::filesystem::path& path) {
  return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// Why a file could not be read, in one short line of the window's language, from the engine's message.
QString ReasonOf(const QString& message) {
  const QString m = message.toLower();
  if (m.contains(QLatin1String("password")) || m.contains(QLatin1String("encrypt")))
    return QStringLiteral("文件有密码保护，密码不对或没有提供");
  if (m.contains(QLatin1String("cannot open")) || m.contains(QLatin1String("no such file")) ||
      m.contains(QLatin1String("permission")))
    return QStringLiteral("无法打开文件（不存在或没有读取权限）");
  if (m.contains(QLatin1String("not a compound document")) || m.contains(QLatin1String("not an excel")) ||
      m.contains(QLatin1String("not an .xlsx")) || m.contains(QLatin1String("not a zip")) ||
      m.contains(QLatin1String("not a readable zip")))
    return QStringLiteral("不是可以读取的Excel工作簿");
  return QStringLiteral("文件已损坏或格式不受支持");
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      host_([this](const TWindowMergeHost::TStatus& status) { Deliver(status); },
            [this](uint64_t question, const QString& file) {
              const uint64_t generation = TThreadComponent::CurrentRunGeneration();
              QMetaObject::invokeMethod(
                  this,
                  [this, generation, question, file] {
                    if (threadComponent2_ && threadComponent2_->IsCurrent(generation)) {
                      PasswordAsked(question, file);
                    } else {
                      host_.AnswerPassword(question, std::nullopt);
                    }
                  },
                  Qt::QueuedConnection);
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
  threadComponent2_->OnException = [this](const QString& className, const QString& message) {
    MergeFailed(className, message);
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

void TForm1::CreateControls() {
  Label1 = new QLabel(QStringLiteral("待处理XLS目录"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Button1 = new QPushButton(QStringLiteral("浏览"), this);
  Button1->setObjectName(QStringLiteral("Button1"));

  Label2 = new QLabel(QStringLiteral("合并后保存路径"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Edit2 = new QLineEdit(this);
  Edit2->setObjectName(QStringLiteral("Edit2"));
  Button2 = new QPushButton(QStringLiteral("浏览"), this);
  Button2->setObjectName(QStringLiteral("Button2"));

  Label6 = new QLabel(QStringLiteral("当前读取的文件"), this);
  Label6->setObjectName(QStringLiteral("Label6"));
  Edit3 = new QLineEdit(this);
  Edit3->setObjectName(QStringLiteral("Edit3"));

  CheckBox1 = new QCheckBox(QStringLiteral("首列标记单文件行数"), this);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox2 = new QCheckBox(QStringLiteral("背景音乐"), this);
  CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
  CheckBox3 = new QCheckBox(QStringLiteral("跳过无法读取的文件"), this);
  CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
  CheckBox4 = new QCheckBox(QStringLiteral("包含XLSX文件"), this);
  CheckBox4->setObjectName(QStringLiteral("CheckBox4"));

  const QString red = QStringLiteral("color: red;");
  Label3 = new QLabel(QStringLiteral("状态："), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4 = new QLabel(this);
  Label4->setObjectName(QStringLiteral("Label4"));
  Label4->setStyleSheet(red);
  Label5 = new QLabel(this);
  Label5->setObjectName(QStringLiteral("Label5"));
  Label5->setStyleSheet(red);
  // The status lines keep their height when they first get text (their Chinese glyphs are taller than
  // an empty line), so the window does not grow and shift its controls mid-run.
  for (QLabel* line : {Label4, Label5}) {
    line->setText(QStringLiteral("共有0个XLS文件 已合并0个") + Text(kStopping));
    line->setMinimumHeight(line->sizeHint().height());
    line->clear();
  }
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ResetProgressBar();

  Label7 = new QLabel(QStringLiteral("文件列表"), this);
  Label7->setObjectName(QStringLiteral("Label7"));
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setSortingEnabled(false);
  ListBox1->setMinimumSize(430, 220);
  ListBox1->setContextMenuPolicy(Qt::CustomContextMenu);
  ListBox1->setAcceptDrops(true);
  ListBox1->viewport()->installEventFilter(this);

  Button5 = new QPushButton(QStringLiteral("关于"), this);
  Button5->setObjectName(QStringLiteral("Button5"));
  Button3 = new QPushButton(Text(kStart), this);
  Button3->setObjectName(QStringLiteral("Button3"));
  Button4 = new QPushButton(QStringLiteral("退出"), this);
  Button4->setObjectName(QStringLiteral("Button4"));

  Label8 = new QLabel(QStringLiteral("Tarnwick       ") + QString::fromLatin1(kMakerWebAddress), this);
  Label8->setObjectName(QStringLiteral("Label8"));
  Label8->setStyleSheet(QStringLiteral("color: blue;"));
  Label8->setCursor(Qt::PointingHandCursor);
  Label8->installEventFilter(this);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
  auto addCommand = [this](const char* name, const QString& caption, void (TForm1::*handler)()) {
    QAction* action = PopupMenu1->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    connect(action, &QAction::triggered, this, handler);
    return action;
  };
  N1 = addCommand("N1", QStringLiteral("移出列表"), &TForm1::N1Click);
  N4 = addCommand("N4", QStringLiteral("增加文件"), &TForm1::N4Click);
  N5 = addCommand("N5", QStringLiteral("向上移动"), &TForm1::N5Click);
  N6 = addCommand("N6", QStringLiteral("向下移动"), &TForm1::N6Click);
  N2 = addCommand("N2", QStringLiteral("清空列表"), &TForm1::N2Click);
  N3 = addCommand("N3", QStringLiteral("删除文件"), &TForm1::N3Click);

  auto* fields = new QGridLayout;
  fields->setHorizontalSpacing(8);
  fields->addWidget(Label1, 0, 0);
  fields->addWidget(Edit1, 0, 1);
  fields->addWidget(Button1, 0, 2);
  fields->addWidget(Label2, 1, 0);
  fields->addWidget(Edit2, 1, 1);
  fields->addWidget(Button2, 1, 2);
  fields->addWidget(Label6, 2, 0);
  fields->addWidget(Edit3, 2, 1, 1, 2);

  auto* options = new QGridLayout;
  options->setHorizontalSpacing(24);
  options->addWidget(CheckBox1, 0, 0);
  options->addWidget(CheckBox2, 0, 1);
  options->addWidget(CheckBox3, 1, 0);
  options->addWidget(CheckBox4, 1, 1);
  options->setColumnStretch(2, 1);

  auto* status = new QHBoxLayout;
  status->addWidget(Label3);
  status->addWidget(Label4, 1);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(Button5);
  buttons->addStretch();
  buttons->addWidget(Button3);
  buttons->addStretch();
  buttons->addWidget(Button4);

  auto* list = new QHBoxLayout;
  list->addWidget(ListBox1, 1);
  list->addLayout(buttons);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 10);
  layout->addLayout(fields);
  layout->addLayout(options);
  layout->addLayout(status);
  layout->addWidget(Label5);
  layout->addWidget(ProgressBar1);
  layout->addWidget(Label7);
  layout->addLayout(list);
  layout->addWidget(Label8);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed single border: no resizing, no maximise

  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
  connect(ListBox1, &QListWidget::itemDoubleClicked, this, &TForm1::ListBox1DblClick);
  connect(ListBox1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(ListBox1->viewport()->mapToGlobal(at)); });
  // The merge reads the save path and the marking option as values kept current here.
  connect(Edit2, &QLineEdit::textChanged, this, [this](const QString& text) { host_.SetSavePathText(text); });
  connect(CheckBox1, &QCheckBox::toggled, this, [this](bool checked) { host_.SetMarkRowsValue(checked); });
  connect(CheckBox3, &QCheckBox::toggled, this,
          [this](bool checked) { host_.SetSkipUnreadableValue(checked); });
}

void TForm1::FormCreate() {
  scanner_ = std::make_unique<TFileScan>();
  tune_ = new TTune(this);
}

bool TForm1::MergeRunning() const {
  return Button3->text() == Text(kStop);
}

bool TForm1::ScanBusy() const {
  if (scanPending_ || (scanner_ && scanner_->Busy())) return true;
  for (const auto& scanner : dropScanners_) {
    if (scanner->Busy()) return true;
  }
  return false;
}

// ---- dialogs, boxes and the desktop

void TForm1::ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned,
                         const QString& details) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owned ? this : nullptr);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse);  // paths and addresses can be copied
  if (!details.isEmpty()) box.setDetailedText(details);
  box.exec();
}

void TForm1::ShowReport(const QString& caption, const QString& text) {
  QDialog box(this);
  box.setWindowTitle(caption);
  auto* list = new QPlainTextEdit(text, &box);
  list->setReadOnly(true);
  list->setLineWrapMode(QPlainTextEdit::NoWrap);
  list->setMinimumSize(480, 160);
  auto* ok = new QPushButton(QStringLiteral("确定"), &box);
  connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
  auto* layout = new QVBoxLayout(&box);
  layout->addWidget(list);
  layout->addWidget(ok, 0, Qt::AlignRight);
  box.exec();
}

std::unique_ptr<QInputDialog> TForm1::CreatePasswordDialog(const QString& file) {
  auto dialog = std::make_unique<QInputDialog>(this);
  dialog->setObjectName(QStringLiteral("PasswordDialog"));
  dialog->setWindowTitle(QApplication::applicationName());
  dialog->setInputMode(QInputDialog::TextInput);
  dialog->setTextEchoMode(QLineEdit::Password);
  dialog->setLabelText(QStringLiteral("请输入密码：") + QLatin1Char('\n') + QFileInfo(file).fileName());
  dialog->setToolTip(QDir::toNativeSeparators(file));
  return dialog;
}

bool TForm1::EnterPassword(const QString& file, QString& password) {
  auto dialog = CreatePasswordDialog(file);
  if (dialog->exec() != QDialog::Accepted) return false;
  password = dialog->textValue();
  return true;
}

bool TForm1::ChooseFolder(QString& folder) {
  if (selectDirDlg1_->exec() != QDialog::Accepted) return false;
  folder = selectDirDlg1_->Directory();
  return true;
}

std::unique_ptr<QFileDialog> TForm1::CreateSaveDialog() {
  auto dialog = std::make_unique<QFileDialog>(this, QStringLiteral("请选择保存路径"));
  dialog->setObjectName(QStringLiteral("SaveDialog1"));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(QString::fromLatin1(kFilter));
  dialog->setDefaultSuffix(QStringLiteral("xls"));  // added when the typed name has no extension
  dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
  return dialog;
}

std::unique_ptr<QFileDialog> TForm1::CreateOpenDialog() {
  auto dialog = std::make_unique<QFileDialog>(this);
  dialog->setObjectName(QStringLiteral("OpenDialog1"));
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::ExistingFile);  // the file and its folder must exist
  // A file chosen by name is read by its content, so both kinds are offered; the legacy one first.
  const QString both = ScanFilters(true).join(QLatin1Char(' '));
  dialog->setNameFilters({QString::fromLatin1(kFilter), both});
  if (CheckBox4->isChecked()) dialog->selectNameFilter(both);
  dialog->setDefaultSuffix(QStringLiteral("xls"));
  dialog->setSizeGripEnabled(true);
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

bool TForm1::OpenUrl(const QUrl& url) {
  return QDesktopServices::openUrl(url);
}

void TForm1::OpenWithDesktop(const QUrl& url) {
  if (OpenUrl(url)) return;
  // No browser or launcher: the address is shown so that the user can copy it.
  const QString where = url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : url.toString();
  ShowMessage(Text(kNotice), QStringLiteral("无法打开，请复制后自行打开：\n") + where,
              QMessageBox::Information, true);
}

void TForm1::ShowAbout() {
  form2_->exec();
}

// ---- buttons, check boxes, links

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
  if (ChooseSaveFile(fileName)) Edit2->setText(fileName);
}

void TForm1::Button3Click() {
  if (!MergeRunning()) {
    host_.StopRequested.store(0);
    if (Edit1->text().isEmpty() || Edit2->text().isEmpty() || ListBox1->count() == 0) return;
    // The run merges this copy; the visible list may change meanwhile.
    host_.SetFiles(Entries());
    host_.SetSavePathText(Edit2->text());
    host_.SetMarkRowsValue(CheckBox1->isChecked());
    host_.SetSkipUnreadableValue(CheckBox3->isChecked());
    // The engine refuses a run that would write over one of its inputs; said here in the window's words.
    if (auto clash = FindOutputClash(host_.SavePath(), host_.FileList())) {
      ShowMessage(
          QStringLiteral("提示："),
          QStringLiteral("保存路径“%1”就是列表中的文件“%2”，合并会覆盖它。\n请另选保存路径，未写入任何文件。")
              .arg(QFile::decodeName(QByteArray::fromStdString(clash->output.native())),
                   QFile::decodeName(QByteArray::fromStdString(clash->input.native()))),
          QMessageBox::Warning, false);
      return;
    }
    // Files a scan could not see would be missing without a word: passed over only when the user allows.
    if (!unreadableFolders_.empty() && !CheckBox3->isChecked()) {
      ShowMessage(
          QStringLiteral("提示："),
          QStringLiteral(
              "无法读取文件夹“%1”（%2），其中的文件不在列表中。\n勾选“跳过无法读取的文件”可合并其余文件，"
              "未写入任何文件。")
              .arg(QDir::toNativeSeparators(FromPath(unreadableFolders_.front().file)),
                   QString::fromStdString(unreadableFolders_.front().text)),
          QMessageBox::Warning, false);
      return;
    }
    host_.AllowQuestions();
    stopping_ = false;
    filesBegun_ = 0;
    filesListed_ = static_cast<int32_t>(ListBox1->count());
    // A little before now: the file system stamps a written output with a coarser clock.
    runStart_ = QDateTime::currentDateTime().addMSecs(-50);
    ShowProgress(0, filesListed_, 0);
    // The run takes its own copy of the merge to perform, so the seam may change after it has begun.
    threadComponent2_->OnExecute = [this, merge = RunMerge](TThreadComponent* sender) {
      ThreadComponent2Execute(sender, merge);
    };
    threadComponent2_->Execute();
    Button3->setText(Text(kStop));
  } else {
    host_.StopRequested.store(1);
    ShowStopping();
  }
}

void TForm1::Button4Click() {
  close();
}

void TForm1::Button5Click() {
  ShowAbout();
}

void TForm1::CheckBox2Click() {
  if (CheckBox2->isChecked()) {
    tune_->Play();
  } else {
    tune_->Stop();
  }
}

void TForm1::Label8Click() {
  OpenWithDesktop(QUrl(QString::fromLatin1(kMakerWebAddress)));
}

void TForm1::ListBox1DblClick() {
  const int index = SelectedIndex();
  if (index < 0) return;
  OpenWithDesktop(QUrl::fromLocalFile(QDir::fromNativeSeparators(ListBox1->item(index)->text())));
}

// ---- the list's commands

void TForm1::Refuse() {
  ShowMessage(Text(kNotice), QStringLiteral("请先停止！"), QMessageBox::NoIcon, false);
}

int TForm1::SelectedIndex() const {
  const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
  return selected.isEmpty() ? -1 : ListBox1->row(selected.first());
}

QStringList TForm1::Entries() const {
  QStringList entries;
  entries.reserve(ListBox1->count());
  for (int i = 0; i < ListBox1->count(); ++i) entries.append(ListBox1->item(i)->text());
  return entries;
}

void TForm1::SetCountLine() {
  Label5->setText(QString::fromStdString(CountLineText(host_.FoundCount.load(), host_.MergedCount.load())));
}

void TForm1::N1Click() {
  const int index = SelectedIndex();
  if (index < 0) return;
  if (MergeRunning()) return Refuse();
  delete ListBox1->takeItem(index);
  ListBox1->clearSelection();
  host_.FoundCount.fetch_sub(1);
  SetCountLine();
}

void TForm1::N4Click() {
  if (MergeRunning()) return Refuse();
  QString fileName;
  if (!ChooseOpenFile(fileName)) return;
  ListBox1->addItem(fileName);
  host_.FoundCount.fetch_add(1);
  SetCountLine();
}

void TForm1::N5Click() {
  const int index = SelectedIndex();
  if (index < 0) return;
  if (MergeRunning()) return Refuse();
  if (index == 0) return;
  ListBox1->insertItem(index - 1, ListBox1->takeItem(index));
  ListBox1->clearSelection();
  ListBox1->setCurrentItem(nullptr);
}

void TForm1::N6Click() {
  const int index = SelectedIndex();
  if (index < 0) return;
  if (MergeRunning()) return Refuse();
  if (index == ListBox1->count() - 1) return;
  ListBox1->insertItem(index + 1, ListBox1->takeItem(index));
  ListBox1->clearSelection();
  ListBox1->setCurrentItem(nullptr);
}

void TForm1::N2Click() {
  if (MergeRunning()) return Refuse();
  ListBox1->clear();
  unreadableFolders_.clear();
  host_.FoundCount.store(0);
  SetCountLine();
}

void TForm1::N3Click() {
  const int index = SelectedIndex();
  if (index < 0) return;
  if (MergeRunning()) return Refuse();
  if (!QFile::remove(ListBox1->item(index)->text())) {
    ShowMessage(QStringLiteral("错误"), QStringLiteral("删除失败！,可能文件被调用中"), QMessageBox::Critical,
                true);
    return;
  }
  delete ListBox1->takeItem(index);
  ListBox1->clearSelection();
  host_.FoundCount.fetch_sub(1);
  SetCountLine();
}

// ---- the jobs

void TForm1::ThreadComponent1Execute(TThreadComponent* /*sender*/) {
  host_.FoundCount.store(0);
  host_.MergedCount.store(0);
  StartScan();
}

void TForm1::ThreadComponent2Execute(TThreadComponent* /*sender*/,
                                     const std::function<TMergeReport(TMergeHost&)>& merge) {
  TMergeReport report = merge(host_);
  // The report follows the run's last status to the window's thread, as a value.
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  QMetaObject::invokeMethod(
      this,
      [this, generation, report = std::move(report)] {
        if (threadComponent2_ && threadComponent2_->IsCurrent(generation)) ShowRunReport(report);
      },
      Qt::QueuedConnection);
}

void TForm1::JobFailed(TThreadComponent* /*component*/, const QString& caption, const QString& text) {
  ShowMessage(caption, BoxLines(text), QMessageBox::Critical, true);
}

void TForm1::MergeFailed(const QString& className, const QString& message) {
  // The user reads what happened in a few lines; the job's technical report is kept in the details.
  ShowMessage(QApplication::applicationName(), FailureSummary(message), QMessageBox::Critical, true,
              BoxLines(threadComponent2_->FailureText(className, message)));
  // The engine has written what it gathered; the window is idle again.
  stopping_ = false;
  Label4->setText(Text(kStopped));
  Button3->setText(Text(kStart));
  Edit3->clear();
}

QString TForm1::FailureSummary(const QString& message) const {
  QStringList lines;
  static const QRegularExpression inputFailed(
      QStringLiteral("^File \"(.*)\" could not be merged:"),
      QRegularExpression::DotMatchesEverythingOption | QRegularExpression::InvertedGreedinessOption);
  static const QRegularExpression outputFailed(QStringLiteral("^The output \"(.*)\" could not be written"),
                                               QRegularExpression::InvertedGreedinessOption);
  const QRegularExpressionMatch output = outputFailed.match(message);
  if (output.hasMatch()) {
    lines << QStringLiteral("无法写入输出文件“%1”。").arg(QDir::toNativeSeparators(output.captured(1)));
  } else {
    const QRegularExpressionMatch input = inputFailed.match(message);
    // The current-file field names the file being read when the engine's message does not. The reason
    // is judged from the reader's words only, not from a path that may hold any word.
    const QString file = input.hasMatch() ? input.captured(1) : Edit3->text();
    QStringList readerLines = BoxLines(input.hasMatch() ? message.mid(input.capturedEnd()) : message)
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    readerLines.removeIf([](const QString& line) {
      return line.startsWith(QLatin1String("The rows merged before")) ||
             line.startsWith(QLatin1String("Nothing was written"));
    });
    const QString reason = ReasonOf(readerLines.join(QLatin1Char(' ')));
    if (file.isEmpty()) {
      lines << QStringLiteral("合并失败：%1。").arg(reason);
    } else {
      lines << QStringLiteral("无法合并文件“%1”：%2。").arg(QDir::toNativeSeparators(file), reason);
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
    lines << QStringLiteral("没有保存任何行。");
  } else {
    lines << QStringLiteral("此前合并的行已保存到“%1”。").arg(written.join(QStringLiteral("”、“")));
  }
  lines << QStringLiteral("其余文件没有合并。");
  return lines.join(QLatin1Char('\n'));
}

void TForm1::ShowRunReport(const TMergeReport& report) {
  // A window closing after its run goes without the list: the user has left.
  if (closePending_ || (report.skipped.empty() && report.notes.empty() && unreadableFolders_.empty())) return;
  QStringList lines;
  auto add = [&lines](const TFileNote& note) {
    QString text = BoxLines(QString::fromStdString(note.text)).simplified();
    lines << QDir::toNativeSeparators(FromPath(note.file)) + QStringLiteral("：") + text;
  };
  if (!report.skipped.empty()) {
    lines << QStringLiteral("以下%1个文件无法读取，已跳过：").arg(report.skipped.size());
    for (const TFileNote& note : report.skipped) add(note);
  }
  if (!unreadableFolders_.empty()) {
    lines << QStringLiteral("以下%1个文件夹无法读取，其中的文件已跳过：").arg(unreadableFolders_.size());
    for (const TFileNote& note : unreadableFolders_) add(note);
  }
  if (!report.notes.empty()) {
    if (!lines.isEmpty()) lines << QString();
    lines << QStringLiteral("合并时的说明：");
    for (const TFileNote& note : report.notes) add(note);
  }
  ShowReport(Text(kNotice), lines.join(QLatin1Char('\n')));
}

void TForm1::PasswordAsked(uint64_t question, const QString& file) {
  QString password;
  if (EnterPassword(file, password)) {
    host_.AnswerPassword(question, password.toStdU16String());
    password.fill(QChar(0));
  } else {
    host_.AnswerPassword(question, std::nullopt);
  }
}

void TForm1::MergeFinished() {
  if (!closePending_) return;
  closePending_ = false;
  close();
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
  event->accept();
}

void TForm1::ShowStopping() {
  stopping_ = true;
  Label4->setText(Text(kStopping));
}

void TForm1::ResetProgressBar() {
  ProgressBar1->setRange(0, 1);
  ProgressBar1->setValue(0);
  ProgressBar1->setFormat(QString());
}

void TForm1::ShowProgress(int32_t filesDone, int32_t filesTotal, int64_t rowsOfFile) {
  if (filesTotal <= 0) return;
  filesDone = std::clamp(filesDone, 0, filesTotal);
  // The rows of a file whose length is unknown move the bar towards the file's end without reaching it.
  const int64_t rows = std::max<int64_t>(rowsOfFile, 0);
  const int within = filesDone < filesTotal ? static_cast<int>(rows * (kFileSteps - 1) / (rows + 20000)) : 0;
  const int maximum = filesTotal > std::numeric_limits<int>::max() / kFileSteps
                          ? std::numeric_limits<int>::max()
                          : filesTotal * kFileSteps;
  const int value = static_cast<int>(std::min<int64_t>(int64_t{filesDone} * kFileSteps + within, maximum));
  ProgressBar1->setRange(0, maximum);
  // Within a run the bar never goes back: the window's own count of begun files and the engine's
  // reports may arrive in either order.
  if (value >= ProgressBar1->value() || value == 0) ProgressBar1->setValue(value);
  QString format = QStringLiteral("%1/%2个文件").arg(filesDone).arg(filesTotal);
  if (rows > 0 && filesDone < filesTotal) format += QStringLiteral("，当前文件已复制%1行").arg(rows);
  ProgressBar1->setFormat(format);
}

void TForm1::Deliver(const TWindowMergeHost::TStatus& status) {
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  QMetaObject::invokeMethod(
      this, [this, generation, status] { ApplyStatus(generation, status); }, Qt::QueuedConnection);
}

void TForm1::ApplyStatus(uint64_t generation, const TWindowMergeHost::TStatus& status) {
  if (!threadComponent2_ || !threadComponent2_->IsCurrent(generation)) return;
  QWidget* control = nullptr;
  const QString& text = status.text;
  switch (status.output) {
    case TWindowMergeHost::TOutput::Progress:
      // Once a stop is asked, the line says so until the run has ended.
      if (stopping_ && text != Text(kStopped)) return;
      Label4->setText(text);
      control = Label4;
      break;
    case TWindowMergeHost::TOutput::Count:
      Label5->setText(text);
      control = Label5;
      break;
    case TWindowMergeHost::TOutput::CurrentFile:
      Edit3->setText(text);
      control = Edit3;
      // A file begun means the ones before it are done, whether or not the engine says so itself.
      if (!text.isEmpty()) ShowProgress(filesBegun_++, filesListed_, 0);
      break;
    case TWindowMergeHost::TOutput::ButtonCaption:
      Button3->setText(text);
      control = Button3;
      if (text == Text(kStart)) {
        // The run has ended: a run that was not stopped went through the whole list.
        if (!stopping_) ShowProgress(filesListed_, filesListed_, 0);
        stopping_ = false;
      }
      break;
    case TWindowMergeHost::TOutput::Bar:
      ShowProgress(status.filesDone, status.filesTotal, status.rowsOfFile);
      return;
  }
  emit StatusShown(control->objectName(), text);
}

// ---- the folder scan

void TForm1::StartScan() {
  // On the scan job's worker: the scanner belongs to the window's thread, so it is made there.
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  QMetaObject::invokeMethod(
      this,
      [this, generation] {
        if (threadComponent1_ && threadComponent1_->IsCurrent(generation)) BeginScan();
      },
      Qt::QueuedConnection);
}

void TForm1::BeginScan() {
  scanPending_ = false;
  // The old scanner and its search go together; nothing it still has on its way is listed.
  RetireScanners();
  scanner_ = std::make_unique<TFileScan>();
  scanner_->Filters = ScanFilters(CheckBox4->isChecked());
  scanner_->Paths.append(Edit1->text());
  host_.FoundCount.store(0);
  ListBox1->clear();
  unreadableFolders_.clear();
  SetCountLine();
  ResetProgressBar();
  scanner_->OnFileFound = [this](TFileScan* sender, const QString& fileName) {
    ScanFileFound(sender, fileName);
  };
  scanner_->OnFolderUnreadable = [this](TFileScan* sender, const QString& folder, const QString& reason) {
    ScanFolderUnreadable(sender, folder, reason);
  };
  scanner_->Start();
}

void TForm1::ScanFileFound(TFileScan* /*sender*/, const QString& fileName) {
  host_.FoundCount.fetch_add(1);
  SetCountLine();
  ListBox1->addItem(QDir::toNativeSeparators(fileName));
}

void TForm1::ScanFolderUnreadable(TFileScan* /*sender*/, const QString& folder, const QString& reason) {
  unreadableFolders_.push_back({QFile::encodeName(folder).toStdString(), reason.toStdString()});
}

void TForm1::RetireScanners() {
  scanner_.reset();
  dropScanners_.clear();
}

// ---- dropping files and folders onto the list

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Label8 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Label8Click();
    return true;
  }
  if (watched == ListBox1->viewport()) {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData()->hasUrls()) {
          drag->acceptProposedAction();
        } else {
          drag->ignore();
        }
        return true;
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        QStringList paths;
        for (const QUrl& url : drop->mimeData()->urls()) {
          if (url.isLocalFile()) paths.append(url.toLocalFile());
        }
        drop->acceptProposedAction();
        if (!paths.isEmpty()) {
          // Shown after the drop has finished, so that the dragging program is not held by the box.
          QMetaObject::invokeMethod(
              this, [this, paths] { DropFiles(paths); }, Qt::QueuedConnection);
        }
        return true;
      }
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::DropFiles(const QStringList& paths) {
  if (MergeRunning()) return Refuse();
  QStringList folders;
  QString folderField;  // the folder of the first entry taken, for an empty folder field
  bool added = false;
  // A file dropped by name is read by its content, so every kind the merge reads is taken.
  const QStringList fileFilters = ScanFilters(true);
  for (const QString& path : paths) {
    const QFileInfo info(path);
    if (info.isDir()) {
      folders.append(path);
      if (folderField.isEmpty()) folderField = path;
    } else if (info.isFile() &&
               std::any_of(fileFilters.begin(), fileFilters.end(), [&](const QString& filter) {
                 return WildcardMatch(filter.toStdString(), QFile::encodeName(info.fileName()).toStdString());
               })) {
      ListBox1->addItem(QDir::toNativeSeparators(path));
      host_.FoundCount.fetch_add(1);
      added = true;
      if (folderField.isEmpty()) folderField = info.absolutePath();
    }
  }
  if (added) SetCountLine();
  // Start needs a folder: a drop onto a window without one gives it.
  if (Edit1->text().isEmpty() && !folderField.isEmpty())
    Edit1->setText(QDir::toNativeSeparators(folderField));
  if (folders.isEmpty()) return;
  // A dropped folder's files are appended as the scan finds them; a new folder choice retires this scan.
  auto scanner = std::make_unique<TFileScan>();
  scanner->Paths = folders;
  scanner->Filters = ScanFilters(CheckBox4->isChecked());
  scanner->OnFileFound = [this](TFileScan* sender, const QString& fileName) {
    ScanFileFound(sender, fileName);
  };
  scanner->OnFolderUnreadable = [this](TFileScan* sender, const QString& folder, const QString& reason) {
    ScanFolderUnreadable(sender, folder, reason);
  };
  scanner->OnReady = [this](TFileScan*, const QStringList&) {
    // Finished scanners are freed once their own call has returned.
    QMetaObject::invokeMethod(
        this,
        [this] {
          std::erase_if(dropScanners_, [](const std::unique_ptr<TFileScan>& done) { return !done->Busy(); });
        },
        Qt::QueuedConnection);
  };
  scanner->Start();
  dropScanners_.push_back(std::move(scanner));
}

}  // namespace plicato
