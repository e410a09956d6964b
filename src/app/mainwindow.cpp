#include "mainwindow.h"

#include <QAction>
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
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaObject>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

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

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      host_([this](TWindowMergeHost::TOutput output, const QString& text) { Deliver(output, text); }) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Plicato V1.0"));
  CreateControls();

  threadComponent1_ = std::make_unique<TThreadComponent>(QStringLiteral("ThreadComponent1"));
  threadComponent1_->OnExecute = [this](TThreadComponent* sender) { ThreadComponent1Execute(sender); };
  threadComponent1_->OnReport = [this](const QString& caption, const QString& text) {
    JobFailed(threadComponent1_.get(), caption, text);
  };
  threadComponent2_ = std::make_unique<TThreadComponent>(QStringLiteral("ThreadComponent2"));
  threadComponent2_->OnExecute = [this](TThreadComponent* sender) { ThreadComponent2Execute(sender); };
  threadComponent2_->OnReport = [this](const QString& caption, const QString& text) {
    JobFailed(threadComponent2_.get(), caption, text);
  };
  connect(threadComponent2_.get(), &TThreadComponent::Finished, this, &TForm1::MergeFinished);

  selectDirDlg1_ = new TSelectDirDialog(this);
  FormCreate();
  // The About box is made right after the window and kept for the program's life.
  form2_ = new TForm2(this);
  form2_->OpenLink = [this](const QUrl& url) { OpenUrl(url); };
}

TForm1::~TForm1() {
  // The running merge finishes its current file and writes its output before the window goes.
  host_.StopRequested.store(1);
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

  const QString red = QStringLiteral("color: red;");
  Label3 = new QLabel(QStringLiteral("状态："), this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4 = new QLabel(this);
  Label4->setObjectName(QStringLiteral("Label4"));
  Label4->setStyleSheet(red);
  Label5 = new QLabel(this);
  Label5->setObjectName(QStringLiteral("Label5"));
  Label5->setStyleSheet(red);

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

  auto* options = new QHBoxLayout;
  options->addWidget(CheckBox1);
  options->addSpacing(24);
  options->addWidget(CheckBox2);
  options->addStretch();

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

void TForm1::ShowMessage(const QString& caption, const QString& text, QMessageBox::Icon icon, bool owned) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owned ? this : nullptr);
  box.exec();
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
  dialog->setNameFilter(QString::fromLatin1(kFilter));
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

void TForm1::OpenUrl(const QUrl& url) {
  QDesktopServices::openUrl(url);
}

void TForm1::ShowAbout() {
  form2_->exec();
}

// ---- buttons, check boxes, links

void TForm1::Button1Click() {
  QString folder;
  if (!ChooseFolder(folder)) return;
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
    threadComponent2_->Execute();
    Button3->setText(Text(kStop));
  } else {
    host_.StopRequested.store(1);
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
  OpenUrl(QUrl(QString::fromLatin1(kMakerWebAddress)));
}

void TForm1::ListBox1DblClick() {
  const int index = SelectedIndex();
  if (index < 0) return;
  OpenUrl(QUrl::fromLocalFile(QDir::fromNativeSeparators(ListBox1->item(index)->text())));
}

// ---- the list's commands

void TForm1::Refuse() {
  ShowMessage(QStringLiteral("提示："), QStringLiteral("请先停止！"), QMessageBox::NoIcon, false);
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

void TForm1::ThreadComponent2Execute(TThreadComponent* /*sender*/) {
  MergeFiles(host_);
}

void TForm1::JobFailed(TThreadComponent* component, const QString& caption, const QString& text) {
  // The engine separates the parts of a message with carriage returns; a box here breaks lines at '\n'.
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  ShowMessage(caption, shown, QMessageBox::Critical, true);
  if (component == threadComponent2_.get()) {
    // The engine has written what it gathered; the window is idle again.
    Label4->setText(Text(kStopped));
    Button3->setText(Text(kStart));
    Edit3->clear();
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
    // live meanwhile and closes when the merge job ends.
    host_.StopRequested.store(1);
    closePending_ = true;
    event->ignore();
    return;
  }
  event->accept();
}

void TForm1::Deliver(TWindowMergeHost::TOutput output, const QString& text) {
  const uint64_t generation = TThreadComponent::CurrentRunGeneration();
  QMetaObject::invokeMethod(
      this, [this, generation, output, text] { ApplyStatus(generation, output, text); },
      Qt::QueuedConnection);
}

void TForm1::ApplyStatus(uint64_t generation, TWindowMergeHost::TOutput output, const QString& text) {
  if (!threadComponent2_ || !threadComponent2_->IsCurrent(generation)) return;
  QWidget* control = nullptr;
  switch (output) {
    case TWindowMergeHost::TOutput::Progress:
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
      break;
    case TWindowMergeHost::TOutput::ButtonCaption:
      Button3->setText(text);
      control = Button3;
      break;
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
  scanner_->Filters.append(QString::fromLatin1(kFilter));
  scanner_->Paths.append(Edit1->text());
  host_.FoundCount.store(0);
  ListBox1->clear();
  SetCountLine();
  scanner_->OnFileFound = [this](TFileScan* sender, const QString& fileName) {
    ScanFileFound(sender, fileName);
  };
  scanner_->Start();
}

void TForm1::ScanFileFound(TFileScan* /*sender*/, const QString& fileName) {
  host_.FoundCount.fetch_add(1);
  SetCountLine();
  ListBox1->addItem(QDir::toNativeSeparators(fileName));
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
  bool added = false;
  for (const QString& path : paths) {
    const QFileInfo info(path);
    if (info.isDir()) {
      folders.append(path);
    } else if (info.isFile() && WildcardMatch(kFilter, QFile::encodeName(info.fileName()).toStdString())) {
      ListBox1->addItem(QDir::toNativeSeparators(path));
      host_.FoundCount.fetch_add(1);
      added = true;
    }
  }
  if (added) SetCountLine();
  if (folders.isEmpty()) return;
  // A dropped folder's files are appended as the scan finds them; a new folder choice retires this scan.
  auto scanner = std::make_unique<TFileScan>();
  scanner->Paths = folders;
  scanner->Filters.append(QString::fromLatin1(kFilter));
  scanner->OnFileFound = [this](TFileScan* sender, const QString& fileName) {
    ScanFileFound(sender, fileName);
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
