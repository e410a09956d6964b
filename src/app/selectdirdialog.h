// The folder chooser: a modal dialog titled "Select Directory" with a folder-name field, the folder's
// ancestors and sub-folders, the folder's files, the mounted volumes and a network button.
//
// It opens at the folder last chosen in it (the first time at the process's current folder). A typed
// folder that does not exist is created, with its missing parents, when the user confirms.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace plicato {

class TSelectDirDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TSelectDirDialog(QWidget* parent = nullptr);

  // The folder last chosen, or the current folder before the first choice.
  QString Directory() const { return chosen_; }
  void SetDirectory(const QString& folder);

  // The folder the dialog shows at the moment.
  QString ShownDirectory() const { return shown_; }
  // Shows a folder: fills the name field, the folder list and the file list.
  void ChangeDirectory(const QString& folder);

  // Reports a folder that could not be created; replaceable so that tests can answer it.
  std::function<void(const QString& caption, const QString& text)> ShowMessage;

 public slots:
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FillDirectories();
  void FillFiles();
  void FillDrives();
  void DirectoryActivated(QListWidgetItem* item);
  void DriveActivated(int index);

  QLabel* NameLabel;
  QLineEdit* NameEdit;
  QLabel* DirLabel;
  QLabel* PathLabel;
  QListWidget* DirList;
  QLabel* FileLabel;
  QListWidget* FileList;
  QLabel* DriveLabel;
  QComboBox* DriveList;
  QPushButton* OKButton;
  QPushButton* CancelButton;
  QPushButton* NetworkButton;

  QString chosen_;
  QString shown_;
};

}  // namespace plicato
