#include "selectdirdialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStorageInfo>
#include <QStyle>
#include <QVBoxLayout>

namespace plicato {

namespace {

constexpr int kPathRole = Qt::UserRole;

// The nearest folder at or above path that exists, so that a folder removed since it was chosen still
// opens somewhere sensible.
QString ExistingFolderAtOrAbove(const QString& path) {
  QString folder = QDir::cleanPath(QDir(path).absolutePath());
  while (!QFileInfo(folder).isDir()) {
    const QString parent = QFileInfo(folder).path();
    if (parent == folder) return QDir::rootPath();
    folder = parent;
  }
  return folder;
}

}  // namespace

TSelectDirDialog::TSelectDirDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("SelectDirDlg1"));
  setWindowTitle(tr("Select Directory"));
  setModal(true);
  chosen_ = QDir::currentPath();
  ShowMessage = [this](const QString& caption, const QString& text) {
    QMessageBox::critical(this, caption, text);
  };

  NameLabel = new QLabel(tr("Directory &Name:"), this);
  NameEdit = new QLineEdit(this);
  NameEdit->setObjectName(QStringLiteral("DirectoryName"));
  NameLabel->setBuddy(NameEdit);

  DirLabel = new QLabel(tr("&Directories:"), this);
  PathLabel = new QLabel(this);
  PathLabel->setObjectName(QStringLiteral("DirectoryPath"));
  PathLabel->setTextFormat(Qt::PlainText);
  PathLabel->setMinimumWidth(200);
  PathLabel->setMaximumWidth(200);
  DirList = new QListWidget(this);
  DirList->setObjectName(QStringLiteral("Directories"));
  DirList->setMinimumSize(200, 190);
  DirLabel->setBuddy(DirList);

  FileLabel = new QLabel(tr("&Files: (*.*)"), this);
  FileList = new QListWidget(this);
  FileList->setObjectName(QStringLiteral("Files"));
  FileList->setMinimumSize(150, 190);
  FileList->setEnabled(false);  // shown for orientation only: a folder is chosen, not a file
  FileLabel->setBuddy(FileList);

  DriveLabel = new QLabel(tr("D&rives:"), this);
  DriveList = new QComboBox(this);
  DriveList->setObjectName(QStringLiteral("Drives"));
  DriveLabel->setBuddy(DriveList);

  OKButton = new QPushButton(tr("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setDefault(true);
  CancelButton = new QPushButton(tr("Cancel"), this);
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  NetworkButton = new QPushButton(tr("Ne&twork..."), this);
  NetworkButton->setObjectName(QStringLiteral("NetworkButton"));
  // Network shares are mounted by the system here and then appear among the drives.
  NetworkButton->setEnabled(false);

  auto* grid = new QGridLayout(this);
  grid->addWidget(NameLabel, 0, 0, 1, 2);
  grid->addWidget(NameEdit, 1, 0, 1, 2);
  grid->addWidget(DirLabel, 2, 0);
  grid->addWidget(FileLabel, 2, 1);
  grid->addWidget(PathLabel, 3, 0);
  grid->addWidget(DirList, 4, 0);
  grid->addWidget(FileList, 3, 1, 2, 1);
  grid->addWidget(DriveLabel, 5, 0);
  grid->addWidget(DriveList, 6, 0, 1, 2);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(OKButton);
  buttons->addWidget(CancelButton);
  buttons->addSpacing(12);
  buttons->addWidget(NetworkButton);
  buttons->addStretch();
  grid->addLayout(buttons, 1, 2, 6, 1);
  grid->setSizeConstraint(QLayout::SetFixedSize);

  connect(OKButton, &QPushButton::clicked, this, &TSelectDirDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &TSelectDirDialog::reject);
  connect(DirList, &QListWidget::itemActivated, this, &TSelectDirDialog::DirectoryActivated);
  connect(DriveList, qOverload<int>(&QComboBox::activated), this, &TSelectDirDialog::DriveActivated);
}

void TSelectDirDialog::SetDirectory(const QString& folder) {
  chosen_ = folder;
}

void TSelectDirDialog::showEvent(QShowEvent* event) {
  FillDrives();
  ChangeDirectory(chosen_);
  NameEdit->setFocus();
  NameEdit->selectAll();
  QDialog::showEvent(event);
}

void TSelectDirDialog::ChangeDirectory(const QString& folder) {
  shown_ = ExistingFolderAtOrAbove(folder.isEmpty() ? QDir::currentPath() : folder);
  NameEdit->setText(QDir::toNativeSeparators(shown_));
  PathLabel->setText(QDir::toNativeSeparators(shown_));
  PathLabel->setToolTip(QDir::toNativeSeparators(shown_));
  FillDirectories();
  FillFiles();
  // Select the volume the folder lies on: the longest mount point that holds it.
  int best = -1;
  qsizetype bestLength = -1;
  for (int i = 0; i < DriveList->count(); ++i) {
    const QString root = DriveList->itemData(i, kPathRole).toString();
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if ((shown_ == root || shown_.startsWith(prefix)) && root.size() > bestLength) {
      best = i;
      bestLength = root.size();
    }
  }
  if (best >= 0) DriveList->setCurrentIndex(best);
}

void TSelectDirDialog::FillDirectories() {
  DirList->clear();
  // The folder's ancestors from the root down, the folder itself opened, then its sub-folders.
  QStringList chain;
  for (QString path = shown_;; path = QFileInfo(path).path()) {
    chain.prepend(path);
    if (QFileInfo(path).path() == path || QDir(path).isRoot()) break;
  }
  const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
  int depth = 0;
  for (const QString& path : chain) {
    const QString name = QDir(path).isRoot() ? QDir::toNativeSeparators(path) : QFileInfo(path).fileName();
    auto* item = new QListWidgetItem(open, QString(depth * 2, QLatin1Char(' ')) + name, DirList);
    item->setData(kPathRole, path);
    ++depth;
  }
  DirList->setCurrentRow(DirList->count() - 1);
  const QFileInfoList children = QDir(shown_).entryInfoList(
      QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase);
  for (const QFileInfo& child : children) {
    auto* item =
        new QListWidgetItem(closed, QString(depth * 2, QLatin1Char(' ')) + child.fileName(), DirList);
    item->setData(kPathRole, child.absoluteFilePath());
  }
}

void TSelectDirDialog::FillFiles() {
  FileList->clear();
  FileList->addItems(
      QDir(shown_).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase));
}

