// The main window's file list: its context menu's commands, the folder scan that fills it, and files
// and folders dropped onto it.

#include "mainwindow.h"

#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "filescan.h"
#include "merge/FileSearch.h"
#include "queuedcall.h"
#include "threadcomponent.h"

namespace plicato {

namespace {

QStringList LocalPaths(const QMimeData* mime) {
  QStringList paths;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  }
  return paths;
}

}  // namespace

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
  QString reason;
  // Only a file that is there is offered for deletion; a folder entry is never taken with its contents.
  if (info.isDir()) {
    reason = tr("这是一个文件夹");
  } else if (!info.exists()) {
    reason = qt_error_string(ENOENT);
  } else {
    const bool trash = TrashAvailable(path);
    const QString question =
        tr("确定要删除文件“%1”吗？").arg(QDir::toNativeSeparators(path)) + QLatin1Char('\n') +
        (trash ? tr("文件将移到回收站。") : tr("这里没有回收站，文件将被永久删除，无法恢复。"));
    if (Ask(tr("删除文件"), question, {tr("删除"), tr("取消")}) != 0) return;
    if (DeleteFile(path, trash, reason)) {
      delete ListBox1->takeItem(index);
      ListBox1->clearSelection();
      host_.FoundCount.fetch_sub(1);
      SetCountLine();
      return;
    }
  }
  ShowMessage(tr("错误"), tr("删除失败：%1\n%2").arg(QDir::toNativeSeparators(path), reason),
              QMessageBox::Critical, true);
}

void TForm1::AddEntry(const QString& path, int at) {
  auto* item = new QListWidgetItem(path);
  item->setToolTip(path);  // the whole path of an entry shown shortened
  ListBox1->insertItem(at < 0 ? ListBox1->count() : at, item);
}

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
  scanner_->Filters = ScanFilters(CheckBox4->isChecked(), CheckBox7->isChecked());
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
  TFileNote note;  // a folder passed over: the system's words say why
  note.file = QFile::encodeName(folder).toStdString();
  note.kind = ekInputUnreadable;
  note.failure.words = reason.toStdString();
  unreadableFolders_.push_back(std::move(note));
}

void TForm1::RetireScanners() {
  scanner_.reset();
  dropScanners_.clear();
}

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
  ClearHint();
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
  scanner->Filters = ScanFilters(CheckBox4->isChecked(), CheckBox7->isChecked());
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
