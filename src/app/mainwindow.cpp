#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include <algorithm>
#include <limits>

#include "aboutbox.h"
#include "filescan.h"
#include "merge/FileSearch.h"
#include "merge/MergeEngine.h"
#include "queuedcall.h"
#include "savepath.h"
#include "selectdirdialog.h"
#include "threadcomponent.h"
#include "tune.h"

namespace plicato {

namespace {

const char kFilter[] = "*.xls";
const char kContext[] = "plicato::TForm1";
const char* const kStopped = QT_TRANSLATE_NOOP("plicato::TForm1", "已停止");
const char* const kStopping = QT_TRANSLATE_NOOP("plicato::TForm1", "正在停止…");
const char* const kNotice = QT_TRANSLATE_NOOP("plicato::TForm1", "提示：");
// Steps of the progress bar per file: a file's rows move the bar within its step.
constexpr int kFileSteps = 1000;

// A text of the window in the window's language.
QString Text(const char* source) {
  return QCoreApplication::translate(kContext, source);
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

// Why a file could not be read, in one short line of the window's language, from the failure's kind.
QString ReasonOf(TErrorKind kind) {
  switch (kind) {
    case ekEncrypted:
    case ekWrongPassword:
      return Text(QT_TRANSLATE_NOOP("plicato::TForm1", "文件有密码保护，密码不对或没有提供"));
    case ekInputUnreadable:
      return Text(QT_TRANSLATE_NOOP("plicato::TForm1", "无法打开文件（不存在或没有读取权限）"));
    case ekNotAWorkbook:
      return Text(QT_TRANSLATE_NOOP("plicato::TForm1", "不是可以读取的Excel工作簿"));
    case ekSheetMissing:
      return Text(QT_TRANSLATE_NOOP("plicato::TForm1", "文件中没有要合并的工作表"));
    default:
      return Text(QT_TRANSLATE_NOOP("plicato::TForm1", "文件已损坏或格式不受支持"));
  }
}

}  // namespace

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

void TForm1::CreateControls() {
  Label1 = new QLabel(tr("待处理XLS目录"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Button1 = new QPushButton(tr("浏览"), this);
  Button1->setObjectName(QStringLiteral("Button1"));

  Label2 = new QLabel(tr("合并后保存路径"), this);
  Label2->setObjectName(QStringLiteral("Label2"));
  Edit2 = new QLineEdit(this);
  Edit2->setObjectName(QStringLiteral("Edit2"));
  Button2 = new QPushButton(tr("浏览"), this);
  Button2->setObjectName(QStringLiteral("Button2"));

  Label6 = new QLabel(tr("当前读取的文件"), this);
  Label6->setObjectName(QStringLiteral("Label6"));
  Edit3 = new QLineEdit(this);
  Edit3->setObjectName(QStringLiteral("Edit3"));
  Edit3->setReadOnly(true);  // written by the merge only

  CheckBox1 = new QCheckBox(tr("首列标记单文件行数"), this);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox2 = new QCheckBox(tr("背景音乐"), this);
  CheckBox2->setObjectName(QStringLiteral("CheckBox2"));
  CheckBox3 = new QCheckBox(tr("跳过无法读取的文件"), this);
  CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
  CheckBox4 = new QCheckBox(tr("包含XLSX文件"), this);
  CheckBox4->setObjectName(QStringLiteral("CheckBox4"));
  CheckBox5 = new QCheckBox(tr("保留数值类型"), this);
  CheckBox5->setObjectName(QStringLiteral("CheckBox5"));
  CheckBox5->setToolTip(tr("数字、日期、公式结果按原类型保留；只复制有值的单元格，跳过空行"));
  CheckBox6 = new QCheckBox(tr("添加来源列"), this);
  CheckBox6->setObjectName(QStringLiteral("CheckBox6"));
  CheckBox6->setToolTip(tr("第一列写出每一行来自哪个文件"));
  Label9 = new QLabel(tr("表头行数"), this);
  Label9->setObjectName(QStringLiteral("Label9"));
  SpinEdit1 = new QSpinBox(this);
  SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
  SpinEdit1->setRange(0, 10);
  SpinEdit1->setToolTip(tr("第一个文件的前几行作为表头只复制一次，其余文件的这几行跳过"));
  Label9->setBuddy(SpinEdit1);
  Label10 = new QLabel(tr("工作表"), this);
  Label10->setObjectName(QStringLiteral("Label10"));
  ComboBox1 = new QComboBox(this);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setMinimumContentsLength(12);
  ComboBox1->addItems({tr("第一个"), tr("全部")});
  ComboBox1->setToolTip(tr("第一个工作表、全部工作表，或输入工作表的名称或序号（从1开始）"));
  Label10->setBuddy(ComboBox1);

  const QString red = QStringLiteral("color: red;");
  Label3 = new QLabel(tr("状态："), this);
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
    line->setText(tr("共有0个XLS文件 已合并0个") + Text(kStopping));
    line->setMinimumHeight(line->sizeHint().height());
    line->clear();
  }
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ResetProgressBar();

  Label7 = new QLabel(tr("文件列表"), this);
  Label7->setObjectName(QStringLiteral("Label7"));
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setSortingEnabled(false);
  ListBox1->setMinimumSize(300, 100);
  // Entries are shortened in the middle to the list's width, so that paths differing only at their ends
  // stay apart; the whole path is the entry's tooltip.
  ListBox1->setTextElideMode(Qt::ElideMiddle);
  ListBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ListBox1->setResizeMode(QListView::Adjust);
  ListBox1->setContextMenuPolicy(Qt::CustomContextMenu);
  ListBox1->setAcceptDrops(true);
  ListBox1->viewport()->installEventFilter(this);

  Button5 = new QPushButton(tr("关于"), this);
  Button5->setObjectName(QStringLiteral("Button5"));
  Button3 = new QPushButton(Text(kStart), this);
  Button3->setObjectName(QStringLiteral("Button3"));
  Button4 = new QPushButton(tr("退出"), this);
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
  N1 = addCommand("N1", tr("移出列表"), &TForm1::N1Click);
  N4 = addCommand("N4", tr("增加文件"), &TForm1::N4Click);
  N5 = addCommand("N5", tr("向上移动"), &TForm1::N5Click);
  N6 = addCommand("N6", tr("向下移动"), &TForm1::N6Click);
  N2 = addCommand("N2", tr("清空列表"), &TForm1::N2Click);
  N3 = addCommand("N3", tr("删除文件"), &TForm1::N3Click);

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
  options->addWidget(CheckBox5, 2, 0);
  options->addWidget(CheckBox6, 2, 1);
  auto* numbers = new QHBoxLayout;
  numbers->addWidget(Label9);
  numbers->addWidget(SpinEdit1);
  numbers->addSpacing(16);
  numbers->addWidget(Label10);
  numbers->addWidget(ComboBox1);
  numbers->addStretch(1);
  options->addLayout(numbers, 3, 0, 1, 2);
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
  layout->addLayout(list, 1);  // the list takes the room the window is given
  layout->addWidget(Label8);
  // Room for a longer list at first, within the screen less a title bar.
  const QRect room = screen()->availableGeometry();
  resize(std::min(std::max(sizeHint().width(), 560), room.width()),
         std::max(std::min(sizeHint().height() + 120, room.height() - 40), minimumSizeHint().height()));
  setAcceptDrops(true);  // a drop anywhere is a drop on the list
  Edit1->installEventFilter(this);
  Edit2->installEventFilter(this);

  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
  connect(CheckBox4, &QCheckBox::clicked, this, &TForm1::CheckBox4Click);
  connect(Edit1, &QLineEdit::returnPressed, this, &TForm1::Edit1Enter);
  // Delete takes the selected entry off the list (not off the disk; see eventFilter); Ctrl+Enter starts,
  // Esc stops.
  ListBox1->installEventFilter(this);
  for (const QKeySequence& keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
    auto* start = new QShortcut(keys, this);
    connect(start, &QShortcut::activated, this, [this] {
      if (!MergeRunning()) Button3Click();
    });
  }
  auto* stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(stop, &QShortcut::activated, this, [this] {
    if (MergeRunning() && !stopping_) Button3Click();
  });
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

namespace {

// Breaks the words of text (runs without a space or a CJK character, where Qt's own wrapping has no
// place to break) that are wider than width pixels, so that a long file name makes a box taller rather
// than wider than the screen.
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

constexpr int kBoxTextWidth = 440;  // pixels of text in a box before a long word is broken

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
  QStringList filters;
  for (const QString& suffix : OutputSuffixes()) filters << QStringLiteral("*.") + suffix;
  dialog->setNameFilters(filters);
  // The type shown is the one of the path in the field, else the one chosen last.
  const QFileInfo current(Edit2->text());
  const QString typed = current.suffix().toLower();
  const QString suffix = OutputSuffixes().contains(typed) ? typed : saveSuffix_;
  dialog->selectNameFilter(QStringLiteral("*.") + suffix);
  dialog->setDefaultSuffix(suffix);  // added when the typed name has no extension
  QFileDialog* owner = dialog.get();
  connect(owner, &QFileDialog::filterSelected, owner,
          [owner](const QString& filter) { owner->setDefaultSuffix(filter.mid(2)); });
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
  // A file chosen by name is read by its content, so both kinds are offered; the legacy one first.
  const QString both = ScanFilters(true).join(QLatin1Char(' '));
  dialog->setNameFilters({QString::fromLatin1(kFilter), both});
  if (CheckBox4->isChecked()) dialog->selectNameFilter(both);
  dialog->setDefaultSuffix(QStringLiteral("xls"));
  dialog->setSizeGripEnabled(true);
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
    window->ShowMessage(Text(kNotice), tr("无法打开，请复制后自行打开：\n") + where, QMessageBox::Information,
                        true);
  });
}

bool TForm1::MoveToTrash(const QString& path) {
  return QFile::moveToTrash(path);
}

bool TForm1::TrashAvailable(const QString& path) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
  // As the desktop's trash works: the user's trash for files on the file system of the user's data
  // folder, else a trash folder at the top of the file's own file system, which the user may create.
  QString existing = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  while (!existing.isEmpty() && !QFileInfo(existing).isDir()) existing = QFileInfo(existing).path();
  const QStorageInfo file(QFileInfo(path).absolutePath());
  if (!file.isValid()) return false;
  if (file.rootPath() == QStorageInfo(existing).rootPath()) return true;
  const QString top = file.rootPath();
  const QString own = top + QStringLiteral("/.Trash-") + QString::number(::getuid());
  return QFileInfo(own).isDir()
             ? ::access(QFile::encodeName(own).constData(), W_OK) == 0
             : ::access(QFile::encodeName(top).constData(), W_OK) == 0 && !file.isReadOnly();
#else
  Q_UNUSED(path);
  return true;
#endif
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
  if (!ChooseSaveFile(fileName)) return;
  Edit2->setText(fileName);
  // The type chosen is the one a path typed later without an extension gets.
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  if (OutputSuffixes().contains(suffix)) saveSuffix_ = suffix;
}

void TForm1::ShowStartProblem(const QString& text) {
  ShowMessage(Text(kNotice), text + QLatin1Char('\n') + tr("没有合并任何文件。"), QMessageBox::Warning, true);
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
    if (Edit1->text().isEmpty()) return Label4->setText(tr("请先选择待处理XLS目录"));
    if (Edit2->text().isEmpty()) return Label4->setText(tr("请先选择合并后保存路径"));
    if (ListBox1->count() == 0) return Label4->setText(tr("文件列表为空，没有要合并的文件"));
    if (!PrepareSavePath()) return;
    // The run merges this copy; the visible list may change meanwhile.
    host_.SetFiles(Entries());
    runLastFile_ = ListBox1->item(ListBox1->count() - 1)->text();
    host_.SetMarkRowsValue(CheckBox1->isChecked());
    host_.SetSkipUnreadableValue(CheckBox3->isChecked());
    host_.SetOptions(MergeOptions());
    host_.SetSourceFolder(QFileInfo(Edit1->text()).absoluteFilePath());
    // The engine refuses a run that would write over one of its inputs; said here in the window's words.
    if (auto clash = FindOutputClash(host_.SavePath(), host_.FileList())) {
      ShowMessage(Text(kNotice),
                  tr("保存路径“%1”就是列表中的文件“%2”，合并会覆盖它。\n请另选保存路径，未写入任何文件。")
                      .arg(QFile::decodeName(QByteArray::fromStdString(clash->output.native())),
                           QFile::decodeName(QByteArray::fromStdString(clash->input.native()))),
                  QMessageBox::Warning, false);
      return;
    }
    // Files a scan could not see would be missing without a word: passed over only when the user allows.
    if (!unreadableFolders_.empty() && !CheckBox3->isChecked()) {
      ShowMessage(
          Text(kNotice),
          tr("无法读取文件夹“%1”（%2），其中的文件不在列表中。\n勾选“跳过无法读取的文件”可合并其余文件，"
             "未写入任何文件。")
              .arg(QDir::toNativeSeparators(FromPath(unreadableFolders_.front().file)),
                   QString::fromStdString(unreadableFolders_.front().text)),
          QMessageBox::Warning, false);
      return;
    }
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
    // A little before now: the file system stamps a written output with a coarser clock.
    runStart_ = QDateTime::currentDateTime().addMSecs(-50);
    Label4->clear();
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

bool TForm1::ConfirmOverwrite() {
  const QString path = FromPath(host_.SavePath());
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
  const int answer = Ask(Text(kNotice), lines.join(QLatin1Char('\n')), buttons);
  if (answer < 0 || answer == buttons.size() - 1) return false;
  if (save.continuations.isEmpty() || answer == 1) return true;
  QStringList failed;
  for (const QString& file : save.continuations) {
    if (!(trash ? MoveToTrash(file) : QFile::remove(file))) failed << file;
  }
  if (failed.isEmpty()) return true;
  ShowStartProblem(tr("以下文件无法移走：\n%1").arg(failed.join(QLatin1Char('\n'))));
  return false;
}

TMergeOptions TForm1::MergeOptions() const {
  TMergeOptions options;
  options.values = CheckBox5->isChecked();
  options.headerRows = SpinEdit1->value();
  options.sourceColumn = CheckBox6->isChecked();
  options.sourceCaption = tr("来源文件").toStdU16String();
  // The sheet: the first, all, a number counted from 1 as the sheet tabs are, or a name.
  const QString sheet = ComboBox1->currentText().trimmed();
  bool number = false;
  const int index = sheet.toInt(&number);
  if (sheet.isEmpty() || sheet == tr("第一个") || sheet == QStringLiteral("第一个")) {
    options.sheet.kind = TSheetChoice::scFirst;
  } else if (sheet == tr("全部") || sheet == QStringLiteral("全部")) {
    options.sheet.kind = TSheetChoice::scAll;
  } else if (number && index >= 1) {
    options.sheet.kind = TSheetChoice::scIndex;
    options.sheet.index = index - 1;
  } else {
    options.sheet.kind = TSheetChoice::scName;
    options.sheet.name = sheet.toStdU16String();
  }
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
    tune_->Play();
  } else {
    tune_->Stop();
  }
}

void TForm1::CheckBox4Click() {
  // The list follows the box: the folder is searched again with or without the .xlsx files.
  if (MergeRunning()) {
    CheckBox4->setChecked(!CheckBox4->isChecked());
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

// ---- the list's commands

void TForm1::Refuse() {
  ShowMessage(Text(kNotice), tr("请先停止！"), QMessageBox::NoIcon, false);
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
  Label5->setText(
      tr("共有%1个XLS文件 已合并%2个").arg(host_.FoundCount.load()).arg(host_.MergedCount.load()));
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
  openFolder_ = QFileInfo(fileName).absolutePath();  // where the open dialog opens next
  AddEntry(fileName);
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
  const QString path = ListBox1->item(index)->text();
  const QFileInfo info(path);
  // Only a file that is there is offered for deletion; a folder entry is never taken with its contents.
  if (info.isFile()) {
    const bool trash = TrashAvailable(path);
    const QString question =
        tr("确定要删除文件“%1”吗？").arg(QDir::toNativeSeparators(path)) + QLatin1Char('\n') +
        (trash ? tr("文件将移到回收站。") : tr("这里没有回收站，文件将被永久删除，无法恢复。"));
    if (Ask(tr("删除文件"), question, {tr("删除"), tr("取消")}) != 0) return;
    if (trash ? MoveToTrash(path) : QFile::remove(path)) {
      delete ListBox1->takeItem(index);
      ListBox1->clearSelection();
      host_.FoundCount.fetch_sub(1);
      SetCountLine();
      return;
    }
  }
  ShowMessage(tr("错误"), tr("删除失败！,可能文件被调用中"), QMessageBox::Critical, true);
}

void TForm1::AddEntry(const QString& path, int at) {
  auto* item = new QListWidgetItem(path);
  item->setToolTip(path);  // the whole path of an entry shown shortened
  ListBox1->insertItem(at < 0 ? ListBox1->count() : at, item);
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
  PostQueued(this, [this, generation, report = std::move(report)] {
    if (threadComponent2_ && threadComponent2_->IsCurrent(generation)) ShowRunReport(report);
  });
}

void TForm1::JobFailed(TThreadComponent* /*component*/, const QString& caption, const QString& text) {
  ShowMessage(caption, BoxLines(text), QMessageBox::Critical, true);
}

void TForm1::MergeFailed(const QString& className, const QString& message, TErrorKind kind) {
  // The user reads what happened in a few lines; the job's technical report is kept in the details.
  ShowMessage(QApplication::applicationName(), FailureSummary(kind), QMessageBox::Critical, true,
              BoxLines(threadComponent2_->FailureText(className, message)));
  // The engine has written what it gathered; the window is idle again.
  stopping_ = false;
  Label4->setText(Text(kStopped));
  Button3->setText(Text(kStart));
  Edit3->clear();
}

QString TForm1::FailureSummary(TErrorKind kind) const {
  QStringList lines;
  // What failed is told by the kind, and which file by the engine's report of the failure; the message is
  // kept for the details.
  QString file;  // the input that failed
  if (kind == ekOutputUnwritable) {
    lines << tr("无法写入输出文件“%1”。")
                 .arg(QDir::toNativeSeparators(failedOutput_.isEmpty() ? Edit2->text() : failedOutput_));
  } else if (kind == ekOutputClash) {
    lines << tr("输出文件是要合并的文件之一，请选择其他保存路径。");
  } else {
    // A failure the engine did not report as a file's is the file being read's.
    file = failedInput_.isEmpty() ? runFile_ : failedInput_;
    const QString reason = ReasonOf(kind);
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
      const QString text = BoxLines(QString::fromStdString(note.text)).simplified();
      lines << QStringLiteral("  ") + path(note.file) + tr("：") + ReasonOf(note.kind);
      details << path(note.file) + tr("：") + text;
    }
  }
  if (!unreadableFolders_.empty()) {
    lines << QString() << tr("以下%1个文件夹无法读取，其中的文件已跳过：").arg(unreadableFolders_.size());
    for (const TFileNote& note : unreadableFolders_)
      lines << QStringLiteral("  ") + path(note.file) + tr("：") + QString::fromStdString(note.text);
  }
  if (!report.notes.empty()) {
    lines << QString() << tr("合并时的说明：");
    for (const TFileNote& note : report.notes)
      lines << QStringLiteral("  ") + path(note.file) + tr("：") +
                   BoxLines(QString::fromStdString(note.text)).simplified();
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

void TForm1::PasswordAsked(uint64_t question, const QString& file) {
  // After "全部跳过" no later file is asked for.
  if (skipAllPasswords_) return host_.AnswerPassword(question, std::nullopt);
  // Asked again for the file just answered: the password given was wrong.
  const bool retry = file == lastPasswordFile_;
  lastPasswordFile_.clear();
  QString password;
  switch (EnterPassword(file, retry, host_.SkipUnreadable(), password)) {
    case paPassword:
      lastPasswordFile_ = file;
      host_.AnswerPassword(question, password.toStdU16String());
      password.fill(QChar(0));
      return;
    case paSkipAll:
      skipAllPasswords_ = true;
      [[fallthrough]];
    case paSkip:
      host_.AnswerPassword(question, std::nullopt);
      return;
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
  if (settingsKept_) SaveSettings();
  closed_ = true;
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
  QString format = tr("%1/%2个文件").arg(filesDone).arg(filesTotal);
  if (rows > 0 && filesDone < filesTotal) format += tr("，当前文件已复制%1行").arg(rows);
  ProgressBar1->setFormat(format);
}

void TForm1::Deliver(const TWindowMergeHost::TStatus& status) {
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  PostQueued(this, [this, generation, status] { ApplyStatus(generation, status); });
}

void TForm1::ApplyStatus(uint64_t generation, const TWindowMergeHost::TStatus& status) {
  if (!threadComponent2_ || !threadComponent2_->IsCurrent(generation)) return;
  using TEvent = TWindowMergeHost::TEvent;
  switch (status.event) {
    case TEvent::FileNumber: {
      // Once a stop is asked, the line says so until the run has ended.
      if (stopping_) return;
      const QString text = tr("正在合并第%1个XLS文件").arg(status.filesDone);
      Label4->setText(text);
      emit StatusShown(Label4->objectName(), text);
      return;
    }
    case TEvent::CurrentFile:
      runFile_ = status.file;
      Edit3->setText(status.file);
      // A file begun means the ones before it are done, whether or not the engine says so itself.
      ShowProgress(filesBegun_++, filesListed_, 0);
      emit StatusShown(Edit3->objectName(), status.file);
      return;
    case TEvent::Counts: {
      const QString text = tr("共有%1个XLS文件 已合并%2个").arg(status.found).arg(status.merged);
      Label5->setText(text);
      emit StatusShown(Label5->objectName(), text);
      return;
    }
    case TEvent::Bar:
      ShowProgress(status.filesDone, status.filesTotal, status.rowsOfFile);
      return;
    case TEvent::RunEnded:
      Label4->setText(Text(kStopped));
      emit StatusShown(Label4->objectName(), Label4->text());
      Button3->setText(Text(kStart));
      // A run that was not stopped went through the whole list.
      if (!stopping_) ShowProgress(filesListed_, filesListed_, 0);
      stopping_ = false;
      emit StatusShown(Button3->objectName(), Button3->text());
      Edit3->clear();
      emit StatusShown(Edit3->objectName(), QString());
      return;
    case TEvent::RunFailed:
      // Its failure report follows.
      failedInput_ = status.file;
      failedOutput_ = status.output;
      return;
  }
}

// ---- what is kept between sessions

void TForm1::SaveSettings() {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarnwick"),
                     QStringLiteral("Plicato"));
  settings.setValue(QStringLiteral("folder"), Edit1->text());
  settings.setValue(QStringLiteral("savePath"), Edit2->text());
  settings.setValue(QStringLiteral("saveType"), saveSuffix_);
  settings.setValue(QStringLiteral("openFolder"), openFolder_);
  settings.setValue(QStringLiteral("markRows"), CheckBox1->isChecked());
  settings.setValue(QStringLiteral("skipUnreadable"), CheckBox3->isChecked());
  settings.setValue(QStringLiteral("includeXlsx"), CheckBox4->isChecked());
  settings.setValue(QStringLiteral("values"), CheckBox5->isChecked());
  settings.setValue(QStringLiteral("sourceColumn"), CheckBox6->isChecked());
  settings.setValue(QStringLiteral("headerRows"), SpinEdit1->value());
  // The offered choices by their place, so that they survive a change of language; typed ones as typed.
  const int offered = ComboBox1->findText(ComboBox1->currentText());
  settings.setValue(QStringLiteral("sheetChoice"), offered);
  settings.setValue(QStringLiteral("sheet"), offered < 0 ? ComboBox1->currentText() : QString());
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
}

void TForm1::RestoreSettings() {
  settingsKept_ = true;
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tarnwick"),
                     QStringLiteral("Plicato"));
  if (settings.contains(QStringLiteral("geometry")))
    restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
  Edit2->setText(settings.value(QStringLiteral("savePath")).toString());
  const QString type = settings.value(QStringLiteral("saveType")).toString();
  if (OutputSuffixes().contains(type)) saveSuffix_ = type;
  openFolder_ = settings.value(QStringLiteral("openFolder")).toString();
  CheckBox1->setChecked(settings.value(QStringLiteral("markRows"), false).toBool());
  CheckBox3->setChecked(settings.value(QStringLiteral("skipUnreadable"), false).toBool());
  CheckBox4->setChecked(settings.value(QStringLiteral("includeXlsx"), false).toBool());
  CheckBox5->setChecked(settings.value(QStringLiteral("values"), false).toBool());
  CheckBox6->setChecked(settings.value(QStringLiteral("sourceColumn"), false).toBool());
  SpinEdit1->setValue(settings.value(QStringLiteral("headerRows"), 0).toInt());
  const int offered = settings.value(QStringLiteral("sheetChoice"), 0).toInt();
  if (offered >= 0 && offered < ComboBox1->count()) {
    ComboBox1->setCurrentIndex(offered);
  } else {
    ComboBox1->setEditText(settings.value(QStringLiteral("sheet")).toString());
  }
  // The folder is listed again, as it was when the window closed.
  const QString folder = settings.value(QStringLiteral("folder")).toString();
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
    selectDirDlg1_->SetDirectory(folder);
    ChooseFolderAndScan(folder);
  } else {
    Edit1->setText(folder);
  }
}

// ---- the folder scan

void TForm1::StartScan() {
  // On the scan job's worker: the scanner belongs to the window's thread, so it is made there.
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  PostQueued(this, [this, generation] {
    if (threadComponent1_ && threadComponent1_->IsCurrent(generation)) BeginScan();
  });
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
  AddEntry(QDir::toNativeSeparators(fileName));
}

void TForm1::ScanFolderUnreadable(TFileScan* /*sender*/, const QString& folder, const QString& reason) {
  unreadableFolders_.push_back({QFile::encodeName(folder).toStdString(), reason.toStdString()});
}

void TForm1::RetireScanners() {
  scanner_.reset();
  dropScanners_.clear();
}

// ---- dropping files and folders onto the list

namespace {

QStringList LocalPaths(const QMimeData* mime) {
  QStringList paths;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  }
  return paths;
}

}  // namespace

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Label8 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Label8Click();
    return true;
  }
  if (watched == ListBox1 && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Delete)) {
    N1Click();
    return true;
  }
  const bool dragging = event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
                        event->type() == QEvent::Drop;
  if (!dragging) return QWidget::eventFilter(watched, event);
  auto* drop = static_cast<QDropEvent*>(event);
  // Files dropped onto the save field give it their path, never an address; text drops stay the
  // field's own, as they do in the folder field.
  if (watched == Edit2 && drop->mimeData()->hasUrls()) {
    const QStringList paths = LocalPaths(drop->mimeData());
    if (paths.isEmpty()) {
      drop->ignore();
    } else {
      drop->acceptProposedAction();
      if (event->type() == QEvent::Drop) Edit2->setText(QDir::toNativeSeparators(paths.first()));
    }
    return true;
  }
  if (watched == ListBox1->viewport() || (watched == Edit1 && drop->mimeData()->hasUrls())) {
    if (event->type() == QEvent::Drop) {
      dropEvent(drop);
    } else {
      dragMoveEvent(static_cast<QDragMoveEvent*>(event));
    }
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  dragMoveEvent(event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void TForm1::dropEvent(QDropEvent* event) {
  const QStringList paths = LocalPaths(event->mimeData());
  event->acceptProposedAction();
  if (!paths.isEmpty()) {
    // Shown after the drop has finished, so that the dragging program is not held by the box.
    PostQueued(this, [this, paths] { DropFiles(paths); });
  }
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
      AddEntry(QDir::toNativeSeparators(path));
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
    PostQueued(this, [this] {
      std::erase_if(dropScanners_, [](const std::unique_ptr<TFileScan>& done) { return !done->Busy(); });
    });
  };
  scanner->Start();
  dropScanners_.push_back(std::move(scanner));
}

}  // namespace plicato