void TSelectDirDialog::FillDrives() {
  DriveList->clear();
  const QIcon drive = style()->standardIcon(QStyle::SP_DriveHDIcon);
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !volume.isReady()) continue;
    const QString root = volume.rootPath();
    QString text = QDir::toNativeSeparators(root);
    const QString name = volume.displayName();
    if (!name.isEmpty() && name != root) text += QStringLiteral("  [") + name + QLatin1Char(']');
    DriveList->addItem(drive, text, root);
  }
}

void TSelectDirDialog::DirectoryActivated(QListWidgetItem* item) {
  if (item) ChangeDirectory(item->data(kPathRole).toString());
}

void TSelectDirDialog::DriveActivated(int index) {
  if (index >= 0) ChangeDirectory(DriveList->itemData(index, kPathRole).toString());
}

void TSelectDirDialog::accept() {
  QString typed = QDir::fromNativeSeparators(NameEdit->text().trimmed());
  if (typed.isEmpty()) typed = shown_;
  // A relative name is taken inside the folder shown, as the name field reads.
  const QString folder = QDir::cleanPath(QDir(shown_).absoluteFilePath(typed));
  const QFileInfo info(folder);
  if (!info.isDir()) {
    if (info.exists() || !QDir().mkpath(folder)) {
      if (ShowMessage) ShowMessage(windowTitle(), tr("Unable to create directory %1").arg(folder));
      NameEdit->setFocus();
      return;
    }
  }
  chosen_ = folder;
  QDialog::accept();
}

}  // namespace plicato
